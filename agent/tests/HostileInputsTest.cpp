// Damaged and hostile inputs: the configuration, the usage file, the tab snapshot and policy
// bodies that are truncated, huge, deeply nested, of the wrong types, or links to something else.
// None may crash or hang the agent; each ends in its documented error or fallback, and nothing
// already counted or in force is lost.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <cmath>
#include <mutex>
#include <thread>

#include <nlohmann/json.hpp>

#include "Agent.h"
#include "Clock.h"
#include "LoopbackServer.h"
#include "TabState.h"
#include "TestSupport.h"
#include "dns/DNSProxy.h"

namespace tether {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nlohmann::json;
using test::TempDir;
using testing::HasSubstr;
using testing::Not;

std::string nested(std::size_t depth) {
  return std::string(depth, '[') + std::string(depth, ']');
}

// --- configuration ------------------------------------------------------------------------------

TEST(HostileConfig, EveryTruncationIsRefusedWithAMessage) {
  TempDir dir;
  const std::string valid = test::configJson();
  for (std::size_t n = 0; n < valid.size(); ++n) {
    test::writeFile(dir / "config.json", valid.substr(0, n));
    auto config = AgentConfig::load(dir / "config.json");
    ASSERT_FALSE(config) << "prefix of " << n << " bytes was accepted";
    EXPECT_FALSE(config.error().empty());
  }
  test::writeFile(dir / "config.json", valid);
  EXPECT_TRUE(AgentConfig::load(dir / "config.json"));
}

TEST(HostileConfig, NestingOverflowingNumbersAndBrokenUtf8AreRefused) {
  json overflow = json::parse(test::configJson());
  std::string overflowText = overflow.dump();
  const std::string interval = "\"sampleIntervalSeconds\":3.0";
  ASSERT_NE(overflowText.find(interval), std::string::npos);
  overflowText.replace(overflowText.find(interval), interval.size(),
                       "\"sampleIntervalSeconds\":1e400");
  std::string brokenUtf8 = test::configJson("http://127.0.0.1:9/x");
  brokenUtf8.replace(brokenUtf8.find("/x"), 2, "/\xC3");

  for (const std::string& text :
       {nested(20'000), overflowText, brokenUtf8, "{\"serverURL\":" + nested(20'000) + "}"}) {
    auto config = AgentConfig::decode(text);
    EXPECT_FALSE(config) << text.substr(0, 80);
  }
}

TEST(HostileConfig, LinkIsFollowedAndTheLinksFolderHoldsTheAgentsFiles) {
  TempDir real, linked;
  test::writeFile(real / "real.json", test::configJson("http://127.0.0.1:9", 600, 600));
  fs::create_symlink(real / "real.json", linked / "config.json");
  const std::string path = (linked / "config.json").string();
  test::ChildProcess agent({test::agentBinary(), "--config", path});
  ASSERT_TRUE(agent.waitForStderr("starting with " + path + " -> ", 10s)) << agent.stderrText();
  for (int i = 0; i < 500 && !fs::exists(linked / "usage.json"); ++i)
    std::this_thread::sleep_for(10ms);
  agent.signal(SIGTERM);
  ASSERT_EQ(agent.wait(10s), 0);
  EXPECT_TRUE(fs::exists(linked / "usage.json"));
  EXPECT_FALSE(fs::exists(real / "usage.json"));
  EXPECT_TRUE(fs::is_symlink(linked / "config.json"));
}

TEST(HostileConfig, FifoDeviceOrLinkLoopFailsAtOnceWithAFatalLine) {
  TempDir dir;
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  fs::create_symlink(dir / "fifo", dir / "to-fifo.json");
  fs::create_symlink("/dev/zero", dir / "to-device.json");
  fs::create_symlink(dir / "loop.json", dir / "loop.json");
  const std::pair<const char*, const char*> cases[] = {
      {"fifo", "is not a regular file"},
      {"to-fifo.json", "is not a regular file"},
      {"to-device.json", "is not a regular file"},
      {"loop.json", "Too many levels of symbolic links"}};
  for (const auto& [name, reason] : cases) {
    // A read that blocked on the FIFO or ran on through the device would end in the time-out.
    auto r = test::run({test::agentBinary(), "--config=" + (dir / name).string()}, 5s);
    EXPECT_EQ(r.status, 1) << name;
    EXPECT_THAT(r.err, HasSubstr("] fatal: ")) << name;
    EXPECT_THAT(r.err, HasSubstr(reason)) << name;
  }
  EXPECT_FALSE(fs::exists(dir / "usage.json"));
}

// --- usage file ---------------------------------------------------------------------------------

class HostileUsageFile : public testing::Test {
 protected:
  TempDir dir;
  const std::string today = Clock::todayStamp();

