// The agent's policy poll and usage upload against a real HTTP server on 127.0.0.1 (a stand-in,
// then the reference service), policy bodies that are broken or hostile, and the agent program
// stopped by SIGTERM while a poll waits for the service.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>

#include <nlohmann/json.hpp>

#include "Agent.h"
#include "Clock.h"
#include "LoopbackServer.h"
#include "TestSupport.h"
#include "dns/DNSProxy.h"
#include "dns/SiteIndex.h"

namespace tether {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nlohmann::json;
using testing::HasSubstr;
using testing::Not;

// What the server saw of one request.
struct Seen {
  std::string method;
  std::string path;
  std::string authorization;
  bool hasContentType = false;
  std::string contentType;
  std::string body;
};

// The stand-in service: records every request and answers from settable fields.
class ServiceSync : public testing::Test {
 protected:
  std::mutex mutex;
  std::vector<Seen> seen;
  int policyStatus = 200;
  std::string policyBody = R"({"rev":0})";
  int usageStatus = 200;
  std::string usageBody;
  bool holdPolicy = false;

  test::LoopbackServer server{[this](const httplib::Request& req, httplib::Response& res) {
    const bool policy = req.path.ends_with("/v1/policy");
    bool hold = false;
    {
      std::lock_guard lock(mutex);
      seen.push_back({req.method, req.path, req.get_header_value("Authorization"),
                      req.has_header("Content-Type"), req.get_header_value("Content-Type"),
                      req.body});
      res.status = policy ? policyStatus : usageStatus;
      res.set_content(policy ? policyBody : usageBody, "application/json");
      hold = policy && holdPolicy;
    }
    if (hold) server.hold();
  }};

  test::TempDir dir;
  test::TempDir apps;

  void answerPolicy(const std::string& body, int status = 200) {
    std::lock_guard lock(mutex);
    policyBody = body;
    policyStatus = status;
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
    env.inventoryRoot = apps.path();
    return test::makeAgent(dir.path(), env, config.dump());
  }
};

const char* kPolicy9 = R"({"rev":9,"apps":{"com.a":{},"com.b":{"dailyLimitMinutes":30}},
    "domains":["a.example","b.example","c.example"],"domainAllow":["ok.example"]})";

TEST_F(ServiceSync, FirstPollAppliesThePolicyAndLogsItsCounts) {
  auto agent = makeAgent();
  answerPolicy(kPolicy9);
  test::CapturedStderr log;
  agent->poll();
  EXPECT_THAT(log.text(),
              HasSubstr("] policy rev 9: 2 app rule(s), 3 blocked domain(s), 0 domain limit(s)\n"));
  EXPECT_EQ(agent->policy().rev, 9);
  const std::vector<SiteRule> rules = {{"a.example", true, SiteAction::block()},
                                       {"b.example", true, SiteAction::block()},
                                       {"c.example", true, SiteAction::block()},
                                       {"ok.example", true, SiteAction::allow()}};
  EXPECT_EQ(agent->siteIndex().rules(), rules);
  EXPECT_TRUE(agent->dns().isBlocked("www.b.example"));

  const auto r = requests();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].method, "GET");
  EXPECT_EQ(r[0].path, "/v1/policy");
  EXPECT_EQ(r[0].authorization, "Bearer device-token");
  EXPECT_FALSE(r[0].hasContentType);
  EXPECT_EQ(r[0].body, "");

  // The same answer again changes nothing and logs nothing; once another policy is in force,
  // the same answer is applied again.
  agent->poll();
  EXPECT_EQ(log.text().find("policy rev 9"), log.text().rfind("policy rev 9"));
  agent->applyPolicy(*Policy::decode(R"({"rev":3})"));
  agent->poll();
  EXPECT_EQ(agent->policy().rev, 9);
  EXPECT_NE(log.text().find("policy rev 9"), log.text().rfind("policy rev 9"));
}

