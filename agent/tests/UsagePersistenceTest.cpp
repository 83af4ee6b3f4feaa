// The day's usage on disk: the parent's reset, the change of day, and writes that fail or are
// cut short.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <random>
#include <thread>

#include "Agent.h"
#include "Clock.h"
#include "TestSupport.h"

namespace tether {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::size_t count(const std::string& text, const std::string& needle) {
  std::size_t n = 0;
  for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

class UsageFile : public testing::Test {
 protected:
  test::ScopedTimeZone zone{"Europe/Berlin"};
  test::TempDir dir;
  // 2026-03-14 12:00 in Berlin.
  std::shared_ptr<std::chrono::system_clock::time_point> wall =
      std::make_shared<std::chrono::system_clock::time_point>(
          std::chrono::sys_seconds(1773486000s));

  std::unique_ptr<Agent> makeAgent() {
    auto env = AgentEnvironment::system();
    env.now = [w = wall] { return *w; };
    return std::make_unique<Agent>(*AgentConfig::decode(test::configJson()),
                                   (dir / "config.json").string(), env);
  }
  fs::path usagePath() const { return dir / "usage.json"; }
  std::string onDisk() const { return test::readFile(usagePath()); }
  static Policy policyWithEpoch(int64_t epoch) {
    Policy p;
    p.usageEpoch = epoch;  // rev stays 0, the revision in force: only the reset rule acts
    return p;
  }
  std::vector<std::string> strayFiles() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir.path())) {
      if (e.path().filename() != "usage.json") names.push_back(e.path().filename().string());
    }
    return names;
  }
};

TEST_F(UsageFile, RaisedEpochEmptiesTheDayWritesTheFileAndLogsOnce) {
  test::writeFile(usagePath(),
                  R"({"date":"2026-03-14","minutes":{"com.a":12.5,"example.com":3},"epoch":3})");
  auto agent = makeAgent();
  // The reset stamps the current day even when the rollover check has not run yet.
  *wall += 12h;
  test::CapturedStderr log;
  agent->applyPolicy(policyWithEpoch(4));
  const UsageState reset{"2026-03-15", {}, 4};
  EXPECT_EQ(agent->usage(), reset);
  EXPECT_EQ(*UsageState::decode(onDisk()), reset);

  test::writeFile(usagePath(), "marker");
  agent->applyPolicy(policyWithEpoch(4));
  EXPECT_EQ(agent->usage(), reset);
  EXPECT_EQ(onDisk(), "marker");  // not written again
  const std::string lines = log.text();
  EXPECT_EQ(count(lines, "usage reset by parent (epoch 4)\n"), 1u) << lines;
  EXPECT_EQ(count(lines, "\n"), 1u) << lines;
}

TEST_F(UsageFile, LowerOrEqualEpochFromTheServiceChangesNothing) {
  const std::string stored = R"({"date":"2026-03-14","minutes":{"com.a":12.5},"epoch":3})";
  test::writeFile(usagePath(), stored);
  auto agent = makeAgent();
  const UsageState before = agent->usage();
  test::CapturedStderr log;
  for (const int64_t epoch : {3, 2, 0, -7}) {
    agent->applyPolicy(policyWithEpoch(epoch));
    EXPECT_EQ(agent->usage(), before) << epoch;
  }
  EXPECT_EQ(onDisk(), stored);
  EXPECT_EQ(log.text(), "");
}

TEST_F(UsageFile, AnyChangeOfTheLocalDateEmptiesTheMinutesAndKeepsTheEpoch) {
  *wall = std::chrono::sys_seconds(1773531000s);  // 2026-03-15 00:30 in Berlin, 23:30 UTC
  test::writeFile(usagePath(), R"({"date":"2026-03-15","minutes":{"com.a":1},"epoch":5})");
  auto agent = makeAgent();
  // The Mac moves to another time zone: it is the previous evening there.
  test::ScopedTimeZone west("America/New_York");
  agent->dayRolloverCheck();
  const UsageState expected{"2026-03-14", {}, 5};
  EXPECT_EQ(agent->usage(), expected);
  EXPECT_EQ(*UsageState::decode(onDisk()), expected);
}

// Ends a forked process, at the latest when the scope is left.
struct KillOnExit {
  pid_t pid;
  ~KillOnExit() { kill(); }
  void kill() {
    if (pid <= 0) return;
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    pid = -1;
  }
};

