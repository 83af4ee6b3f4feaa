// The sample-and-enforce cycle: crediting, the enforcement request and termination; and domain
// limits and the blocked list, what the agent hands to the DNS proxy.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <functional>
#include <thread>

#include "DNSTestSupport.h"
#include "TabState.h"
#include "TestSupport.h"
#include "dns/DNSProxy.h"

namespace tether {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

class SampleCycle : public testing::Test {
 protected:
  test::ScopedTimeZone zone{"UTC"};
  test::TempDir dir;
  std::chrono::system_clock::time_point wall =
      std::chrono::sys_days(std::chrono::year{2026} / 3 / 11) + 10h;
  std::chrono::steady_clock::time_point mono{1000s};
  std::shared_ptr<test::FakeProcessTable> fakes = std::make_shared<test::FakeProcessTable>();
  int pauses = 0;
  std::function<void()> onPause = [] {};
  std::unique_ptr<Agent> agent;

  void start(double sampleInterval = 3, std::shared_ptr<ProcessTable> table = nullptr) {
    AgentEnvironment env = AgentEnvironment::system();
    env.now = [this] { return wall; };
    env.monotonic = [this] { return mono; };
    env.processes = table ? table : fakes;
    env.pause = [this](const WakeSignal&, std::chrono::microseconds) {
      ++pauses;
      onPause();
    };
    env.dnsListenPort = 0;
    agent =
        test::makeAgent(dir.path(), env, test::configJson("http://127.0.0.1:9", sampleInterval));
  }
  void policy(const std::string& json) { agent->applyPolicy(Policy::decode(json).value()); }
  // Today's usage file with these minutes.
  void used(const std::string& minutes) {
    test::writeFile(dir / "usage.json", test::usageJson("2026-03-11", minutes));
  }
  // A made-up process of a bundle Name.app in folder.
  void addApp(pid_t pid, const fs::path& folder, const std::string& name, const std::string& id) {
    fakes->add(pid, test::makeAppBundle(folder / (name + ".app"), test::infoPlist(id), name));
  }
  double wallSeconds() const {
    return std::chrono::duration<double>(wall.time_since_epoch()).count();
  }
  void snapshot(const std::string& bundleId, std::optional<std::string> host = std::nullopt,
                double idle = 0, bool locked = false, bool privateBrowsing = false,
                double age = 1) {
    TabState::writeSnapshot({wallSeconds() - age, bundleId, host, privateBrowsing, idle, locked},
                            TabState::snapshotPath(dir.path()));
  }
  void advance(std::chrono::milliseconds gap) {
    wall += gap;
    mono += gap;
  }
  // Advances both clocks and runs one cycle.
  void cycle(std::chrono::milliseconds gap = 3s) {
    advance(gap);
    agent->sampleAndEnforce();
  }
  double minutes(const std::string& key) const {
    const auto& all = agent->usage().minutes;
    return all.contains(key) ? all.at(key) : 0;
  }
  TabEnforce request() const { return *TabState::readEnforce(TabState::enforcePath(dir.path())); }
};

constexpr double kThreeSeconds = 3.0 / 60;

TEST_F(SampleCycle, WithoutAFreshSnapshotEveryRunningAppWithARuleIsCreditedOnce) {
  start();
  addApp(101, dir.path(), "Game", "com.game");
  addApp(102, dir / "h", "Game Helper", "com.game");  // another bundle, same identifier
  addApp(103, dir.path(), "Notes", "com.notes");
  addApp(104, dir.path(), "Free", "com.free");
  policy(R"({"rev":1,"apps":{"com.game":{},"com.notes":{},"com.absent":{}}})");
  cycle();
  const std::map<std::string, double> credited{{"com.game", kThreeSeconds},
                                               {"com.notes", kThreeSeconds}};
  EXPECT_EQ(agent->usage().minutes, credited);
  const TabEnforce r = request();
  EXPECT_FALSE(r.evict);
  EXPECT_TRUE(r.closePrivate);
  EXPECT_DOUBLE_EQ(r.ts, wallSeconds());
}

TEST_F(SampleCycle, FreshSnapshotCreditsOnlyThePresentFrontApplication) {
  start();
  addApp(101, dir.path(), "Game", "com.game");
  addApp(103, dir.path(), "Notes", "com.notes");
  policy(R"({"rev":1,"apps":{"com.game":{},"com.notes":{},"com.apple.Safari":{}}})");
  snapshot("com.notes", std::nullopt, 599.9);
  cycle();
  EXPECT_DOUBLE_EQ(minutes("com.notes"), kThreeSeconds);
  snapshot("com.notes", std::nullopt, 600);  // away from the keyboard
  cycle();
  snapshot("com.apple.Safari", std::nullopt, 3600);  // a browser counts while idle
  cycle();
  snapshot("com.notes", std::nullopt, 0, /*locked=*/true);
  cycle();
  EXPECT_EQ(agent->usage().minutes,
            (std::map<std::string, double>{{"com.apple.Safari", kThreeSeconds},
                                           {"com.notes", kThreeSeconds}}));
}

// A snapshot that cannot be trusted (a link, a FIFO, an oversized file) reads as none, as the
// shared tab state tests show; like a stale one it leaves the cycle without a snapshot.
TEST_F(SampleCycle, LimitedHostReachesItsLimitAfterACappedGapAndIsEvictedInTheSameCycle) {
  used(R"({"video.example":29.9})");
  start(5);
  policy(R"({"rev":1,"apps":{"com.apple.Safari":{}},"domainLimits":{"video.example":30}})");
  snapshot("com.apple.Safari", "www.video.example");
  cycle(0ms);
  EXPECT_FALSE(request().evict);

  // After a 10-minute gap one cycle credits at most 15 seconds: 29.9 becomes 30.15.
  advance(10min);
  snapshot("com.apple.Safari", "www.video.example");
  cycle(0ms);
  EXPECT_NEAR(minutes("video.example"), 30.15, 1e-9);
  EXPECT_DOUBLE_EQ(minutes("com.apple.Safari"), 0.25);
  EXPECT_TRUE(request().evict);
}

TEST_F(SampleCycle, BlockedOrPrivatePagesCreditNoSiteMinutes) {
  start();
  policy(R"({"rev":1,"domains":["bad.example"],"domainLimits":{"video.example":30}})");
  snapshot("com.google.Chrome", "bad.example");
  cycle();
  EXPECT_TRUE(request().evict);
  EXPECT_EQ(minutes("bad.example"), 0);

  // The helper leaves the host out for private tabs: nothing to credit, nothing to evict.
  snapshot("com.google.Chrome", std::nullopt, 0, false, /*private=*/true);
  cycle();
  EXPECT_FALSE(request().evict);
  snapshot("com.google.Chrome", "video.example", 0, false, /*private=*/true);
  cycle();
  EXPECT_EQ(minutes("video.example"), 0);
}

// Hosts and times a user could put in the snapshot: no spelling escapes a block, only finite time
// is credited, and a time stamp far off leaves the limited site blocked.
TEST_F(SampleCycle, OddSnapshotHostsAndTimesEscapeNoBlock) {
  start();
  policy(R"({"rev":3,"domains":["blocked.test"],"domainLimits":{"video.test":30,"zero.test":0}})");
  std::string longHost;
  while (longHost.size() < 60'000) longHost += "a.";
  const std::pair<std::string, bool> cases[] = {{"", false},
                                                {".", false},
                                                {"..", false},
                                                {"BLOCKED.TEST.", true},
                                                {"www.Blocked.Test:443/path?q", true},
                                                {std::string("blocked.test\0.evil", 18), false},
                                                {"cdn.zero.test", true},
                                                {"xn--bcher-kva.video.test", false},
                                                {longHost + "video.test", false},
                                                {"blocked.test.evil.example", false}};
  for (const auto& [host, evict] : cases) {
    snapshot("com.apple.Safari", host, -1e308);
    fs::remove(TabState::enforcePath(dir.path()));  // written again every cycle
    cycle();
    EXPECT_EQ(request().evict, evict) << host.substr(0, 40);
  }
  for (double ts : {1e18, 1e308, -1e308}) {
    TabState::writeSnapshot({ts, "com.apple.Safari", "www.video.test", false, 0, true},
                            TabState::snapshotPath(dir.path()));
    cycle();
    EXPECT_FALSE(request().evict) << ts;  // no fresh host, nothing to leave
    EXPECT_TRUE(agent->dns().isBlocked("www.video.test")) << ts;
  }
  for (const auto& [key, minutes] : agent->usage().minutes) {
    EXPECT_TRUE(std::isfinite(minutes) && minutes >= 0) << key << " " << minutes;
  }
}

TEST_F(SampleCycle, CreditCapGrowsWithTheSampleIntervalAndIsNeverNegative) {
  start(30);
  policy(R"({"rev":1,"apps":{"com.notes":{}}})");
  advance(10min);
  snapshot("com.notes");
  cycle(0ms);
  EXPECT_DOUBLE_EQ(minutes("com.notes"), 1.5);  // 3 × 30 seconds

  wall -= 1h;  // the wall clock set back does not touch the elapsed time
  snapshot("com.notes");
  cycle(0ms);
  EXPECT_DOUBLE_EQ(minutes("com.notes"), 1.5);
}

TEST_F(SampleCycle, EveryProcessOfABlockedAppIsSignalledProtectedOnesNeverAndOnlyThatCostsAPause) {
  start();
  addApp(201, dir.path(), "Finder", "com.apple.Finder");
  addApp(202, dir.path(), "Game", "com.game");
  addApp(203, dir / "h", "Game", "com.game");
  policy(R"({"rev":1,"apps":{"com.apple.Finder":{"dailyLimitMinutes":0},
            "com.game":{"dailyLimitMinutes":0},"com.absent":{"dailyLimitMinutes":0},
            "com.free":{"dailyLimitMinutes":60}}})");
  const int listings = fakes->listings;
  cycle();
  EXPECT_EQ(pauses, 1);  // com.game; not com.absent, which is not running, nor the Finder
  const std::vector<std::pair<pid_t, int>> expected = {
      {202, SIGTERM}, {203, SIGTERM}, {202, SIGKILL}, {203, SIGKILL}};
  EXPECT_EQ(fakes->signals, expected);
  // The processes are listed once per cycle, and once more after the pause of each signalled app.
  EXPECT_EQ(fakes->listings - listings, 2);
}

