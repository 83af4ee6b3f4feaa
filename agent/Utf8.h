#pragma once

#include <string>
#include <string_view>

namespace tether {

// Text from the operating system (paths) comes as bytes; the agent works with UTF-8.
namespace Utf8 {

// The bytes as UTF-8 text: well-formed sequences are kept, and each maximal ill-formed
// subsequence becomes one U+FFFD replacement character (the Unicode recommended practice).
std::string repaired(std::string_view bytes);

}  // namespace Utf8
}  // namespace tether
