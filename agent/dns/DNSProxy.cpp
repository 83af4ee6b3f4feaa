#include "DNSProxy.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bitset>
#include <cerrno>
#include <cstring>
#include <exception>
#include <system_error>

#include "DNSMessage.h"
#include "DNSStreamServer.h"
#include "Log.h"
#include "SiteIndex.h"
#include "SiteMatch.h"
#include "platform/DatagramBatch.h"
#include "platform/DescriptorBatch.h"
#include "platform/SocketReuse.h"

namespace tether {

namespace {

constexpr const char* kThreadName = "kinward-dns";
// Largest UDP payload: neither a query nor a relayed answer is ever cut.
constexpr std::size_t kBufferSize = 65535;
// Queries taken from the listening socket per receive call, and calls per wake-up, so that
// upstream replies and time-outs are seen between bursts.
constexpr std::size_t kReceiveBatch = 32;
constexpr int kReceiveRounds = 2;
// Answers sent to the clients in one call.
constexpr std::size_t kSendBatch = DatagramBatch::kMaxBatch;
// Sockets of answered queries kept, disconnected, for the next forwarded queries.
constexpr std::size_t kMaxSpareSockets = 128;

// How many forwarded queries may wait at once, and how many sockets may be kept spare: together
// under a quarter of the process's descriptor limit, so that a burst of queries never takes the
// descriptors that files, the service's connection and the tools the agent runs need.
struct SocketBudget {
  std::size_t inFlight = 1;
  std::size_t spare = 0;
};

SocketBudget socketBudget() {
  rlimit limit{};
  rlim_t descriptors = 256;  // launchd's default, should the limit be unreadable
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0) descriptors = limit.rlim_cur;
  const std::size_t quarter = descriptors == RLIM_INFINITY || descriptors > (1u << 20)
                                  ? std::size_t{1} << 18
                                  : static_cast<std::size_t>(descriptors) / 4;
  SocketBudget budget;
  budget.spare = std::min(kMaxSpareSockets, quarter / 5);
  const std::size_t left = quarter > budget.spare + 1 ? quarter - budget.spare - 1 : 1;
  budget.inFlight = std::min(DNSProxy::kMaxInFlight, left);
  return budget;
}

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

// Errors of a receive or poll that pass by themselves: nothing queued, a signal, a shortage of
// kernel memory, an ICMP error reported for an earlier datagram. Any other means the socket can
// no longer serve.
bool passes(int error) {
  switch (error) {
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EINTR:
    case ENOMEM:
    case ENOBUFS:
    case ECONNREFUSED:
    case ECONNRESET:
    case EHOSTUNREACH:
    case EHOSTDOWN:
    case ENETUNREACH:
    case ENETDOWN:
    case ETIMEDOUT:
      return true;
    default:
      return false;
  }
}

// A UDP socket bound to every local IPv4 address on the port: the socket, or the error text
// ("socket: ..." or "bind :PORT: ...").
struct Bound {
  int fd = -1;
  uint16_t port = 0;
  std::string error;
};

Bound bindListening(uint16_t port) {
  Bound bound;
  bound.fd = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (bound.fd < 0) {
    bound.error = "socket: " + errorText(errno);
    return bound;
  }
  const int one = 1;
  ::setsockopt(bound.fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  if (::bind(bound.fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const int error = errno;
    closeFd(bound.fd);
    bound.error = "bind :" + std::to_string(port) + ": " + errorText(error);
    return bound;
  }
  socklen_t length = sizeof address;
  ::getsockname(bound.fd, reinterpret_cast<sockaddr*>(&address), &length);
  makeNonBlocking(bound.fd);
  bound.port = ntohs(address.sin_port);
  return bound;
}

// Waits for the descriptor to become readable, at most `wait`; true when it did.
bool readableWithin(int fd, std::chrono::milliseconds wait) {
  pollfd p{fd, POLLIN, 0};
  const auto deadline = std::chrono::steady_clock::now() + wait;
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    const int n = ::poll(&p, 1, static_cast<int>(left.count()));
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) ::poll(nullptr, 0, 10);
  }
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
  std::string alwaysForwarded;  // normalised; empty for none

  // What becomes of a query, whichever way it came: sent back as it is (it has no question that
  // can be read), answered "no such name", answered by the sinkhole, or forwarded. `question`
  // and `normalized` are the caller's buffers, reused from one query to the next.
  enum class Verdict { echo, noSuchName, sinkhole, forward };
  Verdict verdict(std::string_view query, DNSMessage::Question& question,
                  std::string& normalized) const {
    if (query.size() < DNSMessage::kHeaderSize || !DNSMessage::parseQuestion(query, question)) {
      return Verdict::echo;
    }
    SiteMatch::normalizeInto(question.name, normalized);
    if (isOptOutName(normalized)) return Verdict::noSuchName;
    return blocks(normalized) ? Verdict::sinkhole : Verdict::forward;
  }

  bool blocks(std::string_view normalizedName) const {
    if (!rules) return false;
    if (!alwaysForwarded.empty() && normalizedName.ends_with(alwaysForwarded) &&
        (normalizedName.size() == alwaysForwarded.size() ||
         normalizedName[normalizedName.size() - alwaysForwarded.size() - 1] == '.')) {
      return false;
    }
    const auto position = rules->winningPositionNormalized(normalizedName);
    return position && rules->blocks(*position, overCap);
  }
};

// The serving thread's state: the buffers, the question being handled, and the forwarded queries
// that wait for the upstream.
//
// Each wake-up works in batches so that the system calls per query stay few: the upstream replies
// that have come in and the queries whose time is up are answered first, all in one call, and
// the sockets of the finished queries are closed together; then the queries queued on the
// listening socket are taken in batches, and the answers of each batch go out in one call.
class DNSProxy::Server {
 public:
  Server(const DNSProxy& proxy, int listenFd, uint16_t listenPort, int wakeFd)
      : proxy_(proxy),
        listenFd_(listenFd),
        listenPort_(htons(listenPort)),
        wakeFd_(wakeFd),
        budget_(socketBudget()),
        buffer_(kBufferSize),
        // Left uninitialised: only the pages that datagrams actually fill are ever touched.
        inData_(new char[kReceiveBatch * kBufferSize]),
        slots_(budget_.inFlight) {
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
    for (std::size_t i = 0; i < kReceiveBatch; ++i) {
      in_[i].data = inData_.get() + i * kBufferSize;
      in_[i].capacity = kBufferSize;
    }
    for (Outgoing& o : out_) o.bytes.reserve(kAnswerReserve);
    free_.reserve(budget_.inFlight);
    for (std::size_t i = budget_.inFlight; i > 0; --i) {
      free_.push_back(static_cast<uint32_t>(i - 1));
    }
    released_.reserve(budget_.inFlight);
    spare_.reserve(budget_.spare);
    pollFds_.reserve(budget_.inFlight + 2);
    pollSlots_.reserve(budget_.inFlight + 2);
    pollFds_.push_back({listenFd_, POLLIN, 0});
    pollFds_.push_back({wakeFd_, POLLIN, 0});
    pollSlots_.assign(2, kNoSlot);
  }

