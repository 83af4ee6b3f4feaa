// The DNS proxy over real UDP sockets on loopback, with the upstream resolver played by the test.
#include "dns/DNSProxy.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>

#include <map>
#include <set>
#include <thread>

#include "DNSTestSupport.h"
#include "TestSupport.h"
#include "dns/DNSMessage.h"
#include "dns/DNSStreamServer.h"
#include "dns/SiteIndex.h"

namespace tether {
namespace {

using namespace std::chrono_literals;
using test::bytes;
using test::dnsQuery;
using test::wireName;

const std::string kRecordA = bytes({0xC0, 0x0C, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4, 0, 0, 0, 0});
const std::string kRecordAAAA =
    bytes({0xC0, 0x0C, 0, 28, 0, 1, 0, 0, 0, 60, 0, 16}) + std::string(16, '\0');

// Threads of this process with the given name.
int threadsNamed(const std::string& name) {
  int count = 0;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    count += test::readFile(task.path() / "comm") == name + "\n";
  }
  return count;
}

// A header with the ID, the flags, one question and the given number of answers.
std::string header(int id, int flags, int answers) {
  return bytes({id >> 8, id & 0xFF, flags >> 8, flags & 0xFF, 0, 1, 0, answers, 0, 0, 0, 0});
}

// What an upstream could answer: the query with QR and RA set, and tail appended.
std::string answerTo(const std::string& query, const std::string& tail = "") {
  return query.substr(0, 2) + bytes({0x81, 0x80}) + query.substr(4) + tail;
}

class DNSProxyTest : public testing::Test {
 protected:
  test::UdpSocket upstream;
  test::UdpSocket client;
  std::unique_ptr<DNSProxy> proxy;

  void SetUp() override {
    // The system picks the UDP port; TCP then needs the same number, which another test running
    // at the same moment may hold: pick again.
    for (int attempt = 0; attempt < 20; ++attempt) {
      test::CapturedStderr quiet;
      proxy = std::make_unique<DNSProxy>("127.0.0.1", 0, upstream.port());
      const auto error = proxy->start();
      ASSERT_FALSE(error) << error->text();
      if (proxy->servingTcp()) return;
    }
    FAIL() << "no port free for both UDP and TCP";
  }

  void setRules(const std::vector<SiteRule>& rules, DNSProxy::HostSet overCap = {}) {
    proxy->setRules(std::make_shared<const SiteIndex>(rules), std::move(overCap));
  }

  std::optional<std::string> ask(std::string_view query,
                                 std::chrono::milliseconds timeout = 2000ms) {
    client.sendTo(query, proxy->port());
    return client.receive(timeout);
  }
  // Whether a type A query for name is answered here with the local address.
  bool sinkholed(const std::string& name, std::chrono::milliseconds timeout = 2000ms) {
    const std::string query = dnsQuery(0x5151, name, 1);
    return ask(query, timeout) == DNSMessage::sinkhole(query, query.size(), 1);
  }

