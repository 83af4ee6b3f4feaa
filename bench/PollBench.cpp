// The policy poll every 15 seconds when the service answers with the policy already in force,
// for a policy of 1 000 000 blocked domains (about 25 MB of JSON) served over HTTP on
// 127.0.0.1. The CPU time is the polling thread's own (the server's threads are not counted).
// Baselines in the same run: decoding that body once, and fetching it without looking at it.
#include <benchmark/benchmark.h>
#include <httplib.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "Agent.h"
#include "HttpClient.h"
#include "Log.h"
#include "WakeSignal.h"
#include "dns/SiteIndex.h"

namespace {

namespace fs = std::filesystem;
using namespace tether;

constexpr int kDomains = 1'000'000;

const std::string& policyBody() {
  static const std::string body = [] {
    nlohmann::json domains = nlohmann::json::array();
    for (int i = 0; i < kDomains; ++i)
      domains.push_back("host" + std::to_string(i) + ".example-site.com");
    return nlohmann::json{{"rev", 7}, {"domains", domains}, {"usageEpoch", 0}}.dump();
  }();
  return body;
}

// The service: one fixed answer on every path.
class PolicyServer {
 public:
  PolicyServer() {
    server_.Get(".*", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(policyBody(), "application/json");
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~PolicyServer() {
    server_.stop();
    thread_.join();
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }

 private:
  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
};

std::string configFile(const fs::path& dir, const std::string& url) {
  const auto path = dir / "config.json";
  std::ofstream(path) << nlohmann::json{{"serverURL", url},           {"deviceToken", "bench"},
                                        {"pollIntervalSeconds", 15},  {"sampleIntervalSeconds", 3},
                                        {"upstreamDNS", "127.0.0.1"}, {"enableDNS", false}}
                             .dump();
  return path.string();
}

void BM_PollUnchangedPolicy(benchmark::State& state) {
  char pattern[] = "/tmp/tether-poll-bench-XXXXXX";
  const fs::path dir = ::mkdtemp(pattern);
  PolicyServer server;
  const auto path = configFile(dir, server.url());
  auto config = AgentConfig::load(path);
  Agent agent(*config, path);
  agent.poll();  // the first poll decodes and applies the policy
  if (agent.siteIndex().size() != kDomains) state.SkipWithError("policy not applied");
  for (auto _ : state) agent.poll();
  state.counters["bodyMB"] = static_cast<double>(policyBody().size()) / 1e6;
  fs::remove_all(dir);
}
BENCHMARK(BM_PollUnchangedPolicy)->Unit(benchmark::kMillisecond)->MinTime(3);

// Baseline: the transfer alone, the same HTTP session and server.
void BM_FetchOnly(benchmark::State& state) {
  PolicyServer server;
  WakeSignal stop;
  HttpClient client(stop.fd());
  HttpRequest request;
  request.url = server.url() + "/v1/policy";
  for (auto _ : state) {
    auto response = client.send(request);
    benchmark::DoNotOptimize(response);
  }
}
BENCHMARK(BM_FetchOnly)->Unit(benchmark::kMillisecond)->MinTime(3);

// Baseline: what every poll would cost if each answer were decoded again.
void BM_DecodePolicy(benchmark::State& state) {
  for (auto _ : state) {
    auto policy = Policy::decode(policyBody());
    benchmark::DoNotOptimize(policy);
  }
}
BENCHMARK(BM_DecodePolicy)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
