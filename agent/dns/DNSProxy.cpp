#include "DNSProxy.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <bitset>
#include <cerrno>
#include <cstring>
#include <exception>
#include <system_error>

#include "DNSMessage.h"
#include "Log.h"
#include "SiteIndex.h"
#include "SiteMatch.h"

namespace tether {

namespace {

constexpr const char* kThreadName = "kinward-dns";
// Largest UDP payload: neither a query nor a relayed answer is ever cut.
constexpr std::size_t kBufferSize = 65535;
// Queries taken from the listening socket per wake-up, so that upstream replies and time-outs
// are seen between bursts.
constexpr int kReceiveBatch = 64;

// Names through which a network tells browsers to keep using its resolver: Firefox's check
// before it turns on DNS over HTTPS, and iCloud Private Relay's. A negative answer keeps both
// from stepping around the proxy.
constexpr std::string_view kOptOutNames[] = {"use-application-dns.net", "mask.icloud.com",
                                             "mask-h2.icloud.com"};

bool isOptOutName(std::string_view normalizedName) {
  return std::find(std::begin(kOptOutNames), std::end(kOptOutNames), normalizedName) !=
         std::end(kOptOutNames);
}

bool isLoopback(const sockaddr_in& address) {
  return address.sin_family == AF_INET && (ntohl(address.sin_addr.s_addr) >> 24) == 127;
}

void makeNonBlocking(int fd) {
  ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

// A UDP socket that does not block and is not inherited; in one system call where the system
// offers the flags (Linux), as every forwarded query opens one.
int openNonBlockingUdp() {
#ifdef SOCK_NONBLOCK
  return ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_UDP);
#else
  const int fd = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (fd >= 0) makeNonBlocking(fd);
  return fd;
#endif
}

// Whether the address is one of this computer's own: only those can be bound.
bool isLocalAddress(const sockaddr_in& address) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (fd < 0) return true;  // cannot tell: assume it is
  sockaddr_in probe = address;
  probe.sin_port = 0;
  const bool local = ::bind(fd, reinterpret_cast<const sockaddr*>(&probe), sizeof probe) == 0;
  ::close(fd);
  return local;
}

std::string errorText(int error) {
  return std::strerror(error);
}

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// The serving thread's name is set from the starting thread on Linux, so that it is in place when
// start() returns; macOS only lets a thread name itself.
void nameFromOutside([[maybe_unused]] std::thread& thread) {
#ifndef __APPLE__
  ::pthread_setname_np(thread.native_handle(), kThreadName);
#endif
}

void nameFromInside() {
#ifdef __APPLE__
  ::pthread_setname_np(kThreadName);
#endif
}

}  // namespace

struct DNSProxy::Tables {
  std::shared_ptr<const SiteIndex> rules;
  HostSet overCap;

  bool blocks(std::string_view normalizedName) const {
    if (!rules) return false;
    const auto position = rules->winningPositionNormalized(normalizedName);
    return position && rules->blocks(*position, overCap);
  }
};

// The serving thread's state: the receive buffer, the question being handled, and the forwarded
// queries that wait for the upstream.
class DNSProxy::Server {
 public:
  Server(const DNSProxy& proxy, int listenFd, uint16_t listenPort, int wakeFd)
      : proxy_(proxy),
        listenFd_(listenFd),
        listenPort_(htons(listenPort)),
        wakeFd_(wakeFd),
        buffer_(kBufferSize),
        slots_(kMaxInFlight) {
    in_addr address{};
    if (::inet_pton(AF_INET, proxy.upstream_.c_str(), &address) == 1) {
      sockaddr_in upstream{};
      upstream.sin_family = AF_INET;
      upstream.sin_port = htons(proxy.upstreamPort_);
      upstream.sin_addr = address;
      upstream_ = upstream;
      // A forwarded query can only arrive back here when the upstream is this computer on the
      // listening port; only then are the forwarded queries' ports worth noting.
      upstreamMayBeSelf_ = proxy.upstreamPort_ == listenPort && isLocalAddress(upstream);
    }
    free_.reserve(kMaxInFlight);
    for (std::size_t i = kMaxInFlight; i > 0; --i) free_.push_back(static_cast<uint32_t>(i - 1));
    active_.reserve(kMaxInFlight);
    pollFds_.reserve(kMaxInFlight + 2);
  }

  ~Server() {
    for (uint32_t slot : active_) ::close(slots_[slot].fd);
  }

  void run() {
    using namespace std::chrono;
    for (;;) {
      const auto now = steady_clock::now();
      expire(now);
      int timeout = -1;
      if (!active_.empty()) {
        auto earliest = slots_[active_.front()].deadline;
        for (uint32_t slot : active_) earliest = std::min(earliest, slots_[slot].deadline);
        timeout =
            static_cast<int>(std::max<int64_t>(0, ceil<milliseconds>(earliest - now).count()));
      }
      pollFds_.clear();
      pollFds_.push_back({listenFd_, POLLIN, 0});
      pollFds_.push_back({wakeFd_, POLLIN, 0});
      for (uint32_t slot : active_) pollFds_.push_back({slots_[slot].fd, POLLIN, 0});
      polled_.assign(active_.begin(), active_.end());
      if (::poll(pollFds_.data(), pollFds_.size(), timeout) < 0) {
        // EINTR, or a transient shortage of kernel memory: look again shortly.
        if (errno != EINTR) ::poll(nullptr, 0, 10);
        continue;
      }
      if (pollFds_[1].revents != 0) return;
      for (std::size_t k = 0; k < polled_.size(); ++k) {
        if (pollFds_[k + 2].revents != 0) readUpstream(polled_[k]);
      }
      if (pollFds_[0].revents != 0) receiveQueries();
    }
  }

