#include "DNSStreamServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <list>
#include <set>
#include <vector>

#include "DNSMessage.h"
#include "Log.h"
#include "WakeSignal.h"

namespace tether {

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kThreadName = "kinward-dns-tcp";
// A length field and the largest message it can announce.
constexpr std::size_t kLengthField = 2;
constexpr std::size_t kMaxMessage = 65535;
constexpr std::size_t kReadChunk = 4096;
constexpr int kBacklog = 64;

#ifdef MSG_NOSIGNAL
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0;
#endif

void prepare(int fd) {
  ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
#ifdef SO_NOSIGPIPE
  const int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one);
#endif
}

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

bool wouldBlock(int error) {
  return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

// The message with its two-byte length in front.
std::string framed(std::string_view message) {
  std::string out;
  out.reserve(kLengthField + message.size());
  out += static_cast<char>(message.size() >> 8);
  out += static_cast<char>(message.size() & 0xFF);
  out.append(message);
  return out;
}

// The length a buffer announces in its first two bytes (it holds at least two).
std::size_t announced(const std::string& buffer) {
  return static_cast<std::size_t>(static_cast<unsigned char>(buffer[0])) << 8 |
         static_cast<unsigned char>(buffer[1]);
}

uint16_t localPortOf(int fd) {
  sockaddr_in local{};
  socklen_t length = sizeof local;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) return 0;
  return ntohs(local.sin_port);
}

}  // namespace

// The serving thread's state: the listening socket and the connections.
class DNSStreamServer::Loop {
 public:
  Loop(const DNSStreamServer& server, int listenFd, int wakeFd)
      : server_(server), listenFd_(listenFd), wakeFd_(wakeFd) {
    in_addr address{};
    if (::inet_pton(AF_INET, server.upstream_.c_str(), &address) == 1) {
      sockaddr_in upstream{};
      upstream.sin_family = AF_INET;
      upstream.sin_port = htons(server.upstreamPort_);
      upstream.sin_addr = address;
      upstream_ = upstream;
    }
  }

  ~Loop() {
    for (Connection& c : connections_) closeConnection(c);
  }

