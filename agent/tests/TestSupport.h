#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

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
  // Polls standard error until it contains needle; false on time-out.
  bool waitForStderr(const std::string& needle, std::chrono::milliseconds timeout) const;

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
  TempDir outputs_;
};

// Runs the command to completion (at most timeout) and returns status, stdout and stderr.
struct RunResult {
  int status = -1;
  std::string out;
  std::string err;
};
RunResult run(const std::vector<std::string>& argv,
              std::chrono::milliseconds timeout = std::chrono::seconds(20));

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

// A configuration file with the six keys; extra JSON members may override them.
std::string configJson(const std::string& serverURL = "http://127.0.0.1:9",
                       double sampleIntervalSeconds = 3, double pollIntervalSeconds = 15,
                       bool enableDNS = false);

inline const char* agentBinary() { return KINWARD_AGENT_PATH; }

}  // namespace tether::test
