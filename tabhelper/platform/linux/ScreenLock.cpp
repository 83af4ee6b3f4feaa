#include "ScreenLock.h"

#include <systemd/sd-bus.h>

namespace tether {

namespace {

// A call that gets no answer must not hold up a tick for long.
constexpr uint64_t kCallTimeoutMicroseconds = 500'000;

// The screen saver services of the common desktops, asked in this order.
struct ScreenSaverService {
  const char* name;
  const char* path;
};
constexpr ScreenSaverService kScreenSavers[] = {
    {"org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver"},
    {"org.gnome.ScreenSaver", "/org/gnome/ScreenSaver"},
};

}  // namespace

ScreenLock::Bus::~Bus() {
  sd_bus_flush_close_unref(bus_);
}

sd_bus* ScreenLock::Bus::get() {
  if (bus_) return bus_;
  int r = 0;
  if (address_.empty()) {
    r = system_ ? sd_bus_open_system(&bus_) : sd_bus_open_user(&bus_);
  } else {
    r = sd_bus_new(&bus_);
    if (r >= 0) r = sd_bus_set_address(bus_, address_.c_str());
    if (r >= 0) r = sd_bus_set_bus_client(bus_, 1);
    if (r >= 0) r = sd_bus_start(bus_);
  }
  if (r >= 0) r = sd_bus_set_method_call_timeout(bus_, kCallTimeoutMicroseconds);
  if (r < 0) bus_ = sd_bus_flush_close_unref(bus_);
  return bus_;
}

void ScreenLock::Bus::checkAfterFailure() {
  if (bus_ && sd_bus_is_open(bus_) <= 0) bus_ = sd_bus_flush_close_unref(bus_);
}

ScreenLock::ScreenLock(std::string systemBus, std::string sessionBus)
    : system_(std::move(systemBus), true), session_(std::move(sessionBus), false) {}

ScreenLock::~ScreenLock() = default;

bool ScreenLock::isLocked() {
  if (const auto hint = logindLockedHint()) return *hint;
  return screenSaverActive().value_or(false);
}

std::optional<bool> ScreenLock::logindLockedHint() {
  sd_bus* bus = system_.get();
  if (!bus) return std::nullopt;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  int locked = 0;
  // "auto" is the caller's own session, or else its user's graphical one.
  const int r = sd_bus_get_property_trivial(
      bus, "org.freedesktop.login1", "/org/freedesktop/login1/session/auto",
      "org.freedesktop.login1.Session", "LockedHint", &error, 'b', &locked);
  sd_bus_error_free(&error);
  if (r < 0) {
    system_.checkAfterFailure();
    return std::nullopt;
  }
  return locked != 0;
}

std::optional<bool> ScreenLock::screenSaverActive() {
  for (const auto& service : kScreenSavers) {
    sd_bus* bus = session_.get();
    if (!bus) return std::nullopt;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int r = sd_bus_call_method(bus, service.name, service.path, service.name, "GetActive", &error,
                               &reply, "");
    int active = 0;
    if (r >= 0) r = sd_bus_message_read(reply, "b", &active);
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    if (r >= 0) return active != 0;
    session_.checkAfterFailure();
  }
  return std::nullopt;
}

}  // namespace tether
