// The agent's policy poll and usage upload against a real HTTP server on 127.0.0.1, and the
// agent program stopped by SIGTERM while a poll waits for the service.
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
  std::vector<Seen> requests() {
    std::lock_guard lock(mutex);
    return seen;
  }

  std::unique_ptr<Agent> makeAgent(const std::string& serverURL) {
    auto config = AgentConfig::decode(test::configJson(serverURL));
    EXPECT_TRUE(config) << config.error();
    auto env = AgentEnvironment::system();
    env.inventoryRoot = apps.path();
    return std::make_unique<Agent>(*config, (dir / "config.json").string(), env);
  }
  std::unique_ptr<Agent> makeAgent() { return makeAgent(server.url()); }

  json lastUpload() {
    for (const auto& s : requests()) {
      if (s.path.ends_with("/v1/usage")) return json::parse(s.body);
    }
    return nullptr;
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

  // The same answer again changes nothing and logs nothing.
  agent->poll();
  EXPECT_EQ(log.text().find("policy rev 9"), log.text().rfind("policy rev 9"));
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

TEST_F(ServiceSync, SameBodyIsAppliedAgainOnceThePolicyInForceHasChanged) {
  auto agent = makeAgent();
  answerPolicy(kPolicy9);
  agent->poll();
  agent->applyPolicy(*Policy::decode(R"({"rev":3})"));
  test::CapturedStderr log;
  agent->poll();
  EXPECT_EQ(agent->policy().rev, 9);
  EXPECT_THAT(log.text(), HasSubstr("policy rev 9: "));
}

TEST_F(ServiceSync, ErrorStatusIsLoggedWithTheBodyVerbatimAndChangesNothing) {
  auto agent = makeAgent();
  answerPolicy(R"({"detail":"unknown device token"})", 401);
  {
    std::lock_guard lock(mutex);
    usageStatus = 401;
    usageBody = R"({"detail":"unknown device token"})";
  }
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
  {
    std::lock_guard lock(mutex);
    usageStatus = 204;
  }
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

TEST_F(ServiceSync, UnparsableServerURLOrRefusedConnectionCostsOneLineEach) {
  for (const std::string url : {"http://", "not a url"}) {
    auto agent = makeAgent(url);
    test::CapturedStderr log;
    agent->poll();
    agent->postUsage(true);
    EXPECT_THAT(log.text(), HasSubstr("] poll failed: bad serverURL\n")) << url;
    EXPECT_THAT(log.text(), HasSubstr("] usage post failed: bad serverURL\n")) << url;
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
                  R"(<?xml version="1.0" encoding="UTF-8"?><plist version="1.0"><dict>
      <key>CFBundleIdentifier</key><string>com.example.notes</string></dict></plist>)");
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
  const json blocked = lastUpload()["blockedNow"];
  ASSERT_TRUE(blocked.is_array());
  std::vector<std::string> list = blocked;
  EXPECT_TRUE(std::is_sorted(list.begin(), list.end()));
  EXPECT_EQ(list, agent->currentlyBlocked());
}

TEST_F(ServiceSync, StopDuringAHeldPollReturnsAtOnceWithoutAFailureLine) {
  auto agent = makeAgent();
  {
    std::lock_guard lock(mutex);
    holdPolicy = true;
  }
  test::CapturedStderr log;
  std::thread stopper([&] {
    server.waitUntilHeld();
    agent->requestStop();
  });
  const auto started = std::chrono::steady_clock::now();
  agent->poll();
  const auto took = std::chrono::steady_clock::now() - started;
  stopper.join();
  agent->postUsage(false);
  // The service holds the request for 30 seconds; only the stop can have ended it.
  EXPECT_LT(took, 10s);
  EXPECT_TRUE(agent->stopRequested());
  EXPECT_EQ(log.text(), "");
  EXPECT_EQ(requests().size(), 1u);
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
class ReferenceService : public testing::Test {
 protected:
  test::TempDir dir;
  std::unique_ptr<test::ChildProcess> process;
  int port = 0;

  void SetUp() override {
    const std::string binary = TETHER_SERVICE_BINARY;
    if (binary.empty() || !fs::exists(binary)) GTEST_SKIP() << "tether-service is not built";
    process = std::make_unique<test::ChildProcess>(std::vector<std::string>{
        binary, "--db", (dir / "service.db").string(), "--listen", "127.0.0.1:0"});
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (std::chrono::steady_clock::now() < deadline) {
      const std::string out = process->stdoutText();
      const auto at = out.find("listening on 127.0.0.1:");
      if (at != std::string::npos && out.find('\n', at) != std::string::npos) {
        port = std::stoi(out.substr(at + 23));
        break;
      }
      std::this_thread::sleep_for(10ms);
    }
    ASSERT_GT(port, 0) << process->stderrText();
  }
  void TearDown() override {
    if (!process) return;
    process->signal(SIGTERM);
    process->wait(5s);
  }

  std::string url() const { return "http://127.0.0.1:" + std::to_string(port); }

  // A parent request; the answer's JSON (null when it has none).
  json call(const std::string& method, const std::string& path, const std::string& token,
            const json& body, int expectedStatus) {
    httplib::Client client("127.0.0.1", port);
    httplib::Headers headers;
    if (!token.empty()) headers.emplace("Authorization", "Bearer " + token);
    const std::string text = body.is_null() ? std::string() : body.dump();
    httplib::Result res = method == "GET"   ? client.Get(path, headers)
                          : method == "PUT" ? client.Put(path, headers, text, "application/json")
                                            : client.Post(path, headers, text, "application/json");
    EXPECT_TRUE(res) << method << " " << path;
    if (!res) return nullptr;
    EXPECT_EQ(res->status, expectedStatus) << method << " " << path << ": " << res->body;
    return json::parse(res->body, nullptr, false);
  }

  std::unique_ptr<Agent> makeAgent(const std::string& token) {
    json file = json::parse(test::configJson(url()));
    file["deviceToken"] = token;
    auto config = AgentConfig::decode(file.dump());
    EXPECT_TRUE(config) << config.error();
    auto env = AgentEnvironment::system();
    env.inventoryRoot = dir / "no-apps";
    return std::make_unique<Agent>(*config, (dir / "config.json").string(), env);
  }
};

TEST_F(ReferenceService, AgentPollsAppliesResetsAndUploadsAsTheParentSees) {
  const json login =
      call("POST", "/v1/register", "",
           {{"email", "parent@example.com"}, {"password", "correct horse battery"}}, 201);
  const std::string account = login.value("apiToken", "");
  const json device = call("POST", "/v1/devices", account, {{"name", "Kid's Mac"}}, 201);
  const std::string deviceId =
      device["id"].is_string() ? device["id"].get<std::string>() : device["id"].dump();
  json policy = json::parse(kPolicy9);
  policy["domainLimits"] = {{"time.example", 30}};
  const json set = call("PUT", "/v1/devices/" + deviceId + "/policy", account, policy, 200);
  const int64_t rev = set.value("rev", int64_t{-1});

  const std::string today = Clock::todayStamp();
  test::writeFile(
      dir / "usage.json",
      R"({"date":")" + today + R"(","minutes":{"com.a":12.25,"web.example":0.04},"epoch":0})");
  auto agent = makeAgent(device.value("token", ""));
  test::CapturedStderr log;
  agent->poll();
  agent->poll();
  agent->postUsage(false);
  std::string text = log.text();
  const std::string policyLine = "] policy rev " + std::to_string(rev) +
                                 ": 2 app rule(s), 3 blocked domain(s), 1 domain limit(s)\n";
  EXPECT_THAT(text, HasSubstr(policyLine));
  EXPECT_EQ(text.find("policy rev"), text.rfind("policy rev"));
  EXPECT_THAT(text, Not(HasSubstr("failed")));

  const json reports = call("GET", "/v1/devices/" + deviceId + "/usage", account, nullptr, 200);
  ASSERT_TRUE(reports.is_array() && reports.size() == 1) << reports.dump();
  const json& report = reports[0];
  EXPECT_EQ(report["date"], today);
  EXPECT_EQ(report["minutes"], json::parse(R"({"com.a":12.3,"web.example":0.0})"));
  EXPECT_EQ(report["apps"], json::array());
  EXPECT_EQ(report["usageEpoch"], 0);
  std::vector<std::string> blocked = report["blockedNow"];
  EXPECT_TRUE(std::is_sorted(blocked.begin(), blocked.end()));
  EXPECT_EQ(blocked, agent->currentlyBlocked());

  // The parent resets today's usage: same rev, higher epoch.
  const json reset =
      call("POST", "/v1/devices/" + deviceId + "/usage/reset", account, nullptr, 200);
  agent->poll();
  text = log.text();
  EXPECT_THAT(text, HasSubstr("] usage reset by parent (epoch " +
                              std::to_string(reset.value("usageEpoch", int64_t{-1})) + ")\n"));
  EXPECT_EQ(text.find("policy rev"), text.rfind("policy rev"));
  EXPECT_TRUE(agent->usage().minutes.empty());
}

TEST_F(ReferenceService, UnknownDeviceTokenIsLoggedWithTheServiceBodyVerbatim) {
  auto agent = makeAgent("not-a-device-token");
  test::CapturedStderr log;
  agent->poll();
  agent->postUsage(true);
  EXPECT_THAT(log.text(),
              HasSubstr("] poll failed: HTTP 401: {\"detail\":\"invalid device token\"}\n"));
  EXPECT_THAT(log.text(),
              HasSubstr("] usage post failed: HTTP 401: {\"detail\":\"invalid device token\"}\n"));
}

}  // namespace
}  // namespace tether
