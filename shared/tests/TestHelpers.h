#pragma once

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// Test helpers any of the project's tests may use: temporary folders, files, child processes.
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
// Sets TZ for the test's duration.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone);
  ~ScopedTimeZone();

 private:
  std::optional<std::string> previous_;
};

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

// Starts a server that prints its address (or display number) as the first line on standard
// output, and gives that line; nothing when the program is missing or prints nothing in time.
std::unique_ptr<ChildProcess> startServer(const std::vector<std::string>& argv,
                                          std::string& firstLine);

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

}  // namespace tether::test
