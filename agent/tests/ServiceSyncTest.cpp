// The agent's policy poll and usage upload against a real HTTP server on 127.0.0.1, and the agent
// program stopped by SIGTERM while a poll waits for the service.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <mutex>
#include <thread>

#include <nlohmann/json.hpp>

#include "Clock.h"
#include "Inventory.h"
#include "LoopbackServer.h"
#include "TestSupport.h"
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

// The stand-in service: records every request (method, path, authorization, content type; and
// body) and answers from settable fields.
class ServiceSync : public testing::Test {
 protected:
  std::mutex mutex;
  std::vector<std::pair<std::string, std::string>> seen;
  int policyStatus = 200;
  std::string policyBody = R"({"rev":0})";
  int usageStatus = 200;
  std::string usageBody;
  bool holdPolicy = false;
  std::string policyTag;                // sent as ETag when set; If-None-Match with it gets 304
  std::vector<std::string> conditions;  // each request's If-None-Match and content codings

  test::LoopbackServer server{[this](const httplib::Request& req, httplib::Response& res) {
    const bool policy = req.path.ends_with("/v1/policy");
    bool hold = false;
    {
      std::lock_guard lock(mutex);
      seen.push_back({req.method + " " + req.path + " " + req.get_header_value("Authorization") +
                          " " + req.get_header_value("Content-Type"),
                      req.body});
      conditions.push_back(req.get_header_value("If-None-Match") + "|" +
                           req.get_header_value("Accept-Encoding") + "|" +
                           req.get_header_value("Content-Encoding"));
      res.status = policy ? policyStatus : usageStatus;
      res.set_content(policy ? policyBody : usageBody, "application/json");
      if (policy && !policyTag.empty()) {
        res.set_header("ETag", policyTag);
        if (req.get_header_value("If-None-Match") == policyTag) {
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
      [this](const std::atomic<bool>& cancelled) { return Inventory::scan(apps.path(), &cancelled); };

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
  std::vector<std::pair<std::string, std::string>> requests() {
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

TEST_F(ServiceSync, FirstPollAppliesThePolicyAndLogsItsCounts) {
  auto agent = makeAgent();
  answerPolicy(kPolicy9);
  test::CapturedStderr log;
  agent->poll();
  EXPECT_THAT(log.text(),
              HasSubstr("] policy rev 9: 2 app rule(s), 3 blocked domain(s), 0 domain limit(s)\n"));
  EXPECT_TRUE(agent->dns().isBlocked("www.b.example"));
  EXPECT_EQ(requests(), (std::vector<std::pair<std::string, std::string>>{
                            {"GET /v1/policy Bearer device-token ", ""}}));

  // The same answer again changes nothing and logs nothing; once another policy is in force,
  // the same answer is applied again.
  agent->poll();
  EXPECT_EQ(test::count(log.text(), "policy rev 9"), 1u);
  agent->applyPolicy(*Policy::decode(R"({"rev":3})"));
  agent->poll();
  EXPECT_EQ(agent->policy().rev, 9);
  EXPECT_EQ(test::count(log.text(), "policy rev 9"), 2u);
}

// The service names its answer with a tag; the agent asks with it while that policy is in force,
// and an answer 304 changes nothing and costs no body. Bodies come and go in gzip once the service
// has sent one so.
TEST_F(ServiceSync, PolicyIsAskedForByTheTagOfTheOneInForceAnd304ChangesNothing) {
  auto agent = makeAgent();
  test::CapturedStderr log;
  answerPolicy(kPolicy9, 200, "\"nine\"");
  agent->poll();
  agent->poll();
  EXPECT_EQ(agent->policy().rev, 9);
  EXPECT_EQ(test::count(log.text(), "\n"), 1u) << log.text();  // the one policy line
  // A reset comes with another tag (the tag covers usageEpoch): applied.
  answerPolicy(R"({"rev":9,"usageEpoch":1})", 200, "\"nine-1\"");
  agent->poll();
  EXPECT_THAT(log.text(), HasSubstr("] usage reset by parent (epoch 1)\n"));
  // Once another policy is in force the tag no longer describes it: asked for without one.
  agent->applyPolicy(*Policy::decode(R"({"rev":3})"));
  agent->poll();
  EXPECT_EQ(agent->policy().rev, 9);
  agent->postUsage(false);
  std::lock_guard lock(mutex);
  EXPECT_EQ(conditions, (std::vector<std::string>{"|gzip|", "\"nine\"|gzip|", "\"nine\"|gzip|",
                                                  "|gzip|", "|gzip|gzip"}));
  EXPECT_EQ(json::parse(seen.back().second)["usageEpoch"], 1);  // decoded by the stand-in
}

TEST_F(ServiceSync, RisenEpochResetsUsageBeforeAndIndependentlyOfTheRevision) {
  test::writeFile(dir / "usage.json", test::usageJson(Clock::todayStamp(), R"({"com.a":5})"));
  auto agent = makeAgent();
  test::CapturedStderr log;
  answerPolicy(R"({"rev":9,"usageEpoch":0})");
  agent->poll();
  // Same rev, epoch one higher: usage cleared, the policy is not replaced.
  answerPolicy(R"({"rev":9,"usageEpoch":1,"domains":["new.example"]})");
  agent->poll();
  EXPECT_EQ(agent->usage(), (UsageState{Clock::todayStamp(), {}, 1}));
  EXPECT_TRUE(agent->siteIndex().empty());
  EXPECT_THAT(log.text(), HasSubstr("] usage reset by parent (epoch 1)\n"));
  EXPECT_EQ(test::count(log.text(), "policy rev"), 1u);
  // A new rev with a higher epoch logs the reset first.
  answerPolicy(R"({"rev":10,"usageEpoch":2})");
  agent->poll();
  const std::string text = log.text();
  const auto reset = text.find("usage reset by parent (epoch 2)");
  ASSERT_NE(reset, std::string::npos);
  EXPECT_LT(reset, text.find("policy rev 10: 0 app rule(s)"));
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
    bool reset = false;
    for (int k = 0; k < 200 && !reset; ++k) {
      std::this_thread::sleep_for(50ms);
      reset = log.text().find("(epoch 3)") != std::string::npos;
    }
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
  answerPolicy("\xFF\xFE", 500);  // not UTF-8: shown as the empty text
  agent->poll();
  EXPECT_THAT(log.text(), HasSubstr("] poll failed: HTTP 500: \n"));
  // A long body is shown up to its first 4 KiB, cut before a character that would not fit.
  answerPolicy(std::string(4095, 'x') + "\u00e9" + std::string(5000, 'y'), 502);
  agent->poll();
  EXPECT_THAT(log.text(), HasSubstr("] poll failed: HTTP 502: " + std::string(4095, 'x') +
                                    " \u2026 (9097 bytes)\n"));

  // An empty answer with status 204 fails the poll but is a successful upload.
  answerPolicy("", 204);
  answerUsage("", 204);
  agent->poll();
  agent->postUsage(false);
  EXPECT_EQ(test::count(log.text(), "] poll failed: "), 4u);
  EXPECT_EQ(test::count(log.text(), "] usage post failed: "), 1u);
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
  auto r = requests();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].first, "POST //v1/usage Bearer device-token application/json");
  EXPECT_EQ(json::parse(r[0].second), json::parse(R"({"date":")" + today + R"(","usageEpoch":3,
      "minutes":{"com.a":12.3,"b":2.5,"c":0.1,"d":0.0,"e":12.3},"apps":[],"timeZone":"Asia/Tokyo",
      "blockedNow":["aa.example","com.blocked","mm.example","zz.example"]})"));
  EXPECT_EQ(agent->usage().minutes.at("e"), 12.345);  // unrounded in the agent

  agent->postUsage(true);
  EXPECT_EQ(json::parse(requests().at(1).second)["apps"],
            json::parse(R"([{"name":"Notes","bundleId":"com.example.notes"}])"));
}

// A million blocked names would make a report of 30 MB: beyond a thousand, the hosts of plain
// block rules are counted instead of listed. Applications and limited hosts are always listed.
TEST_F(ServiceSync, ReportListsPlainBlockedHostsOnlyUpToAThousandAndCountsThemBeyond) {
  auto agent = makeAgent();
  for (const std::size_t hosts : {Agent::kReportedBlockHosts, Agent::kReportedBlockHosts + 1}) {
    json policy = json::parse(R"({"rev":2,"domainLimits":{"mm.example":0,"tt.example":30},
        "apps":{"com.blocked":{"dailyLimitMinutes":0}}})");
    policy["rev"] = hosts;
    for (std::size_t i = 0; i < hosts; ++i) policy["domains"].push_back("h" + std::to_string(i));
    agent->applyPolicy(*Policy::decode(policy.dump()));
    agent->postUsage(false);
    const json report = json::parse(requests().back().second);
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
  for (int i = 0; i < 200 && test::count(requests().back().second, "com.example.late") == 0; ++i) {
    std::this_thread::sleep_for(10ms);
    agent->postUsage(false);
  }
  agent->postUsage(false);
  std::vector<json> sent;
  for (const auto& [line, body] : requests()) sent.push_back(json::parse(body)["apps"]);
  ASSERT_GE(sent.size(), 3u);
  EXPECT_EQ(sent.front(), json::array());
  EXPECT_EQ(sent[sent.size() - 2], json::parse(R"([{"name":"Late","bundleId":"com.example.late"}])"));
  EXPECT_EQ(sent.back(), json::array());  // taken once
}

TEST_F(ServiceSync, BrokenPolicyBodiesAreRefusedWholeAndThePolicyInForceStays) {
  auto agent = makeAgent();
  answerPolicy(kPolicy9);
  agent->poll();
  const auto rulesInForce = agent->dns().siteRules();
  const UsageState usageBefore = agent->usage();
  const std::string fileBefore = test::readFile(dir / "usage.json");
  // A wrong type and a cut body with a higher rev and usageEpoch that must not take effect.
  const std::string bodies[] = {R"({"rev":10,"usageEpoch":9,"domains":["a.test",5]})",
                                R"({"rev":10,"usageEpoch":9,"domains":["a.test")"};
  test::CapturedStderr log;
  for (const std::string& body : bodies) {
    answerPolicy(body);
    agent->poll();
    ASSERT_EQ(agent->policy().rev, 9) << body.substr(0, 80);
  }
  EXPECT_EQ(test::count(log.text(), "] poll failed: "), std::size(bodies));
  EXPECT_EQ(test::count(log.text(), "\n"), std::size(bodies));
  EXPECT_EQ(agent->dns().siteRules(), rulesInForce);
  EXPECT_EQ(agent->usage(), usageBefore);
  EXPECT_EQ(test::readFile(dir / "usage.json"), fileBefore);
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

}  // namespace
}  // namespace tether
