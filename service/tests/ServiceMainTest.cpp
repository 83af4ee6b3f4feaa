#include "ServiceMain.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

extern char** environ;

namespace tether {
namespace {

// A fresh folder, removed at the end of the test.
struct TempFolder {
  std::filesystem::path path;
  TempFolder() {
    char pattern[] = "/tmp/tether-service-main-XXXXXX";
    path = mkdtemp(pattern);
  }
  ~TempFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
  std::string operator/(const std::string& name) const { return (path / name).string(); }
};

// The real tether-service binary with its standard output in a file; killed if still running.
class ServiceProcess {
 public:
  ServiceProcess(const TempFolder& dir, std::vector<std::string> args) : out_(dir / "stdout") {
    args.insert(args.begin(), TETHER_SERVICE_PATH);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out_.c_str(), O_WRONLY | O_CREAT,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~ServiceProcess() {
    if (pid_ > 0 && !status_) kill(pid_, SIGKILL);
    wait();
  }

  // The first line of standard output, waiting at most 20 seconds.
  std::string firstLine() const {
    std::string text;
    for (int i = 0; i < 2000 && text.find('\n') == std::string::npos; ++i) {
      usleep(10 * 1000);
      std::ifstream in(out_);
      std::getline(in, text, '\0');
    }
    return text.substr(0, text.find('\n'));
  }
  void signal(int sig) const { kill(pid_, sig); }
  // The exit status, waiting at most 20 seconds.
  std::optional<int> wait() {
    for (int i = 0; i < 1000 && pid_ > 0 && !status_; ++i) {
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
  std::string out_;
  pid_t pid_ = -1;
  std::optional<int> status_;
};

TEST(ServiceMain, PrintsTheChosenAddressServesAndStopsCleanlyOnSigterm) {
  TempFolder dir;
  ServiceProcess service(dir, {"--db", dir / "service.db", "--listen", "127.0.0.1:0"});
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
  EXPECT_EQ(ServiceProcess(dir, {"--listen", "127.0.0.1:0"}).wait(), 2);
  EXPECT_EQ(ServiceProcess(dir, {"--db", dir / "s.db", "--port", "80"}).wait(), 2);
  EXPECT_EQ(ServiceProcess(dir, {"--db", dir / "s.db", "--listen", "127.0.0.1:65536"}).wait(), 2);
  EXPECT_EQ(ServiceProcess(dir, {"--db", dir / "missing/s.db", "--listen", "127.0.0.1:0"}).wait(),
            1);
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
