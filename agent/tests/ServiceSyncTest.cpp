// The agent's service exchange against a real HTTP server on 127.0.0.1: the HTTP session's limits
// and interruption, the policy poll and usage upload, and the agent program stopped by SIGTERM
// while a poll waits for the service.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <mutex>
#include <thread>

#include <nlohmann/json.hpp>

#include "Clock.h"
#include "Gzip.h"
#include "HttpClient.h"
#include "Inventory.h"
#include "LoopbackServer.h"
#include "TestSupport.h"
#include "WakeSignal.h"
#include "dns/DNSProxy.h"
#include "dns/SiteIndex.h"
#include "platform/TimeZone.h"

namespace tether {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nlohmann::json;
using testing::HasSubstr;
using testing::Not;

// The stand-in service: records every request (method, path, authorization, content type; its
// If-None-Match and content codings; and body) and answers from settable fields.
class ServiceSync : public testing::Test {
 protected:
  struct Seen {
    std::string line, conditions, body;
  };
  std::mutex mutex;
  std::vector<Seen> seen;
  int policyStatus = 200, usageStatus = 200;
  std::string policyBody = R"({"rev":0})", usageBody;
  std::string policyTag;  // sent as ETag when set; If-None-Match with it gets 304
  bool holdPolicy = false;

  test::LoopbackServer server{[this](const httplib::Request& req, httplib::Response& res) {
    const bool policy = req.path.ends_with("/v1/policy");
    bool hold = false;
    {
      std::lock_guard lock(mutex);
      const auto header = [&](const char* name) { return req.get_header_value(name); };
      seen.push_back({req.method + " " + req.path + " " + header("Authorization") + " " +
                          header("Content-Type"),
                      header("If-None-Match") + "|" + header("Accept-Encoding") + "|" +
                          header("Content-Encoding"),
                      req.body});
      res.status = policy ? policyStatus : usageStatus;
      res.set_content(policy ? policyBody : usageBody, "application/json");
      if (policy && !policyTag.empty()) {
        res.set_header("ETag", policyTag);
        if (header("If-None-Match") == policyTag) {
          res.status = 304;
          res.body.clear();
        }
      }
      hold = policy && holdPolicy;
    }
    if (hold) server.hold();
  }};

  test::TempDir dir;
  test::TempDir apps;
  std::function<std::vector<InstalledApp>(const std::atomic<bool>&)> inventory =
      [this](const std::atomic<bool>& cancelled) {
        return Inventory::scan(apps.path(), &cancelled);
      };

  void answerPolicy(const std::string& body, int status = 200, const std::string& tag = "") {
    std::lock_guard lock(mutex);
    policyBody = body;
    policyStatus = status;
    policyTag = tag;
  }
  void answerUsage(const std::string& body, int status) {
    std::lock_guard lock(mutex);
    usageBody = body;
    usageStatus = status;
  }
  std::vector<Seen> requests() {
    std::lock_guard lock(mutex);
    return seen;
  }

  std::unique_ptr<Agent> makeAgent(const std::string& serverURL = "",
                                   const std::string& token = "device-token") {
    json config = json::parse(test::configJson(serverURL.empty() ? server.url() : serverURL));
    config["deviceToken"] = token;
    auto env = AgentEnvironment::system();
    env.inventory = inventory;
    return test::makeAgent(dir.path(), env, config.dump());
  }
};

const char* kPolicy9 = R"({"rev":9,"apps":{"com.a":{},"com.b":{"dailyLimitMinutes":30}},
    "domains":["a.example","b.example","c.example"],"domainAllow":["ok.example"]})";