  ~Server() {
    released_.insert(released_.end(), spare_.begin(), spare_.end());
    closeReleased();
    for (std::size_t k = 2; k < pollFds_.size(); ++k) ::close(pollFds_[k].fd);
  }

  void run() {
    using namespace std::chrono;
    for (;;) {
      int timeout = -1;
      if (oldest_ != kNoSlot) {
        const auto left = slots_[oldest_].deadline - steady_clock::now();
        timeout = static_cast<int>(std::max<int64_t>(0, ceil<milliseconds>(left).count()));
      }
      if (::poll(pollFds_.data(), pollFds_.size(), timeout) < 0) {
        // EINTR, or a transient shortage of kernel memory: look again shortly.
        if (!passes(errno)) throw std::system_error(errno, std::generic_category(), "poll");
        if (errno != EINTR) ::poll(nullptr, 0, 10);
        continue;
      }
      if (pollFds_[1].revents != 0) return;
      if (pollFds_[0].revents & POLLNVAL) {
        throw std::system_error(EBADF, std::generic_category(), "listening socket");
      }
      // From the end down: a finished query's place is taken by the last one, already looked at.
      for (std::size_t k = pollFds_.size(); k-- > 2;) {
        if (pollFds_[k].revents != 0) readUpstream(pollSlots_[k]);
      }
      expire(steady_clock::now());
      flush();
      closeReleased();
      if (pollFds_[0].revents != 0) receiveQueries();
    }
  }

