#include "ConsoleFiles.h"

namespace tether::ConsoleFiles {

const ConsoleFile* find(std::string_view path) {
  if (path == "/") path = "/index.html";
  for (const ConsoleFile& file : all()) {
    if (file.path == path) return &file;
  }
  return nullptr;
}

}  // namespace tether::ConsoleFiles
