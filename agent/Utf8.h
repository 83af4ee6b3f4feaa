#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tether {

// Text from the operating system (paths) comes as bytes; the agent works with UTF-8.
namespace Utf8 {

// The bytes as UTF-8 text: well-formed sequences are kept, and each maximal ill-formed
// subsequence becomes one U+FFFD replacement character (the Unicode recommended practice).
std::string repaired(std::string_view bytes);
// Whether the bytes are well-formed UTF-8 throughout.
bool isValid(std::string_view bytes);
// The well-formed sequence at text[i]: its length in bytes (1 for ASCII), with its code point in
// cp; 0 when none starts there (a stray continuation byte, an overlong form, a surrogate, a value
// above U+10FFFF, a sequence cut short, or i past the end).
std::size_t decode(std::string_view text, std::size_t i, char32_t& cp);
// The code point (at most U+10FFFF) in UTF-8.
void append(std::string& out, char32_t cp);

}  // namespace Utf8
}  // namespace tether