TEST_F(SampleCycle, AStopEndsThePauseAndAbandonsTheTerminationPass) {
  start();
  std::string apps;
  for (int i = 0; i < 20; ++i) {
    const std::string id = "com.game" + std::to_string(i);
    addApp(300 + i, dir.path(), "Game" + std::to_string(i), id);
    apps += (i ? ",\"" : "\"") + id + R"(":{"dailyLimitMinutes":0})";
  }
  policy(R"({"rev":1,"apps":{)" + apps + "}}");
  // The stop comes during the second pause (the agent's own pause waits on it).
  onPause = [this] {
    if (pauses == 2) agent->requestStop();
  };
  cycle();
  EXPECT_EQ(pauses, 2);
  std::map<int, int> sent;
  for (const auto& [pid, number] : fakes->signals) ++sent[number];
  EXPECT_EQ(sent, (std::map<int, int>{{SIGTERM, 2}, {SIGKILL, 1}}));
  EXPECT_TRUE(UsageState::decode(test::readFile(dir / "usage.json")));
}

TEST_F(SampleCycle, FailedWritesOfUsageOrRequestAreLoggedOnceAndSoIsTheirRecovery) {
  start();
  test::CapturedStderr log;
  for (const fs::path& file : {dir / "usage.json", TabState::enforcePath(dir.path())}) {
    fs::remove(file);
    fs::create_directories(file);  // a folder in its place: every write fails
    cycle();
    cycle();
    fs::remove(file);
    cycle();
    cycle();
    EXPECT_EQ(test::count(log.text(), "] could not write " + file.string() + ": rename: "), 1u);
    EXPECT_EQ(test::count(log.text(), "] wrote " + file.string() + " again\n"), 1u);
  }
  EXPECT_EQ(test::count(log.text(), "\n"), 4u);
}

