// The Linux install and uninstall scripts run for real, as root, against a temporary root
// folder: every file, owner and mode they leave, twice over; what a user can and cannot do in
// the shared state folder; the DNS servers put back through a stand-in networksetup; one clear
// line on failure. And the launchd property lists read back.
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <plist/plist.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "TestHelpers.h"

namespace tether {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

const std::string kPackaging = PACKAGING_DIR;
const std::string kSupport = "/Library/Application Support/VorozuzIrovidar";
const std::string kNobody = "65534";

// Every entry below root as "type+mode uid:gid path", sorted; links are not followed.
std::vector<std::string> tree(const fs::path& root) {
  std::vector<std::string> entries;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    struct stat status {};
    ::lstat(entry.path().c_str(), &status);
    const char type = S_ISDIR(status.st_mode)   ? 'd'
                      : S_ISLNK(status.st_mode) ? 'l'
                      : S_ISREG(status.st_mode) ? '-'
                                                : '?';
    char line[64];
    std::snprintf(line, sizeof line, "%c%04o %u:%u ", type, status.st_mode & 07777, status.st_uid,
                  status.st_gid);
    entries.push_back(line + entry.path().string().substr(root.string().size()));
  }
  std::sort(entries.begin(), entries.end(), [](const std::string& a, const std::string& b) {
    return a.substr(a.find(' ', 6)) < b.substr(b.find(' ', 6));
  });
  return entries;
}

// A temporary root folder any user may enter, the parts a bundle hands over (owned by a user),
// and the scripts run against it.
struct Install {
  test::TempDir root;
  test::TempDir bundle;
  fs::path agent = bundle / "KinwardAgent";
  fs::path config = bundle / "tether-config.json";
  fs::path tabHelper = bundle / "TetherTabHelper.app";

  Install() {
    ::chmod(root.path().c_str(), 0755);
    ::chmod(bundle.path().c_str(), 0755);
    fs::copy_file("/bin/true", agent);
    test::writeFile(config, R"({"deviceToken": "secret", "enableDNS": false})");
    fs::create_directories(tabHelper / "Contents/MacOS");
    test::writeFile(tabHelper / "Contents/Info.plist", "<plist/>");
    fs::copy_file("/bin/true", tabHelper / "Contents/MacOS/TetherTabHelper");
    const std::pair<fs::path, mode_t> modes[] = {
        {agent, 0755},
        {config, 0600},
        {tabHelper, 0775},
        {tabHelper / "Contents", 0775},
        {tabHelper / "Contents/Info.plist", 0664},
        {tabHelper / "Contents/MacOS", 0775},
        {tabHelper / "Contents/MacOS/TetherTabHelper", 0775}};
    for (const auto& [path, mode] : modes) {
      ::chmod(path.c_str(), mode);
      if (::chown(path.c_str(), 65534, 65534) != 0) ADD_FAILURE() << "chown " << path;
    }
  }

  test::RunResult script(const std::string& name, std::vector<std::string> arguments = {}) const {
    std::vector<std::string> argv{"/usr/bin/env", "TETHER_INSTALL_ROOT=" + root.path().string(),
                                  "/bin/bash", kPackaging + "/linux/" + name};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return test::run(argv, std::chrono::seconds(60));
  }
  test::RunResult install(bool withTabHelper = true) const {
    std::vector<std::string> arguments{agent.string(), config.string()};
    if (withTabHelper) arguments.push_back(tabHelper.string());
    return script("install-daemon.sh", arguments);
  }
  fs::path operator/(const std::string& path) const { return root.path().string() + path; }
};

// A command run as the unprivileged user nobody; its exit status.
int asNobody(const std::string& command) {
  return test::run({"/usr/bin/setpriv", "--reuid=" + kNobody, "--regid=" + kNobody,
                    "--clear-groups", "/bin/sh", "-c", command})
      .status;
}