  // The proxy's forwarding socket if the upstream receives the query unchanged; the upstream
  // answers with `reply` if given.
  std::optional<sockaddr_in> forwarded(std::string_view query,
                                       std::optional<std::string> reply = std::nullopt) {
    client.sendTo(query, proxy->port());
    sockaddr_in from{};
    const auto got = upstream.receive(1000ms, &from);
    if (!got) return std::nullopt;
    EXPECT_EQ(*got, query);
    if (reply) upstream.sendTo(*reply, from);
    return from;
  }
};

// Each name is answered here (byte for byte) or relayed as it is, by the rules in force.
TEST_F(DNSProxyTest, EachNameIsAnsweredHereOrRelayedByteForByteByTheRules) {
  const std::vector<SiteRule> rules = {{"example.com", true, SiteAction::block()},
                                       {"kids.example.com", true, SiteAction::allow()},
                                       {"zero.com", true, SiteAction::limit(0)},
                                       {"video.com", true, SiteAction::limit(30)},
                                       {"minus.com", true, SiteAction::limit(-5)},
                                       {"use-application-dns.net", true, SiteAction::allow()},
                                       {"icloud.com", true, SiteAction::block()}};
  setRules(rules);
  constexpr int kRelayed = 0, kNoSuchName = 0x8583;
  const std::string label63 = std::string(63, 'b') + ".example.com";
  const struct {
    std::string name;
    uint16_t type;
    int flags;  // of the local answer, or kRelayed
    std::string record = "";
    bool rd = true;
  } cases[] = {
      {"WWW.Example.COM", 1, 0x8580, kRecordA},
      {"WWW.Example.COM", 28, 0x8580, kRecordAAAA},
      {"WWW.Example.COM", 15, 0x8480, "", false},  // no records; RD clear stays clear
      {label63, 1, 0x8580, kRecordA},              // 63 bytes is still a label
      {"a\xFF.example.com", 1, 0x8580, kRecordA},  // a byte above 127 reads as an empty label
      {"a.kids.example.com", 1, kRelayed},
      {"example.org", 1, kRelayed},
      {"zero.com", 1, 0x8580, kRecordA},  // a limit of 0 blocks at once, others once over
      {"www.video.com", 1, kRelayed},
      {"minus.com", 1, kRelayed},
      // Names that switch off browsers' own resolvers, whatever the policy; only those names.
      {"use-application-dns.net", 1, kNoSuchName},
      {"Mask.iCloud.com.", 28, kNoSuchName},
      {"mask-h2.icloud.com", 65, kNoSuchName},
      {"x.use-application-dns.net", 1, kRelayed},
      {"www.icloud.com", 1, 0x8580, kRecordA}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name + " " + std::to_string(c.type));
    const std::string query = dnsQuery(0xBE00 + c.type, c.name, c.type, c.rd);
    if (c.flags == kRelayed) {
      // Whatever the upstream says comes back as it is, here with odd flags and a trailing byte.
      const std::string reply = query.substr(0, 2) + bytes({0x81, 0x83, 0, 0, 0, 0, 0, 0, 0, 0, 9});
      ASSERT_TRUE(forwarded(query, reply));
      EXPECT_EQ(client.receive(1000ms), reply);
    } else {
      EXPECT_EQ(ask(query),
                header(0xBE00 + c.type, c.flags, !c.record.empty()) + query.substr(12) + c.record);
    }
  }
  setRules(rules, {"video.com", "minus.com"});
  EXPECT_TRUE(sinkholed("www.video.com") && sinkholed("minus.com"));

  // QDCOUNT 2 with a second question and an EDNS OPT record: only the first question is copied.
  std::string query = dnsQuery(7, "example.com", 1);
  query[5] = 2;
  query[11] = 1;
  query += wireName("other.org") + bytes({0, 1, 0, 1, 0, 0, 41, 0x10, 0, 0, 0, 0x80, 0, 0, 0});
  EXPECT_EQ(ask(query),
            header(7, 0x8580, 1) + wireName("example.com") + bytes({0, 1, 0, 1}) + kRecordA);
}