 private:
  struct Pending {
    int fd = -1;
    char id[2] = {0, 0};
    sockaddr_in client{};
    socklen_t clientLength = 0;
    std::chrono::steady_clock::time_point deadline;
    std::string query;
    std::size_t activeIndex = 0;
    uint16_t localPort = 0;
  };

  void receiveQueries() {
    for (int k = 0; k < kReceiveBatch; ++k) {
      sockaddr_in from{};
      socklen_t fromLength = sizeof from;
      const ssize_t n = ::recvfrom(listenFd_, buffer_.data(), buffer_.size(), 0,
                                   reinterpret_cast<sockaddr*>(&from), &fromLength);
      if (n < 0) {
        if (errno == EINTR) continue;
        return;  // nothing more queued (or a transient error): back to waiting
      }
      if (n == 0) continue;
      try {
        handleQuery(std::string_view(buffer_.data(), static_cast<std::size_t>(n)), from,
                    fromLength);
      } catch (const std::exception&) {
        // Out of memory for this one datagram: it goes unanswered, serving carries on.
      }
    }
  }

  void handleQuery(std::string_view query, const sockaddr_in& from, socklen_t fromLength) {
    // Only this machine is served; and nothing from the proxy's own port, which could only be the
    // proxy answering itself.
    if (!isLoopback(from) || from.sin_port == listenPort_) return;
    if (forwardPorts_[ntohs(from.sin_port)]) {
      // One of the proxy's own forwarded queries: the upstream is the proxy itself, and
      // forwarding again would only go round in circles.
      send(from, fromLength, DNSMessage::servfail(query));
      return;
    }
    if (query.size() < DNSMessage::kHeaderSize || !DNSMessage::parseQuestion(query, question_)) {
      send(from, fromLength, query);
      return;
    }
    SiteMatch::normalizeInto(question_.name, normalized_);
    if (isOptOutName(normalized_)) {
      send(from, fromLength, DNSMessage::nxdomain(query, question_.end));
      return;
    }
    if (proxy_.tables()->blocks(normalized_)) {
      send(from, fromLength, DNSMessage::sinkhole(query, question_.end, question_.qtype));
      return;
    }
    forward(query, from, fromLength);
  }

  void forward(std::string_view query, const sockaddr_in& from, socklen_t fromLength) {
    if (!upstream_ || free_.empty()) {
      send(from, fromLength, DNSMessage::servfail(query));
      return;
    }
    // The copy kept for a later SERVFAIL comes first: it is the one step that can throw.
    const uint32_t slot = free_.back();
    Pending& p = slots_[slot];
    p.query.assign(query);
    const int fd = openNonBlockingUdp();
    if (fd < 0) {
      send(from, fromLength, DNSMessage::servfail(query));
      return;
    }
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&*upstream_), sizeof *upstream_) != 0 ||
        ::send(fd, query.data(), query.size(), 0) <= 0) {
      ::close(fd);
      send(from, fromLength, DNSMessage::servfail(query));
      return;
    }
    p.localPort = 0;
    if (upstreamMayBeSelf_) {
      sockaddr_in local{};
      socklen_t localLength = sizeof local;
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLength);
      p.localPort = ntohs(local.sin_port);
      forwardPorts_[p.localPort] = true;
    }
    free_.pop_back();
    p.fd = fd;
    p.id[0] = query[0];
    p.id[1] = query[1];
    p.client = from;
    p.clientLength = fromLength;
    p.deadline = std::chrono::steady_clock::now() + kUpstreamWait;
    p.activeIndex = active_.size();
    active_.push_back(slot);
  }

  // Reads what the upstream sent on a query's socket. The connected socket only receives from
  // the upstream's address and port; a reply with another ID, or too short to be a DNS message,
  // is dropped and the query keeps waiting. An error (the upstream port is closed) fails the
  // query at once.
  void readUpstream(uint32_t slot) {
    Pending& p = slots_[slot];
    for (;;) {
      const ssize_t n = ::recv(p.fd, buffer_.data(), buffer_.size(), 0);
      if (n < 0) {
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return;
        send(p.client, p.clientLength, DNSMessage::servfail(p.query));
        release(slot);
        return;
      }
      if (static_cast<std::size_t>(n) >= DNSMessage::kHeaderSize && buffer_[0] == p.id[0] &&
          buffer_[1] == p.id[1]) {
        send(p.client, p.clientLength,
             std::string_view(buffer_.data(), static_cast<std::size_t>(n)));
        release(slot);
        return;
      }
    }
  }

  void expire(std::chrono::steady_clock::time_point now) {
    for (std::size_t k = active_.size(); k > 0; --k) {
      const uint32_t slot = active_[k - 1];
      Pending& p = slots_[slot];
      if (p.deadline > now) continue;
      send(p.client, p.clientLength, DNSMessage::servfail(p.query));
      release(slot);
    }
  }

  void release(uint32_t slot) {
    Pending& p = slots_[slot];
    closeFd(p.fd);
    forwardPorts_[p.localPort] = false;
    const uint32_t moved = active_.back();
    active_[p.activeIndex] = moved;
    slots_[moved].activeIndex = p.activeIndex;
    active_.pop_back();
    free_.push_back(slot);
  }

  void send(const sockaddr_in& to, socklen_t toLength, std::string_view bytes) {
    // Best effort: a client whose socket is gone or full simply gets nothing.
    ::sendto(listenFd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to),
             toLength);
  }

  const DNSProxy& proxy_;
  const int listenFd_;
  const uint16_t listenPort_;  // network byte order
  const int wakeFd_;
  std::optional<sockaddr_in> upstream_;
  std::vector<char> buffer_;
  DNSMessage::Question question_;
  std::string normalized_;
  std::vector<Pending> slots_;
  std::vector<uint32_t> free_;
  std::vector<uint32_t> active_;
  bool upstreamMayBeSelf_ = false;
  std::bitset<65536> forwardPorts_;  // local ports of the forwarded queries' sockets, if noted
  std::vector<pollfd> pollFds_;
  std::vector<uint32_t> polled_;
};