TEST_F(ServiceSync, RisenEpochResetsUsageBeforeAndIndependentlyOfTheRevision) {
  const std::string today = Clock::todayStamp();
  test::writeFile(dir / "usage.json",
                  R"({"date":")" + today + R"(","minutes":{"com.a":5},"epoch":0})");
  auto agent = makeAgent();
  test::CapturedStderr log;
  answerPolicy(R"({"rev":9,"usageEpoch":0})");
  agent->poll();
  EXPECT_EQ(agent->usage().minutes.at("com.a"), 5);

  // Same rev, epoch one higher: usage cleared and written, the policy is not replaced.
  answerPolicy(R"({"rev":9,"usageEpoch":1,"domains":["new.example"]})");
  agent->poll();
  EXPECT_EQ(agent->usage(), (UsageState{today, {}, 1}));
  EXPECT_EQ(*UsageState::decode(test::readFile(dir / "usage.json")), agent->usage());
  EXPECT_TRUE(agent->siteIndex().empty());
  std::string text = log.text();
  EXPECT_THAT(text, HasSubstr("] usage reset by parent (epoch 1)\n"));
  EXPECT_EQ(text.find("policy rev"), text.rfind("policy rev"));

  // A lower epoch does nothing; a new rev with a higher epoch logs the reset first.
  answerPolicy(R"({"rev":4,"usageEpoch":0})");
  agent->poll();
  EXPECT_EQ(agent->usage().epoch, 1);
  EXPECT_EQ(agent->policy().rev, 4);
  answerPolicy(R"({"rev":10,"usageEpoch":2})");
  agent->poll();
  text = log.text();
  const auto reset = text.find("usage reset by parent (epoch 2)");
  const auto policy = text.find("policy rev 10: 0 app rule(s)");
  ASSERT_NE(reset, std::string::npos);
  ASSERT_NE(policy, std::string::npos);
  EXPECT_LT(reset, policy);
}

TEST_F(ServiceSync, ErrorStatusIsLoggedWithTheBodyVerbatimAndChangesNothing) {
  auto agent = makeAgent();
  answerPolicy(R"({"detail":"unknown device token"})", 401);
  answerUsage(R"({"detail":"unknown device token"})", 401);
  test::CapturedStderr log;
  agent->poll();
  agent->postUsage(false);
  EXPECT_THAT(log.text(),
              HasSubstr("] poll failed: HTTP 401: {\"detail\":\"unknown device token\"}\n"));
  EXPECT_THAT(log.text(),
              HasSubstr("] usage post failed: HTTP 401: {\"detail\":\"unknown device token\"}\n"));
  EXPECT_EQ(agent->policy().rev, 0);

  // A body that is not UTF-8 is shown as the empty text.
  answerPolicy("\xFF\xFE", 500);
  agent->poll();
  EXPECT_THAT(log.text(), HasSubstr("] poll failed: HTTP 500: \n"));
}

TEST_F(ServiceSync, EmptyAnswerWithStatus204FailsThePollButIsASuccessfulUpload) {
  auto agent = makeAgent();
  answerPolicy(kPolicy9);
  agent->poll();
  answerPolicy("", 204);
  answerUsage("", 204);
  test::CapturedStderr log;
  agent->poll();
  agent->postUsage(false);
  EXPECT_THAT(log.text(), HasSubstr("] poll failed: "));
  EXPECT_THAT(log.text(), Not(HasSubstr("usage post failed")));
  EXPECT_EQ(agent->policy().rev, 9);
}

TEST_F(ServiceSync, TrailingSlashInServerURLGivesTwoSlashes) {
  auto agent = makeAgent(server.url() + "/");
  agent->poll();
  agent->postUsage(false);
  const auto r = requests();
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].path, "//v1/policy");
  EXPECT_EQ(r[1].path, "//v1/usage");
}

