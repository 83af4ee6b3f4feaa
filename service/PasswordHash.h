#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "Result.h"

namespace tether {

// Salted, deliberately slow password hashes (Argon2id through libsodium). A stored hash is
// self-describing text that carries its own salt and cost, so older hashes stay verifiable when
// the cost changes.
namespace PasswordHash {

struct Cost {
  unsigned long long opsLimit = 0;
  std::size_t memLimit = 0;
};

// libsodium's limits for interactive logins: what the service uses.
Cost interactive();
// The cheapest setting the algorithm allows; only for tests, where speed matters more.
Cost minimal();

Result<std::string> hash(std::string_view password, Cost cost);
bool verify(const std::string& stored, std::string_view password);
// True when a stored hash was made with a cost other than the given one (or cannot be read).
bool needsRehash(const std::string& stored, Cost cost);

}  // namespace PasswordHash
}  // namespace tether