// An answer the same as the last is not applied again, whether it comes whole or as 304 to the
// tag the service named it with; once another policy is in force, it is applied again. A risen
// usageEpoch resets the usage before and independently of the revision. Bodies come and go in
// gzip once the service has sent one so.
TEST_F(ServiceSync, PolicyIsAppliedOnceAskedForByItsTagAndARisenEpochResetsUsageFirst) {
  test::writeFile(dir / "usage.json", test::usageJson(Clock::todayStamp(), R"({"com.a":5})"));
  auto agent = makeAgent();
  test::CapturedStderr log;
  answerPolicy(kPolicy9);
  agent->poll();
  agent->poll();
  EXPECT_EQ(log.text().substr(log.text().find(']')),
            "] policy rev 9: 2 app rule(s), 3 blocked domain(s), 0 domain limit(s)\n");
  EXPECT_TRUE(agent->dns().isBlocked("www.b.example"));
  answerPolicy(kPolicy9, 200, "\"nine\"");
  agent->poll();
  agent->poll();
  EXPECT_EQ(test::count(log.text(), "\n"), 1u) << log.text();
  // The same rev with a higher epoch (under another tag: it covers usageEpoch) clears the usage
  // and leaves the policy in force.
  answerPolicy(R"({"rev":9,"usageEpoch":1})", 200, "\"nine-1\"");
  agent->poll();
  EXPECT_EQ(agent->usage(), (UsageState{Clock::todayStamp(), {}, 1}));
  EXPECT_TRUE(agent->dns().isBlocked("www.b.example"));
  EXPECT_THAT(log.text(), HasSubstr("] usage reset by parent (epoch 1)\n"));
  EXPECT_EQ(test::count(log.text(), "policy rev"), 1u);
  agent->applyPolicy(*Policy::decode(R"({"rev":3})"));
  answerPolicy(kPolicy9);
  agent->poll();
  EXPECT_EQ(agent->policy().rev, 9);
  EXPECT_EQ(test::count(log.text(), "policy rev 9"), 2u);
  // A new rev with a higher epoch logs the reset first.
  answerPolicy(R"({"rev":10,"usageEpoch":2})");
  agent->poll();
  const auto reset = log.text().find("usage reset by parent (epoch 2)");
  EXPECT_LT(reset, log.text().find("policy rev 10: 0 app rule(s)"));
  agent->postUsage(false);
  std::vector<std::string> conditions;
  for (const Seen& s : requests()) conditions.push_back(s.conditions);
  EXPECT_EQ(conditions,
            (std::vector<std::string>{"|gzip|", "|gzip|", "|gzip|", "\"nine\"|gzip|",
                                      "\"nine\"|gzip|", "|gzip|", "|gzip|", "|gzip|gzip"}));
  EXPECT_EQ(requests().front().line, "GET /v1/policy Bearer device-token ");
  EXPECT_EQ(json::parse(requests().back().body)["usageEpoch"], 2);  // decoded by the stand-in
}

TEST_F(ServiceSync, KeptPolicyHoldsFromTheStartUntilThePollBringsAnotherAndABadOneIsIgnored) {
  auto agent = makeAgent();
  answerPolicy(kPolicy9);
  agent->poll();
  const fs::path kept = dir / "policy.json";
  EXPECT_EQ(test::readFile(kept), kPolicy9);
  EXPECT_EQ(fs::status(kept).permissions(), fs::perms::owner_read | fs::perms::owner_write);

  // Started again without the service: the kept policy is in force before the first poll.
  const auto startOffline = [&] {
    auto again = makeAgent("http://127.0.0.1:9");
    again->requestStop();
    again->run();  // the start-up part only
    return again;
  };
  {
    test::CapturedStderr log;
    auto offline = startOffline();
    EXPECT_THAT(log.text(), HasSubstr("] policy rev 9 from disk\n"));
    EXPECT_EQ(offline->policy().rev, 9);
    EXPECT_TRUE(offline->dns().isBlocked("www.b.example"));
  }
  // Back online: the same rev is not applied again, but a reset made meanwhile is.
  {
    answerPolicy(R"({"rev":9,"usageEpoch":3})");
    test::CapturedStderr log;
    auto online = makeAgent();
    std::thread loop([&] { online->run(); });
    const bool reset = test::eventually([&] { return test::count(log.text(), "(epoch 3)") > 0; });
    online->requestStop();
    loop.join();
    EXPECT_TRUE(reset) << log.text();
    EXPECT_THAT(log.text(), HasSubstr("] policy rev 9 from disk\n"));
    EXPECT_THAT(log.text(), HasSubstr("] usage reset by parent (epoch 3)\n"));
    EXPECT_THAT(log.text(), Not(HasSubstr("policy rev 9:")));
    EXPECT_EQ(test::readFile(kept), kPolicy9);
  }

  // A kept file that is damaged, too large, or not the agent's own is ignored with one line.
  const std::vector<std::function<void()>> spoil = {
      [&] { test::writeFile(kept, R"({"rev":"9"})"); },
      [&] { fs::resize_file(kept, (std::size_t{64} << 20) + 1); },
      [&] { fs::permissions(kept, fs::perms::group_write, fs::perm_options::add); },
      [&] {
        fs::remove(kept);
        fs::create_symlink(dir / "elsewhere.json", kept);
      },
  };
  for (std::size_t k = 0; k < spoil.size(); ++k) {
    fs::remove(kept);
    test::writeFile(kept, kPolicy9);
    fs::permissions(kept, fs::perms::owner_read | fs::perms::owner_write);
    test::writeFile(dir / "elsewhere.json", kPolicy9);
    spoil[k]();
    test::CapturedStderr log;
    auto offline = startOffline();
    EXPECT_EQ(test::count(log.text(), "policy.json ignored: "), 1u) << k << log.text();
    EXPECT_EQ(offline->policy().rev, 0) << k;
  }
}

