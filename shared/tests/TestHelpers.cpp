#include "TestHelpers.h"

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

namespace tether::test {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tether-test-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

void writeFile(const std::filesystem::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

std::string readFile(const std::filesystem::path& path) {
  std::ostringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

std::filesystem::path makeAppBundle(const std::filesystem::path& bundle,
                                    const std::optional<std::string>& infoPlist,
                                    const std::string& executable) {
  std::filesystem::create_directories(bundle / "Contents" / "MacOS");
  if (infoPlist) writeFile(bundle / "Contents" / "Info.plist", *infoPlist);
  const std::filesystem::path exe = bundle / "Contents" / "MacOS" / executable;
  std::filesystem::copy_file("/bin/sleep", exe);
  return exe;
}

ScopedTimeZone::ScopedTimeZone(const char* zone) {
  if (const char* tz = std::getenv("TZ")) previous_ = tz;
  ::setenv("TZ", zone, 1);
  ::tzset();
}

ScopedTimeZone::~ScopedTimeZone() {
  previous_ ? ::setenv("TZ", previous_->c_str(), 1) : ::unsetenv("TZ");
  ::tzset();
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv) {
  const auto outPath = outputs_ / "stdout", errPath = outputs_ / "stderr";
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    ::dup2(::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDOUT_FILENO);
    ::dup2(::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDERR_FILENO);
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

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int raw = 0;
  while (!status_ && ::waitpid(pid_, &raw, WNOHANG) != pid_) {
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (!status_) status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  return status_;
}

bool ChildProcess::waitFor(const std::string& needle, std::chrono::milliseconds timeout,
                           const char* stream) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (readFile(outputs_ / stream).find(needle) == std::string::npos) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

std::unique_ptr<ChildProcess> startServer(const std::vector<std::string>& argv,
                                          std::string& firstLine) {
  if (::access(argv.at(0).c_str(), X_OK) != 0) return nullptr;
  auto server = std::make_unique<ChildProcess>(argv);
  if (!server->waitFor("\n", std::chrono::seconds(20), "stdout")) return nullptr;
  firstLine = server->stdoutText();
  firstLine.erase(firstLine.find('\n'));
  return server;
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

}  // namespace tether::test
