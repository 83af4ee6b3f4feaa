#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "UsageReport.h"

namespace tether {

// The installed-application inventory, scanned on a thread of its own so that no folder's
// content (folders the child fills among them) can delay the agent's loop. One scan at a time;
// its result waits until an upload takes it.
class InventoryScan {
 public:
  // The scan itself; it ends early, with what it has, once `cancelled` is set.
  using Scan = std::function<std::vector<InstalledApp>(const std::atomic<bool>& cancelled)>;

  explicit InventoryScan(Scan scan);
  // Cancels a running scan and waits for it, which takes one Info.plist at most.
  ~InventoryScan();
  InventoryScan(const InventoryScan&) = delete;
  InventoryScan& operator=(const InventoryScan&) = delete;

  // Starts a scan, unless one is running or a finished one has not been taken yet.
  void start();
  // The result of the finished scan, once; waits up to `wait` for a running one. Nothing when no
  // scan has finished since the last take.
  std::optional<std::vector<InstalledApp>> take(std::chrono::milliseconds wait);
  // Ends a running scan early; its partial result is dropped. No scan starts afterwards.
  void cancel();

 private:
  Scan scan_;
  std::mutex mutex_;
  std::condition_variable finished_;
  bool running_ = false;
  std::optional<std::vector<InstalledApp>> result_;
  std::atomic<bool> cancelled_{false};
  std::thread thread_;
};

}  // namespace tether
