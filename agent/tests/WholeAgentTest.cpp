// The real KinwardAgent against the real reference service, with its DNS proxy on port 53, dnsmasq
// upstream on 127.0.0.2 and a stand-in /usr/sbin/networksetup, all inside private namespaces (the
// test runs itself again inside them; root only). The test plays the tab helper.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "Clock.h"
#include "TabState.h"
#include "TestSupport.h"

namespace tether {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using namespace std::chrono_literals;
using testing::HasSubstr;

using Addresses = std::vector<std::string>;

constexpr const char* kWorkFlag = "--whole-agent-work=";
constexpr const char* kGame = "com.tether.demo-game";
constexpr const char* kLimited = "videos.example.test";
constexpr const char* kUpstreamAnswer = "192.0.2.10";
// The parent writes an international name as people do; browsers look up its ASCII form.
constexpr const char* kPolicy = R"({
  "apps": {"com.tether.demo-game": {"dailyLimitMinutes": 0}},
  "domains": ["games.example.test", "b\u00fccher.de"], "domainAllow": ["learn.games.example.test"],
  "domainLimits": {"videos.example.test": 1}})";
constexpr const char* kInternational = "xn--bcher-kva.de";

// Inside the namespaces the command line carries the folder that the outer run made.
std::optional<fs::path> insideWorkFolder() {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  for (std::string arg; std::getline(in, arg, '\0');) {
    if (arg.starts_with(kWorkFlag)) return fs::path(arg.substr(std::strlen(kWorkFlag)));
  }
  return std::nullopt;
}

std::optional<std::string> findTool(const std::string& name) {
  for (const char* dir : {"/usr/bin", "/usr/sbin", "/bin", "/sbin"}) {
    const fs::path candidate = fs::path(dir) / name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate.string();
  }
  return std::nullopt;
}

json readJson(const fs::path& path) { return json::parse(test::readFile(path), nullptr, false); }

// The agent's report rounding: one decimal, halves away from zero.
json roundedMinutes(json minutes) {
  for (auto& [key, value] : minutes.items()) value = std::round(double(value) * 10) / 10;
  return minutes;
}

class WholeAgent : public testing::Test {
 protected:
  void SetUp() override {
    const auto folder = insideWorkFolder();
    if (!folder) return;  // the outer run: the test body runs the test again inside
    // Mounting over /usr/sbin is only ever done as the first process of a fresh namespace.
    ASSERT_EQ(::getpid(), 1) << kWorkFlag << " is for the run inside the namespaces";
    work_ = *folder;
    prepareNetwork();
    if (!HasFatalFailure()) startServiceAndAgent();
  }

  void TearDown() override {
    agent_.reset();
    service_.reset();
    resolver_.reset();
    if (sbinMounted_) ::umount2("/usr/sbin", MNT_DETACH);
  }

  // Runs this test again inside private network, mount and process namespaces, and takes its
  // result over. Killing unshare kills everything inside, and the folder is removed here.
  void runInsideNamespaces() {
    if (::geteuid() != 0) {
      GTEST_SKIP() << "the whole-agent test needs root: it runs the agent's DNS proxy on port 53 "
                      "and a stand-in /usr/sbin/networksetup inside private namespaces";
    }
    for (const char* tool : {"unshare", "env", "ip", "dnsmasq", "dig"}) {
      if (!findTool(tool)) GTEST_SKIP() << tool << " is missing (scripts/install-deps.sh)";
    }
    const std::string service = TETHER_SERVICE_BINARY;
    if (service.empty() || !fs::exists(service)) GTEST_SKIP() << "tether-service is not built";

    test::TempDir work;
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    test::ChildProcess run(
        {*findTool("unshare"), "--net", "--mount", "--pid", "--fork", "--kill-child",
         "--mount-proc", "--", *findTool("env"), "TMPDIR=" + work.path().string(),
         fs::read_symlink("/proc/self/exe").string(),
         std::string("--gtest_filter=") + info->test_suite_name() + "." + info->name(),
         "--gtest_color=no", kWorkFlag + work.path().string()});
    const auto status = run.wait(200s);
    const std::string output = run.stdoutText() + run.stderrText();
    ASSERT_TRUE(status) << "the run inside did not end within 200 s:\n" << output;
    if (*status != 0 && output.starts_with("unshare:")) {
      GTEST_SKIP() << "no private namespaces here: " << output;
    }
    EXPECT_EQ(*status, 0) << output;
  }