  std::unique_ptr<Agent> makeAgent() {
    auto config = AgentConfig::decode(test::configJson());
    return std::make_unique<Agent>(*config, (dir / "config.json").string());
  }
  fs::path usagePath() const { return dir / "usage.json"; }
};

TEST_F(HostileUsageFile, HugeNestedOrOutOfRangeFilesCountAsAbsentAndStayUntilTheFirstWrite) {
  // Where a date and an epoch appear they are today's and 5, so a file taken up would show.
  std::string huge = R"({"date":")" + today + R"(","epoch":5,"minutes":{)";
  for (int i = 0; huge.size() <= UsageState::kMaxFileBytes; ++i) {
    huge += (i ? ",\"org.example.app" : "\"org.example.app") + std::to_string(i) + "\":1.5";
  }
  huge += "}}";
  const std::string cases[] = {
      huge,
      nested(20'000),
      R"({"date":")" + today + R"(","epoch":9223372036854775808})",
      R"({"date":")" + today + R"(","epoch":5,"minutes":{"a":1e400}})",
      R"({"date":")" + today + R"(","epoch":5,"minutes":)" + nested(20'000) + "}",
      R"({"date":")" + today + "\",\"epoch\":5,\"minutes\":{\"\xFF\":1}}",
  };
  for (const std::string& stored : cases) {
    test::writeFile(usagePath(), stored);
    auto agent = makeAgent();
    EXPECT_EQ(agent->usage(), (UsageState{today, {}, 0})) << stored.substr(0, 80);
    agent->dayRolloverCheck();
    ASSERT_EQ(test::readFile(usagePath()), stored);
    agent->persistUsage();
    auto written = UsageState::decode(test::readFile(usagePath()));
    ASSERT_TRUE(written) << written.error();
    EXPECT_EQ(*written, agent->usage());
  }
  // The largest epoch fits and survives a round trip.
  test::writeFile(usagePath(), R"({"date":")" + today + R"(","epoch":9223372036854775807})");
  EXPECT_EQ(makeAgent()->usage().epoch, INT64_MAX);
}

TEST_F(HostileUsageFile, FifoOrDeviceInItsPlaceIsNotReadAndTheNextWriteReplacesIt) {
  ASSERT_EQ(::mkfifo(usagePath().c_str(), 0600), 0);
  auto fromFifo = makeAgent();  // would block here if the FIFO were opened for a plain read
  EXPECT_EQ(fromFifo->usage(), (UsageState{today, {}, 0}));
  fromFifo->persistUsage();
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(usagePath())));

  fs::remove(usagePath());
  fs::create_symlink("/dev/zero", usagePath());
  auto fromDevice = makeAgent();
  EXPECT_EQ(fromDevice->usage(), (UsageState{today, {}, 0}));
  fromDevice->persistUsage();
  EXPECT_TRUE(UsageState::decode(test::readFile(usagePath())));
}

// --- tab snapshot -------------------------------------------------------------------------------

TEST(HostileSnapshot, NestedDeviceOrFolderSnapshotsReadAsNone) {
  TempDir dir;
  const fs::path tab = TabState::snapshotPath(dir.path());
  fs::create_directories(tab.parent_path());
  test::writeFile(tab, nested(TabState::kMaxFileBytes / 2 - 1));
  EXPECT_FALSE(TabState::readSnapshot(dir.path()));
  fs::remove(tab);
  fs::create_symlink("/dev/zero", tab);
  EXPECT_FALSE(TabState::readSnapshot(dir.path()));
  fs::remove(tab);
  fs::create_directory(tab);
  EXPECT_FALSE(TabState::readSnapshot(dir.path()));
}

