// One sample-and-enforce cycle (no termination) with a few hundred processes, 50 application
// rules and 100 000 site rules. Reports the CPU time per cycle and the resident memory.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>

#include <nlohmann/json.hpp>

#include "Agent.h"
#include "TabState.h"
#include "platform/ProcessTable.h"

namespace {

namespace fs = std::filesystem;
using namespace tether;

class ListedProcesses : public ProcessTable {
 public:
  std::map<pid_t, std::string> paths;
  std::vector<pid_t> listPids() override {
    std::vector<pid_t> pids;
    for (const auto& [pid, path] : paths) pids.push_back(pid);
    return pids;
  }
  std::optional<std::string> executablePath(pid_t pid) override { return paths.at(pid); }
  void signal(pid_t, int) override {}
};

long residentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

void BM_SampleAndEnforce(benchmark::State& state) {
  char pattern[] = "/tmp/tether-cycle-bench-XXXXXX";
  const fs::path dir = ::mkdtemp(pattern);
  auto table = std::make_shared<ListedProcesses>();
  // 300 processes: 40 in application bundles, the rest daemons and tools.
  for (int i = 0; i < 300; ++i) table->paths[1000 + i] = "/usr/libexec/daemon" + std::to_string(i);
  nlohmann::json apps = nlohmann::json::object();
  for (int i = 0; i < 40; ++i) {
    const std::string id = "com.example.app" + std::to_string(i);
    const fs::path contents = dir / ("App" + std::to_string(i) + ".app") / "Contents";
    fs::create_directories(contents / "MacOS");
    std::ofstream(contents / "Info.plist")
        << "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>CFBundleIdentifier</key>"
           "<string>" << id << "</string><key>CFBundleName</key><string>App</string></dict></plist>";
    table->paths[2000 + i] = (contents / "MacOS" / "app").string();
  }
  for (int i = 0; i < 50; ++i) {
    apps["com.example.app" + std::to_string(i)] = {{"dailyLimitMinutes", 100000}};
  }
  nlohmann::json domains = nlohmann::json::array();
  for (int i = 0; i < 100000; ++i) domains.push_back("blocked" + std::to_string(i) + ".example");
  const nlohmann::json policy = {{"rev", 1}, {"apps", apps}, {"domains", domains},
                                 {"domainLimits", {{"video.example", 60}}}};

  AgentConfig config;
  config.serverURL = "http://127.0.0.1:9";
  config.deviceToken = "t";
  config.upstreamDNS = "127.0.0.1";
  AgentEnvironment env = AgentEnvironment::system();
  env.processes = table;
  Agent agent(config, (dir / "config.json").string(), env);
  agent.applyPolicy(*Policy::decode(policy.dump()));
  TabSnapshot snapshot{0, "com.apple.Safari", "www.video.example", false, 1, false};

  for (auto _ : state) {
    state.PauseTiming();
    snapshot.ts = std::chrono::duration<double>(
                      std::chrono::system_clock::now().time_since_epoch()).count();
    TabState::writeSnapshot(snapshot, TabState::snapshotPath(dir));
    state.ResumeTiming();
    agent.sampleAndEnforce();
  }
  state.counters["rss_MiB"] = static_cast<double>(residentKiB()) / 1024.0;
  fs::remove_all(dir);
}
BENCHMARK(BM_SampleAndEnforce)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

}  // namespace

BENCHMARK_MAIN();