  // Loopback, the upstream resolver and the stand-in networksetup.
  void prepareNetwork() {
    ASSERT_EQ(test::run({*findTool("ip"), "link", "set", "lo", "up"}).status, 0);
    netsetup_.emplace(work_ / "networksetup",
                      "An asterisk (*) denotes that a network service is disabled.\n"
                      "Wi-Fi\nThunderbolt Ethernet\n*Bluetooth PAN\n");
    netsetup_->setServers("Wi-Fi", "192.168.1.1\n9.9.9.9\n");
    netsetup_->setServers("Bluetooth PAN", "10.0.0.1\n");
    const fs::path upper = work_ / "sbin-upper", scratch = work_ / "sbin-work";
    fs::create_directories(upper);
    fs::create_directories(scratch);
    netsetup_->install(upper / "networksetup");
    const std::string options =
        "lowerdir=/usr/sbin,upperdir=" + upper.string() + ",workdir=" + scratch.string();
    if (::mount("overlay", "/usr/sbin", "overlay", 0, options.c_str()) != 0) {
      // No overlay file system here: a copy of /usr/sbin with the stand-in added.
      const fs::path copy = work_ / "sbin-copy";
      fs::copy("/usr/sbin", copy, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
      fs::copy_file(upper / "networksetup", copy / "networksetup");
      ASSERT_EQ(::mount(copy.c_str(), "/usr/sbin", nullptr, MS_BIND, nullptr), 0)
          << std::strerror(errno);
    }
    sbinMounted_ = true;
    ASSERT_EQ(test::run({"/usr/sbin/networksetup", "-getdnsservers", "Wi-Fi"}).out,
              "192.168.1.1\n9.9.9.9\n")
        << "the stand-in networksetup is not in place";

    resolver_ = std::make_unique<test::ChildProcess>(std::vector<std::string>{
        *findTool("dnsmasq"), "--no-daemon", "--conf-file=/dev/null", "--no-resolv", "--no-hosts",
        "--listen-address=127.0.0.2", "--bind-interfaces", "--port=53",
        std::string("--address=/example.test/") + kUpstreamAnswer});
    ASSERT_TRUE(waitFor(10s, [&] {
      return resolve("ready.example.test", "127.0.0.2") == Addresses{kUpstreamAnswer};
    })) << resolver_->stderrText();
  }

  // The service with a parent, a device and the policy; then the agent for that device.
  void startServiceAndAgent() {
    service_ = std::make_unique<test::ChildProcess>(std::vector<std::string>{
        TETHER_SERVICE_BINARY, "--db", (work_ / "service.db").string(), "--listen", "127.0.0.1:0"});
    ASSERT_TRUE(service_->waitFor("listening on 127.0.0.1:", 20s, "stdout"))
        << service_->stderrText();
    port_ = std::stoi(service_->stdoutText().substr(23));
    account_ = call("POST", "/v1/register", "",
                    {{"email", "parent@example.test"}, {"password", "demo-password"}})
                   .value("apiToken", "");
    const json device = call("POST", "/v1/devices", account_, {{"name", "Demo Mac"}});
    deviceId_ = device["id"].dump();
    const json policy =
        call("PUT", "/v1/devices/" + deviceId_ + "/policy", account_, json::parse(kPolicy));
    ASSERT_EQ(policy.value("rev", -1), 1) << policy;

    test::writeFile(work_ / "config.json",
                    json{{"serverURL", "http://127.0.0.1:" + std::to_string(port_)},
                         {"deviceToken", device.value("token", "")},
                         {"pollIntervalSeconds", 2},
                         {"sampleIntervalSeconds", 1},
                         {"upstreamDNS", "127.0.0.2"},
                         {"enableDNS", true}}
                        .dump());
    agent_ = std::make_unique<test::ChildProcess>(std::vector<std::string>{
        test::agentBinary(), "--config", (work_ / "config.json").string()});
    ASSERT_TRUE(agent_->waitFor(
        "policy rev 1: 1 app rule(s), 2 blocked domain(s), 1 domain limit(s)\n", 30s))
        << agent_->stderrText();
  }

  // A request to the service as the parent; the answer's JSON (null when it fails).
  json call(const std::string& method, const std::string& path, const std::string& token,
            const json& body = nullptr) {
    httplib::Client client("127.0.0.1", port_);
    const httplib::Headers headers{{"Authorization", "Bearer " + token}};
    const std::string text = body.is_null() ? std::string() : body.dump();
    const auto res = method == "GET"   ? client.Get(path, headers)
                     : method == "PUT" ? client.Put(path, headers, text, "application/json")
                                       : client.Post(path, headers, text, "application/json");
    EXPECT_TRUE(res && res->status < 300) << method << " " << path;
    return res ? json::parse(res->body, nullptr, false) : json();
  }

  // The last usage report the service holds for the device.
  json latestReport() {
    const json reports = call("GET", "/v1/devices/" + deviceId_ + "/usage", account_);
    return reports.is_array() && !reports.empty() ? reports.back() : json();
  }

  // The addresses in the answer to a query through dig; empty when there are none.
  Addresses resolve(const std::string& name, const std::string& server = "127.0.0.1",
                    const char* transport = "+notcp") {
    const auto r = test::run(
        {*findTool("dig"), "+short", "+time=2", "+tries=1", transport, "@" + server, name});
    Addresses addresses;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) addresses.push_back(line);
    return addresses;
  }

