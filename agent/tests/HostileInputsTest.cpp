// Hostile snapshot values; hostile files and bodies are tested with their owners' tests.
#include <gtest/gtest.h>

#include <cmath>

#include "TabState.h"
#include "TestSupport.h"
#include "dns/DNSProxy.h"

namespace tether {
namespace {

namespace fs = std::filesystem;

// Hosts and values a user could put in the snapshot go through a whole cycle: the cycle credits
// only finite time, writes its request every time, and no spelling escapes a block.
TEST(HostileSnapshot, OddHostsAndValuesGoThroughTheCycleWithoutEscapingABlock) {
  test::TempDir dir;
  auto agent = test::makeAgent(dir.path());
  agent->applyPolicy(*Policy::decode(
      R"({"rev":3,"domains":["blocked.test"],"domainLimits":{"video.test":30,"zero.test":0}})"));
  const fs::path tab = TabState::snapshotPath(dir.path());
  const fs::path enforce = TabState::enforcePath(dir.path());
  const double now =
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  std::string longHost;
  while (longHost.size() < 60'000) longHost += "a.";
  const std::pair<std::string, bool> cases[] = {
      {"", false}, {".", false}, {"..", false}, {"BLOCKED.TEST.", true},
      {"www.Blocked.Test:443/path?q", true}, {std::string("blocked.test\0.evil", 18), false},
      {"cdn.zero.test", true}, {"xn--bcher-kva.video.test", false},
      {longHost + "video.test", false}, {"blocked.test.evil.example", false}};
  for (const auto& [host, evict] : cases) {
    TabState::writeSnapshot({now, "com.apple.Safari", host, false, -1e308, false}, tab);
    fs::remove(enforce);
    agent->sampleAndEnforce();
    auto request = TabState::readEnforce(enforce);
    ASSERT_TRUE(request) << host.substr(0, 40);
    EXPECT_EQ(request->evict, evict) << host.substr(0, 40);
  }
  // Time stamps far in the future or far in the past: stale, so a locked screen claimed for
  // ever credits nothing less than the fallback (every running app with a rule) and the limited
  // site stays blocked.
  for (double ts : {1e18, 1e308, -1e308}) {
    TabState::writeSnapshot({ts, "com.apple.Safari", "www.video.test", false, 0, true}, tab);
    fs::remove(enforce);
    agent->sampleAndEnforce();
    ASSERT_TRUE(TabState::readEnforce(enforce));
    EXPECT_FALSE(TabState::readEnforce(enforce)->evict);  // no fresh host, nothing to leave
    EXPECT_TRUE(agent->dns().isBlocked("www.video.test")) << ts;
  }
  for (const auto& [key, minutes] : agent->usage().minutes) {
    EXPECT_TRUE(std::isfinite(minutes) && minutes >= 0) << key << " " << minutes;
  }
  EXPECT_TRUE(UsageState::decode(test::readFile(dir / "usage.json")));
}

}  // namespace
}  // namespace tether
