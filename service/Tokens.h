#pragma once

#include <string>
#include <string_view>

namespace tether {

// Bearer tokens and one-time codes: 32 random bytes from the system's generator, written in
// URL-safe base64 without padding (43 characters).
namespace Tokens {

std::string random();

// The form in which secrets that are never shown again (account tokens, sign-in codes) are kept:
// the hex text of their BLAKE2b-256 digest. A copy of the database then reveals no usable token.
// Also the digest by which a stored policy document is recognised.
std::string digest(std::string_view secret);

}  // namespace Tokens
}  // namespace tether
