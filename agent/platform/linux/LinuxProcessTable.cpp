// The process table from /proc: each numeric entry is a process, and /proc/PID/exe links to its
// executable.
#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <limits>
#include <string>

#include "platform/ProcessTable.h"

namespace tether {

namespace {

class LinuxProcessTable final : public ProcessTable {
 public:
  std::vector<pid_t> listPids() override {
    std::vector<pid_t> pids;
    DIR* dir = ::opendir("/proc");
    if (!dir) return pids;
    while (dirent* entry = ::readdir(dir)) {
      if (pids.size() >= kMaxProcesses) break;
      char* end = nullptr;
      const long pid = std::strtol(entry->d_name, &end, 10);
      if (end == entry->d_name || *end != '\0' || pid <= 0 ||
          pid > std::numeric_limits<pid_t>::max()) {
        continue;
      }
      pids.push_back(static_cast<pid_t>(pid));
    }
    ::closedir(dir);
    return pids;
  }

  std::optional<std::string> executablePath(pid_t pid) override {
    const std::string link = "/proc/" + std::to_string(pid) + "/exe";
    char buf[kMaxPathBytes];
    const ssize_t n = ::readlink(link.c_str(), buf, sizeof buf);
    // A vanished process, a kernel thread (no executable) or a truncated path: skip it.
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buf) return std::nullopt;
    return std::string(buf, static_cast<std::size_t>(n));
  }

  void signal(pid_t pid, int signalNumber) override { ::kill(pid, signalNumber); }
};

}  // namespace

std::shared_ptr<ProcessTable> ProcessTable::system() {
  return std::make_shared<LinuxProcessTable>();
}

}  // namespace tether
