#pragma once

#include <optional>
#include <string>

typedef struct sd_bus sd_bus;

namespace tether {

// Whether the session's screen is locked: logind's LockedHint for this session, or, when logind
// cannot answer, the desktop's screen saver service on the session bus.
class ScreenLock {
 public:
  // Empty addresses mean the system bus and the user's session bus.
  ScreenLock(std::string systemBus, std::string sessionBus);
  ~ScreenLock();
  ScreenLock(const ScreenLock&) = delete;
  ScreenLock& operator=(const ScreenLock&) = delete;

  bool isLocked();

 private:
  // One bus connection, opened when first needed and again after it broke.
  class Bus {
   public:
    Bus(std::string address, bool system) : address_(std::move(address)), system_(system) {}
    ~Bus();
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;
    sd_bus* get();
    // After a failed call: drops the connection if the call broke it.
    void checkAfterFailure();

   private:
    const std::string address_;
    const bool system_;
    sd_bus* bus_ = nullptr;
  };

  std::optional<bool> logindLockedHint();
  std::optional<bool> screenSaverActive();

  Bus system_, session_;
};

}  // namespace tether
