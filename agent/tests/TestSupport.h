#pragma once

#include <signal.h>
#include <sys/resource.h>
#include <sys/types.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Agent.h"
#include "TestHelpers.h"
#include "platform/ProcessTable.h"

namespace tether::test {

// A usage file's text: the date, the minutes as a JSON object, the epoch.
inline std::string usageJson(const std::string& date, const std::string& minutes = "{}",
                             int64_t epoch = 0) {
  return R"({"date":")" + date + R"(","minutes":)" + minutes + R"(,"epoch":)" +
         std::to_string(epoch) + "}";
}

// Polls done() every 10 ms for up to timeout; whether it came true.
inline bool eventually(const std::function<bool()>& done,
                       std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
  for (const auto end = std::chrono::steady_clock::now() + timeout; !done();) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// Sets the soft limit of this process's descriptors for the test's duration (children started
// meanwhile inherit it).
class ScopedDescriptorLimit {
 public:
  explicit ScopedDescriptorLimit(rlim_t soft) {
    ::getrlimit(RLIMIT_NOFILE, &saved_);
    rlimit wanted{std::min(soft, saved_.rlim_max), saved_.rlim_max};
    ::setrlimit(RLIMIT_NOFILE, &wanted);
  }
  ~ScopedDescriptorLimit() { ::setrlimit(RLIMIT_NOFILE, &saved_); }
  ScopedDescriptorLimit(const ScopedDescriptorLimit&) = delete;
  ScopedDescriptorLimit& operator=(const ScopedDescriptorLimit&) = delete;

 private:
  rlimit saved_{};
};

// A configuration file with the six keys; the agent program; an agent whose configuration file
// would lie in folder.
std::string configJson(const std::string& serverURL = "http://127.0.0.1:9",
                       double sampleIntervalSeconds = 3, double pollIntervalSeconds = 15,
                       bool enableDNS = false);
inline const char* agentBinary() { return KINWARD_AGENT_PATH; }
std::unique_ptr<Agent> makeAgent(const std::filesystem::path& folder,
                                 AgentEnvironment env = AgentEnvironment::system(),
                                 const std::string& config = configJson());

// A real process of the executable (sleeping for a minute), once the process table shows it.
std::unique_ptr<ChildProcess> startApp(const std::filesystem::path& executable);

// Made-up processes, listed in the order added; records the signals sent.
class FakeProcessTable : public ProcessTable {
 public:
  std::vector<pid_t> pids;
  std::map<pid_t, std::string> paths;
  std::vector<std::pair<pid_t, int>> signals;
  int listings = 0;

  void add(pid_t pid, const std::filesystem::path& executable) {
    pids.push_back(pid);
    paths[pid] = executable;
  }
  std::vector<pid_t> listPids() override {
    ++listings;
    return pids;
  }
  std::optional<std::string> executablePath(pid_t pid) override {
    const auto it = paths.find(pid);
    return it != paths.end() ? std::optional(it->second) : std::nullopt;
  }
  void signal(pid_t pid, int signalNumber) override { signals.emplace_back(pid, signalNumber); }
};

// The stand-in networksetup of e2e/ over a state folder: the service listing in "services", each
// service's DNS servers in a file of their own, and every call appended to "calls".
class FakeNetworkSetup {
 public:
  FakeNetworkSetup(std::filesystem::path state, const std::string& listing);
  // Writes the tool, bound to this state folder, as an executable file.
  void install(const std::filesystem::path& tool) const;
  void setServers(const std::string& service, const std::string& lines) const {
    writeFile(serversFile(service), lines);
  }
  std::string servers(const std::string& service) const {  // one line each, "" when none
    return readFile(serversFile(service));
  }
  std::string calls() const { return readFile(state_ / "calls"); }

 private:
  std::filesystem::path serversFile(const std::string& service) const;
  std::filesystem::path state_;
};

}  // namespace tether::test
