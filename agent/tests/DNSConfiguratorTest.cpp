// System DNS switching through networksetup, against a fake tool that keeps each service's
// servers in files and answers with the real tool's messages.
#include "dns/DNSConfigurator.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include "TestSupport.h"

namespace tether {
namespace {

namespace fs = std::filesystem;
using test::readFile;
using test::writeFile;
using testing::HasSubstr;
using testing::Not;

// The fake tool appends every call to "calls" as the argument count followed by "|" + each
// argument, so a name with spaces shows as one argument.
constexpr const char* kFakeTool = R"SH(#!/bin/bash
state='@STATE@'
line="$#"; for a in "$@"; do line+="|$a"; done; printf '%s\n' "$line" >> "$state/calls"
key() { printf '%s' "$1" | od -An -tx1 | tr -d ' \n'; }
case "$1" in
  -listallnetworkservices) cat "$state/services" ;;
  -getdnsservers)
    f="$state/dns-$(key "$2")"
    if [ -s "$f" ]; then cat "$f"; else echo "There aren't any DNS Servers set on $2." >&2; fi ;;
  -setdnsservers)
    f="$state/dns-$(key "$2")"; shift 2
    if [ "$1" = "Empty" ]; then : > "$f"; else printf '%s\n' "$@" > "$f"; fi ;;
  *) echo "** Error: The parameters were not valid."; exit 4 ;;
esac
)SH";

class DNSConfiguratorTest : public testing::Test {
 protected:
  test::TempDir config;
  test::TempDir state;
  fs::path tool = state / "networksetup";

  void SetUp() override {
    std::string script = kFakeTool;
    script.replace(script.find("@STATE@"), 7, state.path().string());
    writeFile(tool, script);
    fs::permissions(tool, fs::perms::owner_all);
    writeFile(state / "services",
              "An asterisk (*) denotes that a network service is disabled.\n"
              "Wi-Fi\n"
              "*Bluetooth PAN\n"
              "USB 10/100/1000 LAN\n");
    setServers("Wi-Fi", "192.168.1.1\n8.8.8.8\n");
    setServers("Bluetooth PAN", "10.0.0.1\n");
  }

  static std::string key(const std::string& service) {
    std::string hex;
    char buf[3];
    for (unsigned char c : service) {
      std::snprintf(buf, sizeof buf, "%02x", c);
      hex += buf;
    }
    return hex;
  }
  void setServers(const std::string& service, const std::string& lines) {
    writeFile(state / ("dns-" + key(service)), lines);
  }
  std::string servers(const std::string& service) const {
    return readFile(state / ("dns-" + key(service)));
  }
  std::string calls() const { return readFile(state / "calls"); }
  fs::path backupPath() const { return config / "dns-backup.json"; }
};

TEST_F(DNSConfiguratorTest, ApplyBacksUpEnabledServicesOnlyAndPointsThemAtTheProxy) {
  test::CapturedStderr log;
  DNSConfigurator::apply(config.path(), tool);

  const auto backup = nlohmann::json::parse(readFile(backupPath()));
  EXPECT_EQ(backup, nlohmann::json::parse(
                        R"({"Wi-Fi":["192.168.1.1","8.8.8.8"],"USB 10/100/1000 LAN":[]})"));
  EXPECT_EQ(servers("Wi-Fi"), "127.0.0.1\n");
  EXPECT_EQ(servers("USB 10/100/1000 LAN"), "127.0.0.1\n");
  // The disabled service is neither read nor changed.
  EXPECT_EQ(servers("Bluetooth PAN"), "10.0.0.1\n");
  EXPECT_THAT(calls(), Not(HasSubstr("Bluetooth")));
  EXPECT_THAT(calls(), HasSubstr("3|-setdnsservers|USB 10/100/1000 LAN|127.0.0.1\n"));
  EXPECT_THAT(log.text(), HasSubstr("] set DNS to 127.0.0.1 on 2 service(s)\n"));
}

TEST_F(DNSConfiguratorTest, SecondApplyLeavesTheFirstBackupUntouched) {
  DNSConfigurator::apply(config.path(), tool);
  const std::string first = readFile(backupPath());
  DNSConfigurator::apply(config.path(), tool);
  EXPECT_EQ(readFile(backupPath()), first);
  EXPECT_THAT(first, HasSubstr("192.168.1.1"));
}

TEST_F(DNSConfiguratorTest, RestorePutsBackTheServersInOrderAndRemovesTheBackup) {
  DNSConfigurator::apply(config.path(), tool);
  test::CapturedStderr log;
  DNSConfigurator::restore(config.path(), tool);
  EXPECT_EQ(servers("Wi-Fi"), "192.168.1.1\n8.8.8.8\n");
  EXPECT_EQ(servers("USB 10/100/1000 LAN"), "");
  EXPECT_THAT(calls(), HasSubstr("4|-setdnsservers|Wi-Fi|192.168.1.1|8.8.8.8\n"));
  EXPECT_THAT(calls(), HasSubstr("3|-setdnsservers|USB 10/100/1000 LAN|Empty\n"));
  EXPECT_FALSE(fs::exists(backupPath()));
  EXPECT_THAT(log.text(), HasSubstr("] restored previous DNS servers\n"));
}

TEST_F(DNSConfiguratorTest, RestoreTurnsEveryFormOfNoServersIntoEmpty) {
  writeFile(backupPath(), R"({"A":[],"B":["Empty"],"C":["There aren't any DNS Servers set on C."],
      "D":["There aren't any DNS Servers set on A."]})");
  DNSConfigurator::restore(config.path(), tool);
  EXPECT_THAT(calls(), HasSubstr("3|-setdnsservers|A|Empty\n"));
  EXPECT_THAT(calls(), HasSubstr("3|-setdnsservers|B|Empty\n"));
  EXPECT_THAT(calls(), HasSubstr("3|-setdnsservers|C|Empty\n"));
  // Only the message naming the service itself counts as "none".
  EXPECT_THAT(calls(), HasSubstr("3|-setdnsservers|D|There aren't any DNS Servers set on A.\n"));
}

TEST_F(DNSConfiguratorTest, RestoreWithoutAReadableBackupRunsNothingAndLogsNothing) {
  test::CapturedStderr log;
  DNSConfigurator::restore(config.path(), tool);
  writeFile(backupPath(), R"({"Wi-Fi":"1.1.1.1"})");
  DNSConfigurator::restore(config.path(), tool);
  EXPECT_FALSE(fs::exists(state / "calls"));
  EXPECT_EQ(log.text(), "");
  EXPECT_TRUE(fs::exists(backupPath()));
}

TEST_F(DNSConfiguratorTest, DamagedBackupAtApplyIsReplacedWithTheCurrentServers) {
  writeFile(backupPath(), "{not json");
  DNSConfigurator::apply(config.path(), tool);
  EXPECT_EQ(nlohmann::json::parse(readFile(backupPath()))["Wi-Fi"],
            nlohmann::json({"192.168.1.1", "8.8.8.8"}));
}

TEST_F(DNSConfiguratorTest, BackupThatCannotBeWrittenLeavesTheServersAlone) {
  test::CapturedStderr log;
  DNSConfigurator::apply(config / "missing-folder", tool);
  EXPECT_EQ(servers("Wi-Fi"), "192.168.1.1\n8.8.8.8\n");
  EXPECT_THAT(calls(), Not(HasSubstr("-setdnsservers")));
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
  EXPECT_EQ(servers("Wi-Fi"), "192.168.1.1\n");
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
