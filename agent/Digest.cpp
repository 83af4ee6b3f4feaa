#include "Digest.h"

#include <sodium.h>

namespace tether::Digest {

Value of(std::string_view text) {
  // Picks the fastest implementation for this processor; safe to call from any thread. Should it
  // fail (it can only fail to seed random numbers, which are not used here), the portable
  // implementation gives the same digest.
  [[maybe_unused]] static const int ready = sodium_init();
  Value out{};
  crypto_generichash(out.data(), out.size(), reinterpret_cast<const unsigned char*>(text.data()),
                     text.size(), nullptr, 0);
  return out;
}

}  // namespace tether::Digest