TEST_F(ServiceSync, BadServerURLTokenOrRefusedConnectionCostsOneLineEachAndSendsNothing) {
  struct Case {
    std::string url, token, reason;
  };
  // The token goes into a header: a line break or NUL in it never reaches the service.
  const Case refused[] = {{"http://", "device-token", "bad serverURL\n"},
                          {"not a url", "device-token", "bad serverURL\n"},
                          {server.url(), "tok\r\nX-Injected: 1", "bad deviceToken"},
                          {server.url(), std::string("tok\0en", 6), "bad deviceToken"}};
  for (const Case& c : refused) {
    auto agent = makeAgent(c.url, c.token);
    test::CapturedStderr log;
    agent->poll();
    agent->postUsage(true);
    EXPECT_THAT(log.text(), HasSubstr("] poll failed: " + c.reason)) << c.url;
    EXPECT_THAT(log.text(), HasSubstr("] usage post failed: " + c.reason)) << c.url;
  }
  EXPECT_TRUE(requests().empty());

  // A bound socket that does not listen refuses connections.
  const int sock = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  socklen_t length = sizeof addr;
  ::getsockname(sock, reinterpret_cast<sockaddr*>(&addr), &length);
  auto agent = makeAgent("http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)));
  test::CapturedStderr log;
  agent->poll();
  agent->postUsage(false);
  ::close(sock);
  const std::string text = log.text();
  EXPECT_THAT(text, HasSubstr("] poll failed: "));
  EXPECT_THAT(text, HasSubstr("] usage post failed: "));
  EXPECT_THAT(text, HasSubstr("Connection refused"));
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2);
}

TEST_F(ServiceSync, UploadCarriesRoundedMinutesAndTheInventoryOnlyWhenAsked) {
  const std::string today = Clock::todayStamp();
  test::writeFile(dir / "usage.json", R"({"date":")" + today +
                                          R"(","minutes":{"com.a":12.25,"b.example":2.5,
      "c":0.05,"d":0.04,"e":12.345},"epoch":3})");
  fs::create_directories(apps / "Applications" / "Notes.app" / "Contents");
  test::writeFile(apps / "Applications" / "Notes.app" / "Contents" / "Info.plist",
                  test::infoPlist("com.example.notes"));
  auto agent = makeAgent();
  agent->postUsage(false);
  auto r = requests();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].method, "POST");
  EXPECT_EQ(r[0].path, "/v1/usage");
  EXPECT_EQ(r[0].authorization, "Bearer device-token");
  EXPECT_EQ(r[0].contentType, "application/json");
  const json report = json::parse(r[0].body);
  EXPECT_EQ(report["date"], today);
  EXPECT_EQ(report["minutes"],
            json::parse(R"({"com.a":12.3,"b.example":2.5,"c":0.1,"d":0.0,"e":12.3})"));
  EXPECT_EQ(report["apps"], json::array());
  EXPECT_EQ(report["usageEpoch"], 3);
  EXPECT_TRUE(report["blockedNow"].is_array());
  EXPECT_TRUE(report["timeZone"].is_string() && !report["timeZone"].get<std::string>().empty());
  // Minutes stay unrounded in the agent.
  EXPECT_EQ(agent->usage().minutes.at("e"), 12.345);

  agent->postUsage(true);
  r = requests();
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(json::parse(r[1].body)["apps"],
            json::parse(R"([{"name":"Notes","bundleId":"com.example.notes"}])"));
}

TEST_F(ServiceSync, UploadListsWhatIsBlockedNowSorted) {
  auto agent = makeAgent();
  answerPolicy(R"({"rev":2,"domains":["zz.example","aa.example"],"domainLimits":{"mm.example":0},
      "apps":{"com.blocked":{"dailyLimitMinutes":0}}})");
  agent->poll();
  agent->postUsage(false);
  std::vector<std::string> list = json::parse(requests().back().body)["blockedNow"];
  EXPECT_TRUE(std::is_sorted(list.begin(), list.end()));
  EXPECT_EQ(list, agent->currentlyBlocked());
}

const std::string kPolicy5 =
    R"({"rev":5,"usageEpoch":1,"apps":{"com.example.game":{"dailyLimitMinutes":30,)"
    R"("windows":[{"days":[1,2,3,4,5],"start":"21:00","end":"07:00"}]}},)"
    R"("domains":["blocked.test"],"domainLimits":{"video.test":30},"domainAllow":["ok.blocked.test"]})";