TEST_F(DNSProxyTest, TruncatedAnswerIsAskedAgainOverTcpUnderTheSameRulesAndChecks) {
  setRules({{"blocked.example", true, SiteAction::block()}});
  const test::TcpListener tcpUpstream(upstream.port());
  // The upstream over TCP: the whole answer, one with another ID, or none at all.
  std::vector<std::string> seenOverTcp;
  std::jthread upstreamThread([&] {
    for (int k = 0; k < 3; ++k) {
      const auto connection = tcpUpstream.accept(5000ms);
      if (!connection) return;
      const auto query = connection->receiveMessage(2000ms);
      if (!query) return;
      seenOverTcp.push_back(*query);
      if ((*query)[0] == 0x42) connection->sendMessage(answerTo(*query, std::string(3000, 'x')));
      if ((*query)[0] == 0x50) connection->sendMessage(answerTo("\x51" + query->substr(1)));
      if ((*query)[0] == 0x60) connection->receiveBytes(1, 3000ms);  // silent
    }
  });

  // Over UDP the upstream's answer is truncated (TC set) and relayed as it is.
  const std::string query = dnsQuery(0x4242, "big.example", 16);
  const std::string truncated = query.substr(0, 2) + bytes({0x83, 0x80}) + query.substr(4);
  ASSERT_TRUE(forwarded(query, truncated));
  EXPECT_EQ(client.receive(1000ms).value_or(""), truncated);
  // The client asks again over TCP and gets the whole answer, larger than a datagram it took.
  const test::TcpConnection tcp(proxy->port());
  ASSERT_TRUE(tcp.sendMessage(query));
  EXPECT_TRUE(tcp.receiveMessage(2000ms) == answerTo(query, std::string(3000, 'x')));
  // On the same connection, one after the other: a blocked name is answered here, an answer
  // with another ID and no answer at all are SERVFAIL.
  const std::string blocked = dnsQuery(0x1111, "www.blocked.example", 1);
  const std::string wrongId = dnsQuery(0x5050, "other.example", 1);
  const std::string silent = dnsQuery(0x6060, "silent.example", 1);
  ASSERT_TRUE(tcp.sendMessage(blocked) && tcp.sendMessage(wrongId) && tcp.sendMessage(silent));
  EXPECT_EQ(tcp.receiveMessage(2000ms), DNSMessage::sinkhole(blocked, blocked.size(), 1));
  EXPECT_EQ(tcp.receiveMessage(2000ms), DNSMessage::servfail(wrongId));
  EXPECT_EQ(tcp.receiveMessage(3000ms), DNSMessage::servfail(silent));
  upstreamThread.join();
  EXPECT_EQ(seenOverTcp, (std::vector<std::string>{query, wrongId, silent}));

  // With TCP's port taken on 127.0.0.1, one line says so and UDP is served all the same.
  const test::TcpListener taken;
  test::CapturedStderr log;
  proxy = std::make_unique<DNSProxy>("127.0.0.1", taken.port(), upstream.port());
  ASSERT_FALSE(proxy->start());
  setRules({{"blocked.example", true, SiteAction::block()}});
  const std::string port = std::to_string(taken.port());
  EXPECT_EQ(test::count(log.text(), "] dns over tcp not served: bind 127.0.0.1:" + port + ": "), 1u)
      << log.text();
  EXPECT_TRUE(sinkholed("www.blocked.example"));
}

TEST_F(DNSProxyTest, SlowTcpClientHoldsNoOneUpAndIsClosedAtTheIdleLimit) {
  setRules({{"blocked.example", true, SiteAction::block()}});
  const std::string query = dnsQuery(0x2222, "www.blocked.example", 1);
  const auto started = std::chrono::steady_clock::now();
  const test::TcpConnection slow(proxy->port());
  // Connections up to the cap are taken; one more is closed at once.
  std::vector<std::unique_ptr<test::TcpConnection>> idle;
  for (std::size_t k = 1; k < DNSStreamServer::kMaxConnections; ++k) {
    idle.push_back(std::make_unique<test::TcpConnection>(proxy->port()));
  }
  EXPECT_TRUE(test::TcpConnection(proxy->port()).closedByPeer(1000ms));
  idle.clear();
  // One byte a second: meanwhile others are answered at once, over TCP and UDP.
  const std::string framed = bytes({0, int(query.size())}) + query;
  bool closed = false;
  for (std::size_t k = 0; k < framed.size() - 1 && !closed; ++k) {
    closed = !slow.sendRaw(framed.substr(k, 1)) || slow.closedByPeer(1000ms);
    if (k % 3 == 0) {
      const test::TcpConnection other(proxy->port());
      ASSERT_TRUE(other.sendMessage(query));
      EXPECT_EQ(other.receiveMessage(500ms), DNSMessage::sinkhole(query, query.size(), 1));
      EXPECT_TRUE(sinkholed("www.blocked.example", 500ms));
    }
  }
  const auto lasted = std::chrono::steady_clock::now() - started;
  EXPECT_TRUE(closed);
  EXPECT_GE(lasted, DNSStreamServer::kIdleLimit - 1s);
  EXPECT_LT(lasted, DNSStreamServer::kIdleLimit + 5s);
}

TEST_F(DNSProxyTest, UnparsableDatagramsAreSentBackUnchanged) {
  setRules({{"example.com", true, SiteAction::block()}});
  const std::string head = header(0x1234, 0x0100, 0);
  const std::string cases[] = {
      head + bytes({0xC0, 0x0C, 0, 1, 0, 1}),                              // compression pointer
      head + bytes({64}) + std::string(64, 'a') + bytes({0, 0, 1, 0, 1}),  // 64-byte label
      head + wireName("example.com") + bytes({0, 1, 0}),                   // class cut short
      head + bytes({7}) + "exam",                                          // label cut short
      head,                                                                // no question at all
      head.substr(0, 11),                                                  // shorter than a header
  };
  for (const std::string& datagram : cases) EXPECT_EQ(ask(datagram).value_or("-"), datagram);
}

