#include "PasswordHash.h"

#include <sodium.h>

namespace tether::PasswordHash {

Cost interactive() {
  return {crypto_pwhash_OPSLIMIT_INTERACTIVE, crypto_pwhash_MEMLIMIT_INTERACTIVE};
}

Cost minimal() {
  return {crypto_pwhash_OPSLIMIT_MIN, crypto_pwhash_MEMLIMIT_MIN};
}

Result<std::string> hash(std::string_view password, Cost cost) {
  if (sodium_init() < 0) return Result<std::string>::failure("libsodium could not be initialised");
  char out[crypto_pwhash_STRBYTES];
  if (crypto_pwhash_str(out, password.data(), password.size(), cost.opsLimit, cost.memLimit) != 0) {
    return Result<std::string>::failure("password hashing ran out of memory");
  }
  return std::string(out);
}

bool verify(const std::string& stored, std::string_view password) {
  if (sodium_init() < 0) return false;
  if (stored.empty() || stored.size() >= crypto_pwhash_STRBYTES) return false;
  return crypto_pwhash_str_verify(stored.c_str(), password.data(), password.size()) == 0;
}

bool needsRehash(const std::string& stored, Cost cost) {
  if (stored.size() >= crypto_pwhash_STRBYTES) return true;
  return crypto_pwhash_str_needs_rehash(stored.c_str(), cost.opsLimit, cost.memLimit) != 0;
}

}  // namespace tether::PasswordHash
