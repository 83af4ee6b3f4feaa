#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

namespace tether::bench {

// Prints the runs as the console reporter does and keeps each benchmark's fastest CPU time per
// iteration (in the benchmark's unit), by "name" or "name/arguments", so that ratios against a
// baseline of the same run can be printed once all have run. Runs that failed are left out.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
      const std::string name =
          run.run_name.function_name + (run.run_name.args.empty() ? "" : "/" + run.run_name.args);
      const double t = run.GetAdjustedCPUTime();
      const auto it = times.find(name);
      if (it == times.end() || t < it->second) times[name] = t;
    }
  }
  std::map<std::string, double> times;
};

}  // namespace tether::bench
