// The sample-and-enforce cycle: crediting, the enforcement request and termination.
#include <gtest/gtest.h>
#include <signal.h>

#include <map>
#include <thread>

#include "Agent.h"
#include "TabState.h"
#include "TestSupport.h"
#include "platform/ProcessTable.h"

namespace tether {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using test::TempDir;

// Creates Name.app with an XML Info.plist and an executable copied from /bin/sleep; returns the
// executable's path.
fs::path makeBundle(const fs::path& folder, const std::string& name, const std::string& id) {
  const fs::path contents = folder / (name + ".app") / "Contents";
  fs::create_directories(contents / "MacOS");
  test::writeFile(contents / "Info.plist",
                  "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                  "<key>CFBundleIdentifier</key><string>" + id + "</string></dict></plist>\n");
  const fs::path exe = contents / "MacOS" / name;
  fs::copy_file("/bin/sleep", exe);
  return exe;
}

// A process table of made-up processes; records the signals sent.
class FakeProcessTable : public ProcessTable {
 public:
  std::map<pid_t, std::string> processes;
  std::vector<std::pair<pid_t, int>> signals;

  std::vector<pid_t> listPids() override {
    std::vector<pid_t> pids;
    for (const auto& [pid, path] : processes) pids.push_back(pid);
    return pids;
  }
  std::optional<std::string> executablePath(pid_t pid) override {
    auto it = processes.find(pid);
    if (it == processes.end()) return std::nullopt;
    return it->second;
  }
  void signal(pid_t pid, int signalNumber) override { signals.emplace_back(pid, signalNumber); }
};

class SampleCycle : public testing::Test {
 protected:
  test::ScopedTimeZone zone{"UTC"};
  TempDir dir;
  std::chrono::system_clock::time_point wall = std::chrono::sys_days(std::chrono::year{2026} / 3 / 11) + 10h;
  std::chrono::steady_clock::time_point mono{1000s};
  std::shared_ptr<FakeProcessTable> fakes = std::make_shared<FakeProcessTable>();
  int pauses = 0;
  std::unique_ptr<Agent> agent;

  void start(double sampleInterval = 3, std::shared_ptr<ProcessTable> table = nullptr) {
    auto config = AgentConfig::decode(test::configJson("http://127.0.0.1:9", sampleInterval));
    AgentEnvironment env = AgentEnvironment::system();
    env.now = [this] { return wall; };
    env.monotonic = [this] { return mono; };
    env.processes = table ? table : fakes;
    env.pause = [this](std::chrono::microseconds) { ++pauses; };
    agent = std::make_unique<Agent>(*config, (dir / "config.json").string(), env);
  }
  void policy(const std::string& json) {
    auto p = Policy::decode(json);
    ASSERT_TRUE(p) << p.error();
    agent->applyPolicy(*p);
  }
  double wallSeconds() const { return std::chrono::duration<double>(wall.time_since_epoch()).count(); }
  void snapshot(const std::string& bundleId, std::optional<std::string> host = std::nullopt,
                double idle = 0, bool locked = false, bool privateBrowsing = false, double age = 1) {
    TabState::writeSnapshot({wallSeconds() - age, bundleId, host, privateBrowsing, idle, locked},
                            TabState::snapshotPath(dir.path()));
  }
  // Advances both clocks and runs one cycle.
  void cycle(std::chrono::milliseconds gap = 3s) {
    wall += gap;
    mono += gap;
    agent->sampleAndEnforce();
  }
  double minutes(const std::string& key) const {
    auto it = agent->usage().minutes.find(key);
    return it == agent->usage().minutes.end() ? 0 : it->second;
  }
  TabEnforce request() const { return *TabState::readEnforce(TabState::enforcePath(dir.path())); }
  void addFake(pid_t pid, const fs::path& exe) { fakes->processes[pid] = exe.string(); }
};

constexpr double kThreeSeconds = 3.0 / 60;

TEST_F(SampleCycle, WithoutSnapshotEveryRunningAppWithARuleIsCreditedOnce) {
  start();
  addFake(101, makeBundle(dir.path(), "Game", "com.game"));
  addFake(102, makeBundle(dir.path() / "h", "Game Helper", "com.game"));  // another bundle, same id
  addFake(103, makeBundle(dir.path(), "Notes", "com.notes"));
  addFake(104, makeBundle(dir.path(), "Free", "com.free"));
  policy(R"({"rev":1,"apps":{"com.game":{},"com.notes":{},"com.absent":{}}})");
  cycle();
  EXPECT_DOUBLE_EQ(minutes("com.game"), kThreeSeconds);
  EXPECT_DOUBLE_EQ(minutes("com.notes"), kThreeSeconds);
  EXPECT_EQ(agent->usage().minutes.count("com.free"), 0u);
  EXPECT_EQ(agent->usage().minutes.count("com.absent"), 0u);
  const TabEnforce r = request();
  EXPECT_FALSE(r.evict);
  EXPECT_TRUE(r.closePrivate);
  EXPECT_DOUBLE_EQ(r.ts, wallSeconds());
}

TEST_F(SampleCycle, FreshSnapshotCreditsOnlyThePresentFrontApplication) {
  start();
  addFake(101, makeBundle(dir.path(), "Game", "com.game"));
  addFake(103, makeBundle(dir.path(), "Notes", "com.notes"));
  policy(R"({"rev":1,"apps":{"com.game":{},"com.notes":{},"com.apple.Safari":{}}})");

  snapshot("com.notes", std::nullopt, 599.9);
  cycle();
  EXPECT_DOUBLE_EQ(minutes("com.notes"), kThreeSeconds);
  EXPECT_EQ(minutes("com.game"), 0);

  snapshot("com.notes", std::nullopt, 600);  // away from the keyboard
  cycle();
  EXPECT_DOUBLE_EQ(minutes("com.notes"), kThreeSeconds);

  snapshot("com.apple.Safari", std::nullopt, 3600);  // a browser counts while idle
  cycle();
  EXPECT_DOUBLE_EQ(minutes("com.apple.Safari"), kThreeSeconds);

  snapshot("com.notes", std::nullopt, 0, /*locked=*/true);
  cycle();
  EXPECT_DOUBLE_EQ(minutes("com.notes"), kThreeSeconds);
  EXPECT_EQ(minutes("com.game"), 0);
}

TEST_F(SampleCycle, StaleOrUntrustedSnapshotFallsBackToEveryRunningApp) {
  start();
  addFake(101, makeBundle(dir.path(), "Game", "com.game"));
  policy(R"({"rev":1,"apps":{"com.game":{}}})");
  const fs::path tab = TabState::snapshotPath(dir.path());

  snapshot("com.other", std::nullopt, 0, false, false, /*age=*/42);
  cycle();  // exactly 45 seconds old by the time of the cycle
  EXPECT_DOUBLE_EQ(minutes("com.game"), kThreeSeconds);

  // A link to a well-formed snapshot elsewhere is not followed.
  TabState::writeSnapshot({wallSeconds() + 3, "com.other", std::nullopt, false, 0, false},
                          dir / "elsewhere.json");
  fs::remove(tab);
  fs::create_symlink(dir / "elsewhere.json", tab);
  cycle();
  EXPECT_DOUBLE_EQ(minutes("com.game"), 2 * kThreeSeconds);

  // Neither is a file padded beyond the size bound.
  fs::remove(tab);
  test::writeFile(tab, TabState::encode(TabSnapshot{wallSeconds() + 3, "com.other", {}, false, 0, false}) +
                           std::string(70 * 1024, ' '));
  cycle();
  EXPECT_DOUBLE_EQ(minutes("com.game"), 3 * kThreeSeconds);
}

TEST_F(SampleCycle, LimitedHostReachesItsLimitAndIsEvictedInTheSameCycle) {
  start(5);
  policy(R"({"rev":1,"apps":{"com.apple.Safari":{}},
            "domainLimits":{"video.example":30},"domains":["bad.example"]})");
  wall += 10min;
  mono += 10min;
  snapshot("com.apple.Safari", "www.video.example");
  agent->sampleAndEnforce();  // a long gap, capped at 15 seconds
  EXPECT_DOUBLE_EQ(minutes("video.example"), 0.25);
  EXPECT_DOUBLE_EQ(minutes("com.apple.Safari"), 0.25);
  EXPECT_FALSE(request().evict);

  // At 29.9 minutes one more 15-second credit gives 30.15, and the same cycle evicts.
  const std::string stored = R"({"date":"2026-03-11","minutes":{"video.example":29.9},"epoch":0})";
  test::writeFile(dir / "usage.json", stored);
  start(5);
  policy(R"({"rev":1,"apps":{"com.apple.Safari":{}},"domainLimits":{"video.example":30}})");
  snapshot("com.apple.Safari", "www.video.example");
  cycle(15s);
  EXPECT_NEAR(minutes("video.example"), 30.15, 1e-9);
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

TEST_F(SampleCycle, CreditPerCycleIsCappedAfterALongGapAndNeverNegative) {
  start(5);
  policy(R"({"rev":1,"apps":{"com.notes":{}}})");
  snapshot("com.notes");
  wall += 10min;
  mono += 10min;
  snapshot("com.notes");
  agent->sampleAndEnforce();
  EXPECT_DOUBLE_EQ(minutes("com.notes"), 0.25);

  start(30);
  policy(R"({"rev":1,"apps":{"com.notes":{}}})");
  wall += 10min;
  mono += 10min;
  snapshot("com.notes");
  agent->sampleAndEnforce();
  EXPECT_DOUBLE_EQ(minutes("com.notes"), 0.25 + 1.5);  // usage.json carried the first agent's

  wall -= 1h;  // the wall clock set back does not touch the elapsed time
  snapshot("com.notes");
  cycle(0ms);
  EXPECT_DOUBLE_EQ(minutes("com.notes"), 1.75);
}

TEST_F(SampleCycle, ProtectedSystemAppsAreNeverSignalledButEveryBlockedAppCostsThePause) {
  start();
  addFake(201, makeBundle(dir.path(), "Finder", "com.apple.Finder"));
  addFake(202, makeBundle(dir.path(), "Game", "com.game"));
  policy(R"({"rev":1,"apps":{"com.apple.Finder":{"dailyLimitMinutes":0},
            "com.game":{"dailyLimitMinutes":0},"com.absent":{"dailyLimitMinutes":0},
            "com.free":{"dailyLimitMinutes":60}}})");
  cycle();
  EXPECT_EQ(pauses, 2);  // com.absent and com.game; never the Finder
  std::vector<std::pair<pid_t, int>> expected = {{202, SIGTERM}, {202, SIGKILL}};
  EXPECT_EQ(fakes->signals, expected);
}

TEST_F(SampleCycle, DailyLimitOfZeroTerminatesEveryRealProcessOfTheApp) {
  const fs::path exe = makeBundle(dir.path(), "Game", "com.game");
  const fs::path other = makeBundle(dir.path(), "Other", "com.other");
  test::ChildProcess first({exe.string(), "300"});
  test::ChildProcess second({exe.string(), "300"});
  test::ChildProcess bystander({other.string(), "300"});
  start(3, ProcessTable::system());
  policy(R"({"rev":1,"apps":{"com.game":{"dailyLimitMinutes":0}}})");
  // Wait until both have exec'd into the bundle's executable.
  for (int i = 0; i < 200 && agent->runningApps().size() < 3; ++i) std::this_thread::sleep_for(10ms);
  cycle();
  EXPECT_EQ(first.wait(2s), 128 + SIGTERM);
  EXPECT_EQ(second.wait(2s), 128 + SIGTERM);
  EXPECT_FALSE(bystander.wait(0ms));
}

}  // namespace
}  // namespace tether