// Runs body in a forked copy of this process and returns its exit status.
template <class Body>
int inChild(Body body) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    body();
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST_F(UsageFile, FailedWriteKeepsThePreviousFileLogsNothingAndTheNextWriteCatchesUp) {
  const std::string stored = R"({"date":"2026-03-14","minutes":{"com.a":12.5},"epoch":3})";
  test::writeFile(usagePath(), stored);
  auto agent = makeAgent();
  {
    test::CapturedStderr quiet;
    agent->applyPolicy(policyWithEpoch(9));  // the state in memory now differs from the file
  }
  test::writeFile(usagePath(), stored);

  // A file size limit makes every write of more than 10 bytes fail part-way.
  const int status = inChild([&] {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{10, 10};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    const int err = ::open((dir / "stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(err, STDERR_FILENO);
    agent->persistUsage();
  });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(onDisk(), stored);
  EXPECT_EQ(test::readFile(dir / "stderr.txt"), "");
  fs::remove(dir / "stderr.txt");
  EXPECT_TRUE(strayFiles().empty());

  agent->persistUsage();
  EXPECT_EQ(*UsageState::decode(onDisk()), agent->usage());
}

TEST_F(UsageFile, WriterKilledAtAnyMomentLeavesAWholeFileBehind) {
  // Two states of very different sizes, written alternately by one process that is killed at a
  // random moment, again and again.
  std::string big = R"({"date":"2026-03-14","epoch":7,"minutes":{)";
  for (int i = 0; i < 1000; ++i) {
    big += (i ? ",\"org.example.app" : "\"org.example.app") + std::to_string(i) +
           "\":" + std::to_string(i) + ".25";
  }
  big += "}}";
  test::writeFile(usagePath(), big);
  auto today = makeAgent();
  const UsageState large = today->usage();
  ASSERT_EQ(large.minutes.size(), 1000u);
  *wall += 24h;
  auto tomorrow = makeAgent();  // takes up only the epoch
  const UsageState small = tomorrow->usage();
  ASSERT_EQ(small, (UsageState{"2026-03-15", {}, 7}));

  // The writer reports each finished write through a pipe; the kill comes after one to three of
  // them plus a random part of the next, so it lands at every step of a write and after either
  // state.
  std::mt19937 random(20260314);
  std::uniform_int_distribution<int> writesBeforeKill(1, 3);
  std::uniform_int_distribution<int> delayMicros(0, 15000);
  int seenLarge = 0, seenSmall = 0;
  for (int round = 0; round < 20; ++round) {
    int progress[2];
    ASSERT_EQ(::pipe(progress), 0);
    const pid_t writer = ::fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
      ::close(progress[0]);
      for (bool writeLarge = true;; writeLarge = !writeLarge) {
        (writeLarge ? today : tomorrow)->persistUsage();
        if (::write(progress[1], "w", 1) != 1) ::_exit(1);
      }
    }
    ::close(progress[1]);
    KillOnExit guard{writer};
    char sink[3];
    const int writes = writesBeforeKill(random);
    for (int done = 0; done < writes;) {
      const ssize_t n = ::read(progress[0], sink, static_cast<std::size_t>(writes - done));
      ASSERT_GT(n, 0);
      done += static_cast<int>(n);
    }
    ::close(progress[0]);
    std::this_thread::sleep_for(std::chrono::microseconds(delayMicros(random)));
    guard.kill();

    const auto decoded = UsageState::decode(onDisk());
    ASSERT_TRUE(decoded) << "round " << round << ": " << decoded.error();
    ASSERT_TRUE(*decoded == large || *decoded == small) << "round " << round;
    (*decoded == large ? seenLarge : seenSmall)++;
  }
  // Both states were seen on disk, so the kills landed all over the writing loop.
  EXPECT_GT(seenLarge, 0);
  EXPECT_GT(seenSmall, 0);
  // A killed writer may leave its unfinished temporary file behind, never a partial target.
  const auto unfinished = strayFiles();
  for (const auto& name : unfinished) EXPECT_EQ(name.rfind(".usage.json.", 0), 0u) << name;
  RecordProperty("unfinished_temporaries", static_cast<int>(unfinished.size()));
}

}  // namespace
}  // namespace tether
