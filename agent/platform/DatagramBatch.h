#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>

namespace tether {

// Receiving and sending several UDP datagrams on one socket at once: one system call for the
// whole batch where the system offers it (recvmmsg and sendmmsg on Linux), a datagram at a time
// elsewhere. The socket is a non-blocking IPv4 UDP socket; neither call ever waits.
namespace DatagramBatch {

// The most datagrams one call handles; larger counts are cut to it.
inline constexpr std::size_t kMaxBatch = 64;

struct Datagram {
  char* data = nullptr;      // receive: where the bytes go; send: the bytes
  std::size_t capacity = 0;  // receive: room at data (a longer datagram is cut to it)
  std::size_t size = 0;      // receive: the bytes received; send: the bytes to send
  sockaddr_in peer{};        // receive: the sender; send: the destination
  socklen_t peerLength = 0;  // receive: as the system reports it; send: as given to the system
};

// Takes the datagrams already queued on the socket, at most `count`, into datagrams[0..n) and
// returns n: 0 when nothing is queued or the socket reports an error, whose errno then goes to
// *error (0 when nothing was queued). An empty datagram counts and has size 0.
std::size_t receive(int fd, Datagram* datagrams, std::size_t count, int* error = nullptr);

// Sends every datagram to its peer, in order. A datagram the system refuses (a full buffer, an
// unreachable peer) is dropped and the rest still go.
void send(int fd, const Datagram* datagrams, std::size_t count);

}  // namespace DatagramBatch
}  // namespace tether