std::vector<std::string> installedTree(bool withTabHelper) {
  const std::string s = "d0755 0:0 " + kSupport;
  std::vector<std::string> entries{
      "d0755 0:0 /Library",
      "d0755 0:0 /Library/Application Support",
      s,
      "-0755 0:0 " + kSupport + "/KinwardAgent",
  };
  if (withTabHelper) {
    const std::string app = kSupport + "/TetherTabHelper.app";
    entries.insert(entries.end(), {"d0755 0:0 " + app, "d0755 0:0 " + app + "/Contents",
                                   "-0644 0:0 " + app + "/Contents/Info.plist",
                                   "d0755 0:0 " + app + "/Contents/MacOS",
                                   "-0755 0:0 " + app + "/Contents/MacOS/TetherTabHelper"});
  }
  entries.insert(
      entries.end(),
      {
          "-0600 0:0 " + kSupport + "/config.json",
          "d1777 0:0 " + kSupport + "/state",
          "-0755 0:0 " + kSupport + "/uninstall-daemon.sh",
          "d0755 0:0 /Library/Logs",
          "d0755 0:0 /Library/Logs/VorozuzIrovidar",
          "d0755 0:0 /etc",
          "d0755 0:0 /etc/systemd",
          "d0755 0:0 /etc/systemd/system",
          "d0755 0:0 /etc/systemd/system/multi-user.target.wants",
          "l0777 0:0 /etc/systemd/system/multi-user.target.wants/riz.edarodorizavive.derez.service",
          "-0644 0:0 /etc/systemd/system/riz.edarodorizavive.derez.service",
      });
  if (withTabHelper) {
    entries.insert(entries.end(),
                   {"d0755 0:0 /etc/xdg", "d0755 0:0 /etc/xdg/autostart",
                    "-0644 0:0 /etc/xdg/autostart/riz.edarodorizavive.tabhelper.desktop"});
  }
  return entries;
}

TEST(InstallScript, PlacesEveryFileWithItsOwnerAndModeAndCanRunAgain) {
  if (::geteuid() != 0) GTEST_SKIP() << "the script changes owners: needs root";
  Install install;
  for (int run = 0; run < 2; ++run) {
    SCOPED_TRACE(run == 0 ? "first run" : "second run");
    const test::RunResult result = install.install();
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_THAT(tree(install.root.path()), ElementsAreArray(installedTree(true)));
    EXPECT_EQ(test::readFile(install / (kSupport + "/config.json")),
              test::readFile(install.config));
    EXPECT_EQ(test::readFile(install / (kSupport + "/KinwardAgent")), test::readFile("/bin/true"));
    EXPECT_EQ(test::readFile(install / "/etc/systemd/system/riz.edarodorizavive.derez.service"),
              test::readFile(kPackaging + "/linux/riz.edarodorizavive.derez.service"));
    EXPECT_EQ(fs::read_symlink(
                  install /
                  "/etc/systemd/system/multi-user.target.wants/riz.edarodorizavive.derez.service"),
              "/etc/systemd/system/riz.edarodorizavive.derez.service");
    EXPECT_EQ(test::readFile(install / "/etc/xdg/autostart/riz.edarodorizavive.tabhelper.desktop"),
              test::readFile(kPackaging + "/linux/riz.edarodorizavive.tabhelper.desktop"));

    // Between the runs: the agent's request and a user's snapshot in the state folder, and a
    // link where the configuration was.
    if (run == 0) {
      const std::string state = (install / (kSupport + "/state")).string();
      test::writeFile(state + "/enforce.json", "{}");
      EXPECT_EQ(asNobody("cd '" + state +
                         "' && echo '{}' > .tab && mv -f .tab tab.json && echo '{}' > .tab && mv "
                         "-f .tab tab.json"),
                0);
      EXPECT_NE(
          asNobody("cd '" + state + "' && echo '{}' > .enforce && mv -f .enforce enforce.json"), 0);
      EXPECT_NE(asNobody("rm -f '" + state + "/enforce.json'"), 0);
      EXPECT_NE(asNobody("touch '" + state + "/../planted'"), 0);
      EXPECT_NE(asNobody("cat '" + state + "/../config.json'"), 0);
      fs::remove(state + "/enforce.json");
      fs::remove(state + "/.enforce");
      fs::remove(install / (kSupport + "/config.json"));
      fs::create_symlink(install.config, install / (kSupport + "/config.json"));
    }
  }
  // The second run took the user's snapshot away, so the next helper to write it owns it.
  EXPECT_FALSE(fs::exists(install / (kSupport + "/state/tab.json")));
  EXPECT_EQ(test::readFile(install.config), R"({"deviceToken": "secret", "enableDNS": false})");
}

TEST(InstallScript, WithoutATabHelperThereIsNoneToStartAtLogin) {
  if (::geteuid() != 0) GTEST_SKIP() << "the script changes owners: needs root";
  Install install;
  const test::RunResult result = install.install(false);
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_THAT(tree(install.root.path()), ElementsAreArray(installedTree(false)));
}

