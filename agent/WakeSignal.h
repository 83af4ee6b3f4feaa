#pragma once

#include <atomic>
#include <chrono>

namespace tether {

// A one-way stop request that wakes whoever waits for it: the run loop's sleep and the HTTP
// layer's socket wait both watch fd(). raise() is safe from any thread.
class WakeSignal {
 public:
  WakeSignal();
  ~WakeSignal();
  WakeSignal(const WakeSignal&) = delete;
  WakeSignal& operator=(const WakeSignal&) = delete;

  void raise();
  bool raised() const { return raised_.load(std::memory_order_acquire); }
  // Readable once raised; never drained.
  int fd() const { return fds_[0]; }
  // Sleeps for the duration or until raised; returns true when raised.
  bool waitFor(std::chrono::nanoseconds duration) const;

 private:
  int fds_[2] = {-1, -1};
  std::atomic<bool> requested_{false};
  std::atomic<bool> raised_{false};
};

}  // namespace tether
