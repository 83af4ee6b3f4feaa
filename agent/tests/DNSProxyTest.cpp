// The DNS proxy over real UDP sockets on loopback, with the upstream resolver played by the test.
#include "dns/DNSProxy.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <map>
#include <set>
#include <thread>

#include <nlohmann/json.hpp>

#include "DNSTestSupport.h"
#include "TestSupport.h"
#include "dns/DNSMessage.h"
#include "dns/SiteIndex.h"
#include "platform/DescriptorBatch.h"

namespace tether {
namespace {

using namespace std::chrono_literals;
using test::dnsQuery;
using test::hexBytes;
using test::wireName;

std::string bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out += static_cast<char>(v);
  return out;
}

const std::string kRecordA = bytes({0xC0, 0x0C, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4, 0, 0, 0, 0});
const std::string kRecordAAAA =
    bytes({0xC0, 0x0C, 0, 28, 0, 1, 0, 0, 0, 60, 0, 16}) + std::string(16, '\0');

// Size of the local answer to a type A query: header, question, one A record.
std::size_t sinkholeSize(std::string_view name) {
  return 12 + wireName(name).size() + 4 + 16;
}

class DNSProxyTest : public testing::Test {
 protected:
  test::UdpSocket upstream;
  test::UdpSocket client;
  std::unique_ptr<DNSProxy> proxy;

  void SetUp() override { startProxy("127.0.0.1"); }

  void startProxy(const std::string& upstreamAddress) {
    proxy = std::make_unique<DNSProxy>(upstreamAddress, 0, upstream.port());
    const auto error = proxy->start();
    ASSERT_FALSE(error) << error->text();
  }

  void setRules(const std::vector<SiteRule>& rules, DNSProxy::HostSet overCap = {}) {
    proxy->setRules(std::make_shared<const SiteIndex>(rules), std::move(overCap));
  }

  std::optional<std::string> ask(std::string_view query,
                                 std::chrono::milliseconds timeout = 2000ms) {
    client.sendTo(query, proxy->port());
    return client.receive(timeout);
  }

