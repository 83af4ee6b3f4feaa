// A thread's nice value is its own on Linux (setpriority with its thread id); a lower priority
// than the process's never needs a privilege.
#include "platform/ThreadPriority.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace tether::ThreadPriority {

void lowerCurrentThread() {
  const auto thread = static_cast<id_t>(::syscall(SYS_gettid));
  ::setpriority(PRIO_PROCESS, thread, 10);
}

}  // namespace tether::ThreadPriority