TEST_F(DNSProxyTest, UnansweredQueriesFailAfterTwoSecondsWithoutDelayingOthers) {
  // Four waiting queries; the second and the fourth are answered (out of the order they were
  // sent), the first and the third never are.
  std::vector<std::string> queries;
  std::vector<sockaddr_in> sockets;
  const auto sent = std::chrono::steady_clock::now();
  for (uint16_t id : {0x1111, 0x2222, 0x3333, 0x4444}) {
    queries.push_back(dnsQuery(id, "q" + std::to_string(id) + ".example", 1));
    const auto from = forwarded(queries.back());
    ASSERT_TRUE(from);
    sockets.push_back(*from);
  }
  for (std::size_t i : {1, 3}) {
    const std::string reply = answerTo(queries[i]);
    upstream.sendTo(reply, sockets[i]);
    EXPECT_EQ(client.receive(1000ms).value_or(""), reply) << i;
  }
  for (std::size_t i : {0, 2}) {  // SERVFAIL: the query with QR, RD, RA and RCODE 2
    const auto failure = client.receive(5000ms);
    EXPECT_GE(std::chrono::steady_clock::now() - sent, 1900ms);
    EXPECT_EQ(failure.value_or(""),
              queries[i].substr(0, 2) + bytes({0x81, 0x82}) + queries[i].substr(4));
  }
  EXPECT_FALSE(client.receive(200ms));
}

TEST_F(DNSProxyTest, BurstsFromSeveralClientsGetEachTheirOwnAnswers) {
  // More queries at once than one receive or one send takes, blocked and relayed mixed, from two
  // clients; the upstream answers the relayed ones last first.
  setRules({{"example.com", true, SiteAction::block()}});
  test::UdpSocket second;
  const test::UdpSocket* clients[] = {&client, &second};
  std::map<std::string, std::string> expected[2];  // query ID -> answer, per client
  std::size_t relayed = 0;
  for (uint16_t id = 0; id < 140; ++id) {
    const std::string n = std::to_string(id);
    const bool blocked = id % 3 == 0;
    const std::string query = dnsQuery(id, blocked ? n + ".example.com" : n + ".example.org", 1);
    if (blocked)
      expected[id % 2][query.substr(0, 2)] = header(id, 0x8580, 1) + query.substr(12) + kRecordA;
    relayed += !blocked;
    clients[id % 2]->sendTo(query, proxy->port());
  }
  std::vector<std::pair<std::string, sockaddr_in>> received;
  while (received.size() < relayed) {
    sockaddr_in from{};
    const auto got = upstream.receive(2000ms, &from);
    ASSERT_TRUE(got) << received.size() << " of " << relayed << " relayed";
    received.emplace_back(answerTo(*got, got->substr(1, 1)), from);
  }
  for (auto it = received.rbegin(); it != received.rend(); ++it) {
    expected[static_cast<unsigned char>(it->first[1]) % 2][it->first.substr(0, 2)] = it->first;
    upstream.sendTo(it->first, it->second);
  }
  for (int c = 0; c < 2; ++c) {
    std::map<std::string, std::string> answers;
    while (answers.size() < expected[c].size()) {
      const auto got = clients[c]->receive(2000ms);
      ASSERT_TRUE(got) << "client " << c << ": " << answers.size() << " answers";
      answers[got->substr(0, 2)] = *got;
    }
    EXPECT_EQ(answers, expected[c]) << "client " << c;
  }
}

TEST_F(DNSProxyTest, RepliesFromAnotherPortOrWithAnotherIdOrQuestionAreIgnored) {
  const std::string query = dnsQuery(0x5555, "example.org", 65);  // type 65: the letter A
  const sockaddr_in from = forwarded(query).value();
  const auto replyTo = [](const std::string& q) { return answerTo(q, "!"); };
  test::UdpSocket stranger;
  stranger.sendTo(replyTo(query), from);                                // right ID, wrong port
  upstream.sendTo(replyTo(dnsQuery(0x5556, "example.org", 65)), from);  // wrong ID
  upstream.sendTo(replyTo(dnsQuery(0x5555, "example.net", 65)), from);  // another name
  upstream.sendTo(replyTo(dnsQuery(0x5555, "example.org", 28)), from);  // another type
  upstream.sendTo(replyTo(dnsQuery(0x5555, "example.org", 97)), from);  // type "a", not "A"
  upstream.sendTo(query.substr(0, 2) + bytes({0x81}), from);            // right ID, too short
  std::this_thread::sleep_for(100ms);
  // The name comes back in other letter cases: still the same question.
  const std::string good = replyTo(dnsQuery(0x5555, "EXAMPLE.org", 65));
  upstream.sendTo(good, from);
  EXPECT_EQ(client.receive(1000ms).value_or(""), good);
  EXPECT_FALSE(client.receive(200ms));
}

