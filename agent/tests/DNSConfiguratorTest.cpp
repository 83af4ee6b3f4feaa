// System DNS switching through networksetup, against the stand-in tool that keeps each service's
// servers in files and answers with the real tool's messages.
#include "dns/DNSConfigurator.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

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
TEST_F(DNSConfiguratorTest, ADamagedBackupIsReplacedAndASecondApplyKeepsTheFirstBackup) {
  writeFile(backupPath(), "{not json");
  DNSConfigurator::apply(config.path(), tool);
  const json original = json::parse(R"({"Wi-Fi":["192.168.1.1","8.8.8.8"],
                                        "USB 10/100/1000 LAN":[]})");
  EXPECT_EQ(backup(), original);
  EXPECT_EQ(fake.servers("USB 10/100/1000 LAN"), "127.0.0.1\n");
  // After a crash the servers point at the proxy: they are not what to restore.
  DNSConfigurator::apply(config.path(), tool);
  EXPECT_EQ(backup(), original);
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

  DNSConfigurator::apply(config / "missing-folder", tool);
  EXPECT_THAT(fake.calls(), Not(HasSubstr("-setdnsservers")));
  EXPECT_THAT(log.text(), HasSubstr("system DNS servers left unchanged"));
}

TEST_F(DNSConfiguratorTest, MissingToolAppliesToNoServiceAndRestoreKeepsTheBackup) {
  test::CapturedStderr log;
  const fs::path missing = state / "no-such-tool";
  DNSConfigurator::apply(config.path(), missing);
  EXPECT_EQ(readFile(backupPath()), "{}");
  EXPECT_THAT(log.text(), HasSubstr("set DNS to 127.0.0.1 on 0 service(s)"));
  // An empty backup restores nothing and is removed.
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

}  // namespace
}  // namespace tether
