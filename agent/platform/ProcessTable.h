#pragma once

#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace tether {

// The kernel's process table, as the agent needs it: list the processes, tell where each one's
// executable lies, and signal a process. One implementation per operating system.
class ProcessTable {
 public:
  static constexpr std::size_t kMaxProcesses = 8192;
  static constexpr std::size_t kMaxPathBytes = 1024;

  virtual ~ProcessTable() = default;
  // Process identifiers in the kernel's order, at most kMaxProcesses of them.
  virtual std::vector<pid_t> listPids() = 0;
  // The executable's full path (at most kMaxPathBytes), or nothing when the process has ended or
  // cannot be examined.
  virtual std::optional<std::string> executablePath(pid_t pid) = 0;
  // Sends the signal; the result is ignored by callers.
  virtual void signal(pid_t pid, int signalNumber) = 0;

  // The real process table of this operating system.
  static std::shared_ptr<ProcessTable> system();
};

}  // namespace tether
