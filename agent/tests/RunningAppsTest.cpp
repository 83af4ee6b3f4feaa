// The running applications: real processes started from application bundles in a temporary
// folder, the bundle identifier lookup, and the process table underneath.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <plist/plist.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include "Agent.h"
#include "TestSupport.h"
#include "Utf8.h"
#include "platform/ProcessTable.h"

namespace tether {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::infoPlist;
using test::makeAppBundle;
using test::xmlPlist;

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

class RunningApps : public testing::Test {
 protected:
  test::TempDir dir;
  // Resolved, as the process table reports executables.
  fs::path root = fs::canonical(dir.path());
  std::shared_ptr<test::FakeProcessTable> fake = std::make_shared<test::FakeProcessTable>();

  std::vector<RunningProc> listing(std::shared_ptr<ProcessTable> table) {
    auto env = AgentEnvironment::system();
    env.processes = std::move(table);
    return test::makeAgent(dir.path(), env)->runningApps();
  }
};

TEST_F(RunningApps, ListsEachBundledProcessUnderItsOutermostBundleInKernelOrder) {
  const fs::path xml = makeAppBundle(root / "Xml.app", infoPlist("org.example.xml"));
  const fs::path bin =
      makeAppBundle(root / "Binary.app", binaryPlist(plist_new_string("org.example.binary")));
  makeAppBundle(root / "Outer.app", infoPlist("org.example.outer"));
  const fs::path helper =
      makeAppBundle(root / "Outer.app/Contents/Frameworks/Outer Helper (Renderer).app",
                    infoPlist("org.example.helper"), "Outer Helper (Renderer)");
  fs::create_directories(root / "bin");
  fs::copy_file("/bin/sleep", root / "bin" / "tool");

  auto xml1 = test::startApp(xml), xml2 = test::startApp(xml), binary = test::startApp(bin),
       nested = test::startApp(helper);
  std::vector<pid_t> pids = {xml1->pid(), xml2->pid(), binary->pid(), nested->pid()};
  // Not listed: ".APP", no Info.plist, a number as identifier, an array as root, no bundle.
  std::vector<std::unique_ptr<test::ChildProcess>> others;
  for (const fs::path& exe :
       {makeAppBundle(root / "Caps.APP", infoPlist("org.example.caps")),
        makeAppBundle(root / "NoPlist.app", std::nullopt),
        makeAppBundle(root / "Number.app", binaryPlist(plist_new_uint(42))),
        makeAppBundle(root / "Array.app", xmlPlist("<array><string>x</string></array>")),
        root / "bin/tool"}) {
    others.push_back(test::startApp(exe));
    pids.push_back(others.back()->pid());
  }

  std::vector<RunningProc> mine, expected;
  for (const auto& p : listing(ProcessTable::system())) {
    EXPECT_NE(p.pid, ::getpid());
    if (std::find(pids.begin(), pids.end(), p.pid) != pids.end()) mine.push_back(p);
  }
  for (const pid_t pid : ProcessTable::system()->listPids()) {
    if (pid == xml1->pid() || pid == xml2->pid()) expected.push_back({"org.example.xml", pid});
    if (pid == binary->pid()) expected.push_back({"org.example.binary", pid});
    if (pid == nested->pid()) expected.push_back({"org.example.outer", pid});
  }
  ASSERT_EQ(expected.size(), 4u);
  EXPECT_EQ(mine, expected);
}

TEST_F(RunningApps, BundleIdentifierComesOnlyFromAReadableDictionaryWithATextIdentifier) {
  const fs::path xml = makeAppBundle(root / "Safari.app", infoPlist("com.apple.Safari"));
  const fs::path helper =
      makeAppBundle(root / "Safari.app/Contents/XPCServices/Net.app", infoPlist("com.apple.Net"));
  EXPECT_EQ(Agent::bundleID(xml.string()), "com.apple.Safari");
  EXPECT_EQ(Agent::bundleID(helper.string()), "com.apple.Safari");
  EXPECT_EQ(Agent::bundleID((root / "Safari.app/Contents/Resources/x").string()),
            "com.apple.Safari");
  EXPECT_EQ(Agent::bundleID(makeAppBundle(root / "Bin.app",
                                          binaryPlist(plist_new_string("org.example.b")))
                                .string()),
            "org.example.b");
  for (const std::string& path : {std::string("/usr/sbin/cupsd"), std::string(),
                                   (root / "Safari.app").string()}) {
    EXPECT_EQ(Agent::bundleID(path), std::nullopt) << path;
  }

  const std::pair<const char*, std::string> unusable[] = {
      {"Caps.APP", infoPlist("org.example.caps")},
      {"Number.app", binaryPlist(plist_new_uint(7))},
      {"Bool.app", binaryPlist(plist_new_bool(1))},
      {"Data.app", binaryPlist(plist_new_data("org.x", 5))},
      {"NoKey.app", xmlPlist("<dict><key>CFBundleName</key><string>x</string></dict>")},
      {"Array.app", xmlPlist("<array><string>org.x</string></array>")},
      {"String.app", xmlPlist("<string>org.x</string>")},
      {"Empty.app", ""},
      {"Garbage.app", "<plist><dict><key>CFBundleIdentifier</key>"},
      {"Truncated.app", binaryPlist(plist_new_string("org.x")).substr(0, 20)}};
  for (const auto& [name, plist] : unusable) {
    EXPECT_EQ(Agent::bundleID(makeAppBundle(root / name, plist).string()), std::nullopt) << name;
  }

  // A link in place of Info.plist is not followed, and a FIFO is not waited on.
  const fs::path linked = makeAppBundle(root / "Linked.app", std::nullopt);
  fs::create_symlink(root / "Bin.app/Contents/Info.plist", root / "Linked.app/Contents/Info.plist");
  EXPECT_EQ(Agent::bundleID(linked.string()), std::nullopt);
  const fs::path fifo = makeAppBundle(root / "Fifo.app", std::nullopt);
  ASSERT_EQ(::mkfifo((root / "Fifo.app/Contents/Info.plist").c_str(), 0644), 0);
  EXPECT_EQ(Agent::bundleID(fifo.string()), std::nullopt);
}

TEST_F(RunningApps, SkipsItselfAndProcessesWithoutAPathAndKeepsTheListedOrder) {
  const fs::path xml = makeAppBundle(root / "Xml.app", infoPlist("org.example.xml"));
  const fs::path bin =
      makeAppBundle(root / "Bin.app", binaryPlist(plist_new_string("org.example.bin")));
  EXPECT_TRUE(listing(fake).empty());
  for (const pid_t pid : {0, -4, ::getpid(), 400}) fake->add(pid, xml);
  fake->add(300, bin);
  fake->pids.push_back(200);  // no path: it ended between the listing and the lookup
  fake->add(100, "/usr/sbin/cupsd");
  fake->add(250, bin);
  EXPECT_EQ(listing(fake), (std::vector<RunningProc>{{"org.example.xml", 400},
                                                     {"org.example.bin", 300},
                                                     {"org.example.bin", 250}}));
}

TEST_F(RunningApps, OnlyTheFirst8192ListedProcessesAreExamined) {
  for (pid_t pid = 100000; pid < 109000; ++pid) fake->pids.push_back(pid);
  fake->everyPath = makeAppBundle(root / "Xml.app", infoPlist("org.example.xml")).string();
  const auto apps = listing(fake);
  ASSERT_EQ(apps.size(), ProcessTable::kMaxProcesses);
  EXPECT_EQ(apps.back().pid, 100000 + 8191);
}

TEST_F(RunningApps, PathBytesAreTakenAsUtf8UpToTheFirstZeroByte) {
  // The bundle's folder name holds U+FFFD where the process path has an invalid byte.
  makeAppBundle(root / "Caf\xEF\xBF\xBD.app", infoPlist("org.example.repaired"));
  const fs::path xml = makeAppBundle(root / "Xml.app", infoPlist("org.example.xml"));
  fake->add(10, root / "Caf\xFF.app/Contents/MacOS/app");
  fake->add(11, xml.string() + std::string("\0/Other.app/x", 13));
  fake->add(12, std::string("/nowhere\0", 9) + xml.string());
  EXPECT_EQ(listing(fake),
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

TEST(SystemProcessTable, FindsRealExecutablesSkipsEndedOnesAndLongPathsAndSignals) {
  test::TempDir dir;
  const fs::path root = fs::canonical(dir.path());
  fs::copy_file("/bin/sleep", root / "sleeper");
  auto table = ProcessTable::system();

  auto child = test::startApp(root / "sleeper");
  const auto pids = table->listPids();
  EXPECT_NE(std::find(pids.begin(), pids.end(), child->pid()), pids.end());
  EXPECT_NE(std::find(pids.begin(), pids.end(), ::getpid()), pids.end());
  EXPECT_LE(pids.size(), ProcessTable::kMaxProcesses);

  table->signal(child->pid(), SIGTERM);
  EXPECT_EQ(child->wait(10s), 128 + SIGTERM);
  EXPECT_EQ(table->executablePath(child->pid()), std::nullopt);

  // A path of 1024 bytes or more does not fit the path buffer: the process is not examined.
  fs::path deep = root;
  while (deep.string().size() < ProcessTable::kMaxPathBytes) deep /= std::string(200, 'd');
  const fs::path longExe = makeAppBundle(deep / "Long.app", infoPlist("org.example.long"));
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
