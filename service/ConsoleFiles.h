#pragma once

#include <span>
#include <string_view>

namespace tether {

// One file of the parent's web console, as the service serves it.
struct ConsoleFile {
  std::string_view path;         // under "/", e.g. "/app.js"
  std::string_view contentType;  // e.g. "text/javascript; charset=utf-8"
  std::string_view content;
};

// The console's files (the folder console/), built into the executable.
namespace ConsoleFiles {

// Every file, sorted by path.
std::span<const ConsoleFile> all();

// The file served for a request path: "/" is "/index.html"; nothing for any other path.
const ConsoleFile* find(std::string_view path);

}  // namespace ConsoleFiles
}  // namespace tether
