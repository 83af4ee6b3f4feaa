// Batches of datagrams as plain loops of recvfrom and sendto: macOS has no public call that
// moves several datagrams at once.
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

#include "platform/DatagramBatch.h"

namespace tether::DatagramBatch {

std::size_t receive(int fd, Datagram* datagrams, std::size_t count, int* error) {
  if (error) *error = 0;
  count = std::min(count, kMaxBatch);
  std::size_t received = 0;
  while (received < count) {
    Datagram& d = datagrams[received];
    d.peerLength = sizeof d.peer;
    const ssize_t n = ::recvfrom(fd, d.data, d.capacity, MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr*>(&d.peer), &d.peerLength);
    if (n < 0) {
      if (errno == EINTR) continue;
      // Nothing more queued, or an error: reported when nothing came before it.
      if (received == 0 && error && errno != EAGAIN && errno != EWOULDBLOCK) *error = errno;
      break;
    }
    d.size = static_cast<std::size_t>(n);
    ++received;
  }
  return received;
}

void send(int fd, const Datagram* datagrams, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    const Datagram& d = datagrams[i];
    while (::sendto(fd, d.data, d.size, MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&d.peer),
                    d.peerLength) < 0 &&
           errno == EINTR) {
    }
  }
}

}  // namespace tether::DatagramBatch
