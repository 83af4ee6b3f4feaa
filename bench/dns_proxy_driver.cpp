// Runs the agent's DNS proxy on its own for the throughput and latency benchmarks
// (bench/run-all.sh): the proxy listens on a loopback port, forwards to an upstream on another
// address and port, and blocks the names of a file, one per line, handed over the way the agent
// hands over a policy's blocked domains (a SiteIndex of the policy, an empty over-limit set).
//
// Usage: dns_proxy_driver --port PORT --upstream ADDR --upstream-port PORT --names FILE
//                         [--seconds LIMIT]
// Prints "ready <rules> <build ms>" on standard output once serving; serves until SIGTERM or
// SIGINT, or at most LIMIT seconds (default 3600).
#include <pthread.h>
#include <signal.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>

#include "Policy.h"
#include "dns/DNSProxy.h"
#include "dns/SiteIndex.h"

namespace {

int usage() {
  std::cerr << "usage: dns_proxy_driver --port PORT --upstream ADDR --upstream-port PORT "
               "--names FILE [--seconds LIMIT]\n";
  return 2;
}

bool parsePort(const std::string& text, uint16_t& port) {
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || value <= 0 || value > 65535) return false;
  port = static_cast<uint16_t>(value);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  uint16_t port = 0;
  uint16_t upstreamPort = 0;
  std::string upstream;
  std::string namesPath;
  long seconds = 3600;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    const std::string value = argv[i + 1];
    if (option == "--port") {
      if (!parsePort(value, port)) return usage();
    } else if (option == "--upstream-port") {
      if (!parsePort(value, upstreamPort)) return usage();
    } else if (option == "--upstream") {
      upstream = value;
    } else if (option == "--names") {
      namesPath = value;
    } else if (option == "--seconds") {
      seconds = std::atol(value.c_str());
    } else {
      return usage();
    }
  }
  if (port == 0 || upstreamPort == 0 || upstream.empty() || namesPath.empty() || seconds <= 0) {
    return usage();
  }

  // The signals are taken by sigtimedwait below; every thread started from here inherits the mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  tether::Policy policy;
  {
    std::ifstream in(namesPath);
    if (!in) {
      std::cerr << "cannot read " << namesPath << "\n";
      return 1;
    }
    std::string line;
    while (std::getline(in, line)) {
      if (!line.empty()) policy.domains.push_back(line);
    }
  }

  const auto began = std::chrono::steady_clock::now();
  auto index = std::make_shared<const tether::SiteIndex>(policy);
  const auto built = std::chrono::steady_clock::now();
  policy = tether::Policy{};  // the agent keeps its policy; the proxy needs only the index

  tether::DNSProxy proxy(upstream, port, upstreamPort);
  proxy.setRules(index, {});
  if (auto error = proxy.start()) {
    std::cerr << "start: " << error->text() << "\n";
    return 1;
  }
  std::cout << "ready " << index->size() << " "
            << std::chrono::duration_cast<std::chrono::milliseconds>(built - began).count()
            << std::endl;

  const timespec limit{static_cast<time_t>(seconds), 0};
  sigtimedwait(&signals, nullptr, &limit);
  proxy.shutdown();
  return 0;
}
