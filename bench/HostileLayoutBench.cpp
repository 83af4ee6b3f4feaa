// A cycle's duration when a user's Applications folder is laid out to stall the agent:
//   - the inventory: a bundle whose Info.plist is 4 MiB and 50 000 symbolic links N.app to it;
//   - the running applications: processes started from such links and from bundles whose
//     Info.plist is just under the 256 KiB the agent reads, next to a blocked application that
//     must still be terminated (SIGTERM, the 200 ms pause, SIGKILL; the signals go to a made-up
//     process table).
// The figures: the time of one inventory scan of that folder (it runs off the loop's thread), the
// time of one cycle while such scans run meanwhile, and the first and the later cycles with the
// hostile processes. The baseline is the same cycle without any hostile process, in the same run.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include "Agent.h"
#include "Inventory.h"
#include "platform/ProcessTable.h"

namespace {

namespace fs = std::filesystem;
using namespace tether;
using Clock = std::chrono::steady_clock;

constexpr int kLinks = 50'000;
constexpr int kLinkedProcesses = 1000;  // processes started from the links
constexpr int kLargeBundles = 100;      // bundles with an Info.plist just under the bound

class MadeUpProcesses : public ProcessTable {
 public:
  std::map<pid_t, std::string> paths;
  std::atomic<int> terminations{0};
  std::vector<pid_t> listPids() override {
    std::vector<pid_t> pids;
    for (const auto& [pid, path] : paths) pids.push_back(pid);
    return pids;
  }
  std::optional<std::string> executablePath(pid_t pid) override { return paths.at(pid); }
  void signal(pid_t, int number) override { terminations += number == SIGKILL; }
};

// An XML Info.plist of about `bytes` bytes naming the identifier.
void writeInfoPlist(const fs::path& bundle, const std::string& identifier, std::size_t bytes) {
  fs::create_directories(bundle / "Contents" / "MacOS");
  std::string padding(bytes > 400 ? bytes - 400 : 0, 'x');
  std::ofstream(bundle / "Contents" / "Info.plist")
      << "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
         "<key>CFBundleIdentifier</key><string>" << identifier << "</string>"
      << "<key>Padding</key><string>" << padding << "</string></dict></plist>";
}

// The hostile layout, made once per process: root/Users/kid/Applications.
const fs::path& hostileRoot() {
  static const fs::path root = [] {
    char pattern[] = "/tmp/tether-hostile-bench-XXXXXX";
    const fs::path dir = ::mkdtemp(pattern);
    const fs::path apps = dir / "Users" / "kid" / "Applications";
    writeInfoPlist(apps / "big.app", "com.example.big", 4 * 1024 * 1024);
    for (int i = 0; i < kLinks; ++i) fs::create_symlink("big.app", apps / (std::to_string(i) + ".app"));
    for (int i = 0; i < kLargeBundles; ++i) {
      writeInfoPlist(apps / ("large" + std::to_string(i) + ".app"),
                     "com.example.large" + std::to_string(i), 255 * 1024);
    }
    writeInfoPlist(apps / "Game.app", "com.example.game", 1000);
    std::atexit([] { fs::remove_all(root); });
    return dir;
  }();
  return root;
}

struct Cycling {
  std::shared_ptr<MadeUpProcesses> table = std::make_shared<MadeUpProcesses>();
  std::unique_ptr<Agent> agent;

  explicit Cycling(bool hostile) {
    const fs::path apps = hostileRoot() / "Users" / "kid" / "Applications";
    pid_t pid = 100;
    table->paths[pid++] = (apps / "Game.app" / "Contents" / "MacOS" / "game").string();
    for (int i = 0; i < 300; ++i) table->paths[pid++] = "/usr/libexec/daemon" + std::to_string(i);
    if (hostile) {
      for (int i = 0; i < kLinkedProcesses; ++i) {
        table->paths[pid++] = (apps / (std::to_string(i) + ".app") / "Contents/MacOS/x").string();
      }
      for (int i = 0; i < kLargeBundles; ++i) {
        table->paths[pid++] = (apps / ("large" + std::to_string(i) + ".app") / "Contents/MacOS/x").string();
      }
    }
    AgentConfig config;
    config.serverURL = "http://127.0.0.1:9";
    config.deviceToken = "t";
    config.upstreamDNS = "127.0.0.1";
    AgentEnvironment env = AgentEnvironment::system();
    env.processes = table;
    agent = std::make_unique<Agent>(config, (hostileRoot() / "config.json").string(), env);
    agent->applyPolicy(*Policy::decode(R"({"rev":1,"apps":{"com.example.game":
        {"dailyLimitMinutes":0},"com.example.big":{},"com.example.large0":{}}})"));
  }
};

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

void BM_InventoryScanOfTheHostileFolder(benchmark::State& state) {
  const fs::path root = hostileRoot();
  std::size_t found = 0;
  for (auto _ : state) found = Inventory::scan(root).size();
  state.counters["apps_found"] = static_cast<double>(found);
}
BENCHMARK(BM_InventoryScanOfTheHostileFolder)->Unit(benchmark::kMillisecond)->UseRealTime();

// One cycle with the blocked application only; with the hostile processes (args 1), the first
// cycle's time is reported as a counter.
void BM_Cycle(benchmark::State& state) {
  const auto start = Clock::now();
  Cycling cycling(state.range(0) != 0);
  const double setup = seconds(Clock::now() - start);
  const auto first = Clock::now();
  cycling.agent->sampleAndEnforce();
  state.counters["first_cycle_s"] = seconds(Clock::now() - first);
  state.counters["setup_s"] = setup;
  for (auto _ : state) cycling.agent->sampleAndEnforce();
  state.counters["terminated"] = cycling.table->terminations.load();
}
BENCHMARK(BM_Cycle)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

// The same cycles while inventories of the hostile folder run one after another meanwhile, as
// the agent runs them off its loop's thread.
void BM_CycleWhileTheInventoryScans(benchmark::State& state) {
  Cycling cycling(true);
  cycling.agent->sampleAndEnforce();
  std::atomic<bool> done{false};
  std::atomic<int> scans{0};
  std::thread scanner([&] {
    while (!done) {
      Inventory::scan(hostileRoot());
      ++scans;
    }
  });
  for (auto _ : state) cycling.agent->sampleAndEnforce();
  done = true;
  scanner.join();
  state.counters["scans"] = scans.load();
}
BENCHMARK(BM_CycleWhileTheInventoryScans)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
