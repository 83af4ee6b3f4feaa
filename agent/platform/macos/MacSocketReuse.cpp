// A disconnected UDP socket keeps its local port on macOS, so a socket is never taken back: each
// query gets a new one and with it a new random port.
#include "platform/SocketReuse.h"

namespace tether::SocketReuse {

bool disconnect(int) {
  return false;
}

}  // namespace tether::SocketReuse
