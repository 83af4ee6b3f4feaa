// Batches of datagrams with recvmmsg and sendmmsg: one system call per batch.
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

#include "platform/DatagramBatch.h"

namespace tether::DatagramBatch {

std::size_t receive(int fd, Datagram* datagrams, std::size_t count, int* error) {
  if (error) *error = 0;
  count = std::min(count, kMaxBatch);
  mmsghdr headers[kMaxBatch];
  iovec vectors[kMaxBatch];
  for (std::size_t i = 0; i < count; ++i) {
    vectors[i] = {datagrams[i].data, datagrams[i].capacity};
    headers[i] = {};
    headers[i].msg_hdr.msg_name = &datagrams[i].peer;
    headers[i].msg_hdr.msg_namelen = sizeof datagrams[i].peer;
    headers[i].msg_hdr.msg_iov = &vectors[i];
    headers[i].msg_hdr.msg_iovlen = 1;
  }
  int received;
  do {
    received = ::recvmmsg(fd, headers, static_cast<unsigned>(count), MSG_DONTWAIT, nullptr);
  } while (received < 0 && errno == EINTR);
  if (received < 0 && error && errno != EAGAIN && errno != EWOULDBLOCK) *error = errno;
  if (received <= 0) return 0;
  for (int i = 0; i < received; ++i) {
    datagrams[i].size = headers[i].msg_len;
    datagrams[i].peerLength = headers[i].msg_hdr.msg_namelen;
  }
  return static_cast<std::size_t>(received);
}

void send(int fd, const Datagram* datagrams, std::size_t count) {
  mmsghdr headers[kMaxBatch];
  iovec vectors[kMaxBatch];
  std::size_t done = 0;
  while (done < count) {
    const std::size_t batch = std::min(count - done, kMaxBatch);
    for (std::size_t i = 0; i < batch; ++i) {
      const Datagram& d = datagrams[done + i];
      vectors[i] = {d.data, d.size};
      headers[i] = {};
      headers[i].msg_hdr.msg_name = const_cast<sockaddr_in*>(&d.peer);
      headers[i].msg_hdr.msg_namelen = d.peerLength;
      headers[i].msg_hdr.msg_iov = &vectors[i];
      headers[i].msg_hdr.msg_iovlen = 1;
    }
    const int sent = ::sendmmsg(fd, headers, static_cast<unsigned>(batch), MSG_DONTWAIT);
    if (sent < 0 && errno == EINTR) continue;
    // The system stops at the first datagram it refuses: drop that one and go on after it.
    const std::size_t accepted = sent < 0 ? 0 : static_cast<std::size_t>(sent);
    done += accepted < batch ? accepted + 1 : accepted;
  }
}

}  // namespace tether::DatagramBatch