 private:
  static constexpr uint32_t kNoSlot = UINT32_MAX;
  // Room reserved for each outgoing answer up front; longer answers grow it.
  static constexpr std::size_t kAnswerReserve = 512;

  // A forwarded query waiting for the upstream. Waiting queries are chained in the order they
  // were sent, which is also the order of their deadlines, as every query waits equally long.
  struct Pending {
    int fd = -1;
    std::size_t questionEnd = 0;
    sockaddr_in client{};
    socklen_t clientLength = 0;
    std::chrono::steady_clock::time_point deadline;
    std::string query;
    std::size_t pollIndex = 0;
    uint32_t older = kNoSlot;
    uint32_t newer = kNoSlot;
    uint16_t localPort = 0;
  };

  // An answer waiting to go out with the next batch.
  struct Outgoing {
    std::string bytes;
    sockaddr_in to{};
    socklen_t toLength = 0;
  };

  void receiveQueries() {
    // One look at the rules for the whole batch: every query in it sees the same pair.
    const std::shared_ptr<const Tables> tables = proxy_.tables();
    for (int round = 0; round < kReceiveRounds; ++round) {
      int error = 0;
      const std::size_t received =
          DatagramBatch::receive(listenFd_, in_.data(), in_.size(), &error);
      if (error != 0 && !passes(error)) {
        throw std::system_error(error, std::generic_category(), "receive");
      }
      const auto now = std::chrono::steady_clock::now();
      for (std::size_t i = 0; i < received; ++i) {
        const DatagramBatch::Datagram& d = in_[i];
        if (d.size == 0) continue;
        try {
          handleQuery(std::string_view(d.data, d.size), d.peer, d.peerLength, *tables, now);
        } catch (const std::exception&) {
          // Out of memory for this one datagram: it goes unanswered, serving carries on.
        }
      }
      flush();
      closeReleased();
      if (received < in_.size()) return;
    }
  }

  void handleQuery(std::string_view query, const sockaddr_in& from, socklen_t fromLength,
                   const Tables& tables, std::chrono::steady_clock::time_point now) {
    // Only this machine is served; and nothing from the proxy's own port, which could only be the
    // proxy answering itself.
    if (!isLoopback(from) || from.sin_port == listenPort_) return;
    if (forwardPorts_[ntohs(from.sin_port)]) {
      // One of the proxy's own forwarded queries: the upstream is the proxy itself, and
      // forwarding again would only go round in circles.
      DNSMessage::servfail(query, answer(from, fromLength));
      return;
    }
    switch (tables.verdict(query, question_, normalized_)) {
      case Tables::Verdict::echo:
        answer(from, fromLength).assign(query);
        return;
      case Tables::Verdict::noSuchName:
        DNSMessage::nxdomain(query, question_.end, answer(from, fromLength));
        return;
      case Tables::Verdict::sinkhole:
        DNSMessage::sinkhole(query, question_.end, question_.qtype, answer(from, fromLength));
        return;
      case Tables::Verdict::forward:
        forward(query, from, fromLength, now);
        return;
    }
  }

