#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tether {

// Application bundles as a running program's executable path shows them.
namespace AppBundle {

// The Info.plist of the outermost application bundle on the path: everything up to the first
// ".app/" (case-sensitive), without its "/", then "/Contents/Info.plist". Helpers nested inside
// an application therefore count as the application itself.
std::optional<std::string> infoPlistPath(std::string_view executablePath);

}  // namespace AppBundle
}  // namespace tether
