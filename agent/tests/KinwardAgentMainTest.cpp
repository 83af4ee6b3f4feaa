// The agent process: command line, configuration failures, log format and signal-driven stop.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <regex>
#include <thread>

#include <nlohmann/json.hpp>

#include "KinwardAgentMain.h"
#include "TestSupport.h"
#include "UsageState.h"

namespace tether {
namespace {

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

struct FailingConfig {
  const char* name;
  std::string json;
  const char* expected;  // part of the fatal line
};

class AgentStartFailure : public testing::TestWithParam<FailingConfig> {};

TEST_P(AgentStartFailure, LogsOneFatalLineAndExitsWithStatus1) {
  TempDir dir;
  test::writeFile(dir / "config.json", GetParam().json);
  auto r = test::run({test::agentBinary(), "--config", (dir / "config.json").string()});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(std::regex_match(r.err, std::regex(R"(\[[0-9T:-]{19}Z\] fatal: [^\n]*\n)"))) << r.err;
  EXPECT_THAT(r.err, HasSubstr(GetParam().expected));
  EXPECT_FALSE(std::filesystem::exists(dir / "usage.json"));
}

nlohmann::json base() { return nlohmann::json::parse(test::configJson()); }
std::string without(const char* key) {
  auto j = base();
  j.erase(key);
  return j.dump();
}
std::string with(const char* key, nlohmann::json value) {
  auto j = base();
  j[key] = std::move(value);
  return j.dump();
}

INSTANTIATE_TEST_SUITE_P(
    Config, AgentStartFailure,
    testing::Values(
        FailingConfig{"MissingEnableDNS", without("enableDNS"), "\"enableDNS\" is missing"},
        FailingConfig{"NullServerURL", with("serverURL", nullptr), "\"serverURL\" is null"},
        FailingConfig{"IntervalAsString", with("pollIntervalSeconds", "15"),
                      "\"pollIntervalSeconds\": expected a number, found string"},
        FailingConfig{"NumberForBool", with("enableDNS", 1), "\"enableDNS\": expected a boolean"},
        FailingConfig{"EmptyToken", with("deviceToken", ""),
                      "fatal: serverURL and deviceToken are required"},
        FailingConfig{"NotJSON", "{\"serverURL\": ", "invalid JSON"},
        FailingConfig{"NotAnObject", "[1,2]", "expected an object"},
        FailingConfig{"Huge", std::string(2 * 1024 * 1024, ' '), "is larger than"}),
    [](const testing::TestParamInfo<FailingConfig>& p) { return std::string(p.param.name); });

TEST(AgentStart, MissingFileOrDirectoryOrEmptyPathIsFatal) {
  TempDir dir;
  for (const std::string& arg :
       {"--config=" + (dir / "absent.json").string(), "--config=" + dir.path().string(),
        std::string("--config=")}) {
    auto r = test::run({test::agentBinary(), arg});
    EXPECT_EQ(r.status, 1) << arg;
    EXPECT_THAT(r.err, HasSubstr("] fatal: ")) << arg;
  }
}

TEST(AgentStart, AcceptsIntegralAndFractionalIntervalsAndLogsTheStartLine) {
  TempDir dir;
  auto j = base();
  j["pollIntervalSeconds"] = 15;
  j["sampleIntervalSeconds"] = 15.0;
  j["unknownKey"] = "ignored";
  test::writeFile(dir / "config.json", j.dump());
  const std::string path = (dir / "config.json").string();
  test::ChildProcess agent({test::agentBinary(), "--config=" + path});
  ASSERT_TRUE(agent.waitForStderr("starting with ", 10s)) << agent.stderrText();
  // The first cycle's usage file shows that the loop runs and the signals are handled.
  for (int i = 0; i < 1000 && !std::filesystem::exists(dir / "usage.json"); ++i) {
    std::this_thread::sleep_for(10ms);
  }
  agent.signal(SIGTERM);
  ASSERT_EQ(agent.wait(10s), 0);
  const std::string err = agent.stderrText();
  const std::regex line(R"(^\[\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ\] starting with (.*) -> (.*)\n)");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(err, m, line)) << err;
  EXPECT_EQ(m[1], path);
  EXPECT_EQ(m[2], "http://127.0.0.1:9");
  EXPECT_EQ(agent.stdoutText(), "");
}

TEST(AgentStop, SigtermDuringTheSleepWritesUsageAndExitsPromptly) {
  TempDir dir;
  test::writeFile(dir / "config.json", test::configJson("http://127.0.0.1:9", 600, 600));
  test::ChildProcess agent({test::agentBinary(), "--config", (dir / "config.json").string()});
  ASSERT_TRUE(agent.waitForStderr("starting with", 10s));
  // Let it reach the loop's long sleep, then remove the file the cycle wrote.
  for (int i = 0; i < 500 && !std::filesystem::exists(dir / "usage.json"); ++i) {
    std::this_thread::sleep_for(10ms);
  }
  ASSERT_TRUE(std::filesystem::exists(dir / "usage.json"));
  std::filesystem::remove(dir / "usage.json");

  const auto sent = std::chrono::steady_clock::now();
  agent.signal(SIGTERM);
  ASSERT_EQ(agent.wait(5s), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - sent, 1s);
  auto usage = UsageState::decode(test::readFile(dir / "usage.json"));
  ASSERT_TRUE(usage) << usage.error();
}

}  // namespace
}  // namespace tether