TEST(InstallScript, FailsWithOneClearLine) {
  if (::geteuid() != 0) GTEST_SKIP() << "the script changes owners: needs root";
  Install install;
  const fs::path link = install.bundle / "link.json";
  fs::create_symlink(install.config, link);
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{install.agent.string(), link.string()},
       "the configuration is a symbolic link: " + link.string()},
      {{(install.bundle / "none").string(), install.config.string()},
       "the agent is missing: " + (install.bundle / "none").string()},
      {{install.agent.string(), (install.bundle / "none").string()},
       "the configuration is missing: " + (install.bundle / "none").string()},
      {{install.agent.string()}, "usage: install-daemon.sh AGENT CONFIG [TAB_HELPER_APP]"},
  };
  for (const auto& [arguments, message] : cases) {
    const test::RunResult result = install.script("install-daemon.sh", arguments);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "install-daemon: " + message + "\n");
  }
  EXPECT_TRUE(fs::is_empty(install.root.path()));
  const test::RunResult unprivileged =
      test::run({"/usr/bin/setpriv", "--reuid=" + kNobody, "--regid=" + kNobody, "--clear-groups",
                 "/bin/bash", kPackaging + "/linux/install-daemon.sh", install.agent.string(),
                 install.config.string()});
  EXPECT_EQ(unprivileged.status, 1);
  EXPECT_EQ(unprivileged.err, "install-daemon: must be run as root\n");
}

// networksetup as the agent uses it, over files in ROOT/var/networksetup: "services" is the
// listing, "dns-NAME" a service's servers, "log" every change.
const char* kNetworkSetup = R"(#!/bin/bash
state="$(dirname "$0")/../../var/networksetup"
case $1 in
  -listallnetworkservices) cat "$state/services" ;;
  -getdnsservers)
    if [ -s "$state/dns-$2" ]; then cat "$state/dns-$2"; else echo "There aren't any DNS Servers set on $2."; fi ;;
  -setdnsservers)
    service=$2
    shift 2
    grep -qxF -- "$service" "$state/services" || { echo "$service is not a recognized network service."; exit 4; }
    echo "$service $*" >>"$state/log"
    if [ "$1" = Empty ]; then : >"$state/dns-$service"; else printf '%s\n' "$@" >"$state/dns-$service"; fi ;;
esac
)";

TEST(UninstallScript, PutsTheDNSServersBackAndRemovesEverythingAndCanRunAgain) {
  if (::geteuid() != 0) GTEST_SKIP() << "the script changes owners: needs root";
  Install install;
  ASSERT_EQ(install.install().status, 0);
  // The agent stopped without putting the servers back: its backup is still there.
  const fs::path state = install / "/var/networksetup";
  fs::create_directories(state);
  fs::create_directories(install / "/usr/sbin");
  test::writeFile(install / "/usr/sbin/networksetup", kNetworkSetup);
  fs::permissions(install / "/usr/sbin/networksetup", fs::perms(0755));
  test::writeFile(state / "services",
                  "An asterisk (*) denotes that a network service is "
                  "disabled.\nWi-Fi\nEthernet\nThunderbolt Bridge\n*Old VPN\n");
  for (const char* service : {"Wi-Fi", "Ethernet", "Thunderbolt Bridge", "*Old VPN"})
    test::writeFile(state / ("dns-" + std::string(service)), "127.0.0.1\n");
  test::writeFile(install / (kSupport + "/dns-backup.json"),
                  R"({"Wi-Fi":["192.168.1.1","9.9.9.9"],"Ethernet":[],"Gone":["10.0.0.1"]})");

  for (int run = 0; run < 2; ++run) {
    SCOPED_TRACE(run == 0 ? "first run" : "second run");
    const test::RunResult result = install.script("uninstall-daemon.sh");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(test::readFile(state / "dns-Wi-Fi"), "192.168.1.1\n9.9.9.9\n");
    EXPECT_EQ(test::readFile(state / "dns-Ethernet"), "");
    // Not in the backup but left pointing at the stopped proxy.
    EXPECT_EQ(test::readFile(state / "dns-Thunderbolt Bridge"), "");
    EXPECT_EQ(test::readFile(state / "dns-*Old VPN"), "127.0.0.1\n");
    EXPECT_THAT(
        tree(install.root.path()),
        ElementsAre("d0755 0:0 /etc", "d0755 0:0 /etc/systemd", "d0755 0:0 /etc/systemd/system",
                    "d0755 0:0 /etc/xdg", "d0755 0:0 /etc/xdg/autostart", "d0755 0:0 /usr",
                    "d0755 0:0 /usr/sbin", "-0755 0:0 /usr/sbin/networksetup", "d0755 0:0 /var",
                    "d0755 0:0 /var/networksetup", "-0644 0:0 /var/networksetup/dns-*Old VPN",
                    "-0644 0:0 /var/networksetup/dns-Ethernet",
                    "-0644 0:0 /var/networksetup/dns-Thunderbolt Bridge",
                    "-0644 0:0 /var/networksetup/dns-Wi-Fi", "-0644 0:0 /var/networksetup/log",
                    "-0644 0:0 /var/networksetup/services"));
  }
  EXPECT_EQ(test::readFile(state / "log"),
            "Wi-Fi 192.168.1.1 9.9.9.9\nEthernet Empty\nThunderbolt Bridge Empty\n");
}

