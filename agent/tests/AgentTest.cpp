// The agent: its day of usage on disk (its take-up when the agent is created, also from damaged,
// huge or planted files; the parent's reset, the change of day, and writes cut short); and the
// agent process (command line, configuration failures, log format, loop pacing and signal-driven
// stop).
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <random>
#include <regex>
#include <thread>

#include <nlohmann/json.hpp>

#include "KinwardAgentMain.h"
#include "TestSupport.h"
#include "WakeSignal.h"

namespace tether {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::usageJson;

class UsageFile : public testing::Test {
 protected:
  test::ScopedTimeZone zone{"Europe/Berlin"};
  test::TempDir dir;
  std::chrono::system_clock::time_point wall{1773529170s};  // 2026-03-14 23:59:30 in Berlin
  const UsageState emptyToday{"2026-03-14", {}, 0};

  std::unique_ptr<Agent> makeAgent() {
    auto env = AgentEnvironment::system();
    env.now = [this] { return wall; };
    return test::makeAgent(dir.path(), env);
  }
  fs::path usagePath() const { return dir / "usage.json"; }
  std::string onDisk() const { return test::readFile(usagePath()); }
  void store(const std::string& text) const { test::writeFile(usagePath(), text); }
  static Policy policyWithEpoch(int64_t epoch) {
    Policy p;
    p.usageEpoch = epoch;  // rev stays 0, the revision in force: only the reset rule acts
    return p;
  }
};

// Another day's file gives only its epoch, today's is kept; neither is written at creation. A
// change of the local date empties the minutes, keeps the epoch and writes the file.
TEST_F(UsageFile, TodaysUsageIsKeptAnotherDaysOnlyItsEpochAndTheLocalDateChangeEmptiesIt) {
  const std::string yesterday = usageJson("2026-03-13", R"({"com.a":50})", 4);
  store(yesterday);
  auto agent = makeAgent();
  EXPECT_EQ(agent->usage(), (UsageState{"2026-03-14", {}, 4}));
  agent->dayRolloverCheck();
  EXPECT_EQ(onDisk(), yesterday);

  const std::string today = usageJson("2026-03-14", R"({"com.a":12.5})", 2);
  store(today);
  agent = makeAgent();
  EXPECT_EQ(agent->usage(), (UsageState{"2026-03-14", {{"com.a", 12.5}}, 2}));
  agent->dayRolloverCheck();
  EXPECT_EQ(onDisk(), today);
  wall += 31s;  // 00:00:01 local, still 23:00 UTC
  agent->dayRolloverCheck();
  EXPECT_EQ(agent->usage(), (UsageState{"2026-03-15", {}, 2}));
  EXPECT_EQ(*UsageState::decode(onDisk()), agent->usage());
}

TEST_F(UsageFile, DamagedForeignHugeOrNestedFilesCountAsAbsentAndStayUntilTheFirstWrite) {
  // Where a date and an epoch appear they are today's and 5, so a file taken up would show.
  const std::string today = R"({"date":"2026-03-14","epoch":)";
  std::string huge = today + R"(5,"minutes":{)";
  for (int i = 0; huge.size() <= UsageState::kMaxFileBytes; ++i) {
    huge += (i ? ",\"org.example.app" : "\"org.example.app") + std::to_string(i) + "\":1.5";
  }
  for (const std::string& stored :
       {std::string("{\"date\": 5}"), std::string("not json"), std::string("{\"minutes\":{}}"),
        today + "\"3\"}", huge + "}}", today + "9223372036854775808}",
        today + R"(5,"minutes":)" + std::string(20'000, '[') + std::string(20'000, ']') + "}"}) {
    store(stored);
    auto agent = makeAgent();
    EXPECT_EQ(agent->usage(), emptyToday) << stored.substr(0, 80);
    agent->dayRolloverCheck();
    ASSERT_EQ(onDisk(), stored);
    agent->persistUsage();
    EXPECT_EQ(*UsageState::decode(onDisk()), agent->usage());
  }
  // A file holding only a date is taken up with no minutes and epoch 0; the largest epoch fits.
  store(R"({"date":"2026-03-14"})");
  EXPECT_EQ(makeAgent()->usage(), emptyToday);
  store(today + "9223372036854775807}");
  EXPECT_EQ(makeAgent()->usage().epoch, INT64_MAX);
}

TEST_F(UsageFile, LinkOrFifoInItsPlaceIsNotReadAndTheNextWriteReplacesIt) {
  const std::string elsewhere = usageJson("2026-03-14", R"({"x":1})", 9);
  test::writeFile(dir / "elsewhere.json", elsewhere);
  const std::function<void()> plant[] = {
      [&] { fs::create_symlink(dir / "elsewhere.json", usagePath()); },
      [&] { ASSERT_EQ(::mkfifo(usagePath().c_str(), 0600), 0); }};  // would block a plain read
  for (const auto& planted : plant) {
    fs::remove(usagePath());
    planted();
    auto agent = makeAgent();
    EXPECT_EQ(agent->usage(), emptyToday);
    agent->persistUsage();
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(usagePath())));
    EXPECT_EQ(*UsageState::decode(onDisk()), emptyToday);
  }
  EXPECT_EQ(test::readFile(dir / "elsewhere.json"), elsewhere);
}

