// The process table from libproc: proc_listpids for the identifiers, proc_pidpath for each
// executable.
#include <libproc.h>
#include <signal.h>

#include <algorithm>
#include <cstring>

#include "platform/ProcessTable.h"

namespace tether {

namespace {

class MacProcessTable final : public ProcessTable {
 public:
  std::vector<pid_t> listPids() override {
    std::vector<pid_t> table(kMaxProcesses, 0);
    const int bytes = proc_listpids(PROC_ALL_PIDS, 0, table.data(),
                                    static_cast<int>(table.size() * sizeof(pid_t)));
    if (bytes <= 0) return {};
    table.resize(std::min<std::size_t>(static_cast<std::size_t>(bytes) / sizeof(pid_t), kMaxProcesses));
    return table;
  }

  std::optional<std::string> executablePath(pid_t pid) override {
    char buf[kMaxPathBytes];
    std::memset(buf, 0, sizeof buf);
    if (proc_pidpath(pid, buf, sizeof buf) <= 0) return std::nullopt;
    return std::string(buf, strnlen(buf, sizeof buf));
  }

  void signal(pid_t pid, int signalNumber) override { ::kill(pid, signalNumber); }
};

}  // namespace

std::shared_ptr<ProcessTable> ProcessTable::system() { return std::make_shared<MacProcessTable>(); }

}  // namespace tether
