// The running applications: real processes started from application bundles in a temporary
// folder, the bundle identifier lookup, and the process table underneath.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <plist/plist.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <thread>

#include "Agent.h"
#include "AgentConfig.h"
#include "NeverKill.h"
#include "TestSupport.h"
#include "Utf8.h"
#include "platform/ProcessTable.h"

namespace tether {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::ElementsAre;

std::string xmlPlist(const std::string& body) {
  return R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
)" + body +
         "\n</plist>\n";
}

std::string xmlIdentifier(const std::string& identifier) {
  return xmlPlist(
      "<dict>\n  <key>CFBundleName</key>\n  <string>Some App</string>\n"
      "  <key>CFBundleIdentifier</key>\n  <string>" +
      identifier + "</string>\n</dict>");
}

// A binary property list whose root dictionary maps CFBundleIdentifier to value.
std::string binaryPlist(plist_t value) {
  plist_t root = plist_new_dict();
  plist_dict_set_item(root, "CFBundleIdentifier", value);
  char* bytes = nullptr;
  uint32_t length = 0;
  plist_to_bin(root, &bytes, &length);
  std::string out(bytes, length);
  plist_to_bin_free(bytes);
  plist_free(root);
  return out;
}

// Name.app/Contents/MacOS/<executable>, a copy of sleep, with the given Info.plist (none when
// absent).
fs::path makeBundle(const fs::path& bundle, const std::optional<std::string>& infoPlist,
                    const std::string& executable = "app") {
  fs::create_directories(bundle / "Contents" / "MacOS");
  if (infoPlist) test::writeFile(bundle / "Contents" / "Info.plist", *infoPlist);
  const fs::path exe = bundle / "Contents" / "MacOS" / executable;
  fs::copy_file("/bin/sleep", exe);
  fs::permissions(exe, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
  return exe;
}

// A real process of the executable, returned once the process table shows it running that file.
std::unique_ptr<test::ChildProcess> start(const fs::path& exe) {
  auto child = std::make_unique<test::ChildProcess>(std::vector<std::string>{exe.string(), "60"});
  const std::string expected = fs::canonical(exe).string();
  auto table = ProcessTable::system();
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (table->executablePath(child->pid()) != expected) {
    if (std::chrono::steady_clock::now() > deadline) {
      ADD_FAILURE() << exe << " did not start";
      break;
    }
    std::this_thread::sleep_for(1ms);
  }
  return child;
}

class FakeProcessTable : public ProcessTable {
 public:
  std::vector<pid_t> pids;
  std::map<pid_t, std::string> paths;
  std::optional<std::string> everyPath;  // for pids without an entry in paths

  std::vector<pid_t> listPids() override { return pids; }
  std::optional<std::string> executablePath(pid_t pid) override {
    if (auto it = paths.find(pid); it != paths.end()) return it->second;
    return everyPath;
  }
  void signal(pid_t, int) override {}
};

class RunningApps : public testing::Test {
 protected:
  test::TempDir dir;
  // Resolved, as the process table reports executables.
  fs::path root = fs::canonical(dir.path());

  std::unique_ptr<Agent> agent(std::shared_ptr<ProcessTable> table = ProcessTable::system()) {
    auto env = AgentEnvironment::system();
    env.processes = std::move(table);
    return std::make_unique<Agent>(*AgentConfig::decode(test::configJson()),
                                   (dir / "config.json").string(), env);
  }

  // The entries of the listing that belong to the given processes, in listing order.
  static std::vector<RunningProc> only(const std::vector<RunningProc>& listing,
                                       const std::vector<pid_t>& pids) {
    std::vector<RunningProc> mine;
    for (const auto& p : listing) {
      if (std::find(pids.begin(), pids.end(), p.pid) != pids.end()) mine.push_back(p);
    }
    return mine;
  }
};

TEST_F(RunningApps, ListsEachBundledProcessUnderItsOutermostBundleInKernelOrder) {
  const fs::path xml = makeBundle(root / "Xml.app", xmlIdentifier("org.example.xml"));
  const fs::path bin =
      makeBundle(root / "Binary.app", binaryPlist(plist_new_string("org.example.binary")));
  makeBundle(root / "Outer.app", xmlIdentifier("org.example.outer"));
  const fs::path helper =
      makeBundle(root / "Outer.app/Contents/Frameworks/Outer Helper (Renderer).app",
                 xmlIdentifier("org.example.helper"), "Outer Helper (Renderer)");
  const fs::path caps = makeBundle(root / "Caps.APP", xmlIdentifier("org.example.caps"));
  const fs::path noPlist = makeBundle(root / "NoPlist.app", std::nullopt);
  const fs::path number = makeBundle(root / "Number.app", binaryPlist(plist_new_uint(42)));
  const fs::path array =
      makeBundle(root / "Array.app", xmlPlist("<array><string>x</string></array>"));
  fs::create_directories(root / "bin");
  fs::copy_file("/bin/sleep", root / "bin" / "tool");

  auto xml1 = start(xml), xml2 = start(xml), binary = start(bin), nested = start(helper);
  std::vector<pid_t> pids = {xml1->pid(), xml2->pid(), binary->pid(), nested->pid()};
  std::vector<std::unique_ptr<test::ChildProcess>> others;
  for (const fs::path& exe : {caps, noPlist, number, array, root / "bin/tool"}) {
    others.push_back(start(exe));
    pids.push_back(others.back()->pid());
  }

  const auto listing = agent()->runningApps();
  std::vector<RunningProc> expected;
  for (const pid_t pid : ProcessTable::system()->listPids()) {
    if (pid == xml1->pid() || pid == xml2->pid()) expected.push_back({"org.example.xml", pid});
    if (pid == binary->pid()) expected.push_back({"org.example.binary", pid});
    if (pid == nested->pid()) expected.push_back({"org.example.outer", pid});
  }
  ASSERT_EQ(expected.size(), 4u);
  EXPECT_EQ(only(listing, pids), expected);
  for (const auto& p : listing) EXPECT_NE(p.pid, ::getpid());
}

TEST_F(RunningApps, BundleIdentifierComesOnlyFromAReadableDictionaryWithATextIdentifier) {
  const fs::path xml = makeBundle(root / "Safari.app", xmlIdentifier("com.apple.Safari"));
  const fs::path helper =
      makeBundle(root / "Safari.app/Contents/XPCServices/Net.app", xmlIdentifier("com.apple.Net"));
  EXPECT_EQ(Agent::bundleID(xml.string()), "com.apple.Safari");
  EXPECT_EQ(Agent::bundleID(helper.string()), "com.apple.Safari");
  EXPECT_EQ(Agent::bundleID((root / "Safari.app/Contents/Resources/x").string()),
            "com.apple.Safari");
  EXPECT_EQ(Agent::bundleID("/usr/sbin/cupsd"), std::nullopt);
  EXPECT_EQ(Agent::bundleID((root / "Safari.app").string()), std::nullopt);
  EXPECT_EQ(Agent::bundleID(""), std::nullopt);

  const auto bundleWith = [&](const std::string& name, const std::string& plist) {
    return Agent::bundleID(makeBundle(root / name, plist).string());
  };
  EXPECT_EQ(bundleWith("Bin.app", binaryPlist(plist_new_string("org.example.b"))), "org.example.b");
  EXPECT_EQ(bundleWith("Caps.APP", xmlIdentifier("org.example.caps")), std::nullopt);
  EXPECT_EQ(bundleWith("Number.app", binaryPlist(plist_new_uint(7))), std::nullopt);
  EXPECT_EQ(bundleWith("Bool.app", binaryPlist(plist_new_bool(1))), std::nullopt);
  EXPECT_EQ(bundleWith("Data.app", binaryPlist(plist_new_data("org.x", 5))), std::nullopt);
  EXPECT_EQ(
      bundleWith("NoKey.app", xmlPlist("<dict><key>CFBundleName</key><string>x</string></dict>")),
      std::nullopt);
  EXPECT_EQ(bundleWith("Array.app", xmlPlist("<array><string>org.x</string></array>")),
            std::nullopt);
  EXPECT_EQ(bundleWith("String.app", xmlPlist("<string>org.x</string>")), std::nullopt);
  EXPECT_EQ(bundleWith("Empty.app", ""), std::nullopt);
  EXPECT_EQ(bundleWith("Garbage.app", "<plist><dict><key>CFBundleIdentifier</key>"), std::nullopt);
  EXPECT_EQ(bundleWith("Truncated.app", binaryPlist(plist_new_string("org.x")).substr(0, 20)),
            std::nullopt);

  // A link in place of Info.plist is not followed, and a FIFO is not waited on.
  const fs::path linked = makeBundle(root / "Linked.app", std::nullopt);
  fs::create_symlink(root / "Bin.app/Contents/Info.plist", root / "Linked.app/Contents/Info.plist");
  EXPECT_EQ(Agent::bundleID(linked.string()), std::nullopt);
  const fs::path fifo = makeBundle(root / "Fifo.app", std::nullopt);
  ASSERT_EQ(::mkfifo((root / "Fifo.app/Contents/Info.plist").c_str(), 0644), 0);
  EXPECT_EQ(Agent::bundleID(fifo.string()), std::nullopt);
}

TEST_F(RunningApps, SkipsItselfAndProcessesWithoutAPathAndKeepsTheListedOrder) {
  const std::string xml = makeBundle(root / "Xml.app", xmlIdentifier("org.example.xml")).string();
  const std::string bin =
      makeBundle(root / "Bin.app", binaryPlist(plist_new_string("org.example.bin"))).string();
  auto table = std::make_shared<FakeProcessTable>();
  table->pids = {0, -4, ::getpid(), 300, 200, 100, 400, 250};
  table->paths = {{0, xml},   {-4, xml}, {::getpid(), xml}, {300, bin}, {100, "/usr/sbin/cupsd"},
                  {400, xml}, {250, bin}};
  // 200 has no path: it ended between the listing and the lookup.
  EXPECT_EQ(agent(table)->runningApps(),
            (std::vector<RunningProc>{
                {"org.example.bin", 300}, {"org.example.xml", 400}, {"org.example.bin", 250}}));

  table->pids.clear();
  EXPECT_TRUE(agent(table)->runningApps().empty());
}

TEST_F(RunningApps, OnlyTheFirst8192ListedProcessesAreExamined) {
  auto table = std::make_shared<FakeProcessTable>();
  for (pid_t pid = 100000; pid < 109000; ++pid) table->pids.push_back(pid);
  table->everyPath = makeBundle(root / "Xml.app", xmlIdentifier("org.example.xml")).string();
  const auto listing = agent(table)->runningApps();
  ASSERT_EQ(listing.size(), ProcessTable::kMaxProcesses);
  EXPECT_EQ(listing.back().pid, 100000 + 8191);
}

TEST_F(RunningApps, PathBytesAreTakenAsUtf8UpToTheFirstZeroByte) {
  // The bundle's folder name holds U+FFFD where the process path has an invalid byte.
  makeBundle(root / "Caf\xEF\xBF\xBD.app", xmlIdentifier("org.example.repaired"));
  const std::string xml = makeBundle(root / "Xml.app", xmlIdentifier("org.example.xml")).string();
  auto table = std::make_shared<FakeProcessTable>();
  table->pids = {10, 11, 12};
  table->paths = {{10, (root / "Caf\xFF.app/Contents/MacOS/app").string()},
                  {11, xml + std::string("\0/Other.app/x", 13)},
                  {12, std::string("/nowhere\0", 9) + xml}};
  EXPECT_EQ(agent(table)->runningApps(),
            (std::vector<RunningProc>{{"org.example.repaired", 10}, {"org.example.xml", 11}}));
}

TEST(Utf8Repair, KeepsWellFormedTextAndReplacesEachMaximalIllFormedPart) {
  const std::string r = "\xEF\xBF\xBD";
  EXPECT_EQ(Utf8::repaired("/Applications/Grüße 日本 😀.app"), "/Applications/Grüße 日本 😀.app");
  EXPECT_EQ(Utf8::repaired(std::string("a\0b", 3)), std::string("a\0b", 3));
  EXPECT_EQ(Utf8::repaired("\xFF"), r);
  EXPECT_EQ(Utf8::repaired("a\x80z"), "a" + r + "z");
  EXPECT_EQ(Utf8::repaired("\xC0\xAF"), r + r);                  // overlong lead never valid
  EXPECT_EQ(Utf8::repaired("\xE0\x80\xAF"), r + r + r);          // overlong three-byte form
  EXPECT_EQ(Utf8::repaired("\xED\xA0\x80"), r + r + r);          // surrogate
  EXPECT_EQ(Utf8::repaired("\xF4\x90\x80\x80"), r + r + r + r);  // above U+10FFFF
  EXPECT_EQ(Utf8::repaired("\xE2\x82"), r);                      // cut short at the end
  EXPECT_EQ(Utf8::repaired("\xE2\x82z"), r + "z");
  EXPECT_EQ(Utf8::repaired("\xF0\x9F\x98z\xF0\x9F\x98\x80"), r + "z\xF0\x9F\x98\x80");
  EXPECT_EQ(Utf8::repaired("\xC3\xC3\xA9"), r + "\xC3\xA9");
  EXPECT_EQ(Utf8::repaired("\xF8\x88\x80\x80\x80"), r + r + r + r + r);
}

TEST(NeverKill, HoldsTheNineSystemIdentifiersWithExactCase) {
  EXPECT_THAT(
      NeverKill::bundleIDs(),
      testing::UnorderedElementsAre("com.apple.loginwindow", "com.apple.Finder", "com.apple.dock",
                                    "com.apple.WindowServer", "com.apple.systemuiserver",
                                    "com.apple.SecurityAgent", "com.apple.coreservices.uiagent",
                                    "com.apple.controlcenter", "com.apple.notificationcenterui"));
  EXPECT_FALSE(NeverKill::bundleIDs().contains("com.apple.Dock"));
  EXPECT_FALSE(NeverKill::bundleIDs().contains("com.apple.finder"));
}

TEST(SystemProcessTable, FindsRealExecutablesSkipsEndedOnesAndLongPathsAndSignals) {
  test::TempDir dir;
  const fs::path root = fs::canonical(dir.path());
  fs::copy_file("/bin/sleep", root / "sleeper");
  auto table = ProcessTable::system();

  auto child = start(root / "sleeper");
  const auto pids = table->listPids();
  EXPECT_NE(std::find(pids.begin(), pids.end(), child->pid()), pids.end());
  EXPECT_NE(std::find(pids.begin(), pids.end(), ::getpid()), pids.end());
  EXPECT_LE(pids.size(), ProcessTable::kMaxProcesses);
  EXPECT_EQ(table->executablePath(child->pid()), (root / "sleeper").string());

  table->signal(child->pid(), SIGTERM);
  EXPECT_EQ(child->wait(10s), 128 + SIGTERM);
  EXPECT_EQ(table->executablePath(child->pid()), std::nullopt);

  // A path of 1024 bytes or more does not fit the path buffer: the process is not examined.
  fs::path deep = root;
  while (deep.string().size() < ProcessTable::kMaxPathBytes) deep /= std::string(200, 'd');
  const fs::path longExe = makeBundle(deep / "Long.app", xmlIdentifier("org.example.long"));
  test::ChildProcess longChild({longExe.string(), "60"});
  // Until it has replaced itself with the long-path executable, the child runs this test.
  const auto self = table->executablePath(::getpid());
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (table->executablePath(longChild.pid()) == self &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_EQ(table->executablePath(longChild.pid()), std::nullopt);
  EXPECT_FALSE(longChild.wait(0ms));  // it is running all the same
}

}  // namespace
}  // namespace tether