// Hosts and values a user could put in the snapshot go through a whole cycle: the cycle
// credits only finite time, writes its request every time, and no spelling escapes a block.
TEST(HostileSnapshot, OddHostsAndValuesGoThroughTheCycleWithoutEscapingABlock) {
  TempDir dir;
  auto config = AgentConfig::decode(test::configJson());
  Agent agent(*config, (dir / "config.json").string());
  auto policy = Policy::decode(
      R"({"rev":3,"domains":["blocked.test"],"domainLimits":{"video.test":30,"zero.test":0}})");
  ASSERT_TRUE(policy) << policy.error();
  agent.applyPolicy(*policy);

  struct Case {
    std::string host;
    bool evict;
  };
  const std::string longHost = [] {
    std::string h;
    while (h.size() < 60'000) h += "a.";
    return h + "video.test";
  }();
  const Case cases[] = {{"", false},
                        {".", false},
                        {"..", false},
                        {"BLOCKED.TEST.", true},
                        {"www.Blocked.Test:443/path?q", true},
                        {std::string("blocked.test\0.evil", 18), false},
                        {"cdn.zero.test", true},
                        {"xn--bcher-kva.video.test", false},
                        {longHost, false},
                        {"blocked.test.evil.example", false}};
  const double now =
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  for (const Case& c : cases) {
    json snapshot = {{"ts", now},
                     {"bundleId", "com.apple.Safari"},
                     {"host", c.host},
                     {"privateBrowsing", false},
                     {"idleSeconds", -1e308},
                     {"locked", false}};
    const fs::path tab = TabState::snapshotPath(dir.path());
    fs::create_directories(tab.parent_path());
    test::writeFile(tab, snapshot.dump());
    fs::remove(TabState::enforcePath(dir.path()));
    agent.sampleAndEnforce();
    auto request = TabState::readEnforce(TabState::enforcePath(dir.path()));
    ASSERT_TRUE(request) << c.host.substr(0, 40);
    EXPECT_EQ(request->evict, c.evict) << c.host.substr(0, 40);
  }
  // Time stamps far in the future (fresh, by the rule) and far in the past (stale).
  for (double ts : {1e308, -1e308}) {
    json snapshot = {{"ts", ts},
                     {"bundleId", "com.apple.Safari"},
                     {"host", "www.video.test"},
                     {"privateBrowsing", false},
                     {"idleSeconds", 0},
                     {"locked", false}};
    test::writeFile(TabState::snapshotPath(dir.path()), snapshot.dump());
    agent.sampleAndEnforce();
    EXPECT_TRUE(TabState::readEnforce(TabState::enforcePath(dir.path())));
  }
  for (const auto& [key, minutes] : agent.usage().minutes) {
    EXPECT_TRUE(std::isfinite(minutes) && minutes >= 0) << key << " " << minutes;
  }
  EXPECT_TRUE(UsageState::decode(test::readFile(dir / "usage.json")));
}

// --- policy bodies ------------------------------------------------------------------------------

class HostilePolicy : public testing::Test {
 protected:
  std::mutex mutex;
  std::string body;
  int requests = 0;

  test::LoopbackServer server{[this](const httplib::Request& req, httplib::Response& res) {
    std::lock_guard lock(mutex);
    ++requests;
    if (req.path.ends_with("/v1/policy")) res.set_content(body, "application/json");
  }};
  TempDir dir;

  void answer(std::string text) {
    std::lock_guard lock(mutex);
    body = std::move(text);
  }
  std::unique_ptr<Agent> makeAgent(const std::string& token = "device-token") {
    json config = json::parse(test::configJson(server.url()));
    config["deviceToken"] = token;
    auto decoded = AgentConfig::decode(config.dump());
    EXPECT_TRUE(decoded) << decoded.error();
    return std::make_unique<Agent>(*decoded, (dir / "config.json").string());
  }
};

const std::string kPolicy5 =
    R"({"rev":5,"usageEpoch":1,"apps":{"com.example.game":{"dailyLimitMinutes":30,)"
    R"("windows":[{"days":[1,2,3,4,5],"start":"21:00","end":"07:00"}]}},)"
    R"("domains":["blocked.test"],"domainLimits":{"video.test":30},"domainAllow":["ok.blocked.test"]})";

TEST_F(HostilePolicy, BrokenBodiesAreRefusedWholeAndThePolicyInForceStays) {
  auto agent = makeAgent();
  answer(kPolicy5);
  agent->poll();
  ASSERT_EQ(agent->policy().rev, 5);
  const auto rulesInForce = agent->dns().siteRules();
  const UsageState usageBefore = agent->usage();
  const std::string fileBefore = test::readFile(dir / "usage.json");

  // Every truncation fails to decode; a few of them go through the whole poll.
  std::vector<std::string> bodies;
  for (std::size_t n = 0; n < kPolicy5.size(); ++n) {
    ASSERT_FALSE(Policy::decode(kPolicy5.substr(0, n))) << n;
    if (n % 40 == 1) bodies.push_back(kPolicy5.substr(0, n));
  }
  // Wrong types anywhere, each with a higher rev and usageEpoch that must not take effect.
  for (const char* wrong :
       {R"({"rev":"6"})", R"({"rev":6.5})", R"({"rev":6,"usageEpoch":9,"apps":[]})",
        R"({"rev":6,"usageEpoch":9,"domains":"a.test"})", R"({"rev":6,"domains":[5]})",
        R"({"rev":6,"domainLimits":{"a.test":"30"}})",
        R"({"rev":6,"domainLimits":{"a.test":1e400}})",
        R"({"rev":6,"apps":{"x":{"windows":[{"days":[1],"end":"07:00"}]}}})",
        R"({"rev":6,"apps":{"x":{"dailyLimitMinutes":true}}})",
        R"({"rev":6,"usageEpoch":9223372036854775808})", "null", "[]", "\"rev\"",
        "<html>502</html>"}) {
    bodies.emplace_back(wrong);
  }
  bodies.push_back(R"({"rev":6,"domains":["caf)"
                   "\xC3\x28"
                   R"(.test"]})");  // not UTF-8
  bodies.push_back(R"({"rev":6,"apps":)" + nested(20'000) + "}");
  // Megabytes of valid rules with one wrong value at the very end.
  std::string huge = R"({"rev":6,"usageEpoch":9,"domains":[)";
  for (int i = 0; i < 20'000; ++i) huge += "\"d" + std::to_string(i) + ".example.test\",";
  huge += "5]}";
  bodies.push_back(huge);

  test::CapturedStderr log;
  for (const std::string& b : bodies) {
    answer(b);
    agent->poll();
    ASSERT_EQ(agent->policy().rev, 5) << b.substr(0, 80);
  }
  const std::string text = log.text();
  std::size_t failures = 0;
  for (std::size_t at = text.find("] poll failed: "); at != std::string::npos;
       at = text.find("] poll failed: ", at + 1)) {
    ++failures;
  }
  EXPECT_EQ(failures, bodies.size());
  EXPECT_THAT(text, Not(HasSubstr("policy rev")));
  EXPECT_THAT(text, Not(HasSubstr("usage reset")));
  EXPECT_EQ(agent->dns().siteRules(), rulesInForce);
  EXPECT_EQ(agent->usage(), usageBefore);
  EXPECT_EQ(test::readFile(dir / "usage.json"), fileBefore);

  // Nothing stuck: the next good policy is taken.
  answer(R"({"rev":6,"usageEpoch":1,"domains":["other.test"]})");
  agent->poll();
  EXPECT_EQ(agent->policy().rev, 6);
}

TEST_F(HostilePolicy, LineBreakOrNulInTheTokenNeverReachesTheService) {
  for (const std::string& token :
       {std::string("tok\r\nX-Injected: 1"), std::string("tok\0en", 6)}) {
    auto agent = makeAgent(token);
    test::CapturedStderr log;
    agent->poll();
    agent->postUsage(false);
    EXPECT_THAT(log.text(), HasSubstr("] poll failed: bad deviceToken"));
    EXPECT_THAT(log.text(), HasSubstr("] usage post failed: bad deviceToken"));
  }
  std::lock_guard lock(mutex);
  EXPECT_EQ(requests, 0);
}

}  // namespace
}  // namespace tether
