#include "WakeSignal.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>

namespace tether {

WakeSignal::WakeSignal() {
  if (::pipe(fds_) != 0) throw std::runtime_error("pipe failed");
  for (int fd : fds_) {
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    ::fcntl(fd, F_SETFL, O_NONBLOCK);
  }
}

WakeSignal::~WakeSignal() {
  ::close(fds_[0]);
  ::close(fds_[1]);
}

void WakeSignal::raise() {
  if (requested_.exchange(true, std::memory_order_acq_rel)) return;
  const char byte = 1;
  while (::write(fds_[1], &byte, 1) < 0 && errno == EINTR) {
  }
  // Set last: once a waiter sees the flag it may destroy this object, so the raising thread
  // must be done with it by then.
  raised_.store(true, std::memory_order_release);
}

bool WakeSignal::waitFor(std::chrono::nanoseconds duration) const {
  using namespace std::chrono;
  // Saturated: a duration beyond what the clock can hold (an interval of centuries) waits until
  // the stop, instead of wrapping round into the past and returning at once.
  const auto start = steady_clock::now();
  const auto deadline = duration >= steady_clock::time_point::max() - start
                            ? steady_clock::time_point::max()
                            : start + duration;
  for (;;) {
    if (raised()) return true;
    const auto left = deadline - steady_clock::now();
    if (left <= nanoseconds::zero()) return false;
    // poll() takes milliseconds as an int: round up and wait in pieces of at most a day.
    const auto ms = std::min<int64_t>(ceil<milliseconds>(left).count(), 86'400'000);
    pollfd p{fds_[0], POLLIN, 0};
    ::poll(&p, 1, static_cast<int>(ms));
  }
}

}  // namespace tether
