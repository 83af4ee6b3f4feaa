// Domain limits and the blocked list: what the agent hands to the DNS proxy from the policy, the
// day's usage and the tab helper's snapshot.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "Agent.h"
#include "Clock.h"
#include "DNSTestSupport.h"
#include "TabState.h"
#include "TestSupport.h"
#include "dns/DNSProxy.h"
#include "dns/SiteIndex.h"

namespace tether {
namespace {

using namespace std::chrono_literals;
using Hosts = std::vector<std::string>;

class DomainLimits : public testing::Test {
 protected:
  test::ScopedTimeZone zone{"UTC"};
  test::TempDir dir;
  // 2026-03-14 12:00:00 UTC, a Saturday.
  std::chrono::system_clock::time_point now =
      std::chrono::sys_seconds(std::chrono::seconds(1773489600));
  test::UdpSocket upstream;
  std::unique_ptr<Agent> agent;

  // The agent with today's usage file holding these minutes, and the given policy in force.
  void makeAgent(const Policy& policy, const std::string& minutesJson = "{}") {
    test::writeFile(dir / "usage.json", R"({"date":")" + Clock::todayStamp(now) +
                                            R"(","minutes":)" + minutesJson + R"(,"epoch":0})");
    auto env = AgentEnvironment::system();
    env.now = [this] { return now; };
    env.dnsListenPort = 0;
    env.dnsUpstreamPort = upstream.port();
    agent = std::make_unique<Agent>(*AgentConfig::decode(test::configJson()),
                                    (dir / "config.json").string(), env);
    Policy p = policy;
    p.rev = 1;
    agent->applyPolicy(p);
  }

  void writeSnapshot(double ageSeconds) {
    TabSnapshot s;
    s.ts = std::chrono::duration<double>(now.time_since_epoch()).count() - ageSeconds;
    s.bundleId = "com.apple.Safari";
    TabState::writeSnapshot(s, TabState::snapshotPath(dir.path()));
  }

  DNSProxy::HostSet overCap() { return agent->dns().overCap(); }
};

Policy limits(std::map<std::string, int64_t> domainLimits) {
  Policy p;
  p.domainLimits = std::move(domainLimits);
  return p;
}

TEST_F(DomainLimits, WithoutASnapshotEveryPositiveLimitIsUsedUp) {
  makeAgent(limits({{"example.com", 60}, {"zero.com", 0}, {"minus.com", -1}}));
  EXPECT_EQ(overCap(), (DNSProxy::HostSet{"example.com"}));
  EXPECT_TRUE(agent->dns().isBlocked("www.example.com"));
  EXPECT_FALSE(agent->dns().isBlocked("minus.com"));
  EXPECT_EQ(agent->currentlyBlocked(), (Hosts{"example.com", "zero.com"}));
  // An unreadable snapshot counts as none.
  test::writeFile(TabState::snapshotPath(dir.path()), R"({"ts": "soon"})");
  agent->applyDNS();
  EXPECT_EQ(overCap(), (DNSProxy::HostSet{"example.com"}));
}

TEST_F(DomainLimits, SnapshotIsFreshBelow45SecondsAndInTheFuture) {
  makeAgent(limits({{"example.com", 30}}));
  for (const auto& [age, over] : std::vector<std::pair<double, bool>>{
           {44, false}, {44.9, false}, {45, true}, {600, true}, {-3600, false}}) {
    writeSnapshot(age);
    agent->applyDNS();
    EXPECT_EQ(overCap().contains("example.com"), over) << "age " << age;
  }
}

TEST_F(DomainLimits, LimitIsReachedAtEqualityUnderTheRuleHost) {
  makeAgent(limits({{"example.com", 30}, {"video.com", 30}}),
            R"({"example.com": 29.9, "video.com": 30.0, "www.example.com": 100})");
  writeSnapshot(1);
  agent->applyDNS();
  EXPECT_EQ(overCap(), (DNSProxy::HostSet{"video.com"}));
  EXPECT_EQ(agent->currentlyBlocked(), (Hosts{"video.com"}));
}

