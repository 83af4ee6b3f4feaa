#include "TestSupport.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <nlohmann/json.hpp>

namespace tether::test {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tether-test-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

void writeFile(const std::filesystem::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

ScopedTimeZone::ScopedTimeZone(const char* zone) {
  if (const char* tz = std::getenv("TZ")) previous_ = tz;
  ::setenv("TZ", zone, 1);
  ::tzset();
}

ScopedTimeZone::~ScopedTimeZone() {
  if (previous_) {
    ::setenv("TZ", previous_->c_str(), 1);
  } else {
    ::unsetenv("TZ");
  }
  ::tzset();
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv) {
  const auto outPath = outputs_ / "stdout";
  const auto errPath = outputs_ / "stderr";
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(out, STDOUT_FILENO);
    ::dup2(err, STDERR_FILENO);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
}

ChildProcess::~ChildProcess() {
  if (!status_) {
    ::kill(pid_, SIGKILL);
    wait(std::chrono::seconds(5));
  }
}

void ChildProcess::signal(int signalNumber) const { ::kill(pid_, signalNumber); }

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout) {
  if (status_) return status_;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int raw = 0;
    const pid_t r = ::waitpid(pid_, &raw, WNOHANG);
    if (r == pid_) {
      status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
      return status_;
    }
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

std::string ChildProcess::stdoutText() const { return readFile(outputs_ / "stdout"); }
std::string ChildProcess::stderrText() const { return readFile(outputs_ / "stderr"); }

bool ChildProcess::waitForStderr(const std::string& needle, std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (stderrText().find(needle) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

RunResult run(const std::vector<std::string>& argv, std::chrono::milliseconds timeout) {
  ChildProcess child(argv);
  RunResult result;
  result.status = child.wait(timeout).value_or(-1);
  result.out = child.stdoutText();
  result.err = child.stderrText();
  return result;
}

CapturedStderr::CapturedStderr() {
  const int file = ::open((dir_ / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
  if (file < 0) throw std::runtime_error("cannot capture standard error");
  saved_ = ::dup(STDERR_FILENO);
  ::dup2(file, STDERR_FILENO);
  ::close(file);
}

CapturedStderr::~CapturedStderr() {
  ::dup2(saved_, STDERR_FILENO);
  ::close(saved_);
}

std::string CapturedStderr::text() const { return readFile(dir_ / "stderr"); }

std::string configJson(const std::string& serverURL, double sampleIntervalSeconds,
                       double pollIntervalSeconds, bool enableDNS) {
  return nlohmann::json{{"serverURL", serverURL},
                        {"deviceToken", "device-token"},
                        {"pollIntervalSeconds", pollIntervalSeconds},
                        {"sampleIntervalSeconds", sampleIntervalSeconds},
                        {"upstreamDNS", "127.0.0.1"},
                        {"enableDNS", enableDNS}}
      .dump();
}

}  // namespace tether::test