TEST_F(UsageFile, OnlyARaisedEpochEmptiesTheDayWritesTheFileAndLogsOnce) {
  const std::string stored = usageJson("2026-03-14", R"({"com.a":12.5,"example.com":3})", 3);
  store(stored);
  auto agent = makeAgent();
  const UsageState before = agent->usage();
  test::CapturedStderr log;
  for (const int64_t epoch : {3, 2, 0, -7}) {
    agent->applyPolicy(policyWithEpoch(epoch));
    EXPECT_EQ(agent->usage(), before) << epoch;
  }
  EXPECT_EQ(onDisk(), stored);
  EXPECT_EQ(log.text(), "");

  // The reset stamps the current day even when the rollover check has not run yet.
  wall += 12h;
  agent->applyPolicy(policyWithEpoch(4));
  const UsageState reset{"2026-03-15", {}, 4};
  EXPECT_EQ(agent->usage(), reset);
  EXPECT_EQ(*UsageState::decode(onDisk()), reset);
  store("marker");
  agent->applyPolicy(policyWithEpoch(4));
  EXPECT_EQ(agent->usage(), reset);
  EXPECT_EQ(onDisk(), "marker");  // not written again
  EXPECT_EQ(test::count(log.text(), "usage reset by parent (epoch 4)\n"), 1u);
  EXPECT_EQ(test::count(log.text(), "\n"), 1u);
}

TEST_F(UsageFile, WriterKilledAtAnyMomentLeavesAWholeFileBehind) {
  // Two states of very different sizes, written alternately by a process killed after one to
  // three writes (reported through a pipe) plus a random part of the next, again and again.
  std::string big = "{\"app\":0";
  for (int i = 0; i < 1000; ++i) big += ",\"app" + std::to_string(i) + "\":" + std::to_string(i);
  store(usageJson("2026-03-14", big + "}", 7));
  auto today = makeAgent();
  const UsageState large = today->usage();
  ASSERT_EQ(large.minutes.size(), 1001u);
  wall += 24h;
  auto tomorrow = makeAgent();  // takes up only the epoch
  const UsageState small = tomorrow->usage();
  std::mt19937 random(20260314);
  int seenLarge = 0, seenSmall = 0;
  for (int round = 0; round < 20; ++round) {
    int progress[2];
    ASSERT_EQ(::pipe(progress), 0);
    const pid_t writer = ::fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
      for (bool writeLarge = true;; writeLarge = !writeLarge) {
        (writeLarge ? today : tomorrow)->persistUsage();
        if (::write(progress[1], "w", 1) != 1) ::_exit(1);
      }
    }
    ::close(progress[1]);
    char sink;
    for (int writes = 1 + int(random() % 3); writes > 0; --writes) {
      if (::read(progress[0], &sink, 1) != 1) break;
    }
    ::close(progress[0]);
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 15000));
    ::kill(writer, SIGKILL);
    ::waitpid(writer, nullptr, 0);

    const auto decoded = UsageState::decode(onDisk());
    ASSERT_TRUE(decoded) << "round " << round << ": " << decoded.error();
    ASSERT_TRUE(*decoded == large || *decoded == small) << "round " << round;
    (*decoded == large ? seenLarge : seenSmall)++;
  }
  // Both states were seen on disk, so the kills landed all over the writing loop.
  EXPECT_GT(seenLarge, 0);
  EXPECT_GT(seenSmall, 0);
  // A killed writer may leave its unfinished temporary file behind, never a partial target.
  for (const auto& entry : fs::directory_iterator(dir.path())) {
    const std::string name = entry.path().filename();
    EXPECT_TRUE(name == "usage.json" || name.starts_with(".usage.json.")) << name;
  }
}

