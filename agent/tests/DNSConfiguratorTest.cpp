// System DNS switching through networksetup, against the stand-in tool that keeps each service's
// servers in files and answers with the real tool's messages.
#include "dns/DNSConfigurator.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "DNSTestSupport.h"
#include "TestSupport.h"

namespace tether {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using test::readFile;
using test::writeFile;
using testing::HasSubstr;
using testing::Not;

class DNSConfiguratorTest : public testing::Test {
 protected:
  test::TempDir config;
  test::TempDir state;
  fs::path tool = state / "networksetup";
  // The calls show each argument after a "|", so a name with spaces shows as one argument.
  test::FakeNetworkSetup fake{state / "services-state",
                              "An asterisk (*) denotes that a network service is disabled.\n"
                              "Wi-Fi\n*Bluetooth PAN\nUSB 10/100/1000 LAN\n"};

  void SetUp() override {
    fake.install(tool);
    fake.setServers("Wi-Fi", "192.168.1.1\n8.8.8.8\n");
    fake.setServers("Bluetooth PAN", "10.0.0.1\n");
  }
  fs::path backupPath() const { return config / "dns-backup.json"; }
  json backup() const { return json::parse(readFile(backupPath()), nullptr, false); }
};

// Switching the enabled services and back, in order, is tested on the agent's whole road
// (WholeAgentTest).
TEST_F(DNSConfiguratorTest, ADamagedBackupIsReplacedAndALaterApplyOnlyAddsNewServicesToIt) {
  writeFile(backupPath(), "{not json");
  EXPECT_FALSE(DNSConfigurator::apply(config.path(), tool));
  json original = json::parse(R"({"Wi-Fi":["192.168.1.1","8.8.8.8"],"USB 10/100/1000 LAN":[]})");
  EXPECT_EQ(backup(), original);
  EXPECT_EQ(fake.servers("USB 10/100/1000 LAN"), "127.0.0.1\n");
  // After a crash the servers point at the proxy: they are not what to restore. A service that
  // appeared since is backed up before it is switched too.
  writeFile(state / "services-state" / "services", "Wi-Fi\nThunderbolt Bridge\n");
  fake.setServers("Thunderbolt Bridge", "10.0.0.9\n");
  EXPECT_FALSE(DNSConfigurator::apply(config.path(), tool));
  original["Thunderbolt Bridge"] = {"10.0.0.9"};
  EXPECT_EQ(backup(), original);
  EXPECT_EQ(fake.servers("Thunderbolt Bridge"), "127.0.0.1\n");
}

TEST_F(DNSConfiguratorTest, RestoreTurnsEveryFormOfNoServersIntoEmpty) {
  writeFile(backupPath(), R"({"A":[],"B":["Empty"],"C":["There aren't any DNS Servers set on C."],
      "D":["There aren't any DNS Servers set on A."]})");
  DNSConfigurator::restore(config.path(), tool);
  for (const char* service : {"A", "B", "C"}) {
    EXPECT_THAT(fake.calls(), HasSubstr(std::string("3|-setdnsservers|") + service + "|Empty\n"));
  }
  // Only the message naming the service itself counts as "none".
  EXPECT_THAT(fake.calls(),
              HasSubstr("3|-setdnsservers|D|There aren't any DNS Servers set on A.\n"));
}

TEST_F(DNSConfiguratorTest, NoReadableBackupRestoresNothingAndAnUnwritableOneChangesNothing) {
  test::CapturedStderr log;
  DNSConfigurator::restore(config.path(), tool);
  writeFile(backupPath(), R"({"Wi-Fi":"1.1.1.1"})");
  DNSConfigurator::restore(config.path(), tool);
  EXPECT_EQ(fake.calls(), "");
  EXPECT_EQ(log.text(), "");
  EXPECT_TRUE(fs::exists(backupPath()));

  EXPECT_THAT(DNSConfigurator::apply(config / "missing-folder", tool).value_or(""),
              HasSubstr("dns-backup.json could not be written"));
  EXPECT_THAT(fake.calls(), Not(HasSubstr("-setdnsservers")));
}

