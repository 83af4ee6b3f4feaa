// Fuzz target: the policy body, decoded with its host lists collected while parsing against the
// plain decoding of the whole document as the oracle: the same policy, or the same refusal.
#include <cstdint>
#include <string_view>

#include "FuzzCheck.h"
#include "Policy.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using tether::Policy;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto collected = Policy::decode(text);
  const auto plain = Policy::decode(text, Policy::HostLists::fromDocument);
  FUZZ_CHECK(collected.ok() == plain.ok());
  if (plain.ok()) {
    FUZZ_CHECK(*collected == *plain);
    (void)plain->siteRules();
  } else {
    FUZZ_CHECK(collected.error() == plain.error());
  }
  return 0;
}