// Each failed poll is one line with the status and the body as it came; neither the policy in
// force nor the usage changes, even when a refused body names a higher rev and usageEpoch.
TEST_F(ServiceSync, FailedPollOrUploadIsOneLineWithTheBodyVerbatimAndChangesNothing) {
  auto agent = makeAgent();
  answerPolicy(kPolicy9);
  agent->poll();
  const auto rulesInForce = agent->dns().siteRules();
  const UsageState usageBefore = agent->usage();
  const std::string fileBefore = test::readFile(dir / "usage.json");
  const std::string unknown = R"({"detail":"unknown device token"})";
  const std::tuple<int, std::string, std::string> answers[] = {
      {401, unknown, "HTTP 401: " + unknown + "\n"},
      {500, "\xFF\xFE", "HTTP 500: \n"},  // not UTF-8: shown as the empty text
      // A long body is shown up to its first 4 KiB, cut before a character that would not fit.
      {502, std::string(4095, 'x') + "\u00e9" + std::string(5000, 'y'),
       "HTTP 502: " + std::string(4095, 'x') + " \u2026 (9097 bytes)\n"},
      {204, "", ""},  // an empty answer
      {200, R"({"rev":10,"usageEpoch":9,"domains":["a.test",5]})", ""},
      {200, R"({"rev":10,"usageEpoch":9,"domains":["a.test")", ""}};
  for (const auto& [status, body, shown] : answers) {
    SCOPED_TRACE(status);
    answerPolicy(body, status);
    test::CapturedStderr log;
    agent->poll();
    EXPECT_EQ(test::count(log.text(), "] poll failed: " + shown), 1u) << log.text();
    EXPECT_EQ(test::count(log.text(), "\n"), 1u);
    EXPECT_EQ(agent->policy().rev, 9);
  }
  EXPECT_EQ(agent->dns().siteRules(), rulesInForce);
  EXPECT_EQ(agent->usage(), usageBefore);
  EXPECT_EQ(test::readFile(dir / "usage.json"), fileBefore);
  // An upload fails on an error status, and an empty answer 204 is its success.
  test::CapturedStderr log;
  answerUsage(unknown, 401);
  agent->postUsage(false);
  answerUsage("", 204);
  agent->postUsage(false);
  EXPECT_EQ(log.text().substr(log.text().find(']')),
            "] usage post failed: HTTP 401: " + unknown + "\n");
}