TEST_F(DNSConfiguratorTest, MissingToolWritesNoBackupChangesNothingAndRestoreKeepsTheBackup) {
  test::CapturedStderr log;
  const fs::path missing = state / "no-such-tool";
  // A failed listing is no listing of zero services: an empty backup would later stand for
  // servers it never saw.
  EXPECT_TRUE(DNSConfigurator::apply(config.path(), missing));
  EXPECT_FALSE(fs::exists(backupPath()));
  EXPECT_EQ(log.text(), "");
  // An empty backup restores nothing and is removed.
  writeFile(backupPath(), "{}");
  DNSConfigurator::restore(config.path(), missing);
  EXPECT_FALSE(fs::exists(backupPath()));

  // A backup whose servers cannot be put back is the only record of them: it stays.
  writeFile(backupPath(), R"({"Wi-Fi":["192.168.1.1"]})");
  DNSConfigurator::restore(config.path(), missing);
  EXPECT_TRUE(fs::exists(backupPath()));
  EXPECT_THAT(log.text(), HasSubstr("dns-backup.json kept"));
  DNSConfigurator::restore(config.path(), tool);
  EXPECT_EQ(fake.servers("Wi-Fi"), "192.168.1.1\n");
}

// The agent's side: a switch that failed is tried again every cycle, and servers that an earlier
// run left pointing at the proxy are put back whenever no proxy serves.
TEST_F(DNSConfiguratorTest, AgentRetriesAFailedSwitchEveryCycleAndPutsBackLeftoversWithoutAProxy) {
  const auto makeAgent = [&](uint16_t port, bool enableDNS) {
    auto env = AgentEnvironment::system();
    env.networkSetupTool = tool;
    env.dnsListenPort = port;
    env.processes = std::make_shared<test::FakeProcessTable>();
    env.inventory = [](const std::atomic<bool>&) { return std::vector<InstalledApp>{}; };
    return test::makeAgent(config.path(), env,
                           test::configJson("http://127.0.0.1:9", 3, 15, enableDNS));
  };
  // The backup cannot be written (a folder stands in its place, as a full disk would refuse it):
  // nothing changes until it can be.
  fs::create_directory(backupPath());
  test::CapturedStderr log;
  auto agent = makeAgent(0, true);
  agent->startDNS();
  agent->sampleAndEnforce();
  EXPECT_EQ(fake.servers("Wi-Fi"), "192.168.1.1\n8.8.8.8\n");
  fs::remove(backupPath());
  agent->sampleAndEnforce();
  agent->sampleAndEnforce();
  EXPECT_EQ(fake.servers("Wi-Fi"), "127.0.0.1\n");
  EXPECT_EQ(test::count(log.text(), "] system DNS servers left unchanged: "), 1u);
  EXPECT_EQ(test::count(log.text(), "] set DNS to 127.0.0.1 on 2 service(s)\n"), 1u);
  agent->shutdown();
  EXPECT_EQ(fake.servers("Wi-Fi"), "192.168.1.1\n8.8.8.8\n");

  for (const bool enableDNS : {true, false}) {
    writeFile(backupPath(), R"({"Wi-Fi":["192.168.1.1"]})");
    fake.setServers("Wi-Fi", "127.0.0.1\n");
    const test::UdpSocket taken;  // the proxy cannot bind its port
    auto again = makeAgent(taken.port(), enableDNS);
    again->requestStop();
    again->run();  // the start-up part only
    EXPECT_EQ(fake.servers("Wi-Fi"), "192.168.1.1\n") << enableDNS;
    EXPECT_FALSE(fs::exists(backupPath())) << enableDNS;
  }
}

}  // namespace
}  // namespace tether
