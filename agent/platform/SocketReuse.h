#pragma once

namespace tether {

// Taking a connected UDP socket back for another query instead of closing it and opening a new
// one. One implementation per operating system.
namespace SocketReuse {

// Undoes the socket's connect(): its local port is given up, so that the next connect() picks a
// new random one, and no more datagrams come in until then. Datagrams queued before stay queued.
// False where the system keeps the local port of a disconnected socket; the caller then closes
// the socket instead.
bool disconnect(int fd);

}  // namespace SocketReuse
}  // namespace tether
