#include "Tokens.h"

#include <sodium.h>

#include <array>
#include <cstdlib>

namespace tether::Tokens {

std::string random() {
  // randombytes reads the system generator even without it, but libsodium wants it called once.
  if (sodium_init() < 0) std::abort();
  std::array<unsigned char, 32> bytes{};
  randombytes_buf(bytes.data(), bytes.size());
  char text[sodium_base64_ENCODED_LEN(32, sodium_base64_VARIANT_URLSAFE_NO_PADDING)];
  sodium_bin2base64(text, sizeof text, bytes.data(), bytes.size(),
                    sodium_base64_VARIANT_URLSAFE_NO_PADDING);
  sodium_memzero(bytes.data(), bytes.size());
  return text;
}

std::string digest(std::string_view secret) {
  std::array<unsigned char, crypto_generichash_BYTES> out{};
  crypto_generichash(out.data(), out.size(), reinterpret_cast<const unsigned char*>(secret.data()),
                     secret.size(), nullptr, 0);
  char hex[crypto_generichash_BYTES * 2 + 1];
  sodium_bin2hex(hex, sizeof hex, out.data(), out.size());
  return hex;
}

}  // namespace tether::Tokens
