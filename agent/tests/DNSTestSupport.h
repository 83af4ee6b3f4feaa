#pragma once

// UDP sockets on loopback and DNS query bytes for the DNS proxy's tests.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <initializer_list>
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

// A UDP socket bound to an address of this machine (any free port unless given).
class UdpSocket {
 public:
  explicit UdpSocket(const char* address = "127.0.0.1", uint16_t port = 0, bool reuse = false)
      : fd_(::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP)) {
    const int one = 1;
    if (reuse) ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a = addressOf(address, port);
    socklen_t len = sizeof a;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), len) != 0) {
      ::close(fd_);
      throw std::runtime_error(std::string("bind failed for ") + address);
    }
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  ~UdpSocket() { ::close(fd_); }
  UdpSocket(const UdpSocket&) = delete;
  UdpSocket& operator=(const UdpSocket&) = delete;

  uint16_t port() const { return port_; }

  void sendTo(std::string_view bytes, uint16_t port, const char* address = "127.0.0.1") const {
    sendTo(bytes, addressOf(address, port));
  }
  void sendTo(std::string_view bytes, const sockaddr_in& to) const {
    ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  }

  // One datagram and its sender, or nothing within the time.
  std::optional<std::string> receive(std::chrono::milliseconds timeout,
                                     sockaddr_in* from = nullptr) const {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return std::nullopt;
    std::string buffer(65536, '\0');
    socklen_t len = sizeof(sockaddr_in);
    const ssize_t n = ::recvfrom(fd_, buffer.data(), buffer.size(), 0,
                                 reinterpret_cast<sockaddr*>(from), from ? &len : nullptr);
    if (n < 0) return std::nullopt;
    return buffer.substr(0, static_cast<std::size_t>(n));
  }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
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

// Bytes from numbers, and bytes as hexadecimal pairs for readable comparisons.
inline std::string bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out += static_cast<char>(v);
  return out;
}
inline std::string hexBytes(std::string_view bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (!out.empty()) out += ' ';
    out += "0123456789abcdef"[c >> 4];
    out += "0123456789abcdef"[c & 15];
  }
  return out;
}

}  // namespace tether::test