using test::TempDir;
using testing::HasSubstr;

std::string pathFrom(std::vector<const char*> args) {
  args.insert(args.begin(), "KinwardAgent");
  return KinwardAgentMain::parseConfigPath(static_cast<int>(args.size()), args.data());
}

TEST(ParseConfigPath, BothFormsLastOneWinsAndVerbatimFollower) {
  EXPECT_EQ(pathFrom({}), KinwardAgentMain::kDefaultConfigPath);
  EXPECT_EQ(pathFrom({"--config", "/a", "--config=/b"}), "/b");
  EXPECT_EQ(pathFrom({"--config=/b", "--config", "/a"}), "/a");
  EXPECT_EQ(pathFrom({"--config"}), KinwardAgentMain::kDefaultConfigPath);
  EXPECT_EQ(pathFrom({"--config", "--config=/x"}), "--config=/x");
  EXPECT_EQ(pathFrom({"--config="}), "");
  EXPECT_EQ(pathFrom({"-v", "--configx=/y", "/z"}), KinwardAgentMain::kDefaultConfigPath);
}

// Runs the agent on the configuration path; expects one fatal line naming the reason, status 1
// and nothing on standard output. A read that blocked or ran on would end in the time-out.
void expectFatal(const std::string& path, const std::string& reason) {
  auto r = test::run({test::agentBinary(), "--config=" + path}, 5s);
  EXPECT_EQ(r.status, 1) << path;
  EXPECT_EQ(r.out, "") << path;
  EXPECT_TRUE(std::regex_match(r.err, std::regex(R"(\[[0-9T:-]{19}Z\] fatal: [^\n]*\n)"))) << r.err;
  EXPECT_THAT(r.err, HasSubstr(reason)) << path;
}

// The configuration with the key set to value, or without the key when value is absent.
std::string with(const char* key, std::optional<nlohmann::json> value) {
  auto j = nlohmann::json::parse(test::configJson());
  if (value) j[key] = *value;
  if (!value) j.erase(key);
  return j.dump();
}

TEST(AgentStart, EachConfigurationFailureIsOneFatalLineAndStatus1) {
  TempDir dir;
  const std::pair<std::string, const char*> contents[] = {
      {with("enableDNS", std::nullopt), "\"enableDNS\" is missing"},
      {with("serverURL", nullptr), "\"serverURL\" is null"},
      {with("pollIntervalSeconds", "15"),
       "\"pollIntervalSeconds\": expected a number, found string"},
      {with("enableDNS", 1), "\"enableDNS\": expected a boolean"},
      {with("deviceToken", ""), "fatal: serverURL and deviceToken are required"},
      {"{\"serverURL\": ", "invalid JSON"},
      {"[1,2]", "expected an object"},
      {std::string(2 * 1024 * 1024, ' '), "is larger than"}};
  for (const auto& [text, reason] : contents) {
    test::writeFile(dir / "config.json", text);
    expectFatal((dir / "config.json").string(), reason);
  }

  fs::remove(dir / "config.json");
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  fs::create_symlink(dir / "fifo", dir / "to-fifo.json");
  fs::create_symlink(dir / "loop.json", dir / "loop.json");
  const std::pair<std::string, const char*> paths[] = {
      {(dir / "absent.json").string(), "No such file or directory"},
      {"", "No such file or directory"},
      {dir.path().string(), "is not a regular file"},
      {(dir / "to-fifo.json").string(), "is not a regular file"},
      {(dir / "loop.json").string(), "Too many levels of symbolic links"}};
  for (const auto& [path, reason] : paths) expectFatal(path, reason);
  EXPECT_FALSE(fs::exists(dir / "usage.json"));
}

