#pragma once

// UDP and TCP sockets on loopback and DNS query bytes for the DNS proxy's tests.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tether::test {

inline sockaddr_in addressOf(const char* address, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  ::inet_pton(AF_INET, address, &a.sin_addr);
  return a;
}

// A socket closed with its owner; bound (to any free port for 0) or connected when made.
class Socket {
 public:
  ~Socket() { ::close(fd_); }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  uint16_t port() const { return port_; }
  bool readable(std::chrono::milliseconds timeout) const {
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(timeout.count())) > 0;
  }

 protected:
  explicit Socket(int fd) : fd_(fd) {
#ifdef SO_NOSIGPIPE  // a closed connection is a result, not a signal
    const int one = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one);
#endif
  }
  Socket(int type, const char* address, uint16_t port, bool reuse)
      : Socket(::socket(AF_INET, type, 0)) {
    const int one = 1;
    if (reuse) ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a = addressOf(address, port);
    socklen_t len = sizeof a;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), len) != 0 ||
        (type == SOCK_STREAM && ::listen(fd_, 16) != 0)) {
      ::close(fd_);
      throw std::runtime_error(std::string("bind failed for ") + address);
    }
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  int fd_ = -1;
  uint16_t port_ = 0;
};

class UdpSocket : public Socket {
 public:
  explicit UdpSocket(const char* address = "127.0.0.1", uint16_t port = 0, bool reuse = false)
      : Socket(SOCK_DGRAM, address, port, reuse) {}
  void sendTo(std::string_view bytes, uint16_t port, const char* address = "127.0.0.1") const {
    sendTo(bytes, addressOf(address, port));
  }
  void sendTo(std::string_view bytes, const sockaddr_in& to) const {
    ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  }
  // One datagram and its sender, or nothing within the time.
  std::optional<std::string> receive(std::chrono::milliseconds timeout,
                                     sockaddr_in* from = nullptr) const {
    if (!readable(timeout)) return std::nullopt;
    std::string buffer(65536, '\0');
    socklen_t len = sizeof(sockaddr_in);
    const ssize_t n = ::recvfrom(fd_, buffer.data(), buffer.size(), 0,
                                 reinterpret_cast<sockaddr*>(from), from ? &len : nullptr);
    if (n < 0) return std::nullopt;
    return buffer.substr(0, static_cast<std::size_t>(n));
  }
};

// A TCP connection carrying DNS messages with their two-byte length in front.
class TcpConnection : public Socket {
 public:
  explicit TcpConnection(int fd) : Socket(fd) {}
  explicit TcpConnection(uint16_t port) : Socket(::socket(AF_INET, SOCK_STREAM, 0)) {
    const sockaddr_in a = addressOf("127.0.0.1", port);
    if (::connect(fd_, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
      throw std::runtime_error("connect failed");
    }
  }
  bool sendRaw(std::string_view bytes) const {
#ifdef MSG_NOSIGNAL
    constexpr int kFlags = MSG_NOSIGNAL;
#else
    constexpr int kFlags = 0;
#endif
    return ::send(fd_, bytes.data(), bytes.size(), kFlags) == ssize_t(bytes.size());
  }
  bool sendMessage(std::string_view message) const {
    const char length[] = {char(message.size() >> 8), char(message.size() & 0xFF)};
    return sendRaw(std::string(length, 2) + std::string(message));
  }
  // Up to `count` bytes within the time; fewer when the peer closes or time runs out.
  std::string receiveBytes(std::size_t count, std::chrono::milliseconds timeout) const {
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (out.size() < count) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      char buffer[4096];
      if (left.count() <= 0 || !readable(left)) break;
      const ssize_t n = ::recv(fd_, buffer, std::min(sizeof buffer, count - out.size()), 0);
      if (n <= 0) break;
      out.append(buffer, static_cast<std::size_t>(n));
    }
    return out;
  }
  // One message, or nothing when none comes whole within the time.
  std::optional<std::string> receiveMessage(std::chrono::milliseconds timeout) const {
    const std::string length = receiveBytes(2, timeout);
    if (length.size() < 2) return std::nullopt;
    const std::size_t size = std::size_t(uint8_t(length[0])) << 8 | uint8_t(length[1]);
    std::string message = receiveBytes(size, timeout);
    return message.size() < size ? std::nullopt : std::optional(message);
  }
  // Whether the peer has closed the connection (within the time).
  bool closedByPeer(std::chrono::milliseconds timeout) const {
    char byte;
    return readable(timeout) && ::recv(fd_, &byte, 1, MSG_DONTWAIT) <= 0;
  }
};

// A TCP listener on 127.0.0.1.
class TcpListener : public Socket {
 public:
  explicit TcpListener(uint16_t port = 0) : Socket(SOCK_STREAM, "127.0.0.1", port, true) {}
  // The next connection within the time, or nothing.
  std::unique_ptr<TcpConnection> accept(std::chrono::milliseconds timeout) const {
    const int fd = readable(timeout) ? ::accept(fd_, nullptr, nullptr) : -1;
    return fd < 0 ? nullptr : std::make_unique<TcpConnection>(fd);
  }
};

// The wire form of a name: length-prefixed labels and the root's zero byte.
inline std::string wireName(std::string_view name) {
  std::string out;
  while (!name.empty()) {
    const auto label = name.substr(0, name.find('.'));
    out += static_cast<char>(label.size());
    out += label;
    name.remove_prefix(std::min(name.size(), label.size() + 1));
  }
  return out + '\0';
}

// A standard query: the given ID, RD set unless told otherwise, one question of class IN.
inline std::string dnsQuery(uint16_t id, std::string_view name, uint16_t qtype, bool rd = true) {
  const char header[] = {char(id >> 8), char(id), char(rd ? 1 : 0), 0, 0, 1, 0, 0, 0, 0, 0, 0};
  return std::string(header, 12) + wireName(name) + char(qtype >> 8) + char(qtype) + '\0' + '\1';
}

inline std::string bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out += static_cast<char>(v);
  return out;
}

}  // namespace tether::test
