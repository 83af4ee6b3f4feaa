#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "Result.h"

namespace tether {

// The gzip content coding of HTTP bodies (zlib).
namespace Gzip {

// The error text of a body that decodes to more than the allowed size.
inline constexpr const char* kTooLarge = "the decoded body is too large";

// The bytes in gzip form. Level 1 is the fastest, 9 the smallest.
std::string compress(std::string_view bytes, int level = 6);

// The decoded bytes of one or more gzip members, at most maxBytes of them: beyond that decoding
// stops with kTooLarge, so a small body cannot make a large one. Anything that is not complete
// gzip data is refused with zlib's reason.
Result<std::string> decompress(std::string_view gzip, std::size_t maxBytes);

}  // namespace Gzip
}  // namespace tether