TEST_F(DNSProxyTest, QueriesForwardedOneAfterAnotherLeaveFromNewPorts) {
  // Sockets of answered queries serve later ones, but never from the same port again; a late
  // copy of a reply finds the port given up, or its ID and question taken by nobody.
  std::set<uint16_t> ports;
  for (uint16_t id = 1; id <= 10; ++id) {
    const std::string query = dnsQuery(id, "n" + std::to_string(id) + ".example.org", 1);
    const auto from = forwarded(query, answerTo(query));
    ASSERT_TRUE(from);
    ports.insert(ntohs(from->sin_port));
    ASSERT_EQ(client.receive(1000ms).value_or(""), answerTo(query));
    upstream.sendTo(answerTo(query), *from);
  }
  // Random ports: two of ten may meet by chance now and then, never more.
  EXPECT_GE(ports.size(), 8u);
  EXPECT_FALSE(client.receive(200ms));
}

TEST_F(DNSProxyTest, UpstreamThatCannotAnswerFailsAtOnce) {
  // Not a dotted IPv4 address, a port that refuses, and the proxy's own port.
  const uint16_t closed = test::UdpSocket().port(), own = test::UdpSocket().port();
  const std::tuple<const char*, uint16_t, uint16_t> cases[] = {{"dns.example", 0, 53},
                                                               {"::1", 0, 53},
                                                               {"", 0, 53},
                                                               {"127.0.0.1", 0, closed},
                                                               {"127.0.0.1", own, own}};
  for (const auto& [address, port, upstreamPort] : cases) {
    proxy = std::make_unique<DNSProxy>(address, port, upstreamPort);
    ASSERT_FALSE(proxy->start());
    const std::string query = dnsQuery(3, "example.org", 1);
    EXPECT_EQ(ask(query, 1500ms).value_or(""), DNSMessage::servfail(query)) << address;
  }
  // Nor does it answer a datagram that comes from its own port (a reply would go back to it).
  test::UdpSocket ownPort("127.0.0.1", own, true);
  ownPort.sendTo(dnsQuery(6, "example.org", 1).substr(0, 11), own, "127.0.0.2");
  EXPECT_FALSE(ownPort.receive(300ms));
}

TEST_F(DNSProxyTest, QueriesBeyondTheInFlightCapOrAQuarterOfTheDescriptorsFailAtOnce) {
  // The process's descriptor limit sets how many queries may wait: under a quarter of it, with
  // the spare sockets, and never more than kMaxInFlight. With launchd's default of 256 the next
  // query fails at once instead of taking the descriptors that files and tools need.
  for (const rlim_t limit : {rlim_t{4096}, rlim_t{256}}) {
    const test::ScopedDescriptorLimit scoped(limit);  // read when the proxy starts
    proxy = std::make_unique<DNSProxy>("127.0.0.1", 0, upstream.port());
    ASSERT_FALSE(proxy->start());
    // Filled one query after another so that none is lost in a full socket buffer.
    std::size_t waiting = 0;
    const std::string query = dnsQuery(0x7000, "slow.example", 1);
    while (waiting <= DNSProxy::kMaxInFlight && forwarded(query)) ++waiting;
    EXPECT_EQ(client.receive(1000ms).value_or(""), DNSMessage::servfail(query)) << limit;
    if (limit == 256) {
      EXPECT_TRUE(waiting > 0 && waiting < 64) << waiting;
    } else {
      EXPECT_EQ(waiting, DNSProxy::kMaxInFlight);
    }
    proxy.reset();
  }
}