  // Sends the query to the upstream on a socket of its own and enters it among the waiting
  // ones.
  void forward(std::string_view query, const sockaddr_in& from, socklen_t fromLength,
               std::chrono::steady_clock::time_point now) {
    if (!upstream_ || free_.empty()) {
      DNSMessage::servfail(query, answer(from, fromLength));
      return;
    }
    // The copy kept for a later SERVFAIL comes first: it is the one step that can throw.
    const uint32_t slot = free_.back();
    Pending& p = slots_[slot];
    p.query.assign(query);
    int fd;
    if (!spare_.empty()) {
      fd = spare_.back();
      spare_.pop_back();
    } else {
      fd = openNonBlockingUdp();
    }
    if (fd < 0) {
      DNSMessage::servfail(query, answer(from, fromLength));
      return;
    }
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&*upstream_), sizeof *upstream_) != 0 ||
        ::send(fd, query.data(), query.size(), 0) <= 0) {
      released_.push_back(fd);
      DNSMessage::servfail(query, answer(from, fromLength));
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
    p.questionEnd = question_.end;
    p.client = from;
    p.clientLength = fromLength;
    p.deadline = now + kUpstreamWait;
    p.pollIndex = pollFds_.size();
    pollFds_.push_back({fd, POLLIN, 0});
    pollSlots_.push_back(slot);
    p.older = newest_;
    p.newer = kNoSlot;
    (newest_ == kNoSlot ? oldest_ : slots_[newest_].newer) = slot;
    newest_ = slot;
  }

  // Reads what the upstream sent on a query's socket. The connected socket only receives from
  // the upstream's address and port; a reply with another ID or another question (a reused
  // socket may still hold a late copy of the reply to its previous query), or too short to be a
  // DNS message, is dropped and the query keeps waiting. An error (the upstream port is closed)
  // fails the query at once.
  void readUpstream(uint32_t slot) {
    Pending& p = slots_[slot];
    for (;;) {
      const ssize_t n = ::recv(p.fd, buffer_.data(), buffer_.size(), 0);
      if (n < 0) {
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return;
        fail(slot);
        return;
      }
      if (DNSMessage::isReplyTo(std::string_view(buffer_.data(), static_cast<std::size_t>(n)),
                                p.query, p.questionEnd)) {
        try {
          answer(p.client, p.clientLength).assign(buffer_.data(), static_cast<std::size_t>(n));
        } catch (const std::exception&) {
          // Out of memory for this one answer: the client asks again.
        }
        release(slot, true);
        return;
      }
    }
  }

  // Answers SERVFAIL to every query whose wait is over: the oldest ones, as they came first.
  void expire(std::chrono::steady_clock::time_point now) {
    while (oldest_ != kNoSlot && slots_[oldest_].deadline <= now) fail(oldest_);
  }

  void fail(uint32_t slot) {
    Pending& p = slots_[slot];
    try {
      DNSMessage::servfail(p.query, answer(p.client, p.clientLength));
    } catch (const std::exception&) {
      // Out of memory for this one answer: the client asks again.
    }
    release(slot, false);
  }

  // Ends a query's wait. The socket of an answered query is taken back for a later one, with a
  // new port (no reply is due on it any more); that of a failed query is closed, as a late
  // reply may still be on its way.
  void release(uint32_t slot, bool answered) {
    Pending& p = slots_[slot];
    if (answered && spare_.size() < budget_.spare && SocketReuse::disconnect(p.fd)) {
      spare_.push_back(p.fd);
    } else {
      released_.push_back(p.fd);
    }
    p.fd = -1;
    forwardPorts_[p.localPort] = false;
    // Out of the poll set: the last entry takes the freed place.
    const std::size_t last = pollFds_.size() - 1;
    pollFds_[p.pollIndex] = pollFds_[last];
    pollSlots_[p.pollIndex] = pollSlots_[last];
    slots_[pollSlots_[p.pollIndex]].pollIndex = p.pollIndex;
    pollFds_.pop_back();
    pollSlots_.pop_back();
    // Out of the chain of waiting queries.
    (p.older == kNoSlot ? oldest_ : slots_[p.older].newer) = p.newer;
    (p.newer == kNoSlot ? newest_ : slots_[p.newer].older) = p.older;
    free_.push_back(slot);
  }

  // Closes the sockets of the queries released since the last call, together: a batch of them
  // usually has consecutive descriptor numbers.
  void closeReleased() {
    if (!released_.empty()) DescriptorBatch::closeAll(released_);
  }

  // The place for one more answer to `to`, empty; a full batch goes out first. An answer left
  // empty (its bytes could not be had) is not sent.
  std::string& answer(const sockaddr_in& to, socklen_t toLength) {
    if (outCount_ == out_.size()) flush();
    Outgoing& o = out_[outCount_++];
    o.bytes.clear();
    o.to = to;
    o.toLength = toLength;
    return o.bytes;
  }

  void flush() {
    if (outCount_ == 0) return;
    std::array<DatagramBatch::Datagram, kSendBatch> datagrams;
    std::size_t count = 0;
    for (std::size_t i = 0; i < outCount_; ++i) {
      if (out_[i].bytes.empty()) continue;
      DatagramBatch::Datagram& d = datagrams[count++];
      d.data = out_[i].bytes.data();
      d.size = out_[i].bytes.size();
      d.peer = out_[i].to;
      d.peerLength = out_[i].toLength;
    }
    // Best effort: a client whose socket is gone or full simply gets nothing.
    DatagramBatch::send(listenFd_, datagrams.data(), count);
    for (std::size_t i = 0; i < outCount_; ++i) {
      // A rare large answer does not keep its memory.
      if (out_[i].bytes.capacity() > kBufferSize / 16) std::string().swap(out_[i].bytes);
    }
    outCount_ = 0;
  }

  const DNSProxy& proxy_;
  const int listenFd_;
  const uint16_t listenPort_;  // network byte order
  const int wakeFd_;
  std::optional<sockaddr_in> upstream_;
  const SocketBudget budget_;
  std::vector<char> buffer_;  // upstream replies
  std::unique_ptr<char[]> inData_;
  std::array<DatagramBatch::Datagram, kReceiveBatch> in_;
  std::array<Outgoing, kSendBatch> out_;
  std::size_t outCount_ = 0;
  DNSMessage::Question question_;
  std::string normalized_;
  std::vector<Pending> slots_;
  std::vector<uint32_t> free_;
  std::vector<int> released_;     // sockets of finished queries, not yet closed
  std::vector<int> spare_;        // disconnected sockets of answered queries, for reuse
  uint32_t oldest_ = kNoSlot;     // the chain of waiting queries, by deadline
  uint32_t newest_ = kNoSlot;
  bool upstreamMayBeSelf_ = false;
  std::bitset<65536> forwardPorts_;  // local ports of the forwarded queries' sockets, if noted
  // The listening socket, the shutdown pipe, then one entry per waiting query; pollSlots_ holds
  // the query's slot for each entry.
  std::vector<pollfd> pollFds_;
  std::vector<uint32_t> pollSlots_;
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
  Bound bound = bindListening(listenPort_);
  if (bound.fd < 0) return AgentError::config(bound.error);
  if (::pipe(wake_) != 0) {
    const int error = errno;
    closeFd(bound.fd);
    return AgentError::config("socket: " + errorText(error));
  }
  makeNonBlocking(wake_[0]);
  makeNonBlocking(wake_[1]);
  try {
    thread_ = std::thread([this, fd = bound.fd, port = bound.port, wakeFd = wake_[0]] {
      nameFromInside();
      serve(fd, port, wakeFd);
    });
  } catch (const std::system_error& e) {
    closeFd(bound.fd);
    closeFd(wake_[0]);
    closeFd(wake_[1]);
    return AgentError::config(std::string("thread: ") + e.what());
  }
  nameFromOutside(thread_);
  boundPort_ = bound.port;
  log("dns proxy listening on 0.0.0.0:" + std::to_string(boundPort_) + " via " + upstream_);
  // TCP only on 127.0.0.1, the address the system's servers point at: another loopback address
  // keeps its port for a resolver of its own. Without it, UDP is served all the same.
  stream_ = std::make_unique<DNSStreamServer>(
      [this](std::string_view query, std::string& out, std::size_t& questionEnd) {
        return answerLocally(query, out, questionEnd);
      },
      upstream_, upstreamPort_, kUpstreamWait);
  if (auto failure = stream_->start(boundPort_)) {
    log("dns over tcp not served: " + *failure);
    stream_.reset();
  }
  return std::nullopt;
}

