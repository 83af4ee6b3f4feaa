#include "InventoryScan.h"

#include <exception>
#include <system_error>

namespace tether {

InventoryScan::InventoryScan(Scan scan) : scan_(std::move(scan)) {}

InventoryScan::~InventoryScan() {
  cancel();
  if (thread_.joinable()) thread_.join();
}

void InventoryScan::start() {
  std::lock_guard lock(mutex_);
  if (running_ || result_ || cancelled_) return;
  // The previous scan's thread has finished its work; only its end remains to be collected.
  if (thread_.joinable()) thread_.join();
  running_ = true;
  try {
    thread_ = std::thread([this] {
      std::optional<std::vector<InstalledApp>> apps;
      try {
        apps = scan_(cancelled_);
      } catch (const std::exception&) {
        // Out of memory: no inventory this time; the next one is due in a few minutes.
      }
      std::lock_guard done(mutex_);
      if (!cancelled_) result_ = std::move(apps);
      running_ = false;
      finished_.notify_all();
    });
  } catch (const std::system_error&) {
    running_ = false;  // no thread to be had: tried again when the next inventory is due
  }
}

std::optional<std::vector<InstalledApp>> InventoryScan::take(std::chrono::milliseconds wait) {
  std::unique_lock lock(mutex_);
  finished_.wait_for(lock, wait, [this] { return !running_; });
  std::optional<std::vector<InstalledApp>> taken = std::move(result_);
  result_.reset();
  return taken;
}

void InventoryScan::cancel() {
  std::lock_guard lock(mutex_);
  cancelled_ = true;
  result_.reset();
}

}  // namespace tether