  // One tick of the tab helper: Safari in front on the limited site, unless a fresh request
  // asks to leave the page, which the helper does by blanking the tab (no host any more).
  void tabHelperTick() {
    const double now = std::chrono::duration<double>(
        std::chrono::system_clock::now().time_since_epoch()).count();
    const auto request = TabState::readEnforce(work_ / "state" / "enforce.json");
    tabBlanked_ |= request && request->evict && TabState::isObeyable(*request, now);
    TabSnapshot snapshot{now, "com.apple.Safari", std::nullopt, false, 2, false};
    if (!tabBlanked_) snapshot.host = kLimited;
    fs::create_directories(work_ / "state");
    TabState::writeSnapshot(snapshot, work_ / "state" / "tab.json");
    lastTick_ = std::chrono::steady_clock::now();
  }

  // Polls done() for up to timeout; with browsing, the tab helper ticks every second meanwhile.
  bool waitFor(std::chrono::seconds timeout, const std::function<bool()>& done,
               bool browsing = false) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      if (browsing && std::chrono::steady_clock::now() - lastTick_ >= 1s) tabHelperTick();
      if (done()) return true;
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(100ms);
    }
  }
  bool browseUntil(std::chrono::seconds timeout, const std::function<bool()>& done) {
    return waitFor(timeout, done, true);
  }

  // The usage file, and its minutes (an empty object while it cannot be read).
  json usageFile() const { return readJson(work_ / "usage.json"); }
  json usedMinutes() const {
    const json usage = usageFile();
    return usage.is_object() ? usage.value("minutes", json::object()) : json::object();
  }
  bool evictRequested() const {
    const auto request = TabState::readEnforce(work_ / "state" / "enforce.json");
    return request && request->evict;
  }

  fs::path work_;
  std::optional<test::FakeNetworkSetup> netsetup_;
  bool sbinMounted_ = false;
  std::unique_ptr<test::ChildProcess> resolver_, service_, agent_;
  int port_ = 0;
  std::string account_, deviceId_;
  bool tabBlanked_ = false;
  std::chrono::steady_clock::time_point lastTick_;
};