bool DNSProxy::answerLocally(std::string_view query, std::string& out,
                             std::size_t& questionEnd) const {
  DNSMessage::Question question;
  std::string normalized;
  switch (tables()->verdict(query, question, normalized)) {
    case Tables::Verdict::echo:
      out.assign(query);
      return true;
    case Tables::Verdict::noSuchName:
      DNSMessage::nxdomain(query, question.end, out);
      return true;
    case Tables::Verdict::sinkhole:
      DNSMessage::sinkhole(query, question.end, question.qtype, out);
      return true;
    case Tables::Verdict::forward:
      break;
  }
  questionEnd = question.end;
  return false;
}

void DNSProxy::serve(int fd, uint16_t port, int wakeFd) {
  for (;;) {
    try {
      Server(*this, fd, port, wakeFd).run();
      ::close(fd);
      return;  // shut down
    } catch (const std::exception& e) {
      // The port is never kept bound without serving: the socket goes at once, and a new one
      // is bound at most once a second.
      ::close(fd);
      log(std::string("dns proxy stopped: ") + e.what() + "; starting again");
    }
    bool refusalLogged = false;
    for (;;) {
      if (readableWithin(wakeFd, kRestartPause)) return;
      Bound bound = bindListening(port);
      if (bound.fd >= 0) {
        fd = bound.fd;
        log("dns proxy listening on 0.0.0.0:" + std::to_string(port) + " via " + upstream_);
        break;
      }
      if (!refusalLogged) log("dns proxy not started again: " + bound.error + "; trying every second");
      refusalLogged = true;
    }
  }
}

