// Fuzz target: the tab snapshot, which the logged-in user can write. What decodes survives the
// trip through the helper's encoding unchanged, and its freshness never counts a time stamp far
// from now.
#include <cmath>
#include <cstdint>
#include <string_view>

#include "FuzzCheck.h"
#include "TabState.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tether;
  const auto snapshot =
      TabState::decodeSnapshot(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!snapshot) {
    FUZZ_CHECK(!snapshot.error().empty());
    return 0;
  }
  FUZZ_CHECK(std::isfinite(snapshot->ts) && std::isfinite(snapshot->idleSeconds));
  const auto again = TabState::decodeSnapshot(TabState::encode(*snapshot));
  FUZZ_CHECK(again.ok());
  FUZZ_CHECK(again->ts == snapshot->ts && again->bundleId == snapshot->bundleId &&
             again->host == snapshot->host && again->privateBrowsing == snapshot->privateBrowsing &&
             again->idleSeconds == snapshot->idleSeconds && again->locked == snapshot->locked);
  const double now = 1.8e9;
  if (TabState::isFresh(*snapshot, now)) FUZZ_CHECK(std::fabs(now - snapshot->ts) < 45);
  return 0;
}
