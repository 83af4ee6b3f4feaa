#pragma once

// Clients of the service on the byte level, for its connection limits: one connection that sends
// exactly what it is given, and a crowd of slow connections. Used by the service's tests and by
// its slow-client benchmark.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace tether::test {

// One TCP connection to 127.0.0.1:port.
class RawConnection {
 public:
  explicit RawConnection(int port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) close();
  }
  ~RawConnection() { close(); }
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;

  bool connected() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  bool send(std::string_view bytes) {
    while (fd_ >= 0 && !bytes.empty()) {
      const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n <= 0) return false;
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return fd_ >= 0;
  }
  // Everything the service sends until it closes the connection, or until the time-out.
  std::string readAll(std::chrono::milliseconds timeout, bool* closed = nullptr) {
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(std::max<int64_t>(0, left.count()))) <= 0) break;
      char buffer[4096];
      const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
      if (n <= 0) {
        if (closed) *closed = true;
        return text;
      }
      text.append(buffer, static_cast<std::size_t>(n));
    }
    if (closed) *closed = false;
    return text;
  }
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

// Connections that hold the service's attention without completing a request: `trickling` ones
// that send a request one byte a second, and `idle` ones that send nothing. When the service
// closes one, another takes its place, so their number stays.
class SlowClients {
 public:
  SlowClients(int port, int trickling, int idle) : port_(port) {
    rlimit files{};  // a descriptor per connection, and the service's own when in-process
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
      files.rlim_cur = files.rlim_max;
      setrlimit(RLIMIT_NOFILE, &files);
    }
    for (int i = 0; i < trickling + idle; ++i) {
      connections_.push_back({std::make_unique<RawConnection>(port), i < trickling, 0});
    }
    thread_ = std::thread([this] { run(); });
  }
  ~SlowClients() {
    stop_ = true;
    thread_.join();
  }
  SlowClients(const SlowClients&) = delete;
  SlowClients& operator=(const SlowClients&) = delete;

  // Connections the service closed (each replaced at once), and connections it refused.
  std::size_t closedByService() const { return closed_; }
  std::size_t open() const { return open_; }

 private:
  struct Slow {
    std::unique_ptr<RawConnection> connection;
    bool trickling;
    std::size_t sent;
  };
  static constexpr std::string_view kRequest =
      "GET /v1/devices HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer slow-client-token\r\n"
      "User-Agent: one byte a second\r\n\r\n";

  void run() {
    auto nextByte = std::chrono::steady_clock::now();
    while (!stop_) {
      std::vector<pollfd> polled;
      for (const Slow& s : connections_) polled.push_back({s.connection->fd(), POLLIN, 0});
      ::poll(polled.data(), polled.size(), 50);
      std::size_t open = 0;
      for (std::size_t i = 0; i < connections_.size(); ++i) {
        Slow& s = connections_[i];
        if (polled[i].fd < 0 || (polled[i].revents & (POLLIN | POLLHUP | POLLERR))) {
          // Closed by the service (or an answer, which ends it too): take another.
          if (polled[i].fd >= 0) ++closed_;
          s.connection = std::make_unique<RawConnection>(port_);
          s.sent = 0;
        }
        open += s.connection->connected();
      }
      open_ = open;
      if (std::chrono::steady_clock::now() < nextByte) continue;
      nextByte += std::chrono::seconds(1);
      for (Slow& s : connections_) {
        if (!s.trickling || !s.connection->connected()) continue;
        // Never the last byte: the request stays unfinished.
        if (s.sent + 1 < kRequest.size() && s.connection->send(kRequest.substr(s.sent, 1))) {
          ++s.sent;
        }
      }
    }
  }

  int port_;
  std::vector<Slow> connections_;
  std::atomic<bool> stop_{false};
  std::atomic<std::size_t> closed_{0};
  std::atomic<std::size_t> open_{0};
  std::thread thread_;
};

}  // namespace tether::test
