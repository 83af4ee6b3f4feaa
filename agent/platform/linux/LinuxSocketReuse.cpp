// Linux gives up a UDP socket's automatically chosen local port when the socket is disconnected
// (connect with AF_UNSPEC); the next connect() binds a new random port.
#include <sys/socket.h>

#include "platform/SocketReuse.h"

namespace tether::SocketReuse {

bool disconnect(int fd) {
  sockaddr none{};
  none.sa_family = AF_UNSPEC;
  return ::connect(fd, &none, sizeof none) == 0;
}

}  // namespace tether::SocketReuse