TEST_F(DomainLimits, BlockedListHoldsEveryBlockingRuleAppsIncludedSorted) {
  Policy p;
  p.domains = {"zzz.com", "example.com", "ads.kids.com", "kids.com"};
  p.domainLimits = {{"example.com", 0}};
  p.domainAllow = {"kids.com", "ok.zzz.com"};
  AppRule game;
  game.dailyLimitMinutes = 10;
  AppRule free;
  free.dailyLimitMinutes = 100;
  p.apps = {{"com.game", game}, {"com.free", free}};
  makeAgent(p, R"({"com.game": 10, "com.free": 5})");
  writeSnapshot(1);
  agent->applyDNS();
  // A limit of 0 blocks through the proxy's own rule, not through the over-limit set.
  EXPECT_TRUE(overCap().empty());
  EXPECT_EQ(agent->dns().currentBlocked(),
            (Hosts{"zzz.com", "example.com", "ads.kids.com", "kids.com", "example.com"}));
  EXPECT_EQ(agent->currentlyBlocked(), (Hosts{"ads.kids.com", "com.game", "example.com",
                                              "example.com", "kids.com", "zzz.com"}));
  EXPECT_FALSE(agent->dns().isBlocked("ok.zzz.com"));

  // The order is the plain sort of the texts, for hosts that share long beginnings, are short,
  // or hold bytes above 127; and it follows a new policy.
  auto sortedByText = [this] {
    Hosts all = agent->dns().currentBlocked();
    all.push_back("com.game");
    std::sort(all.begin(), all.end());
    return all;
  };
  p.rev = 2;
  p.domains = {"abcdefgh.b", "abcdefgh", "b", "abcdefgh.a", "abcdefg", "\xc3\xa9t\xc3\xa9.fr",
               "abcdefghi", "Z.com", "abcdefgh", "ab", "com.game", "~.org"};
  agent->applyPolicy(p);
  agent->applyDNS();
  EXPECT_EQ(agent->currentlyBlocked(), sortedByText());
  p.rev = 3;
  p.domains = {"new.com"};
  agent->applyPolicy(p);
  agent->applyDNS();
  EXPECT_EQ(agent->currentlyBlocked(), (Hosts{"com.game", "example.com", "new.com"}));
}

TEST_F(DomainLimits, ProxyAnswersWithTheRulesAndLimitsOfTheLatestHandOver) {
  makeAgent(limits({{"video.com", 30}}), R"({"video.com": 12})");
  ASSERT_FALSE(agent->dns().start());
  test::UdpSocket client;
  client.sendTo(test::dnsQuery(1, "www.video.com", 1), agent->dns().port());
  EXPECT_EQ(client.receive(1000ms).value_or("").size(), 12 + 15 + 4 + 16u);  // fails closed
  writeSnapshot(1);
  agent->applyDNS();
  const std::string query = test::dnsQuery(2, "www.video.com", 1);
  client.sendTo(query, agent->dns().port());
  EXPECT_EQ(upstream.receive(1000ms).value_or(""), query);
  agent->shutdown();
}

TEST_F(DomainLimits, LargePolicyIsServedWhileItIsSwappedIn) {
  // 200 000 names keep the sanitizer build quick; the benchmarks take a million.
  constexpr int kNames = 200'000;
  Policy big;
  big.domains.reserve(kNames);
  for (int i = 0; i < kNames; ++i) big.domains.push_back("site" + std::to_string(i) + ".example");
  Policy small;
  small.domains = {"site199999.example"};
  makeAgent(small);
  ASSERT_FALSE(agent->dns().start());
  // A client asks for a blocked name all along; every query is answered while the new policy is
  // built and handed over.
  std::atomic<bool> done{false};
  std::atomic<int> asked{0};
  std::atomic<int> answered{0};
  std::thread asker([&] {
    test::UdpSocket client;
    while (!done) {
      client.sendTo(test::dnsQuery(7, "www.site199999.example", 1), agent->dns().port());
      ++asked;
      if (client.receive(3000ms)) ++answered;
    }
  });
  big.rev = 2;
  agent->applyPolicy(std::move(big));
  std::this_thread::sleep_for(50ms);
  done = true;
  asker.join();
  EXPECT_EQ(answered.load(), asked.load());
  EXPECT_TRUE(agent->dns().isBlocked("www.site0.example"));
  EXPECT_FALSE(agent->dns().isBlocked("site200000.example"));
  EXPECT_EQ(agent->dns().currentBlocked().size(), static_cast<std::size_t>(kNames));
  agent->shutdown();
}

}  // namespace
}  // namespace tether