TEST_F(ServiceSync, BadServerURLTokenOrRefusedConnectionCostsOneLineEachAndSendsNothing) {
  // The token goes into a header: a line break or NUL in it never reaches the service.
  const std::tuple<std::string, std::string, std::string> refused[] = {
      {"not a url", "device-token", "bad serverURL\n"},
      {server.url(), "tok\r\nX-Injected: 1", "bad deviceToken"},
      {server.url(), std::string("tok\0en", 6), "bad deviceToken"}};
  for (const auto& [url, token, reason] : refused) {
    auto agent = makeAgent(url, token);
    test::CapturedStderr log;
    agent->poll();
    agent->postUsage(true);
    EXPECT_THAT(log.text(), HasSubstr("] poll failed: " + reason)) << url;
    EXPECT_THAT(log.text(), HasSubstr("] usage post failed: " + reason)) << url;
  }
  EXPECT_TRUE(requests().empty());

  // Nothing listens on the discard port.
  auto agent = makeAgent("http://127.0.0.1:9");
  test::CapturedStderr log;
  agent->poll();
  agent->postUsage(false);
  EXPECT_THAT(log.text(), testing::MatchesRegex("[^\n]*] poll failed: [^\n]*refused[^\n]*\n"
                                                "[^\n]*] usage post failed: [^\n]*\n"));
}

// A million blocked names would make a report of 30 MB: beyond a thousand, the hosts of plain
// block rules are counted instead of listed. Applications and limited hosts are always listed.
TEST_F(ServiceSync, UploadCarriesRoundedMinutesZoneBlockedNowSortedAndInventoryOnlyWhenAsked) {
  test::ScopedTimeZone zone(":Asia/Tokyo");
  const std::string today = Clock::todayStamp();
  const std::string minutes = R"({"com.a":12.25,"b":2.5,"c":0.05,"d":0.04,"e":12.345})";
  test::writeFile(dir / "usage.json", test::usageJson(today, minutes, 3));
  fs::create_directories(apps / "Applications" / "Notes.app" / "Contents");
  test::writeFile(apps / "Applications" / "Notes.app" / "Contents" / "Info.plist",
                  test::infoPlist("com.example.notes"));
  auto agent = makeAgent(server.url() + "/");  // a trailing slash gives two
  agent->applyPolicy(*Policy::decode(R"({"rev":2,"domains":["zz.example","aa.example"],
      "domainLimits":{"mm.example":0},"apps":{"com.blocked":{"dailyLimitMinutes":0}}})"));
  agent->postUsage(false);
  ASSERT_EQ(requests().size(), 1u);
  EXPECT_EQ(requests()[0].line, "POST //v1/usage Bearer device-token application/json");
  EXPECT_EQ(json::parse(requests()[0].body), json::parse(R"({"date":")" + today + R"(",
      "usageEpoch":3,"minutes":{"com.a":12.3,"b":2.5,"c":0.1,"d":0.0,"e":12.3},"apps":[],
      "timeZone":"Asia/Tokyo",
      "blockedNow":["aa.example","com.blocked","mm.example","zz.example"]})"));
  EXPECT_EQ(agent->usage().minutes.at("e"), 12.345);  // unrounded in the agent
  agent->postUsage(true);
  EXPECT_EQ(json::parse(requests().at(1).body)["apps"],
            json::parse(R"([{"name":"Notes","bundleId":"com.example.notes"}])"));

  for (const std::size_t hosts : {Agent::kReportedBlockHosts, Agent::kReportedBlockHosts + 1}) {
    json policy = json::parse(R"({"domainLimits":{"mm.example":0,"tt.example":30},
        "apps":{"com.blocked":{"dailyLimitMinutes":0}}})");
    policy["rev"] = hosts;
    for (std::size_t i = 0; i < hosts; ++i) policy["domains"].push_back("h" + std::to_string(i));
    agent->applyPolicy(*Policy::decode(policy.dump()));
    agent->postUsage(false);
    const json report = json::parse(requests().back().body);
    if (hosts == Agent::kReportedBlockHosts) {
      EXPECT_EQ(report["blockedNow"].size(), hosts + 3);
      EXPECT_FALSE(report.contains("blockedDomainCount"));
    } else {
      EXPECT_EQ(report["blockedNow"], json({"com.blocked", "mm.example", "tt.example"}));
      EXPECT_EQ(report["blockedDomainCount"], hosts);
    }
  }
}

