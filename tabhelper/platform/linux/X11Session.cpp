#include "X11Session.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/scrnsaver.h>

namespace tether {

namespace {

// Errors the server reports for a request (a window closed meanwhile) are expected: the caller
// sees a failed reply instead. Xlib's default handler would end the process.
int ignoreError(Display*, XErrorEvent*) {
  return 0;
}

class ErrorsIgnored {
 public:
  ErrorsIgnored() : previous_(XSetErrorHandler(ignoreError)) {}
  ~ErrorsIgnored() { XSetErrorHandler(previous_); }
  ErrorsIgnored(const ErrorsIgnored&) = delete;
  ErrorsIgnored& operator=(const ErrorsIgnored&) = delete;

 private:
  XErrorHandler previous_;
};

}  // namespace

X11Session::X11Session(std::string displayName) : displayName_(std::move(displayName)) {}

X11Session::~X11Session() {
  if (display_) XCloseDisplay(display_);
}

bool X11Session::connected() {
  if (display_) return true;
  display_ = XOpenDisplay(displayName_.empty() ? nullptr : displayName_.c_str());
  if (!display_) return false;
  int eventBase = 0, errorBase = 0;
  hasScreenSaver_ = XScreenSaverQueryExtension(display_, &eventBase, &errorBase) != 0;
  return true;
}

std::optional<unsigned long> X11Session::cardinalProperty(unsigned long window, const char* name,
                                                          unsigned long type) {
  const Atom property = XInternAtom(display_, name, False);
  Atom actualType = None;
  int format = 0;
  unsigned long items = 0, remaining = 0;
  unsigned char* data = nullptr;
  const ErrorsIgnored errors;
  const int status = XGetWindowProperty(display_, window, property, 0, 1, False, type, &actualType,
                                        &format, &items, &remaining, &data);
  std::optional<unsigned long> value;
  // Xlib hands 32-bit items over as longs.
  if (status == Success && data && actualType == type && format == 32 && items == 1) {
    value = *reinterpret_cast<const unsigned long*>(data);
  }
  if (data) XFree(data);
  return value;
}

std::optional<pid_t> X11Session::activeWindowProcess() {
  if (!connected()) return std::nullopt;
  const auto window =
      cardinalProperty(DefaultRootWindow(display_), "_NET_ACTIVE_WINDOW", XA_WINDOW);
  if (!window || *window == None) return std::nullopt;
  const auto pid = cardinalProperty(*window, "_NET_WM_PID", XA_CARDINAL);
  if (!pid || *pid == 0 || *pid > 0x7fffffffUL) return std::nullopt;
  return static_cast<pid_t>(*pid);
}

unsigned long X11Session::idleMilliseconds() {
  if (!connected() || !hasScreenSaver_) return 0;
  XScreenSaverInfo* info = XScreenSaverAllocInfo();
  if (!info) return 0;
  unsigned long idle = 0;
  if (XScreenSaverQueryInfo(display_, DefaultRootWindow(display_), info)) idle = info->idle;
  XFree(info);
  return idle;
}

}  // namespace tether
