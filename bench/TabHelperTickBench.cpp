// One tick of the tab helper with a made-up desktop that answers at once, so that only the
// helper's own work is measured: the desktop queries, the parse of the browser script's answer
// and the host, the atomic write of the snapshot, and the read of the agent's request.
//   BM_Tick/0: Finder in front, no request file.
//   BM_Tick/1: Safari in front on a page, a fresh request from the agent that does not evict
//              (the usual case while a browser is in front).
//   BM_ReadTab: the tab read of BM_Tick/1 alone, without any file work.
// The baseline is the snapshot write alone (TabState::writeSnapshot), measured in the same run;
// the ratios tell how much the tick adds to the file work it cannot avoid.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "AppDelegate.h"
#include "Browser.h"
#include "RatioReporter.h"
#include "TabState.h"

namespace {

namespace fs = std::filesystem;
using namespace tether;

class InstantDesktop final : public Desktop {
 public:
  std::string front;
  std::optional<std::string> frontmostBundleId() override { return front; }
  double secondsSinceLastInput() override { return 1.5; }
  bool isScreenLocked() override { return false; }
  std::optional<std::string> runAppleScript(std::string_view source) override {
    if (source == kSafari.queryScript) return "url|https://www.Video.example/watch?v=abc#t=10";
    return std::nullopt;
  }
  int32_t automationPermission(std::string_view, bool) override { return kPermissionGranted; }
  bool isInstalled(std::string_view) override { return true; }
  void showAlert(std::string_view, std::string_view, std::string_view) override {}
  void setActivationPolicy(ActivationPolicy) override {}
  void activate() override {}
};

struct Folder {
  fs::path path;
  Folder() {
    char pattern[] = "/tmp/tether-tick-bench-XXXXXX";
    path = ::mkdtemp(pattern);
  }
  ~Folder() { fs::remove_all(path); }
};

void BM_SnapshotWrite(benchmark::State& state) {
  const Folder folder;
  const TabSnapshot snapshot{
      AppDelegate::systemNow(), "com.apple.Safari", "www.video.example", false, 1.5, false};
  const fs::path file = TabState::snapshotPath(folder.path);
  for (auto _ : state) TabState::writeSnapshot(snapshot, file);
}
BENCHMARK(BM_SnapshotWrite)->Unit(benchmark::kMicrosecond)->MeasureProcessCPUTime()->Repetitions(5);

void BM_Tick(benchmark::State& state) {
  const Folder folder;
  InstantDesktop desktop;
  desktop.front = state.range(0) ? "com.apple.Safari" : "com.apple.Finder";
  if (state.range(0)) {
    TabState::writeEnforce({AppDelegate::systemNow(), false, true}, folder.path);
  }
  AppDelegate delegate(desktop, {.supportDir = folder.path});
  for (auto _ : state) delegate.tick();
  const auto snapshot = TabState::readSnapshot(folder.path);
  if (!snapshot || snapshot->host.has_value() != (state.range(0) == 1)) {
    state.SkipWithError("the tick wrote an unexpected snapshot");
  }
}
BENCHMARK(BM_Tick)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMicrosecond)
    ->MeasureProcessCPUTime()
    ->Repetitions(5);

// The tick's own work without the files: the desktop queries, the script's answer, the host.
void BM_ReadTab(benchmark::State& state) {
  InstantDesktop desktop;
  desktop.front = "com.apple.Safari";
  AppDelegate delegate(desktop);
  for (auto _ : state) benchmark::DoNotOptimize(delegate.readTab());
}
BENCHMARK(BM_ReadTab)->Unit(benchmark::kMicrosecond)->MeasureProcessCPUTime()->Repetitions(5);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  tether::bench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const auto base = reporter.times.find("BM_SnapshotWrite");
  if (base != reporter.times.end()) {
    for (const char* name : {"BM_Tick/0", "BM_Tick/1", "BM_ReadTab"}) {
      const auto it = reporter.times.find(name);
      if (it != reporter.times.end()) {
        std::printf("ratio %s / BM_SnapshotWrite: %.3g (fastest CPU time %.3g us)\n", name,
                    it->second / base->second, it->second);
      }
    }
  }
  benchmark::Shutdown();
  return 0;
}
