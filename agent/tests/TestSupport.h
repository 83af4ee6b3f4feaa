#pragma once

#include <signal.h>
#include <sys/resource.h>
#include <sys/types.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Agent.h"
#include "platform/ProcessTable.h"

namespace tether::test {

// A fresh folder under /tmp, removed with everything in it at the end of the test.
class TempDir {
 public:
  TempDir();
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

void writeFile(const std::filesystem::path& path, const std::string& text);
std::string readFile(const std::filesystem::path& path);
// How often needle occurs in text.
inline std::size_t count(const std::string& text, const std::string& needle) {
  std::size_t n = 0;
  for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}
// A usage file's text: the date, the minutes as a JSON object, the epoch.
inline std::string usageJson(const std::string& date, const std::string& minutes = "{}",
                             int64_t epoch = 0) {
  return R"({"date":")" + date + R"(","minutes":)" + minutes + R"(,"epoch":)" +
         std::to_string(epoch) + "}";
}

// Sets TZ for the test's duration.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone);
  ~ScopedTimeZone();

 private:
  std::optional<std::string> previous_;
};

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

// A child process with its standard output and standard error captured in files.
class ChildProcess {
 public:
  explicit ChildProcess(const std::vector<std::string>& argv);
  ~ChildProcess();  // kills the child if it still runs
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  void signal(int signalNumber) const { ::kill(pid_, signalNumber); }
  // The exit status (or 128 + signal) once the child ends, nothing on time-out.
  std::optional<int> wait(std::chrono::milliseconds timeout);
  std::string stdoutText() const { return readFile(outputs_ / "stdout"); }
  std::string stderrText() const { return readFile(outputs_ / "stderr"); }
  // Polls standard error (or "stdout") until it contains needle; false on time-out.
  bool waitFor(const std::string& needle, std::chrono::milliseconds timeout,
               const char* stream = "stderr") const;

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
  TempDir outputs_;
};

// Runs the command to completion (at most timeout) and returns status, stdout and stderr.
struct RunResult {
  int status = -1;
  std::string out, err;
};
inline RunResult run(const std::vector<std::string>& argv,
                     std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
  ChildProcess child(argv);
  const int status = child.wait(timeout).value_or(-1);
  return {status, child.stdoutText(), child.stderrText()};
}

// Sends what the process writes to standard error (the agent's log) to a file while it lives.
class CapturedStderr {
 public:
  CapturedStderr();
  ~CapturedStderr();
  CapturedStderr(const CapturedStderr&) = delete;
  CapturedStderr& operator=(const CapturedStderr&) = delete;
  std::string text() const { return readFile(dir_ / "stderr"); }

 private:
  TempDir dir_;
  int saved_ = -1;
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

// A property list in XML around the root element, and one whose dictionary names only the
// bundle identifier.
inline std::string xmlPlist(const std::string& root) {
  return R"(<?xml version="1.0" encoding="UTF-8"?><plist version="1.0">)" + root + "</plist>";
}
inline std::string infoPlist(const std::string& identifier) {
  return xmlPlist("<dict><key>CFBundleIdentifier</key><string>" + identifier + "</string></dict>");
}

// bundle/Contents/MacOS/executable as a copy of /bin/sleep, with the Info.plist given (none when
// absent); returns the executable's path.
std::filesystem::path makeAppBundle(const std::filesystem::path& bundle,
                                    const std::optional<std::string>& infoPlist,
                                    const std::string& executable = "app");

// A real process of the executable (sleeping for a minute), once the process table shows it.
std::unique_ptr<ChildProcess> startApp(const std::filesystem::path& executable);

// Made-up processes, listed in the order added; records the signals sent.
class FakeProcessTable : public ProcessTable {
 public:
  std::vector<pid_t> pids;
  std::map<pid_t, std::string> paths;
  std::vector<std::pair<pid_t, int>> signals;

  void add(pid_t pid, const std::filesystem::path& executable) {
    pids.push_back(pid);
    paths[pid] = executable;
  }
  std::vector<pid_t> listPids() override { return pids; }
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
