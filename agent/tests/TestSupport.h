#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
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
  ~TempDir();
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
std::size_t count(const std::string& text, const std::string& needle);
// A usage file's text: the date, the minutes as a JSON object, the epoch.
std::string usageJson(const std::string& date, const std::string& minutes = "{}",
                      int64_t epoch = 0);

// Sets TZ for the test's duration.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone);
  ~ScopedTimeZone();

 private:
  std::optional<std::string> previous_;
};

// A child process with its standard output and standard error captured in files.
class ChildProcess {
 public:
  explicit ChildProcess(const std::vector<std::string>& argv);
  ~ChildProcess();  // kills the child if it still runs
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  void signal(int signalNumber) const;
  // The exit status (or 128 + signal) once the child ends, nothing on time-out.
  std::optional<int> wait(std::chrono::milliseconds timeout);
  std::string stdoutText() const;
  std::string stderrText() const;
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
RunResult run(const std::vector<std::string>& argv,
              std::chrono::milliseconds timeout = std::chrono::seconds(20));

// Runs body in a child process inside a private network namespace after the shell command setup;
// skips the test without root or without the namespace.
void inPrivateNetwork(const std::function<void()>& body, const std::string& setup);

// Sends what the process writes to standard error (the agent's log) to a file while it lives.
class CapturedStderr {
 public:
  CapturedStderr();
  ~CapturedStderr();
  CapturedStderr(const CapturedStderr&) = delete;
  CapturedStderr& operator=(const CapturedStderr&) = delete;
  std::string text() const;

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
std::string xmlPlist(const std::string& root);
std::string infoPlist(const std::string& identifier);

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
  void setServers(const std::string& service, const std::string& lines) const;
  std::string servers(const std::string& service) const;  // one line each, "" when none
  std::string calls() const;

 private:
  std::filesystem::path serversFile(const std::string& service) const;
  std::filesystem::path state_;
};

}  // namespace tether::test