  void run() {
    std::vector<pollfd> fds;
    std::vector<std::pair<Connection*, bool>> owners;  // per entry past the first two: upstream?
    for (;;) {
      fds.assign({{wakeFd_, POLLIN, 0}, {listenFd_, POLLIN, 0}});
      owners.clear();
      Clock::time_point next = Clock::time_point::max();
      for (Connection& c : connections_) {
        const short events = c.out.empty() ? (c.upstreamFd < 0 ? POLLIN : 0) : POLLOUT;
        if (events != 0) {
          fds.push_back({c.fd, events, 0});
          owners.emplace_back(&c, false);
        }
        if (c.upstreamFd >= 0) {
          const bool sending = c.upstreamSent < c.upstreamOut.size();
          fds.push_back({c.upstreamFd, static_cast<short>(sending ? POLLOUT : POLLIN), 0});
          owners.emplace_back(&c, true);
          next = std::min(next, c.upstreamDeadline);
        }
        next = std::min(next, c.deadline);
      }
      int timeout = -1;
      if (next != Clock::time_point::max()) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now());
        timeout = static_cast<int>(std::max<int64_t>(0, left.count()));
      }
      if (::poll(fds.data(), fds.size(), timeout) < 0) {
        if (errno != EINTR) ::poll(nullptr, 0, 10);
        continue;
      }
      if (fds[0].revents != 0) return;
      for (std::size_t k = 2; k < fds.size(); ++k) {
        if (fds[k].revents == 0) continue;
        Connection& c = *owners[k - 2].first;
        if (owners[k - 2].second) {
          upstreamReady(c);
        } else if (c.out.empty()) {
          readClient(c);
        } else {
          pump(c);
        }
      }
      expire(Clock::now());
      sweep();
      if (fds[1].revents != 0) accept();
    }
  }

 private:
  struct Connection {
    int fd = -1;
    uint16_t peerPort = 0;
    Clock::time_point deadline;  // closed when nothing is completed by then
    std::string in;              // received, not yet taken as a query
    std::string out;             // the framed answer being sent
    std::size_t sent = 0;
    bool closing = false;
    // The query forwarded to the upstream, on a connection of its own.
    int upstreamFd = -1;
    uint16_t upstreamLocalPort = 0;
    std::string query;
    std::size_t questionEnd = 0;
    std::string upstreamOut;
    std::size_t upstreamSent = 0;
    std::string upstreamIn;
    Clock::time_point upstreamDeadline;
  };

  void accept() {
    for (;;) {
      sockaddr_in peer{};
      socklen_t length = sizeof peer;
      const int fd = ::accept(listenFd_, reinterpret_cast<sockaddr*>(&peer), &length);
      if (fd < 0) return;  // none left, or a connection that went away meanwhile
      const bool loopback = peer.sin_family == AF_INET &&
                            (ntohl(peer.sin_addr.s_addr) >> 24) == 127;
      if (!loopback || connections_.size() >= kMaxConnections) {
        ::close(fd);
        continue;
      }
      prepare(fd);
      Connection& c = connections_.emplace_back();
      c.fd = fd;
      c.peerPort = ntohs(peer.sin_port);
      c.deadline = Clock::now() + kIdleLimit;
    }
  }

  void readClient(Connection& c) {
    char chunk[kReadChunk];
    const ssize_t n = ::recv(c.fd, chunk, sizeof chunk, 0);
    if (n < 0 && wouldBlock(errno)) return;
    if (n <= 0) {
      c.closing = true;  // the client is done, or its connection failed
      return;
    }
    c.in.append(chunk, static_cast<std::size_t>(n));
    pump(c);
  }

  // Sends what is due and answers the queries that are complete, one after the other, until the
  // connection waits: for the client to take the answer, for the upstream, or for more bytes.
  void pump(Connection& c) {
    while (!c.closing && flush(c) && takeQuery(c)) {
    }
  }

  // Sends the answer in hand; true once nothing is left to send.
  bool flush(Connection& c) {
    if (c.out.empty()) return true;
    while (c.sent < c.out.size()) {
      const ssize_t n = ::send(c.fd, c.out.data() + c.sent, c.out.size() - c.sent, kSendFlags);
      if (n < 0 && wouldBlock(errno)) return false;
      if (n <= 0) {
        c.closing = true;
        return false;
      }
      c.sent += static_cast<std::size_t>(n);
    }
    // Answered: the connection has its full time again for the next query.
    c.out.clear();
    c.sent = 0;
    c.deadline = Clock::now() + kIdleLimit;
    return true;
  }

  // Takes the next complete query from what the client sent; true when its answer is in hand.
  bool takeQuery(Connection& c) {
    if (c.upstreamFd >= 0 || c.in.size() < kLengthField) return false;
    const std::size_t length = announced(c.in);
    if (length == 0) {
      c.closing = true;
      return false;
    }
    if (c.in.size() < kLengthField + length) return false;
    std::string query = c.in.substr(kLengthField, length);
    c.in.erase(0, kLengthField + length);
    std::string answer;
    try {
      if (ownUpstreamPorts_.contains(c.peerPort)) {
        // One of this server's own forwarded queries: the upstream is this server itself.
        DNSMessage::servfail(query, answer);
      } else if (!server_.localAnswer_(query, answer, c.questionEnd)) {
        if (forward(c, query)) return false;
        DNSMessage::servfail(query, answer);
      }
      setAnswer(c, answer);
    } catch (const std::exception&) {
      c.closing = true;  // out of memory for this one query
      return false;
    }
    return true;
  }

  void setAnswer(Connection& c, std::string_view answer) {
    c.out = framed(answer);
    c.sent = 0;
  }

  // Opens the upstream connection for the query; false when that fails at once.
  bool forward(Connection& c, const std::string& query) {
    if (!upstream_) return false;
    int fd = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (fd < 0) return false;
    prepare(fd);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&*upstream_), sizeof *upstream_) != 0 &&
        errno != EINPROGRESS) {
      ::close(fd);
      return false;
    }
    c.upstreamFd = fd;
    c.upstreamLocalPort = localPortOf(fd);
    ownUpstreamPorts_.insert(c.upstreamLocalPort);
    c.upstreamOut = framed(query);
    c.upstreamSent = 0;
    c.upstreamIn.clear();
    c.upstreamDeadline = Clock::now() + server_.upstreamWait_;
    c.query = query;
    return true;
  }

  void upstreamReady(Connection& c) {
    if (c.upstreamSent < c.upstreamOut.size()) {
      int error = 0;
      socklen_t length = sizeof error;
      ::getsockopt(c.upstreamFd, SOL_SOCKET, SO_ERROR, &error, &length);
      if (error != 0) return upstreamDone(c, false);
      const ssize_t n = ::send(c.upstreamFd, c.upstreamOut.data() + c.upstreamSent,
                               c.upstreamOut.size() - c.upstreamSent, kSendFlags);
      if (n < 0 && wouldBlock(errno)) return;
      if (n <= 0) return upstreamDone(c, false);
      c.upstreamSent += static_cast<std::size_t>(n);
      return;
    }
    char chunk[kReadChunk];
    const ssize_t n = ::recv(c.upstreamFd, chunk, sizeof chunk, 0);
    if (n < 0 && wouldBlock(errno)) return;
    if (n <= 0) return upstreamDone(c, false);
    c.upstreamIn.append(chunk, static_cast<std::size_t>(n));
    if (c.upstreamIn.size() < kLengthField) return;
    const std::size_t length = announced(c.upstreamIn);
    if (c.upstreamIn.size() < kLengthField + length) return;
    c.upstreamIn.resize(kLengthField + length);  // anything after the answer is not wanted
    upstreamDone(c, DNSMessage::isReplyTo(std::string_view(c.upstreamIn).substr(kLengthField),
                                          c.query, c.questionEnd));
  }

  // Ends the upstream exchange: its answer goes to the client, or SERVFAIL when there is none
  // that belongs to the query.
  void upstreamDone(Connection& c, bool answered) {
    closeUpstream(c);
    std::string answer;
    if (answered) {
      answer = c.upstreamIn.substr(kLengthField);
    } else {
      DNSMessage::servfail(c.query, answer);
    }
    c.upstreamIn = std::string();
    c.query = std::string();
    setAnswer(c, answer);
    pump(c);
  }

  void closeUpstream(Connection& c) {
    if (c.upstreamFd < 0) return;
    ownUpstreamPorts_.erase(c.upstreamLocalPort);
    closeFd(c.upstreamFd);
  }

  void expire(Clock::time_point now) {
    for (Connection& c : connections_) {
      if (c.upstreamFd >= 0 && c.upstreamDeadline <= now) upstreamDone(c, false);
      if (c.upstreamFd < 0 && c.deadline <= now) c.closing = true;
    }
  }

  void sweep() {
    for (auto it = connections_.begin(); it != connections_.end();) {
      if (it->closing) {
        closeConnection(*it);
        it = connections_.erase(it);
      } else {
        ++it;
      }
    }
  }

  void closeConnection(Connection& c) {
    closeUpstream(c);
    closeFd(c.fd);
  }

  const DNSStreamServer& server_;
  const int listenFd_;
  const int wakeFd_;
  std::optional<sockaddr_in> upstream_;
  std::list<Connection> connections_;  // stable addresses while the poll set refers to them
  std::set<uint16_t> ownUpstreamPorts_;
};

