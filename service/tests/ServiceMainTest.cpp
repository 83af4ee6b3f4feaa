#include "ServiceMain.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

extern char** environ;

namespace tether {
namespace {

// The real tether-service binary with its standard output on a pipe; killed if still running.
class ServiceProcess {
 public:
  explicit ServiceProcess(const std::vector<std::string>& args) {
    int fds[2];
    if (pipe(fds) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> argv{TETHER_SERVICE_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> raw;
    for (auto& a : argv) raw.push_back(a.data());
    raw.push_back(nullptr);
    if (posix_spawn(&pid_, raw[0], &actions, nullptr, raw.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    out_ = fds[0];
  }
  ~ServiceProcess() {
    if (pid_ > 0 && !status_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) close(out_);
  }

  // The first line of standard output, waiting at most 20 seconds.
  std::string firstLine() {
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
      pollfd p{out_, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      char buf[256];
      const ssize_t n = read(out_, buf, sizeof buf);
      if (n <= 0) break;
      line.append(buf, static_cast<std::size_t>(n));
    }
    return line.substr(0, line.find('\n'));
  }

  void signal(int sig) const { kill(pid_, sig); }

  std::optional<int> wait() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!status_ && std::chrono::steady_clock::now() < deadline) {
      int raw = 0;
      if (waitpid(pid_, &raw, WNOHANG) == pid_) {
        status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
      } else {
        usleep(20 * 1000);
      }
    }
    return status_;
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::optional<int> status_;
};

class TempFolder {
 public:
  TempFolder() {
    char pattern[] = "/tmp/tether-service-main-XXXXXX";
    path_ = mkdtemp(pattern);
  }
  ~TempFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

TEST(ServiceMain, PrintsTheChosenAddressServesAndStopsCleanlyOnSigterm) {
  TempFolder dir;
  ServiceProcess service({"--db", dir / "service.db", "--listen", "127.0.0.1:0"});
  const std::string line = service.firstLine();
  const std::string prefix = "listening on 127.0.0.1:";
  ASSERT_TRUE(line.starts_with(prefix)) << line;
  const int port = std::stoi(line.substr(prefix.size()));
  ASSERT_GT(port, 0);

  httplib::Client client("127.0.0.1", port);
  const auto r = client.Get("/v1/devices");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 401);
  EXPECT_EQ(r->body, R"({"detail":"missing bearer token"})");

  service.signal(SIGTERM);
  EXPECT_EQ(service.wait(), 0);
  EXPECT_TRUE(std::filesystem::exists(dir / "service.db"));
}

TEST(ServiceMain, BadCommandLinesAndUnusableDatabasesEndTheProgram) {
  TempFolder dir;
  EXPECT_EQ(ServiceProcess({"--listen", "127.0.0.1:0"}).wait(), 2);
  EXPECT_EQ(ServiceProcess({"--db", dir / "s.db", "--port", "80"}).wait(), 2);
  EXPECT_EQ(ServiceProcess({"--db", dir / "s.db", "--listen", "127.0.0.1:65536"}).wait(), 2);
  EXPECT_EQ(ServiceProcess({"--db", dir / "missing/s.db", "--listen", "127.0.0.1:0"}).wait(), 1);
}

TEST(ServiceMain, OptionsTakeBothFormsAndBracketedAddresses) {
  auto options = ServiceMain::parseOptions({"--db=/tmp/x.db", "--listen", "[::1]:0"});
  ASSERT_TRUE(options) << options.error();
  EXPECT_EQ(options->db, "/tmp/x.db");
  EXPECT_EQ(options->host, "::1");
  EXPECT_EQ(options->port, 0);
  EXPECT_EQ(ServiceMain::parseOptions({"--db", "x.db"})->port, 8080);
  EXPECT_EQ(ServiceMain::parseOptions({"--db"}).error(), "--db needs a value");
  EXPECT_EQ(ServiceMain::parseOptions({"--db", "x", "--listen", "8080"}).error(),
            "--listen needs HOST:PORT, got \"8080\"");
}

}  // namespace
}  // namespace tether
