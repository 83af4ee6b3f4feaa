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

TEST_F(DNSConfiguratorTest, ApplyBacksUpEnabledServicesOnlyOnceAndPointsThemAtTheProxy) {
  writeFile(backupPath(), "{not json");  // damaged: replaced with the current servers
  test::CapturedStderr log;
  DNSConfigurator::apply(config.path(), tool);
  const json original = json::parse(R"({"Wi-Fi":["192.168.1.1","8.8.8.8"],
                                        "USB 10/100/1000 LAN":[]})");
  EXPECT_EQ(backup(), original);
  EXPECT_EQ(fake.servers("Wi-Fi"), "127.0.0.1\n");
  EXPECT_EQ(fake.servers("USB 10/100/1000 LAN"), "127.0.0.1\n");
  // The disabled service is neither read nor changed.
  EXPECT_EQ(fake.servers("Bluetooth PAN"), "10.0.0.1\n");
  EXPECT_THAT(fake.calls(), Not(HasSubstr("Bluetooth")));
  EXPECT_THAT(fake.calls(), HasSubstr("3|-setdnsservers|USB 10/100/1000 LAN|127.0.0.1\n"));
  EXPECT_THAT(log.text(), HasSubstr("] set DNS to 127.0.0.1 on 2 service(s)\n"));

  // A second apply keeps the first backup.
  DNSConfigurator::apply(config.path(), tool);
  EXPECT_EQ(backup(), original);
}

TEST_F(DNSConfiguratorTest, RestorePutsBackTheServersInOrderAndRemovesTheBackup) {
  DNSConfigurator::apply(config.path(), tool);
  test::CapturedStderr log;
  DNSConfigurator::restore(config.path(), tool);
  EXPECT_EQ(fake.servers("Wi-Fi"), "192.168.1.1\n8.8.8.8\n");
  EXPECT_EQ(fake.servers("USB 10/100/1000 LAN"), "");
  EXPECT_THAT(fake.calls(), HasSubstr("4|-setdnsservers|Wi-Fi|192.168.1.1|8.8.8.8\n"));
  EXPECT_THAT(fake.calls(), HasSubstr("3|-setdnsservers|USB 10/100/1000 LAN|Empty\n"));
  EXPECT_FALSE(fs::exists(backupPath()));
  EXPECT_THAT(log.text(), HasSubstr("] restored previous DNS servers\n"));
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

TEST_F(DNSConfiguratorTest, RestoreWithoutAReadableBackupRunsNothingAndLogsNothing) {
  test::CapturedStderr log;
  DNSConfigurator::restore(config.path(), tool);
  writeFile(backupPath(), R"({"Wi-Fi":"1.1.1.1"})");
  DNSConfigurator::restore(config.path(), tool);
  EXPECT_EQ(fake.calls(), "");
  EXPECT_EQ(log.text(), "");
  EXPECT_TRUE(fs::exists(backupPath()));
}

TEST_F(DNSConfiguratorTest, BackupThatCannotBeWrittenLeavesTheServersAlone) {
  test::CapturedStderr log;
  DNSConfigurator::apply(config / "missing-folder", tool);
  EXPECT_EQ(fake.servers("Wi-Fi"), "192.168.1.1\n8.8.8.8\n");
  EXPECT_THAT(fake.calls(), Not(HasSubstr("-setdnsservers")));
  EXPECT_THAT(log.text(), HasSubstr("system DNS servers left unchanged"));
  EXPECT_THAT(log.text(), Not(HasSubstr("set DNS to")));
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
  EXPECT_FALSE(fs::exists(backupPath()));
}

TEST(DNSConfiguratorParsing, SplitsAtEveryLineBreakAndDropsEmptyLines) {
  EXPECT_EQ(DNSConfigurator::lines("a\nb\r\nc\rd\ve\ff\xC2\x85g\xE2\x80\xA8h\xE2\x80\xA9i\n\n"),
            (std::vector<std::string>{"a", "b", "c", "d", "e", "f", "g", "h", "i"}));
  EXPECT_EQ(DNSConfigurator::servicesFromListing(
                "An asterisk (*) denotes that a network service is disabled.\n"
                " Wi-Fi \n*Off\nAn asterisk-like name\nEthernet"),
            (std::vector<std::string>{" Wi-Fi ", "Ethernet"}));
  EXPECT_EQ(DNSConfigurator::serversFromAnswer("1.1.1.1\n2.2.2.2\n"),
            (std::vector<std::string>{"1.1.1.1", "2.2.2.2"}));
  EXPECT_TRUE(DNSConfigurator::serversFromAnswer("There aren't any DNS Servers set on X.").empty());
  EXPECT_TRUE(DNSConfigurator::serversFromAnswer("1.1.1.1\nEMPTY\n").empty());
}

TEST(DNSConfiguratorTool, CombinesBothStreamsAndRefusesOutputThatIsNotUtf8) {
  test::TempDir dir;
  const auto script = dir / "tool";
  writeFile(script,
            "#!/bin/bash\necho out; echo err >&2; [ \"$1\" = bad ] && printf '\\xff'\nexit 3\n");
  fs::permissions(script, fs::perms::owner_all);
  EXPECT_EQ(DNSConfigurator::runNetworkSetup(script, {"x y"}), "out\nerr\n");
  EXPECT_EQ(DNSConfigurator::runNetworkSetup(script, {"bad"}), std::nullopt);
  EXPECT_EQ(DNSConfigurator::runNetworkSetup(dir / "missing", {}), std::nullopt);
}

}  // namespace
}  // namespace tether
