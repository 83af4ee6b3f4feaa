// Finding the winning site rule for a looked-up name with 100, 100 000 and 1 000 000 rules, and
// the same lookups against the linear rule as the baseline of where the index starts to pay.
// After the runs the ratio of each index size to the 100-rule index is printed: the million-rule
// lookup should stay within 2x of the 100-rule one.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "Policy.h"
#include "RatioReporter.h"
#include "dns/SiteIndex.h"
#include "dns/SiteMatch.h"

namespace {

using tether::Policy;
using tether::SiteIndex;

// A blocklist-like policy: n names of two or three labels, a few limits and allow holes.
Policy makePolicy(std::size_t n) {
  std::mt19937 rng(42);
  static const char* tlds[] = {"com", "net", "org", "io", "de", "co.uk"};
  Policy p;
  p.domains.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    p.domains.push_back((rng() % 4 == 0 ? "ads." : "") + std::string("site") +
                        std::to_string(rng()) + "." + tlds[rng() % 6]);
  }
  p.domainLimits = {{"video.com", 30}, {"games.net", 0}};
  p.domainAllow = {"kids." + p.domains[0]};
  return p;
}

// Names as a resolver sees them: half under listed names (with one or two more labels), half
// not listed, all in the same shapes.
std::vector<std::string> makeNames(const Policy& p, std::size_t count) {
  std::mt19937 rng(7);
  static const char* prefixes[] = {"www.", "cdn.img.", "", "api.v2."};
  std::vector<std::string> names;
  for (std::size_t i = 0; i < count; ++i) {
    const std::string prefix = prefixes[rng() % 4];
    if (i % 2 == 0) {
      names.push_back(prefix + p.domains[rng() % p.domains.size()]);
    } else {
      names.push_back(prefix + "other" + std::to_string(rng()) + ".com");
    }
  }
  return names;
}

struct Fixture {
  Policy policy;
  SiteIndex index;
  std::vector<std::string> names;
  explicit Fixture(std::size_t n)
      : policy(makePolicy(n)), index(policy), names(makeNames(policy, 1 << 14)) {}
};

Fixture& fixture(std::size_t n) {
  static std::map<std::size_t, std::unique_ptr<Fixture>> fixtures;
  auto& f = fixtures[n];
  if (!f) f = std::make_unique<Fixture>(n);
  return *f;
}

void BM_IndexWinning(benchmark::State& state) {
  Fixture& f = fixture(static_cast<std::size_t>(state.range(0)));
  std::size_t i = 0;
  std::size_t found = 0;
  for (auto _ : state) {
    const auto position = f.index.winningPosition(f.names[i++ & (f.names.size() - 1)]);
    found += position.has_value();
    benchmark::DoNotOptimize(position);
  }
  state.counters["hit_rate"] = static_cast<double>(found) / static_cast<double>(state.iterations());
}
// Repeated, and the ratios taken from the fastest repetition, so that a busy machine skews less.
BENCHMARK(BM_IndexWinning)->Arg(100)->Arg(100'000)->Arg(1'000'000)->Repetitions(5);

// The rule value, as the sample cycle asks for it (one host copy per hit).
void BM_IndexWinningRule(benchmark::State& state) {
  Fixture& f = fixture(static_cast<std::size_t>(state.range(0)));
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(f.index.winning(f.names[i++ & (f.names.size() - 1)]));
  }
}
BENCHMARK(BM_IndexWinningRule)->Arg(100)->Arg(1'000'000);

// The linear walk over the rule list.
void BM_LinearWinning(benchmark::State& state) {
  Fixture& f = fixture(static_cast<std::size_t>(state.range(0)));
  const auto rules = f.policy.siteRules();
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        tether::SiteMatch::winning(f.names[i++ & (f.names.size() - 1)], rules));
  }
}
BENCHMARK(BM_LinearWinning)->Arg(100)->Arg(100'000);

// Building the index of a policy, once per policy change.
void BM_IndexBuild(benchmark::State& state) {
  const Policy policy = makePolicy(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    SiteIndex index(policy);
    benchmark::DoNotOptimize(index);
  }
}
BENCHMARK(BM_IndexBuild)->Arg(1'000'000)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  tether::bench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const auto base = reporter.times.find("BM_IndexWinning/100");
  if (base != reporter.times.end()) {
    for (const char* name : {"BM_IndexWinning/100000", "BM_IndexWinning/1000000"}) {
      const auto it = reporter.times.find(name);
      if (it != reporter.times.end()) {
        std::printf("ratio %s / BM_IndexWinning/100: %.2f (bound 2.00)\n", name,
                    it->second / base->second);
      }
    }
  }
  benchmark::Shutdown();
  return 0;
}