DNSProxy::DNSProxy(std::string upstream, uint16_t listenPort, uint16_t upstreamPort)
    : upstream_(std::move(upstream)),
      listenPort_(listenPort),
      upstreamPort_(upstreamPort),
      tables_(std::make_shared<const Tables>()) {}

DNSProxy::~DNSProxy() {
  shutdown();
}

std::optional<AgentError> DNSProxy::start() {
  if (thread_.joinable()) return AgentError::config("socket: the DNS proxy is already serving");
  int fd = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (fd < 0) return AgentError::config("socket: " + errorText(errno));
  const int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(listenPort_);
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const int error = errno;
    closeFd(fd);
    return AgentError::config("bind :" + std::to_string(listenPort_) + ": " + errorText(error));
  }
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  makeNonBlocking(fd);
  if (::pipe(wake_) != 0) {
    const int error = errno;
    closeFd(fd);
    return AgentError::config("socket: " + errorText(error));
  }
  makeNonBlocking(wake_[0]);
  makeNonBlocking(wake_[1]);
  try {
    thread_ = std::thread([this, fd, port = ntohs(address.sin_port), wakeFd = wake_[0]] {
      nameFromInside();
      try {
        Server(*this, fd, port, wakeFd).run();
      } catch (const std::exception& e) {
        log(std::string("dns proxy stopped: ") + e.what());
      }
    });
  } catch (const std::system_error& e) {
    closeFd(fd);
    closeFd(wake_[0]);
    closeFd(wake_[1]);
    return AgentError::config(std::string("thread: ") + e.what());
  }
  nameFromOutside(thread_);
  fd_ = fd;
  boundPort_ = ntohs(address.sin_port);
  log("dns proxy listening on 0.0.0.0:" + std::to_string(boundPort_) + " via " + upstream_);
  return std::nullopt;
}

void DNSProxy::shutdown() {
  if (thread_.joinable()) {
    const char byte = 1;
    while (::write(wake_[1], &byte, 1) < 0 && errno == EINTR) {
    }
    thread_.join();
  }
  closeFd(fd_);
  closeFd(wake_[0]);
  closeFd(wake_[1]);
  boundPort_ = 0;
}

std::shared_ptr<const DNSProxy::Tables> DNSProxy::tables() const {
  std::lock_guard<std::mutex> guard(lock_);
  return tables_;
}

void DNSProxy::setRules(std::shared_ptr<const SiteIndex> rules, HostSet overCap) {
  std::shared_ptr<const Tables> next =
      std::make_shared<const Tables>(Tables{std::move(rules), std::move(overCap)});
  {
    std::lock_guard<std::mutex> guard(lock_);
    tables_.swap(next);
  }
  // The previous pair is released here, outside the lock (or by the last query using it).
}

std::vector<std::string> DNSProxy::currentBlocked() const {
  const auto t = tables();
  std::vector<std::string> hosts;
  if (!t->rules) return hosts;
  const SiteIndex& rules = *t->rules;
  for (std::size_t i = 0; i < rules.size(); ++i) {
    if (rules.blocks(i, t->overCap)) hosts.emplace_back(rules.host(i));
  }
  return hosts;
}

DNSProxy::HostSet DNSProxy::overCap() const {
  return tables()->overCap;
}

std::shared_ptr<const SiteIndex> DNSProxy::siteRules() const {
  return tables()->rules;
}

bool DNSProxy::isBlocked(std::string_view name) const {
  return tables()->blocks(SiteMatch::normalize(name));
}

}  // namespace tether
