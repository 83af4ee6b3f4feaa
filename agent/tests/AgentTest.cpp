// The agent object: take-up of the usage file, day rollover, loop pacing.
#include "Agent.h"

#include <gtest/gtest.h>

#include "Clock.h"
#include "SafeFile.h"
#include "TestSupport.h"
#include <thread>

namespace tether {
namespace {

using namespace std::chrono_literals;
using test::TempDir;

struct FakeTime {
  std::chrono::system_clock::time_point wall;
  std::chrono::steady_clock::time_point mono = std::chrono::steady_clock::time_point(1000s);
};

class AgentFixture : public testing::Test {
 protected:
  test::ScopedTimeZone zone{"Europe/Berlin"};
  TempDir dir;
  std::shared_ptr<FakeTime> time = std::make_shared<FakeTime>();

  // 2026-03-14 23:59:30 in Berlin (UTC+1).
  void SetUp() override { time->wall = std::chrono::sys_seconds(1773529170s); }

  std::unique_ptr<Agent> makeAgent() {
    auto config = AgentConfig::decode(test::configJson());
    auto env = AgentEnvironment::system();
    env.now = [t = time] { return t->wall; };
    env.monotonic = [t = time] { return t->mono; };
    return std::make_unique<Agent>(*config, (dir / "config.json").string(), env);
  }
  void writeUsage(const std::string& text) { test::writeFile(dir / "usage.json", text); }
};

TEST_F(AgentFixture, TodaysUsageIsKeptAndNothingIsWrittenAtCreation) {
  ASSERT_EQ(Clock::todayStamp(time->wall), "2026-03-14");
  const std::string stored = R"({"date":"2026-03-14","minutes":{"com.a":12.5},"epoch":2})";
  writeUsage(stored);
  auto agent = makeAgent();
  EXPECT_EQ(agent->usage(), (UsageState{"2026-03-14", {{"com.a", 12.5}}, 2}));
  agent->dayRolloverCheck();
  EXPECT_EQ(test::readFile(dir / "usage.json"), stored);
}

TEST_F(AgentFixture, AnotherDayKeepsOnlyTheEpochUntilTheFirstWrite) {
  const std::string stored = R"({"date":"2026-03-13","minutes":{"com.a":50},"epoch":4})";
  writeUsage(stored);
  auto agent = makeAgent();
  EXPECT_EQ(agent->usage(), (UsageState{"2026-03-14", {}, 4}));
  EXPECT_EQ(test::readFile(dir / "usage.json"), stored);
  agent->persistUsage();
  EXPECT_EQ(*UsageState::decode(test::readFile(dir / "usage.json")), agent->usage());
}

TEST_F(AgentFixture, DamagedOrForeignUsageFilesCountAsAbsentAndStayOnDisk) {
  for (const std::string& stored :
       {std::string("{\"date\": 5}"), std::string("not json"), std::string("{\"minutes\":{}}"),
        std::string(R"({"date":"2026-03-14","epoch":"3"})")}) {
    writeUsage(stored);
    auto agent = makeAgent();
    EXPECT_EQ(agent->usage(), (UsageState{"2026-03-14", {}, 0})) << stored;
    EXPECT_EQ(test::readFile(dir / "usage.json"), stored);
  }
  // A file holding only a date is taken up with no minutes and epoch 0.
  writeUsage(R"({"date":"2026-03-14"})");
  EXPECT_EQ(makeAgent()->usage(), (UsageState{"2026-03-14", {}, 0}));
}

TEST_F(AgentFixture, SymbolicLinkInPlaceOfTheUsageFileIsNotFollowed) {
  test::writeFile(dir / "elsewhere.json", R"({"date":"2026-03-14","minutes":{"x":1},"epoch":9})");
  std::filesystem::create_symlink(dir / "elsewhere.json", dir / "usage.json");
  auto agent = makeAgent();
  EXPECT_EQ(agent->usage().epoch, 0);
  agent->persistUsage();
  // The write replaced the link itself, never the file it pointed at.
  EXPECT_FALSE(std::filesystem::is_symlink(dir / "usage.json"));
  EXPECT_EQ(test::readFile(dir / "elsewhere.json"),
            R"({"date":"2026-03-14","minutes":{"x":1},"epoch":9})");
}

TEST_F(AgentFixture, LocalMidnightEmptiesMinutesKeepsEpochAndWritesTheFile) {
  writeUsage(R"({"date":"2026-03-14","minutes":{"com.a":7},"epoch":3})");
  auto agent = makeAgent();
  agent->dayRolloverCheck();
  EXPECT_EQ(agent->usage().minutes.size(), 1u);
  time->wall += 31s;  // 00:00:01 local, still 23:00 UTC
  agent->dayRolloverCheck();
  const UsageState expected{"2026-03-15", {}, 3};
  EXPECT_EQ(agent->usage(), expected);
  EXPECT_EQ(*UsageState::decode(test::readFile(dir / "usage.json")), expected);
}

TEST(AgentSleep, AtLeastOneSecondAndBoundedForHugeIntervals) {
  EXPECT_EQ(Agent::sleepDuration(0.25), 1s);
  EXPECT_EQ(Agent::sleepDuration(-5), 1s);
  EXPECT_EQ(Agent::sleepDuration(3), 3s);
  EXPECT_EQ(Agent::sleepDuration(2.5), 2500ms);
  EXPECT_EQ(Agent::sleepDuration(1e300).count(), std::numeric_limits<int64_t>::max());
}

TEST_F(AgentFixture, StopRequestedFromAnotherThreadEndsTheLoopWithinItsSleep) {
  auto config = AgentConfig::decode(test::configJson("http://127.0.0.1:9", 0.25, 600));
  Agent agent(*config, (dir / "config.json").string());
  std::thread stopper([&] {
    std::this_thread::sleep_for(300ms);
    agent.requestStop();
  });
  const auto start = std::chrono::steady_clock::now();
  agent.run();
  stopper.join();
  // One pass then the 1-second floor sleep, cut short by the stop.
  EXPECT_LT(std::chrono::steady_clock::now() - start, 900ms);
  EXPECT_TRUE(std::filesystem::exists(dir / "usage.json"));
}

}  // namespace
}  // namespace tether