  // Whether the upstream receives the query unchanged; it answers with `reply` if given.
  bool forwarded(std::string_view query, std::optional<std::string> reply = std::nullopt) {
    client.sendTo(query, proxy->port());
    sockaddr_in from{};
    const auto got = upstream.receive(1000ms, &from);
    if (!got) return false;
    EXPECT_EQ(hexBytes(*got), hexBytes(query));
    if (reply) upstream.sendTo(*reply, from);
    return true;
  }
};

TEST_F(DNSProxyTest, BlockedNamesGetByteExactLocalAnswers) {
  setRules({{"example.com", true, SiteAction::block()}});
  const std::string question = wireName("WWW.Example.COM");
  const std::string a = dnsQuery(0xBEEF, "WWW.Example.COM", 1);
  EXPECT_EQ(hexBytes(*ask(a)), hexBytes(bytes({0xBE, 0xEF, 0x85, 0x80, 0, 1, 0, 1, 0, 0, 0, 0}) +
                                        question + bytes({0, 1, 0, 1}) + kRecordA));
  const std::string aaaa = dnsQuery(0x0102, "WWW.Example.COM", 28);
  EXPECT_EQ(hexBytes(*ask(aaaa)), hexBytes(bytes({0x01, 0x02, 0x85, 0x80, 0, 1, 0, 1, 0, 0, 0, 0}) +
                                           question + bytes({0, 28, 0, 1}) + kRecordAAAA));
  // Other types: an authoritative answer without records; RD clear stays clear.
  const std::string mx = dnsQuery(0xFFFF, "WWW.Example.COM", 15, false);
  EXPECT_EQ(hexBytes(*ask(mx)), hexBytes(bytes({0xFF, 0xFF, 0x84, 0x80, 0, 1, 0, 0, 0, 0, 0, 0}) +
                                         question + bytes({0, 15, 0, 1})));
}

TEST_F(DNSProxyTest, OnlyTheFirstQuestionIsCopiedIntoLocalAnswers) {
  setRules({{"example.com", true, SiteAction::block()}});
  // QDCOUNT 2 with a second question, and an EDNS OPT record in the additional section.
  std::string query = dnsQuery(7, "example.com", 1);
  query[5] = 2;
  query[11] = 1;
  query += wireName("other.org") + bytes({0, 1, 0, 1});
  query += bytes({0, 0, 41, 0x10, 0, 0, 0, 0x80, 0, 0, 0});
  const std::string expected = bytes({0, 7, 0x85, 0x80, 0, 1, 0, 1, 0, 0, 0, 0}) +
                               wireName("example.com") + bytes({0, 1, 0, 1}) + kRecordA;
  EXPECT_EQ(hexBytes(*ask(query)), hexBytes(expected));
}

TEST_F(DNSProxyTest, AllowedAndUnlistedNamesAreRelayedByteForByte) {
  setRules({{"example.com", true, SiteAction::block()},
            {"kids.example.com", true, SiteAction::allow()}});
  for (const char* name : {"a.kids.example.com", "example.org"}) {
    const std::string query = dnsQuery(0x4242, name, 1);
    // Whatever the upstream says comes back as it is, here with odd flags and a trailing byte.
    const std::string reply = query.substr(0, 2) + bytes({0x81, 0x83, 0, 0, 0, 0, 0, 0, 0, 0, 9});
    ASSERT_TRUE(forwarded(query, reply)) << name;
    EXPECT_EQ(hexBytes(*client.receive(1000ms)), hexBytes(reply));
  }
}

TEST_F(DNSProxyTest, LimitOfZeroBlocksAtOnceAndOtherLimitsOnlyWhenOverTheirCap) {
  setRules({{"zero.com", true, SiteAction::limit(0)},
            {"video.com", true, SiteAction::limit(30)},
            {"minus.com", true, SiteAction::limit(-5)}});
  EXPECT_EQ(ask(dnsQuery(1, "zero.com", 1))->size(), sinkholeSize("zero.com"));
  EXPECT_TRUE(forwarded(dnsQuery(2, "www.video.com", 1)));
  EXPECT_TRUE(forwarded(dnsQuery(3, "minus.com", 1)));
  setRules({{"zero.com", true, SiteAction::limit(0)},
            {"video.com", true, SiteAction::limit(30)},
            {"minus.com", true, SiteAction::limit(-5)}},
           {"video.com", "minus.com"});
  EXPECT_EQ(ask(dnsQuery(4, "www.video.com", 1))->size(), sinkholeSize("www.video.com"));
  EXPECT_EQ(ask(dnsQuery(5, "minus.com", 1))->size(), sinkholeSize("minus.com"));
  EXPECT_TRUE(proxy->isBlocked("zero.com"));
  EXPECT_FALSE(proxy->isBlocked("unlisted.com"));
}

TEST_F(DNSProxyTest, UnparsableDatagramsAreSentBackUnchanged) {
  setRules({{"example.com", true, SiteAction::block()}});
  const std::string header = bytes({0x12, 0x34, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0});
  const std::string cases[] = {
      header + bytes({0xC0, 0x0C, 0, 1, 0, 1}),                              // compression pointer
      header + bytes({64}) + std::string(64, 'a') + bytes({0, 0, 1, 0, 1}),  // 64-byte label
      header + wireName("example.com") + bytes({0, 1, 0}),                   // class cut short
      header + bytes({7}) + "exam",                                          // label cut short
      header,                                                                // no question at all
      header.substr(0, 11),  // shorter than a header
  };
  for (const std::string& datagram : cases) {
    EXPECT_EQ(hexBytes(ask(datagram).value_or("(nothing)")), hexBytes(datagram));
  }
  // 63 bytes is still a label.
  const std::string longest = std::string(63, 'b') + ".example.com";
  EXPECT_EQ(ask(dnsQuery(9, longest, 1))->size(), sinkholeSize(longest));
}

TEST_F(DNSProxyTest, NamesThatSwitchOffBrowserResolversGetNoSuchNameWhateverThePolicy) {
  setRules({{"use-application-dns.net", true, SiteAction::allow()},
            {"icloud.com", true, SiteAction::block()}});
  for (const char* name : {"use-application-dns.net", "Mask.iCloud.com.", "mask-h2.icloud.com"}) {
    for (uint16_t type : {1, 28, 65}) {
      const std::string query = dnsQuery(0xABCD, name, type);
      const std::string expected =
          bytes({0xAB, 0xCD, 0x85, 0x83, 0, 1, 0, 0, 0, 0, 0, 0}) + query.substr(12);
      EXPECT_EQ(hexBytes(*ask(query)), hexBytes(expected)) << name << " " << type;
    }
  }
  // Only those exact names: their neighbours follow the rules.
  EXPECT_TRUE(forwarded(dnsQuery(1, "x.use-application-dns.net", 1)));
  EXPECT_EQ(ask(dnsQuery(2, "www.icloud.com", 1))->size(), sinkholeSize("www.icloud.com"));
}

TEST_F(DNSProxyTest, UnansweredQueriesFailAfterTwoSecondsWithoutDelayingOthers) {
  // Four waiting queries; the second and the fourth are answered (out of the order they were
  // sent), the first and the third never are.
  std::vector<std::string> queries;
  std::vector<sockaddr_in> sockets;
  const auto sent = std::chrono::steady_clock::now();
  for (uint16_t id : {0x1111, 0x2222, 0x3333, 0x4444}) {
    queries.push_back(dnsQuery(id, "q" + std::to_string(id) + ".example", 1));
    client.sendTo(queries.back(), proxy->port());
    sockaddr_in from{};
    ASSERT_EQ(upstream.receive(1000ms, &from).value_or(""), queries.back());
    sockets.push_back(from);
  }
  for (std::size_t i : {1, 3}) {
    const std::string reply = queries[i].substr(0, 2) + bytes({0x81, 0x80}) + queries[i].substr(4);
    upstream.sendTo(reply, sockets[i]);
    EXPECT_EQ(hexBytes(client.receive(1000ms).value_or("")), hexBytes(reply)) << i;
  }
  for (std::size_t i : {0, 2}) {
    const auto failure = client.receive(5000ms);
    const auto waited = std::chrono::steady_clock::now() - sent;
    ASSERT_TRUE(failure) << i;
    std::string expected = queries[i];
    expected[2] = static_cast<char>(0x81);
    expected[3] = static_cast<char>(0x82);
    EXPECT_EQ(hexBytes(*failure), hexBytes(expected));
    EXPECT_EQ(*failure, DNSMessage::servfail(queries[i]));
    EXPECT_GE(waited, 1900ms);
  }
  EXPECT_FALSE(client.receive(200ms));
}

TEST_F(DNSProxyTest, BurstsFromSeveralClientsGetEachTheirOwnAnswers) {
  setRules({{"example.com", true, SiteAction::block()}});
  // More queries at once than one receive or one send takes, blocked, relayed and unparsable
  // mixed, from two clients.
  test::UdpSocket second;
  const test::UdpSocket* clients[] = {&client, &second};
  constexpr int kPerClient = 70;
  std::map<std::string, std::string> expected[2];  // query ID -> answer, per client
  std::size_t relayed = 0;
  for (int c = 0; c < 2; ++c) {
    for (int i = 0; i < kPerClient; ++i) {
      const auto id = static_cast<uint16_t>(c * 1000 + i);
      std::string query;
      if (i % 3 == 0) {
        query = dnsQuery(id, "b" + std::to_string(i) + ".example.com", 1);
        expected[c][query.substr(0, 2)] =
            DNSMessage::sinkhole(query, DNSMessage::parseQuestion(query)->end, 1);
      } else if (i % 9 == 1) {
        query = dnsQuery(id, "cut.example.org", 1).substr(0, 20);
        expected[c][query.substr(0, 2)] = query;
      } else {
        query = dnsQuery(id, "f" + std::to_string(i) + ".example.org", 28);
        ++relayed;
      }
      clients[c]->sendTo(query, proxy->port());
    }
  }
  // The upstream takes every relayed query, then answers them last first.
  std::vector<std::pair<std::string, sockaddr_in>> received;
  while (received.size() < relayed) {
    sockaddr_in from{};
    const auto got = upstream.receive(2000ms, &from);
    ASSERT_TRUE(got) << received.size() << " of " << relayed << " relayed";
    received.emplace_back(*got, from);
  }
  for (auto it = received.rbegin(); it != received.rend(); ++it) {
    const std::string reply = it->first.substr(0, 2) + bytes({0x81, 0x80}) + it->first.substr(4) +
                              std::string(1, static_cast<char>(it->first[1]));
    const int c = (static_cast<unsigned char>(it->first[0]) << 8 |
                   static_cast<unsigned char>(it->first[1])) >= 1000;
    expected[c][reply.substr(0, 2)] = reply;
    upstream.sendTo(reply, it->second);
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
  const std::string query = dnsQuery(0x5555, "example.org", 1);
  client.sendTo(query, proxy->port());
  sockaddr_in from{};
  ASSERT_TRUE(upstream.receive(1000ms, &from));
  const auto replyTo = [](const std::string& q) {
    return q.substr(0, 2) + bytes({0x81, 0x80}) + q.substr(4) + bytes({1});
  };
  test::UdpSocket stranger;
  stranger.sendTo(replyTo(query), from);                                // right ID, wrong port
  upstream.sendTo(replyTo(dnsQuery(0x5556, "example.org", 1)), from);   // wrong ID
  upstream.sendTo(replyTo(dnsQuery(0x5555, "example.net", 1)), from);   // another name
  upstream.sendTo(replyTo(dnsQuery(0x5555, "example.org", 28)), from);  // another type
  upstream.sendTo(query.substr(0, 2) + bytes({0x81}), from);            // right ID, too short
  std::this_thread::sleep_for(100ms);
  // The question comes back in other letter cases: still the same question.
  const std::string good = replyTo(dnsQuery(0x5555, "EXAMPLE.org", 1));
  upstream.sendTo(good, from);
  EXPECT_EQ(hexBytes(client.receive(1000ms).value_or("")), hexBytes(good));
  EXPECT_FALSE(client.receive(200ms));
}

TEST_F(DNSProxyTest, QueriesForwardedOneAfterAnotherLeaveFromNewPorts) {
  // Sockets of answered queries serve later ones, but never from the same port again.
  std::set<uint16_t> ports;
  for (uint16_t id = 1; id <= 10; ++id) {
    const std::string query = dnsQuery(id, "n" + std::to_string(id) + ".example.org", 1);
    client.sendTo(query, proxy->port());
    sockaddr_in from{};
    ASSERT_TRUE(upstream.receive(1000ms, &from));
    ports.insert(ntohs(from.sin_port));
    const std::string reply = query.substr(0, 2) + bytes({0x81, 0x80}) + query.substr(4);
    upstream.sendTo(reply, from);
    ASSERT_EQ(client.receive(1000ms).value_or(""), reply);
    // A late copy of the reply finds the port given up, or its ID and question taken by
    // nobody: it goes nowhere.
    upstream.sendTo(reply, from);
  }
  // Random ports: two of ten may meet by chance now and then, never more.
  EXPECT_GE(ports.size(), 8u);
  EXPECT_FALSE(client.receive(200ms));
}

TEST_F(DNSProxyTest, UpstreamThatIsNotADottedIPv4AddressFailsAtOnce) {
  for (const char* address : {"dns.example", "::1", ""}) {
    startProxy(address);
    const std::string query = dnsQuery(3, "example.org", 1);
    EXPECT_EQ(ask(query, 1500ms).value_or(""), DNSMessage::servfail(query)) << address;
  }
}

TEST_F(DNSProxyTest, UpstreamPortThatRefusesFailsAtOnce) {
  const auto closedPort = [] { return test::UdpSocket().port(); }();
  proxy = std::make_unique<DNSProxy>("127.0.0.1", 0, closedPort);
  ASSERT_FALSE(proxy->start());
  const std::string query = dnsQuery(4, "example.org", 1);
  EXPECT_EQ(ask(query, 1500ms).value_or(""), DNSMessage::servfail(query));
}

TEST_F(DNSProxyTest, UpstreamThatIsTheProxyItselfFailsAtOnce) {
  const uint16_t port = [] { return test::UdpSocket().port(); }();
  proxy = std::make_unique<DNSProxy>("127.0.0.1", port, port);
  ASSERT_FALSE(proxy->start());
  const std::string query = dnsQuery(5, "example.org", 1);
  EXPECT_EQ(ask(query, 1500ms).value_or(""), DNSMessage::servfail(query));
  // Nor does it answer a datagram that comes from its own port (a reply would go back to it).
  test::UdpSocket ownPort("127.0.0.1", port, true);
  ownPort.sendTo(dnsQuery(6, "example.org", 1).substr(0, 11), port, "127.0.0.2");
  EXPECT_FALSE(ownPort.receive(300ms));
}

TEST_F(DNSProxyTest, QueriesBeyondTheInFlightCapFailAtOnce) {
  // Fill every place, one query after another so that none is lost in a full socket buffer.
  for (std::size_t i = 0; i < DNSProxy::kMaxInFlight; ++i) {
    ASSERT_TRUE(forwarded(dnsQuery(static_cast<uint16_t>(i), "slow.example", 1))) << i;
  }
  const std::string extra = dnsQuery(0xF00D, "one-more.example", 1);
  const auto reply = ask(extra, 1500ms);
  ASSERT_TRUE(reply);
  EXPECT_EQ(*reply, DNSMessage::servfail(extra));
}

TEST_F(DNSProxyTest, ShutdownEndsTheServingThreadWithoutAnyTraffic) {
  EXPECT_EQ(test::threadsNamed("kinward-dns"), 1);
  const uint16_t port = proxy->port();
  proxy->shutdown();
  EXPECT_FALSE(proxy->serving());
  EXPECT_EQ(test::threadsNamed("kinward-dns"), 0);
  client.sendTo(dnsQuery(1, "example.org", 1), port);
  EXPECT_FALSE(client.receive(200ms));
  proxy->shutdown();  // a second time does nothing
}

TEST(DNSProxy, BindFailureIsReportedAndStartsNothing) {
  test::UdpSocket holder;  // without SO_REUSEADDR: nobody else may bind the port
  DNSProxy proxy("127.0.0.1", holder.port());
  const auto error = proxy.start();
  ASSERT_TRUE(error);
  EXPECT_EQ(error->kind(), AgentError::Kind::config);
  EXPECT_EQ(error->text(), "bind :" + std::to_string(holder.port()) + ": Address already in use");
  EXPECT_FALSE(proxy.serving());
  EXPECT_EQ(test::threadsNamed("kinward-dns"), 0);
}

TEST(DNSMessage, LabelsWithBytesAbove127ReadAsEmptyLabels) {
  const std::string query = bytes({0, 1, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 2, 'a', 0xFF, 7}) +
                            "example" + bytes({3}) + "com" + bytes({0, 0, 28, 0, 1});
  const auto q = DNSMessage::parseQuestion(query);
  ASSERT_TRUE(q);
  EXPECT_EQ(q->name, ".example.com");
  EXPECT_EQ(q->qtype, 28);
  EXPECT_EQ(q->end, query.size());
  const auto root =
      DNSMessage::parseQuestion(bytes({0, 1, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 1}));
  ASSERT_TRUE(root);
  EXPECT_EQ(root->name, "");
  EXPECT_EQ(root->end, 17u);
}

TEST(DescriptorBatch, ClosesExactlyTheListedDescriptors) {
  std::vector<int> fds;
  for (int i = 0; i < 12; ++i) fds.push_back(::socket(AF_INET, SOCK_DGRAM, 0));
  // Runs of neighbouring numbers with open ones between them, out of order.
  const std::set<int> closing = {5, 0, 1, 2, 7, 9, 10, 4};
  std::vector<int> listed;
  for (int i : closing) listed.push_back(fds[static_cast<std::size_t>(i)]);
  std::reverse(listed.begin(), listed.end());
  DescriptorBatch::closeAll(listed);
  EXPECT_TRUE(listed.empty());
  for (int i = 0; i < 12; ++i) {
    const int fd = fds[static_cast<std::size_t>(i)];
    const bool open = ::fcntl(fd, F_GETFD) != -1;
    EXPECT_EQ(open, closing.count(i) == 0) << "descriptor " << i;
    if (open) ::close(fd);
  }
}

// Runs body in a child process inside a private network namespace with loopback up; skips when
// the namespace cannot be made (not root, or no privilege in this container).
void inPrivateNetwork(const std::function<void()>& body, const char* setup = "") {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root for a private network namespace";
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (::unshare(CLONE_NEWNET) != 0) ::_exit(77);
    const std::string command = std::string("ip link set lo up") + setup;
    if (std::system(command.c_str()) != 0) ::_exit(78);
    try {
      body();
    } catch (const std::exception& e) {
      ADD_FAILURE() << "exception: " << e.what();
    }
    ::_exit(testing::Test::HasFailure() ? 1 : 0);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status);
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "unshare(CLONE_NEWNET) is not permitted here";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(DNSProxy, SendersOutsideLoopbackGetNoAnswer) {
  inPrivateNetwork(
      [] {
        DNSProxy proxy("127.0.0.1", 53);
        ASSERT_FALSE(proxy.start());
        proxy.setRules(std::make_shared<const SiteIndex>(
                           std::vector<SiteRule>{{"example.com", true, SiteAction::block()}}),
                       {});
        const std::string query = dnsQuery(9, "example.com", 1);
        test::UdpSocket outsider("192.0.2.1");
        outsider.sendTo(query, 53, "192.0.2.1");
        EXPECT_FALSE(outsider.receive(300ms));
        test::UdpSocket local("127.0.0.2");
        local.sendTo(query, 53, "192.0.2.1");
        EXPECT_TRUE(local.receive(1000ms));
      },
      " && ip addr add 192.0.2.1/32 dev lo");
}

TEST(KinwardAgent, ServesPort53InAPrivateNetwork) {
  test::TempDir dir;
  const auto configPath = dir / "config.json";
  auto config = nlohmann::json::parse(test::configJson("http://127.0.0.1:9", 3, 15, true));
  config["upstreamDNS"] = "127.0.0.2";
  test::writeFile(configPath, config.dump());
  inPrivateNetwork([&] {
    test::UdpSocket upstream("127.0.0.2", 53, true);
    test::ChildProcess agent({test::agentBinary(), "--config", configPath.string()});
    ASSERT_TRUE(agent.waitForStderr("dns proxy listening on 0.0.0.0:53 via 127.0.0.2", 10s))
        << agent.stderrText();
    test::UdpSocket client;
    const std::string canary = dnsQuery(1, "use-application-dns.net", 1);
    client.sendTo(canary, 53);
    EXPECT_EQ(client.receive(2000ms).value_or("").substr(0, 4), bytes({0, 1, 0x85, 0x83}));
    const std::string query = dnsQuery(2, "example.org", 1);
    client.sendTo(query, 53);
    sockaddr_in from{};
    EXPECT_EQ(upstream.receive(2000ms, &from).value_or(""), query);
    const std::string reply = query.substr(0, 2) + bytes({0x81, 0x80, 0, 1, 0, 0, 0, 0, 0, 0});
    upstream.sendTo(reply, from);
    EXPECT_EQ(client.receive(2000ms).value_or(""), reply);
    agent.signal(SIGTERM);
    EXPECT_EQ(agent.wait(10s), 0);

    // With port 53 taken the agent runs on without DNS filtering.
    test::UdpSocket holder("127.0.0.1", 53);
    test::ChildProcess second({test::agentBinary(), "--config", configPath.string()});
    EXPECT_TRUE(second.waitForStderr(
        "dns disabled: bind :53: Address already in use. app limits still run.", 10s))
        << second.stderrText();
    second.signal(SIGTERM);
    EXPECT_EQ(second.wait(10s), 0);
  });
}

}  // namespace
}  // namespace tether