TEST_F(WholeAgent, EnforcesTheParentsPolicyAndLeavesUsageDNSAndServiceInAgreementOnSigterm) {
  if (work_.empty()) return runInsideNamespaces();  // the outer run

  // Start-up: the proxy serves, every enabled service points at it, the old servers are kept.
  EXPECT_THAT(agent_->stderrText(),
              HasSubstr("] dns proxy listening on 0.0.0.0:53 via 127.0.0.2\n"));
  EXPECT_THAT(agent_->stderrText(), HasSubstr("] set DNS to 127.0.0.1 on 2 service(s)\n"));
  EXPECT_EQ(netsetup_->servers("Wi-Fi"), "127.0.0.1\n");
  EXPECT_EQ(netsetup_->servers("Thunderbolt Ethernet"), "127.0.0.1\n");
  EXPECT_EQ(netsetup_->servers("Bluetooth PAN"), "10.0.0.1\n");
  EXPECT_EQ(readJson(work_ / "dns-backup.json"),
            json::parse(R"({"Wi-Fi":["192.168.1.1","9.9.9.9"],"Thunderbolt Ethernet":[]})"));

  // A blocked application is terminated: SIGTERM, or SIGKILL when it appeared only during the
  // cycle's pause between the two.
  test::ChildProcess game(
      {test::makeAppBundle(work_ / "DemoGame.app", test::infoPlist(kGame), "DemoGame"), "600"});
  EXPECT_THAT(game.wait(20s), testing::Optional(testing::AnyOf(128 + SIGTERM, 128 + SIGKILL)));

  // Names through the proxy, before any tab snapshot: limits fail closed.
  EXPECT_EQ(resolve("a.games.example.test"), Addresses{"0.0.0.0"});
  EXPECT_EQ(resolve("learn.games.example.test"), Addresses{kUpstreamAnswer});
  EXPECT_EQ(resolve("www.example.test"), Addresses{kUpstreamAnswer});
  EXPECT_EQ(resolve(kLimited), Addresses{"0.0.0.0"});
  EXPECT_EQ(resolve(kInternational), Addresses{"0.0.0.0"});
  EXPECT_EQ(resolve(std::string("www.") + kInternational), Addresses{"0.0.0.0"});
  // The same over TCP, on 127.0.0.1 only: the upstream on 127.0.0.2 keeps its own port 53.
  EXPECT_EQ(resolve("a.games.example.test", "127.0.0.1", "+tcp"), Addresses{"0.0.0.0"});
  EXPECT_EQ(resolve("www.example.test", "127.0.0.1", "+tcp"), Addresses{kUpstreamAnswer});

  // Safari on the limited site: counted, then evicted and sinkholed once the minute is used.
  const auto used = [&] { return usedMinutes().value(kLimited, 0.0); };
  ASSERT_TRUE(browseUntil(20s, [&] { return used() > 0; }));
  EXPECT_EQ(resolve(kLimited), Addresses{kUpstreamAnswer});
  EXPECT_FALSE(evictRequested());
  ASSERT_TRUE(browseUntil(120s, [&] { return evictRequested(); }))
      << usageFile() << agent_->stderrText();
  // The request is written before the usage file in the same cycle.
  EXPECT_TRUE(browseUntil(5s, [&] { return used() >= 1.0; })) << usageFile();
  EXPECT_TRUE(browseUntil(10s, [&] { return resolve(kLimited) == Addresses{"0.0.0.0"}; }));
  EXPECT_EQ(resolve("www.videos.example.test"), Addresses{"0.0.0.0"});
  ASSERT_TRUE(browseUntil(5s, [&] { return tabBlanked_; }));

  // The next upload carries the used-up host and the minutes, which no longer grow.
  json report;
  const bool reported = browseUntil(15s, [&] {
    report = latestReport();
    return report.is_object() && report["minutes"] == roundedMinutes(usedMinutes()) &&
           report["blockedNow"] == json({kGame, "games.example.test", kLimited, kInternational});
  });
  ASSERT_TRUE(reported) << report << "\n" << usageFile();
  EXPECT_EQ(report.value("date", ""), Clock::todayStamp());
  EXPECT_EQ(report.value("usageEpoch", -1), 0);
  EXPECT_FALSE(report.value("timeZone", "").empty());

  // SIGTERM: a clean stop that restores the servers from before the agent.
  agent_->signal(SIGTERM);
  EXPECT_EQ(agent_->wait(15s), 0);
  EXPECT_THAT(agent_->stderrText(), HasSubstr("] restored previous DNS servers\n"));
  EXPECT_FALSE(fs::exists(work_ / "dns-backup.json"));
  EXPECT_EQ(netsetup_->servers("Wi-Fi"), "192.168.1.1\n9.9.9.9\n");
  EXPECT_EQ(netsetup_->servers("Thunderbolt Ethernet"), "");
  EXPECT_THAT(netsetup_->calls(), testing::Not(HasSubstr("Bluetooth")));
  const json usage = usageFile();
  EXPECT_EQ(usage.value("date", ""), report.value("date", "?"));
  EXPECT_EQ(usage.value("epoch", -1), report.value("usageEpoch", -2));
  EXPECT_EQ(roundedMinutes(usedMinutes()), latestReport()["minutes"]);

  // Offline: with the service gone, the agent started again enforces the policy it kept, from
  // its first cycle on.
  struct stat kept {};
  ASSERT_EQ(::stat((work_ / "policy.json").c_str(), &kept), 0);
  EXPECT_EQ(kept.st_uid, 0u);
  EXPECT_EQ(kept.st_mode & 0777, 0600u);
  service_.reset();
  test::ChildProcess offlineGame(
      {test::makeAppBundle(work_ / "OfflineGame.app", test::infoPlist(kGame), "DemoGame"), "600"});
  agent_ = std::make_unique<test::ChildProcess>(std::vector<std::string>{
      test::agentBinary(), "--config", (work_ / "config.json").string()});
  ASSERT_TRUE(agent_->waitFor("] policy rev 1 from disk\n", 10s)) << agent_->stderrText();
  EXPECT_THAT(offlineGame.wait(10s), testing::Optional(testing::AnyOf(128 + SIGTERM, 128 + SIGKILL)))
      << agent_->stderrText();
  EXPECT_THAT(agent_->stderrText(), HasSubstr("] poll failed: "));
  EXPECT_EQ(resolve("a.games.example.test"), Addresses{"0.0.0.0"});
  EXPECT_EQ(resolve(kLimited), Addresses{"0.0.0.0"});
  EXPECT_EQ(resolve("learn.games.example.test"), Addresses{kUpstreamAnswer});
}

}  // namespace
}  // namespace tether