TEST(UninstallScript, KeepsABackupItCannotReadAndSaysSo) {
  if (::geteuid() != 0) GTEST_SKIP() << "the script changes owners: needs root";
  Install install;
  ASSERT_EQ(install.install().status, 0);
  const fs::path backup = install / (kSupport + "/dns-backup.json");
  test::writeFile(backup, R"({"Wi-Fi": "not a list"})");
  const test::RunResult result = install.script("uninstall-daemon.sh");
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(test::count(result.err, "\n"), 1u) << result.err;
  EXPECT_THAT(result.err,
              ::testing::StartsWith("uninstall-daemon: could not read " + backup.string() + ": "));
  EXPECT_TRUE(fs::exists(backup));
}

// The launchd jobs as launchd reads them.
struct PropertyList {
  explicit PropertyList(const std::string& path) {
    const std::string xml = test::readFile(path);
    plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &root);
  }
  ~PropertyList() { plist_free(root); }
  std::string text(const char* key) const {
    char* value = nullptr;
    plist_get_string_val(plist_dict_get_item(root, key), &value);
    std::string copy = value ? value : "";
    std::free(value);
    return copy;
  }
  bool flag(const char* key) const {
    uint8_t value = 0;
    plist_get_bool_val(plist_dict_get_item(root, key), &value);
    return value != 0;
  }
  std::vector<std::string> arguments() const {
    std::vector<std::string> list;
    plist_t array = plist_dict_get_item(root, "ProgramArguments");
    for (uint32_t i = 0; array && i < plist_array_get_size(array); ++i) {
      char* value = nullptr;
      plist_get_string_val(plist_array_get_item(array, i), &value);
      list.push_back(value ? value : "");
      std::free(value);
    }
    return list;
  }
  plist_t root = nullptr;
};

TEST(LaunchdJobs, StartTheAgentWithItsConfigurationAndKeepTheTabHelperRunning) {
  const PropertyList daemon(kPackaging + "/macos/riz.edarodorizavive.derez.plist");
  ASSERT_NE(daemon.root, nullptr);
  EXPECT_EQ(daemon.text("Label"), "riz.edarodorizavive.derez");
  EXPECT_THAT(daemon.arguments(),
              ElementsAre(kSupport + "/KinwardAgent", "--config", kSupport + "/config.json"));
  EXPECT_EQ(daemon.text("StandardErrorPath"), "/Library/Logs/VorozuzIrovidar/agent.log");
  EXPECT_TRUE(daemon.flag("RunAtLoad"));
  EXPECT_TRUE(daemon.flag("KeepAlive"));

  const PropertyList helper(kPackaging + "/macos/riz.edarodorizavive.tabhelper.plist");
  ASSERT_NE(helper.root, nullptr);
  EXPECT_EQ(helper.text("Label"), "riz.edarodorizavive.tabhelper");
  EXPECT_THAT(helper.arguments(),
              ElementsAre(kSupport + "/TetherTabHelper.app/Contents/MacOS/TetherTabHelper"));
  EXPECT_TRUE(helper.flag("RunAtLoad"));
  EXPECT_TRUE(helper.flag("KeepAlive"));
  EXPECT_EQ(helper.text("LimitLoadToSessionType"), "Aqua");
}

}  // namespace
}  // namespace tether
