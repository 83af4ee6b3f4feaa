#include "AppBundle.h"

namespace tether::AppBundle {

std::optional<std::string> infoPlistPath(std::string_view executablePath) {
  constexpr std::string_view marker = ".app/";
  const std::size_t at = executablePath.find(marker);
  if (at == std::string_view::npos) return std::nullopt;
  std::string path(executablePath.substr(0, at + marker.size() - 1));
  path += "/Contents/Info.plist";
  return path;
}

}  // namespace tether::AppBundle