TEST_F(ServiceSync, InventoryRunsOffTheLoopAndOneThatIsLateGoesWithTheNextUpload) {
  std::atomic<bool> release{false};
  inventory = [&release](const std::atomic<bool>& cancelled) {
    for (int i = 0; i < 1000 && !release && !cancelled; ++i) std::this_thread::sleep_for(10ms);
    return std::vector<InstalledApp>{{"Late", "com.example.late"}};
  };
  auto agent = makeAgent();
  agent->postUsage(true);  // waits for the first inventory a little, then goes without it
  release = true;
  for (int i = 0; i < 200 && test::count(requests().back().body, "com.example.late") == 0; ++i) {
    std::this_thread::sleep_for(10ms);
    agent->postUsage(false);
  }
  agent->postUsage(false);
  std::vector<json> sent;
  for (const Seen& s : requests()) sent.push_back(json::parse(s.body)["apps"]);
  ASSERT_GE(sent.size(), 3u);
  EXPECT_EQ(sent.front(), json::array());
  EXPECT_EQ(sent[sent.size() - 2],
            json::parse(R"([{"name":"Late","bundleId":"com.example.late"}])"));
  EXPECT_EQ(sent.back(), json::array());  // taken once
}

TEST_F(ServiceSync, SigtermWhileThePollWaitsEndsTheAgentCleanly) {
  {
    std::lock_guard lock(mutex);
    holdPolicy = true;
  }
  test::writeFile(dir / "config.json", test::configJson(server.url()));
  test::ChildProcess agent({test::agentBinary(), "--config", (dir / "config.json").string()});
  ASSERT_TRUE(server.waitUntilHeld());
  agent.signal(SIGTERM);
  EXPECT_EQ(agent.wait(10s), 0);
  EXPECT_THAT(agent.stderrText(), Not(HasSubstr("failed")));
  EXPECT_TRUE(UsageState::decode(test::readFile(dir / "usage.json")));
}

// The report's zone identifier from a TZ value or the path of a zone file.
TEST(TimeZone, ZoneNameFromATzValueOrAZoneFilePath) {
  EXPECT_EQ(TimeZone::nameFrom("/usr/share/zoneinfo/Etc/GMT+5"), "Etc/GMT+5");
  EXPECT_EQ(TimeZone::nameFrom("/var/db/timezone/zoneinfo/Asia/Tokyo"), "Asia/Tokyo");
  for (const char* bad : {"", ":", "/etc/localtime", "../../etc/passwd", "Europe/../x",
                          "CET-1CEST,M3.5.0,M10.5.0/3", "Europe/Berlin ", "/usr/share/zoneinfo/"}) {
    EXPECT_EQ(TimeZone::nameFrom(bad), std::nullopt) << bad;
  }
}

// The HTTP session on its own: what a poll or upload cannot show.
HttpRequest get(const std::string& url, std::chrono::seconds timeout = 60s) {
  HttpRequest request;
  request.url = url;
  request.timeout = timeout;
  return request;
}

// The bound holds for the decoded body: a small compressed answer may not unpack beyond it.
TEST(HttpClient, BodyOverTheBoundFailsWithOrWithoutALengthAndAlsoWhenDecoded) {
  test::LoopbackServer server([](const httplib::Request& req, httplib::Response& res) {
    const std::string body(1000 + req.path.ends_with("-long"), 'x');
    if (req.path.starts_with("/gzip")) {
      res.set_header("Content-Encoding", "gzip");
      return res.set_content(Gzip::compress(body), "application/octet-stream");
    }
    if (req.path != "/chunked") return res.set_content(body, "text/plain");
    res.set_chunked_content_provider("text/plain", [](std::size_t offset, httplib::DataSink& sink) {
      const std::string piece(std::min<std::size_t>(300, 1001 - offset), 'x');
      if (piece.empty()) sink.done();
      return piece.empty() || sink.write(piece.data(), piece.size());
    });
  });
  WakeSignal stop;
  HttpClient client(stop.fd(), HttpClient::Limits{.maxBodyBytes = 1000});
  for (const char* path : {"/fits", "/gzip-fits"}) {
    auto fits = client.send(get(server.url() + path));
    ASSERT_TRUE(fits) << fits.error();
    EXPECT_EQ(fits->body, std::string(1000, 'x')) << path;
  }
  for (const char* path : {"/x-long", "/chunked", "/gzip-long"}) {
    EXPECT_EQ(client.send(get(server.url() + path)).error(), "response body larger than 1000 bytes")
        << path;
  }
}