// The listening socket of the proxy: bound to its port on every address and not connected.
int listeningSocket(uint16_t port) {
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    const int fd = std::stoi(entry.path().filename());
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
        address.sin_family == AF_INET && ntohs(address.sin_port) == port &&
        address.sin_addr.s_addr == htonl(INADDR_ANY)) {
      return fd;
    }
  }
  return -1;
}

TEST_F(DNSProxyTest, ServingThatFailsStartsAgainASecondLaterAndAShutdownEndsIt) {
  setRules({{"example.com", true, SiteAction::block()}});
  const std::string query = dnsQuery(0x0BAD, "example.com", 1);
  ASSERT_TRUE(ask(query));
  const uint16_t port = proxy->port();
  const auto logged = [](const test::CapturedStderr& log, const std::string& text) {
    for (int i = 0; i < 500 && log.text().find(text) == std::string::npos; ++i) {
      std::this_thread::sleep_for(10ms);
    }
    return test::count(log.text(), text);
  };
  test::CapturedStderr log;
  // The listening socket stops being one (as a defunct socket would): serving ends, and the port
  // is free at once. Held by someone else meanwhile, it is bound again once it is free.
  const int listening = listeningSocket(port);
  ASSERT_GE(listening, 0);
  const int null = ::open("/dev/null", O_RDONLY);
  ::dup2(null, listening);
  ::close(null);
  client.sendTo(query, port);  // wakes the thread that waits on the socket it had
  EXPECT_EQ(logged(log, "] dns proxy stopped: receive: "), 1u);
  {
    const test::UdpSocket holder("0.0.0.0", port);
    EXPECT_EQ(logged(log, "] dns proxy not started again: bind :" + std::to_string(port) +
                              ": Address already in use; trying every second\n"),
              1u);
  }
  EXPECT_EQ(logged(log, "] dns proxy listening on 0.0.0.0:" + std::to_string(port)), 1u);
  EXPECT_TRUE(sinkholed("example.com"));
  EXPECT_EQ(threadsNamed("kinward-dns"), 1);
  // A shutdown ends the serving thread without any traffic; a second one does nothing.
  proxy->shutdown();
  proxy->shutdown();
  EXPECT_EQ(threadsNamed("kinward-dns"), 0);
  client.sendTo(query, port);
  EXPECT_FALSE(client.receive(200ms));
  // A port that cannot be bound (no SO_REUSEADDR: nobody else may bind it) starts no thread.
  DNSProxy taken("127.0.0.1", client.port());
  EXPECT_EQ(taken.start().value().text(),
            "bind :" + std::to_string(client.port()) + ": Address already in use");
  EXPECT_FALSE(taken.serving());
  EXPECT_EQ(threadsNamed("kinward-dns"), 0);
}

// In a private network with a second address (root only): a sender there gets no answer, and
// the agent program runs on without DNS filtering while port 53 is taken.
TEST(DNSProxy, SendersOutsideLoopbackGetNoAnswerAndATakenPort53LeavesTheAgentUnfiltered) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root for a private network namespace";
  test::TempDir dir;
  test::writeFile(dir / "config.json", test::configJson("http://127.0.0.1:9", 3, 15, true));
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (::unshare(CLONE_NEWNET) != 0) ::_exit(77);
    if (std::system("ip link set lo up && ip addr add 192.0.2.1/32 dev lo") != 0) ::_exit(78);
    [&] {
      DNSProxy proxy("127.0.0.1", 53);
      ASSERT_FALSE(proxy.start());
      const std::string query = dnsQuery(9, "use-application-dns.net", 1);  // answered here
      test::UdpSocket outsider("192.0.2.1"), local("127.0.0.2");
      outsider.sendTo(query, 53, "192.0.2.1");
      EXPECT_FALSE(outsider.receive(300ms));
      local.sendTo(query, 53, "192.0.2.1");
      EXPECT_TRUE(local.receive(1000ms));
    }();
    test::UdpSocket holder("127.0.0.1", 53);
    test::ChildProcess agent({test::agentBinary(), "--config", (dir / "config.json").string()});
    EXPECT_TRUE(
        agent.waitFor("dns disabled: bind :53: Address already in use. app limits still run.", 10s))
        << agent.stderrText();
    agent.signal(SIGTERM);
    EXPECT_EQ(agent.wait(10s), 0);
    ::_exit(testing::Test::HasFailure() ? 1 : 0);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status);
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "unshare(CLONE_NEWNET) is not permitted here";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace tether
