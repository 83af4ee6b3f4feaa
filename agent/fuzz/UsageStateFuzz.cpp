// Fuzz target: the usage file. Whatever decodes is written back by the agent, and what it writes
// must decode to the same day of usage, or the next start would lose it.
#include <cstdint>
#include <string_view>

#include "FuzzCheck.h"
#include "UsageState.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using tether::UsageState;
  const auto usage = UsageState::decode(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!usage) {
    FUZZ_CHECK(!usage.error().empty());
    return 0;
  }
  const auto again = UsageState::decode(usage->encode());
  FUZZ_CHECK(again.ok());
  FUZZ_CHECK(*again == *usage);
  return 0;
}
