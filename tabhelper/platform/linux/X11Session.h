#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

typedef struct _XDisplay Display;

namespace tether {

// The X server of the user's session, through a connection of the helper's own.
class X11Session {
 public:
  // An empty name means the session's display.
  explicit X11Session(std::string displayName);
  ~X11Session();
  X11Session(const X11Session&) = delete;
  X11Session& operator=(const X11Session&) = delete;

  // Whether the server can be reached; a server that cannot is tried again on the next call.
  bool connected();
  // The process that owns the active window (the window manager's _NET_ACTIVE_WINDOW and the
  // window's _NET_WM_PID); nothing when there is no active window or it names no process.
  std::optional<pid_t> activeWindowProcess();
  // Milliseconds since the last input event, from the screen saver extension; 0 without it.
  unsigned long idleMilliseconds();

 private:
  std::optional<unsigned long> cardinalProperty(unsigned long window, const char* name,
                                                unsigned long type);

  const std::string displayName_;
  Display* display_ = nullptr;
  bool hasScreenSaver_ = false;
};

}  // namespace tether