TEST_F(ServiceSync, BrokenPolicyBodiesAreRefusedWholeAndThePolicyInForceStays) {
  auto agent = makeAgent();
  answerPolicy(kPolicy5);
  agent->poll();
  ASSERT_EQ(agent->policy().rev, 5);
  const auto rulesInForce = agent->dns().siteRules();
  const UsageState usageBefore = agent->usage();
  const std::string fileBefore = test::readFile(dir / "usage.json");

  // Every truncation fails to decode; a few of them go through the whole poll.
  std::vector<std::string> bodies;
  for (std::size_t n = 0; n < kPolicy5.size(); ++n) {
    ASSERT_FALSE(Policy::decode(kPolicy5.substr(0, n))) << n;
    if (n % 40 == 1) bodies.push_back(kPolicy5.substr(0, n));
  }
  // Wrong types anywhere, each with a higher rev and usageEpoch that must not take effect.
  for (const char* wrong :
       {R"({"rev":"6"})", R"({"rev":6.5})", R"({"rev":6,"usageEpoch":9,"apps":[]})",
        R"({"rev":6,"usageEpoch":9,"domains":"a.test"})", R"({"rev":6,"domains":[5]})",
        R"({"rev":6,"domainLimits":{"a.test":"30"}})",
        R"({"rev":6,"domainLimits":{"a.test":1e400}})",
        R"({"rev":6,"apps":{"x":{"windows":[{"days":[1],"end":"07:00"}]}}})",
        R"({"rev":6,"apps":{"x":{"dailyLimitMinutes":true}}})",
        R"({"rev":6,"usageEpoch":9223372036854775808})", "null", "[]", "\"rev\"",
        "<html>502</html>", "{\"rev\":6,\"domains\":[\"caf\xC3\x28.test\"]}"}) {
    bodies.emplace_back(wrong);
  }
  bodies.push_back(R"({"rev":6,"apps":)" + std::string(20'000, '[') + std::string(20'000, ']') +
                   "}");
  // Megabytes of valid rules with one wrong value at the very end.
  std::string huge = R"({"rev":6,"usageEpoch":9,"domains":[)";
  for (int i = 0; i < 20'000; ++i) huge += "\"d" + std::to_string(i) + ".example.test\",";
  bodies.push_back(huge + "5]}");

  test::CapturedStderr log;
  for (const std::string& b : bodies) {
    answerPolicy(b);
    agent->poll();
    ASSERT_EQ(agent->policy().rev, 5) << b.substr(0, 80);
  }
  const std::string text = log.text();
  std::size_t failures = 0;
  for (auto at = text.find("] poll failed: "); at != std::string::npos;
       at = text.find("] poll failed: ", at + 1)) {
    ++failures;
  }
  EXPECT_EQ(failures, bodies.size());
  EXPECT_THAT(text, Not(HasSubstr("policy rev")));
  EXPECT_THAT(text, Not(HasSubstr("usage reset")));
  EXPECT_EQ(agent->dns().siteRules(), rulesInForce);
  EXPECT_EQ(agent->usage(), usageBefore);
  EXPECT_EQ(test::readFile(dir / "usage.json"), fileBefore);

  // Nothing stuck: the next good policy is taken.
  answerPolicy(R"({"rev":6,"usageEpoch":1,"domains":["other.test"]})");
  agent->poll();
  EXPECT_EQ(agent->policy().rev, 6);
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

// The reference service, run as its own program on a free loopback port with a fresh database.
TEST(ReferenceService, AgentPollsAppliesResetsAndUploadsAsTheParentSees) {
  const std::string binary = TETHER_SERVICE_BINARY;
  if (binary.empty() || !fs::exists(binary)) GTEST_SKIP() << "tether-service is not built";
  test::TempDir dir;
  test::ChildProcess service({binary, "--db", (dir / "service.db").string(), "--listen",
                              "127.0.0.1:0"});
  ASSERT_TRUE(service.waitForStdout("listening on 127.0.0.1:", 20s)) << service.stderrText();
  const std::string out = service.stdoutText();
  const int port = std::stoi(out.substr(out.find("127.0.0.1:") + 10));
  httplib::Client client("127.0.0.1", port);
  // A parent request; the answer's JSON (null when it has none).
  const auto call = [&](const std::string& method, const std::string& path,
                        const std::string& token, const json& body, int expected) {
    const httplib::Headers headers{{"Authorization", "Bearer " + token}};
    const std::string text = body.is_null() ? std::string() : body.dump();
    const auto res = method == "GET"   ? client.Get(path, headers)
                     : method == "PUT" ? client.Put(path, headers, text, "application/json")
                                       : client.Post(path, headers, text, "application/json");
    EXPECT_TRUE(res && res->status == expected) << method << " " << path;
    return res ? json::parse(res->body, nullptr, false) : json();
  };
  const std::string account = call("POST", "/v1/register", "",
                                   {{"email", "parent@example.com"}, {"password", "long enough"}},
                                   201)
                                  .value("apiToken", "");
  const json device = call("POST", "/v1/devices", account, {{"name", "Kid's Mac"}}, 201);
  const std::string deviceId = device["id"].dump();
  json policy = json::parse(kPolicy9);
  policy["domainLimits"] = {{"time.example", 30}};
  const int64_t rev = call("PUT", "/v1/devices/" + deviceId + "/policy", account, policy, 200)
                          .value("rev", int64_t{-1});

  const std::string today = Clock::todayStamp();
  test::writeFile(
      dir / "usage.json",
      R"({"date":")" + today + R"(","minutes":{"com.a":12.25,"web.example":0.04},"epoch":0})");
  auto config = json::parse(test::configJson("http://127.0.0.1:" + std::to_string(port)));
  config["deviceToken"] = device.value("token", "");
  auto env = AgentEnvironment::system();
  env.inventoryRoot = dir / "no-apps";
  auto agent = test::makeAgent(dir.path(), env, config.dump());
  test::CapturedStderr log;
  agent->poll();
  agent->poll();
  agent->postUsage(false);
  std::string text = log.text();
  EXPECT_THAT(text, HasSubstr("] policy rev " + std::to_string(rev) +
                              ": 2 app rule(s), 3 blocked domain(s), 1 domain limit(s)\n"));
  EXPECT_EQ(text.find("policy rev"), text.rfind("policy rev"));
  EXPECT_THAT(text, Not(HasSubstr("failed")));

  const json reports = call("GET", "/v1/devices/" + deviceId + "/usage", account, nullptr, 200);
  ASSERT_TRUE(reports.is_array() && reports.size() == 1) << reports.dump();
  const json& report = reports[0];
  EXPECT_EQ(report["date"], today);
  EXPECT_EQ(report["minutes"], json::parse(R"({"com.a":12.3,"web.example":0.0})"));
  EXPECT_EQ(report["apps"], json::array());
  EXPECT_EQ(report["usageEpoch"], 0);
  EXPECT_EQ(report["blockedNow"].get<std::vector<std::string>>(), agent->currentlyBlocked());

  // The parent resets today's usage: same rev, higher epoch.
  const json reset =
      call("POST", "/v1/devices/" + deviceId + "/usage/reset", account, nullptr, 200);
  agent->poll();
  text = log.text();
  EXPECT_THAT(text, HasSubstr("] usage reset by parent (epoch " +
                              std::to_string(reset.value("usageEpoch", int64_t{-1})) + ")\n"));
  EXPECT_EQ(text.find("policy rev"), text.rfind("policy rev"));
  EXPECT_TRUE(agent->usage().minutes.empty());

  // A token the service does not know: its refusal is logged verbatim.
  config["deviceToken"] = "not-a-device-token";
  auto stranger = test::makeAgent(dir.path(), env, config.dump());
  stranger->poll();
  EXPECT_THAT(log.text(),
              HasSubstr("] poll failed: HTTP 401: {\"detail\":\"invalid device token\"}\n"));
}

}  // namespace
}  // namespace tether