using Hosts = std::vector<std::string>;
using DomainLimits = SampleCycle;

// Without a fresh snapshot every positive limit is used up; with one, a limit is reached at
// equality by the minutes credited to the rule's own host.
TEST_F(DomainLimits, UsedUpWithoutAFreshSnapshotElseReachedAtEqualityUnderTheRuleHost) {
  used(R"({"example.com": 29.9, "video.com": 30.0, "www.example.com": 100})");
  start();
  policy(
      R"({"rev":1,"domainLimits":{"example.com":30,"video.com":30,"zero.com":0,"minus.com":-1}})");
  const DNSProxy::HostSet all{"example.com", "video.com"}, reached{"video.com"};
  EXPECT_EQ(agent->dns().overCap(), all);
  EXPECT_FALSE(agent->dns().isBlocked("minus.com"));
  EXPECT_EQ(agent->currentlyBlocked(), (Hosts{"example.com", "video.com", "zero.com"}));
  // An unreadable snapshot counts as none; a stale one too, whether old or from the future.
  test::writeFile(TabState::snapshotPath(dir.path()), R"({"ts": "soon"})");
  cycle(0ms);
  EXPECT_EQ(agent->dns().overCap(), all);
  for (const auto& [age, over] : {std::pair{44.0, reached}, {600.0, all}, {-3600.0, all}}) {
    snapshot("com.apple.Safari", std::nullopt, 0, false, false, age);
    cycle(0ms);
    EXPECT_EQ(agent->dns().overCap(), over) << "age " << age;
  }
  snapshot("com.apple.Safari");
  cycle(0ms);
  EXPECT_EQ(agent->currentlyBlocked(), (Hosts{"video.com", "zero.com"}));
}