void DNSProxy::shutdown() {
  stream_.reset();
  if (thread_.joinable()) {
    const char byte = 1;
    while (::write(wake_[1], &byte, 1) < 0 && errno == EINTR) {
    }
    thread_.join();
  }
  closeFd(wake_[0]);
  closeFd(wake_[1]);
  boundPort_ = 0;
}

std::shared_ptr<const DNSProxy::Tables> DNSProxy::tables() const {
  std::lock_guard<std::mutex> guard(lock_);
  return tables_;
}

void DNSProxy::setRules(std::shared_ptr<const SiteIndex> rules, HostSet overCap) {
  auto made = std::make_shared<Tables>(Tables{std::move(rules), std::move(overCap), {}});
  std::shared_ptr<const Tables> next = made;
  {
    std::lock_guard<std::mutex> guard(lock_);
    made->alwaysForwarded = tables_->alwaysForwarded;
    tables_.swap(next);
  }
  // The previous pair is released here, outside the lock (or by the last query using it).
}

void DNSProxy::setAlwaysForwarded(std::string_view host) {
  std::string normalized = SiteMatch::normalize(host);
  std::lock_guard<std::mutex> guard(lock_);
  tables_ = std::make_shared<const Tables>(Tables{tables_->rules, tables_->overCap, normalized});
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