DNSStreamServer::DNSStreamServer(LocalAnswer localAnswer, const std::string& upstream,
                                 uint16_t upstreamPort, std::chrono::milliseconds upstreamWait)
    : localAnswer_(std::move(localAnswer)),
      upstream_(upstream),
      upstreamPort_(upstreamPort),
      upstreamWait_(upstreamWait) {}

DNSStreamServer::~DNSStreamServer() { shutdown(); }

std::optional<std::string> DNSStreamServer::start(uint16_t port) {
  if (thread_.joinable()) return "already serving";
  const std::string where = "bind 127.0.0.1:" + std::to_string(port) + ": ";
  int fd = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (fd < 0) return "socket: " + std::string(std::strerror(errno));
  prepare(fd);
  const int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd, kBacklog) != 0) {
    const int error = errno;
    ::close(fd);
    return where + std::strerror(error);
  }
  try {
    wake_ = std::make_unique<WakeSignal>();
    thread_ = std::thread([this, fd, wakeFd = wake_->fd()] {
#ifdef __APPLE__
      ::pthread_setname_np(kThreadName);
#endif
      try {
        Loop(*this, fd, wakeFd).run();
      } catch (const std::exception& e) {
        log(std::string("dns over tcp stopped: ") + e.what());
      }
      ::close(fd);
    });
  } catch (const std::exception& e) {
    ::close(fd);
    wake_.reset();
    return std::string("thread: ") + e.what();
  }
#ifndef __APPLE__
  ::pthread_setname_np(thread_.native_handle(), kThreadName);
#endif
  return std::nullopt;
}

void DNSStreamServer::shutdown() {
  if (thread_.joinable()) {
    wake_->raise();
    thread_.join();
  }
  wake_.reset();
}

}  // namespace tether
