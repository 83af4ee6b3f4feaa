// The agent process: command line, configuration failures, log format, loop pacing and
// signal-driven stop.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

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
  for (int i = 0; i < 1000 && !fs::exists(linked / "usage.json"); ++i) {
    std::this_thread::sleep_for(10ms);
  }
  ASSERT_TRUE(fs::exists(linked / "usage.json")) << agent.stderrText();
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
