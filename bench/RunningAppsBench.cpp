// The cost of listing the running applications with a few hundred processes, some dozens of
// them inside application bundles (XML and binary Info.plist files, helpers nested in their
// application). The baseline is the bare process-table scan (listing plus one executable path
// per process) measured in the same run; runningApps() adds the Info.plist reads on top.
#include <benchmark/benchmark.h>
#include <plist/plist.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Agent.h"
#include "AgentConfig.h"
#include "platform/ProcessTable.h"

namespace fs = std::filesystem;
using namespace tether;

namespace {

constexpr int kApps = 24;          // bundles with one process each
constexpr int kHelperApps = 4;     // of those, bundles that also run nested helpers...
constexpr int kHelpersPerApp = 3;  // ...this many each
constexpr int kPlainProcesses = 280;

// An Info.plist of typical size, in XML or binary form.
std::string infoPlist(const std::string& identifier, bool binaryForm) {
  plist_t dict = plist_new_dict();
  const std::pair<const char*, std::string> entries[] = {
      {"CFBundleDevelopmentRegion", "en"}, {"CFBundleExecutable", "app"},
      {"CFBundleIdentifier", identifier},  {"CFBundleName", "Benchmark App"},
      {"CFBundlePackageType", "APPL"},     {"CFBundleShortVersionString", "1.0"},
      {"LSMinimumSystemVersion", "12.0"}};
  for (const auto& [key, value] : entries)
    plist_dict_set_item(dict, key, plist_new_string(value.c_str()));
  char* bytes = nullptr;
  uint32_t length = 0;
  if (binaryForm) {
    plist_to_bin(dict, &bytes, &length);
  } else {
    plist_to_xml(dict, &bytes, &length);
  }
  std::string out(bytes, length);
  if (binaryForm) {
    plist_to_bin_free(bytes);
  } else {
    plist_to_xml_free(bytes);
  }
  plist_free(dict);
  return out;
}

fs::path makeBundle(const fs::path& bundle, const std::string& identifier, bool binaryForm) {
  fs::create_directories(bundle / "Contents" / "MacOS");
  std::ofstream(bundle / "Contents" / "Info.plist", std::ios::binary)
      << infoPlist(identifier, binaryForm);
  const fs::path exe = bundle / "Contents" / "MacOS" / "app";
  fs::copy_file("/bin/sleep", exe);
  fs::permissions(exe, fs::perms::owner_all);
  return exe;
}

// The processes, started once for all benchmarks and ended when the program ends.
class Machine {
 public:
  Machine() {
    std::string pattern = (fs::temp_directory_path() / "tether-bench-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) std::abort();
    root_ = fs::canonical(pattern);
    std::vector<fs::path> bundled;
    for (int i = 0; i < kApps; ++i) {
      const fs::path app = root_ / ("App" + std::to_string(i) + ".app");
      bundled.push_back(makeBundle(app, "org.example.bench.app" + std::to_string(i), i % 2 == 1));
      if (i < kHelperApps) {
        const fs::path helper =
            makeBundle(app / "Contents/Frameworks/Helper.app", "org.example.bench.helper", false);
        for (int h = 0; h < kHelpersPerApp; ++h) bundled.push_back(helper);
      }
    }
    for (const fs::path& exe : bundled) spawn(exe);
    for (int i = 0; i < kPlainProcesses; ++i) spawn("/bin/sleep");
    bundledProcesses_ = static_cast<int>(bundled.size());

    // Wait until every child runs its own executable rather than a copy of this program.
    auto table = ProcessTable::system();
    const auto self = table->executablePath(::getpid());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (pid_t pid : children_) {
      while (table->executablePath(pid) == self && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
    agent_ = std::make_unique<Agent>(
        *AgentConfig::decode(R"({"serverURL":"http://127.0.0.1:9","deviceToken":"t",)"
                             R"("pollIntervalSeconds":15,"sampleIntervalSeconds":3,)"
                             R"("upstreamDNS":"127.0.0.1","enableDNS":false})"),
        (root_ / "config.json").string());
  }

  ~Machine() {
    agent_.reset();
    for (pid_t pid : children_) ::kill(pid, SIGKILL);
    for (pid_t pid : children_) ::waitpid(pid, nullptr, 0);
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  Agent& agent() { return *agent_; }
  int bundledProcesses() const { return bundledProcesses_; }
  fs::path sampleExecutable() const { return root_ / "App1.app/Contents/MacOS/app"; }

 private:
  void spawn(const fs::path& exe) {
    const std::string path = exe.string();
    const pid_t pid = ::fork();
    if (pid < 0) std::abort();
    if (pid == 0) {
#ifdef __linux__
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlive the benchmark
#endif
      ::execl(path.c_str(), path.c_str(), "600", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    children_.push_back(pid);
  }

  fs::path root_;
  std::vector<pid_t> children_;
  int bundledProcesses_ = 0;
  std::unique_ptr<Agent> agent_;
};

Machine& machine() {
  static Machine m;
  return m;
}

void report(benchmark::State& state, std::size_t processes, std::size_t bundled) {
  using benchmark::Counter;
  state.counters["processes"] = static_cast<double>(processes);
  state.counters["bundled"] = static_cast<double>(bundled);
  // CPU seconds per examined process and per process found in a bundle.
  state.counters["per_process"] = Counter(static_cast<double>(processes),
                                          Counter::kIsIterationInvariantRate | Counter::kInvert);
  state.counters["per_bundled"] =
      Counter(static_cast<double>(bundled), Counter::kIsIterationInvariantRate | Counter::kInvert);
}

// CPU seconds of this thread (the machine may be shared, so wall time is noisy).
double cpuSeconds() {
  timespec ts{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double perIteration(double since, const benchmark::State& state) {
  return (cpuSeconds() - since) /
         static_cast<double>(std::max<benchmark::IterationCount>(1, state.iterations()));
}

// CPU seconds per iteration of the baseline, for the ratio reported by BM_RunningApps.
double baselineSeconds = 0;

// Baseline: what the process table costs without reading any Info.plist.
void BM_ProcessTableScan(benchmark::State& state) {
  machine();
  auto table = ProcessTable::system();
  std::size_t processes = 0, bundled = 0;
  const double started = cpuSeconds();
  for (auto _ : state) {
    const auto pids = table->listPids();
    processes = pids.size();
    bundled = 0;
    for (pid_t pid : pids) {
      const auto path = table->executablePath(pid);
      if (path && path->find(".app/") != std::string::npos) ++bundled;
      benchmark::DoNotOptimize(path);
    }
  }
  baselineSeconds = perIteration(started, state);
  report(state, processes, bundled);
}
BENCHMARK(BM_ProcessTableScan)->Unit(benchmark::kMicrosecond);

void BM_RunningApps(benchmark::State& state) {
  Agent& agent = machine().agent();
  std::size_t bundled = 0;
  const double started = cpuSeconds();
  for (auto _ : state) {
    const auto apps = agent.runningApps();
    bundled = apps.size();
    benchmark::DoNotOptimize(apps.data());
  }
  const double seconds = perIteration(started, state);
  report(state, ProcessTable::system()->listPids().size(), bundled);
  state.counters["bundled_started"] = machine().bundledProcesses();
  // How much the Info.plist reads add to the bare scan (1.0 = nothing).
  if (baselineSeconds > 0) state.counters["x_scan"] = seconds / baselineSeconds;
}
BENCHMARK(BM_RunningApps)->Unit(benchmark::kMicrosecond);

// One Info.plist lookup, as done once per bundle in each listing.
void BM_BundleID(benchmark::State& state) {
  const std::string exe = machine().sampleExecutable().string();
  for (auto _ : state) benchmark::DoNotOptimize(Agent::bundleID(exe));
}
BENCHMARK(BM_BundleID)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