TEST(HttpClient, SilentServerFailsAtTheIdleLimitAndSlowTrickleAtTheRequestLimit) {
  test::LoopbackServer* self = nullptr;
  test::LoopbackServer server([&](const httplib::Request& req, httplib::Response& res) {
    if (req.path == "/silent") return self->hold();
    res.set_chunked_content_provider("text/plain", [](std::size_t, httplib::DataSink& sink) {
      std::this_thread::sleep_for(100ms);
      return sink.write("x", 1);
    });
  });
  self = &server;
  WakeSignal stop;
  HttpClient client(stop.fd(), HttpClient::Limits{.idleTimeout = 1s});
  EXPECT_THAT(client.send(get(server.url() + "/silent")).error(), HasSubstr("too slow"));
  EXPECT_THAT(client.send(get(server.url() + "/trickle", 1s)).error(), HasSubstr("timed out"));
}

// An https server on 127.0.0.1 with a certificate made for the test.
TEST(HttpClient, AnHttpsRequestIsRedirectedOnlyToHttps) {
  test::TempDir certs;
  const std::string cert = (certs / "cert.pem").string(), key = (certs / "key.pem").string();
  ASSERT_EQ(test::run({"/usr/bin/openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days",
                       "1", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                       "-keyout", key, "-out", cert})
                .status,
            0);
  std::atomic<int> clear = 0;
  test::LoopbackServer plain([&](const httplib::Request&, httplib::Response&) { ++clear; });
  test::LoopbackServer* self = nullptr;
  test::LoopbackServer tls(
      [&](const httplib::Request& req, httplib::Response& res) {
        if (req.path == "/to-http") res.set_redirect(plain.url() + "/v1/usage", 307);
        if (req.path == "/to-https") res.set_redirect(self->url() + "/landed", 307);
        if (req.path == "/landed") res.set_content("landed", "text/plain");
      },
      cert, key);
  self = &tls;
  WakeSignal stop;
  HttpClient client(stop.fd(), HttpClient::Limits{.certificateAuthorities = cert});
  HttpRequest post = get(tls.url() + "/to-http");
  post.method = "POST";
  post.body = R"({"minutes":{}})";
  EXPECT_FALSE(client.send(post));
  EXPECT_EQ(clear, 0);
  auto landed = client.send(get(tls.url() + "/to-https"));
  ASSERT_TRUE(landed) << landed.error();
  EXPECT_EQ(landed->body, "landed");
}

// A stop during a request in flight is tested with the agent program (above).
TEST(HttpClient, OnlyHttpIsSpokenUrlsNeedASchemeAndAHostAndAStopRefusesEveryLaterRequest) {
  std::atomic<int> requests = 0;
  test::LoopbackServer server([&](const httplib::Request&, httplib::Response&) { ++requests; });
  WakeSignal stop;
  HttpClient client(stop.fd());
  EXPECT_FALSE(client.send(get("file:///etc/hostname")));
  EXPECT_TRUE(HttpClient::parsesAsURL("https://service.example//v1/usage"));
  for (const char* bad : {"/v1/policy", "http:///v1/policy", "1.2.3.4:8080 /v1", "http://a b/v1"}) {
    EXPECT_FALSE(HttpClient::parsesAsURL(bad)) << bad;
  }
  stop.raise();
  EXPECT_EQ(client.send(get(server.url() + "/after-stop")).error(), HttpClient::kInterrupted);
  EXPECT_EQ(requests, 0);
}

}  // namespace
}  // namespace tether
