#pragma once

#include <array>
#include <string_view>

namespace tether {

// A 256-bit cryptographic digest (BLAKE2b) of a text: the same digest means the same bytes, so a
// large text can be recognised again without being kept.
namespace Digest {

using Value = std::array<unsigned char, 32>;

Value of(std::string_view text);

}  // namespace Digest
}  // namespace tether