// The agent's own requests go through its proxy: the service's host stays reachable whatever the
// policy says, or the policy that lifts a block could never be fetched.
TEST_F(DomainLimits, TheServiceHostAndNamesUnderItAreNeverBlocked) {
  auto env = AgentEnvironment::system();
  env.processes = fakes;
  agent = test::makeAgent(dir.path(), env, test::configJson("https://API.Tether.example:8443/x"));
  policy(R"({"rev":1,"domains":["tether.example","api.tether.example"],
      "domainLimits":{"example":30}})");  // no snapshot: the limit is used up
  for (const auto& [name, blocked] : {std::pair{"api.tether.example", false},
                                      {"Api.Tether.Example.", false},
                                      {"eu.api.tether.example", false},
                                      {"tether.example", true},
                                      {"www.tether.example", true},
                                      {"xapi.tether.example", true},
                                      {"api.tether.example.other.example", true}}) {
    EXPECT_EQ(agent->dns().isBlocked(name), blocked) << name;
  }
}

TEST_F(DomainLimits, BlockedListHoldsEveryBlockingRuleAppsIncludedSorted) {
  used(R"({"com.game": 10, "com.free": 5})");
  start();
  const std::string apps = R"("apps":{"com.game":{"dailyLimitMinutes":10},
      "com.free":{"dailyLimitMinutes":100}},"domainLimits":{"example.com":0})";
  policy(R"({"rev":1,"domains":["zzz.com","example.com","ads.kids.com","kids.com"],
      "domainAllow":["kids.com","ok.zzz.com"],)" +
         apps + "}");
  snapshot("com.apple.Safari");
  cycle(0ms);
  // A limit of 0 blocks through the proxy's own rule, not through the over-limit set.
  EXPECT_TRUE(agent->dns().overCap().empty());
  EXPECT_EQ(agent->dns().currentBlocked(),
            (Hosts{"zzz.com", "example.com", "ads.kids.com", "kids.com", "example.com"}));
  EXPECT_EQ(agent->currentlyBlocked(), (Hosts{"ads.kids.com", "com.game", "example.com",
                                              "example.com", "kids.com", "zzz.com"}));
  EXPECT_FALSE(agent->dns().isBlocked("ok.zzz.com"));

  // The order is the plain sort of the texts, for hosts that share long beginnings, are short,
  // or hold bytes above 127; and it follows a new policy.
  policy(R"({"rev":2,"domains":["abcdefgh.b","abcdefgh","b","abcdefgh.a","abcdefg","abcdefghi",
      "\u00e9t\u00e9.fr","Z.com","abcdefgh","ab","com.game","~.org"],)" +
         apps + "}");
  cycle(0ms);
  Hosts sorted = agent->dns().currentBlocked();
  sorted.push_back("com.game");
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(agent->currentlyBlocked(), sorted);
  policy(R"({"rev":3,"domains":["new.com"],)" + apps + "}");
  cycle(0ms);
  EXPECT_EQ(agent->currentlyBlocked(), (Hosts{"com.game", "example.com", "new.com"}));
}

TEST_F(DomainLimits, LargePolicyIsServedWhileItIsSwappedIn) {
  start();
  policy(R"({"rev":1,"domains":["site199999.example"]})");
  ASSERT_FALSE(agent->dns().start());
  // 200 000 names keep the sanitizer build quick; the benchmarks take a million.
  Policy big = Policy::decode(R"({"rev":2})").value();
  for (int i = 0; i < 200'000; ++i) big.domains.push_back("site" + std::to_string(i) + ".example");
  // A client asks for a blocked name all along; every query is answered while the new policy is
  // built and handed over.
  std::atomic<bool> done{false};
  std::atomic<int> unanswered{0};
  std::thread asker([&] {
    test::UdpSocket client;
    while (!done) {
      client.sendTo(test::dnsQuery(7, "www.site199999.example", 1), agent->dns().port());
      unanswered += !client.receive(3000ms);
    }
  });
  agent->applyPolicy(std::move(big));
  std::this_thread::sleep_for(50ms);
  done = true;
  asker.join();
  EXPECT_EQ(unanswered, 0);
  EXPECT_TRUE(agent->dns().isBlocked("www.site0.example"));
  EXPECT_FALSE(agent->dns().isBlocked("site200000.example"));
  EXPECT_EQ(agent->dns().currentBlocked().size(), 200'000u);
  agent->shutdown();
}

}  // namespace
}  // namespace tether
