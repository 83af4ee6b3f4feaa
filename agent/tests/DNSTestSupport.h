#pragma once

// UDP sockets on loopback and DNS query bytes for the DNS proxy's tests.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <dirent.h>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tether::test {

// A UDP socket bound to an address of this machine (any free port unless given).
class UdpSocket {
 public:
  explicit UdpSocket(const char* address = "127.0.0.1", uint16_t port = 0, bool reuse = false) {
    fd_ = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (fd_ < 0) throw std::runtime_error("socket failed");
    if (reuse) {
      const int one = 1;
      ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    }
    sockaddr_in a = addressOf(address, port);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      ::close(fd_);
      throw std::runtime_error(std::string("bind failed for ") + address);
    }
    socklen_t len = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  ~UdpSocket() { ::close(fd_); }
  UdpSocket(const UdpSocket&) = delete;
  UdpSocket& operator=(const UdpSocket&) = delete;

  static sockaddr_in addressOf(const char* address, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    ::inet_pton(AF_INET, address, &a.sin_addr);
    return a;
  }

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
    sockaddr_in sender{};
    socklen_t len = sizeof sender;
    const ssize_t n = ::recvfrom(fd_, buffer.data(), buffer.size(), 0,
                                 reinterpret_cast<sockaddr*>(&sender), &len);
    if (n < 0) return std::nullopt;
    if (from) *from = sender;
    buffer.resize(static_cast<std::size_t>(n));
    return buffer;
  }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

// The wire form of a name: length-prefixed labels and the root's zero byte.
inline std::string wireName(std::string_view name) {
  std::string out;
  while (!name.empty()) {
    const auto dot = name.find('.');
    const std::string_view label = name.substr(0, dot);
    out += static_cast<char>(label.size());
    out += label;
    if (dot == std::string_view::npos) break;
    name.remove_prefix(dot + 1);
  }
  out += '\0';
  return out;
}

// A standard query: the given ID, RD set unless told otherwise, one question of class IN.
inline std::string dnsQuery(uint16_t id, std::string_view name, uint16_t qtype, bool rd = true) {
  std::string q;
  q += static_cast<char>(id >> 8);
  q += static_cast<char>(id & 0xFF);
  q += static_cast<char>(rd ? 0x01 : 0x00);
  q += '\0';
  q += std::string("\0\x01\0\0\0\0\0\0", 8);
  q += wireName(name);
  q += static_cast<char>(qtype >> 8);
  q += static_cast<char>(qtype & 0xFF);
  q += std::string("\0\x01", 2);
  return q;
}

inline std::string hexBytes(std::string_view bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    if (!out.empty()) out += ' ';
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

// Threads of this process with the given name (Linux).
inline int threadsNamed(const std::string& name) {
  int count = 0;
  DIR* dir = ::opendir("/proc/self/task");
  if (!dir) return -1;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
    std::string line;
    std::getline(comm, line);
    if (line == name) ++count;
  }
  ::closedir(dir);
  return count;
}

}  // namespace tether::test