TEST(AgentSleep, AtLeastOneSecondAndBoundedForHugeIntervals) {
  EXPECT_EQ(Agent::sleepDuration(0.25), 1s);
  EXPECT_EQ(Agent::sleepDuration(-5), 1s);
  EXPECT_EQ(Agent::sleepDuration(2.5), 2500ms);
  EXPECT_EQ(Agent::sleepDuration(1e300).count(), std::numeric_limits<int64_t>::max());
  // Such a sleep lasts until the stop: its end is past what the clock can hold, not wrapped
  // round into the past (which made the loop spin).
  WakeSignal stop;
  std::thread raiser([&stop] {
    std::this_thread::sleep_for(50ms);
    stop.raise();
  });
  EXPECT_TRUE(stop.waitFor(Agent::sleepDuration(1e10)));
  raiser.join();
}

// The configuration may be a link: the agent's files go next to the link, not the file it names.
TEST(AgentProcess, StartsFromALinkedConfigurationAndStopsPromptlyOnSigtermDuringTheSleep) {
  TempDir real, linked;
  auto j = nlohmann::json::parse(test::configJson("http://127.0.0.1:9", 15.0));
  j["unknownKey"] = "ignored";
  test::writeFile(real / "real.json", j.dump());
  fs::create_symlink(real / "real.json", linked / "config.json");
  const std::string path = (linked / "config.json").string();
  // Started with launchd's default of 256 descriptors, it takes what the hard limit allows.
  std::optional<test::ScopedDescriptorLimit> launchdDefault(256);
  test::ChildProcess agent({test::agentBinary(), "--config", path});
  launchdDefault.reset();
  // The first cycle's usage file shows that the loop runs; then it sleeps for 15 seconds.
  ASSERT_TRUE(test::eventually([&] { return fs::exists(linked / "usage.json"); }, 10s))
      << agent.stderrText();
  fs::remove(linked / "usage.json");
  rlimit ours{};
  ::getrlimit(RLIMIT_NOFILE, &ours);
  std::smatch limits;
  const std::string table = test::readFile("/proc/" + std::to_string(agent.pid()) + "/limits");
  ASSERT_TRUE(std::regex_search(table, limits, std::regex(R"(Max open files +(\d+) +(\d+))")));
  EXPECT_EQ(limits[1], std::to_string(ours.rlim_max));

  const auto sent = std::chrono::steady_clock::now();
  agent.signal(SIGTERM);
  ASSERT_EQ(agent.wait(5s), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - sent, 1s);
  EXPECT_TRUE(UsageState::decode(test::readFile(linked / "usage.json")));
  EXPECT_FALSE(fs::exists(real / "usage.json"));
  EXPECT_TRUE(fs::is_symlink(linked / "config.json"));

  const std::string err = agent.stderrText();
  const std::regex line(R"(^\[\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ\] starting with (.*) -> (.*)\n)");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(err, m, line)) << err;
  EXPECT_EQ(m[1], path);
  EXPECT_EQ(m[2], "http://127.0.0.1:9");
  EXPECT_EQ(agent.stdoutText(), "");
}

}  // namespace
}  // namespace tether
