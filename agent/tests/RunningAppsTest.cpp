// Applications on disk: the running ones (real processes started from application bundles in a
// temporary folder, and the bundle identifier lookup) and the installed-app scan over a temporary
// root folder laid out like a Mac's.
#include <gtest/gtest.h>
#include <plist/plist.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "Inventory.h"
#include "TestSupport.h"

namespace tether {
namespace {

namespace fs = std::filesystem;
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
  makeAppBundle(root / "Safari.app", infoPlist("com.apple.Safari"));
  EXPECT_EQ(Agent::bundleID(root / "Safari.app/Contents/Resources/x"), "com.apple.Safari");
  for (const std::string& path :
       {std::string("/usr/sbin/cupsd"), std::string(), (root / "Safari.app").string()}) {
    EXPECT_EQ(Agent::bundleID(path), std::nullopt) << path;
  }
  // No key, damaged files, a file over 256 KiB (real ones are a few KiB).
  std::string padded = "<dict><key>CFBundleIdentifier</key><string>org.big</string>";
  padded += "<key>Pad</key><string>" + std::string(256 * 1024, 'x') + "</string></dict>";
  const std::pair<const char*, std::string> unusable[] = {
      {"NoKey.app", xmlPlist("<dict><key>CFBundleName</key><string>x</string></dict>")},
      {"Garbage.app", "<plist><dict><key>CFBundleIdentifier</key>"},
      {"Truncated.app", binaryPlist(plist_new_string("org.x")).substr(0, 20)},
      {"Big.app", xmlPlist(padded)}};
  for (const auto& [name, plist] : unusable) {
    EXPECT_EQ(Agent::bundleID(makeAppBundle(root / name, plist).string()), std::nullopt) << name;
  }
  // No symbolic link is followed on the way, whether it stands for Info.plist, for Contents or
  // for the bundle; a FIFO is not waited on.
  fs::create_directories(root / "Links.app/Contents/MacOS");
  fs::create_symlink(root / "Safari.app/Contents/Info.plist",
                     root / "Links.app/Contents/Info.plist");
  fs::create_directories(root / "LinkedContents.app");
  fs::create_symlink(root / "Safari.app/Contents", root / "LinkedContents.app/Contents");
  fs::create_symlink(root / "Safari.app", root / "LinkedBundle.app");
  fs::create_directories(root / "Fifo.app/Contents");
  ASSERT_EQ(::mkfifo((root / "Fifo.app/Contents/Info.plist").c_str(), 0644), 0);
  for (const char* bundle : {"Links.app", "LinkedContents.app", "LinkedBundle.app", "Fifo.app"}) {
    EXPECT_EQ(Agent::bundleID(root / bundle / "Contents/MacOS/app"), std::nullopt) << bundle;
  }
}

TEST_F(RunningApps, EachInfoPlistIsReadOncePerChangeHoweverOftenItsProcessesAreListed) {
  const fs::path exe = makeAppBundle(root / "Game.app", infoPlist("org.example.game"));
  const fs::path plist = root / "Game.app/Contents/Info.plist";
  for (const pid_t pid : {10, 11, 12}) fake->add(pid, exe);
  auto env = AgentEnvironment::system();
  env.processes = fake;
  auto agent = test::makeAgent(dir.path(), env);
  const int opens = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  // Closes are watched too: the system merges an event with an identical one just before it.
  ASSERT_GE(::inotify_add_watch(opens, plist.c_str(), IN_OPEN | IN_CLOSE), 0);
  const auto openCount = [opens] {
    int n = 0;
    alignas(inotify_event) char buffer[4096];
    for (ssize_t got; (got = ::read(opens, buffer, sizeof buffer)) > 0;) {
      for (ssize_t at = 0; at < got;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        n += (event->mask & IN_OPEN) != 0;
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
    return n;
  };
  for (int i = 0; i < 3; ++i) EXPECT_EQ(agent->runningApps().size(), 3u);
  EXPECT_EQ(openCount(), 1);

  test::writeFile(plist, infoPlist("org.example.renamed"));
  openCount();  // the writer's own
  EXPECT_EQ(agent->runningApps().front().bundleId, "org.example.renamed");
  EXPECT_EQ(agent->runningApps().size(), 3u);
  EXPECT_EQ(openCount(), 1);
  ::close(opens);
}

// Listed in the table's order, without this process and those without a path; path bytes are
// taken as UTF-8 up to the first zero byte. The bundle's folder name holds U+FFFD where the
// process path has an invalid byte, and one for each byte of an overlong form.
TEST_F(RunningApps, SkipsItselfAndProcessesWithoutAPathAndTakesPathsAsUtf8UpToAZeroByte) {
  const fs::path xml = makeAppBundle(root / "Xml.app", infoPlist("org.example.xml"));
  const fs::path bin =
      makeAppBundle(root / "Bin.app", binaryPlist(plist_new_string("org.example.bin")));
  const std::string r = "\xEF\xBF\xBD";
  makeAppBundle(root / ("Caf" + r + ".app"), infoPlist("org.example.repaired"));
  makeAppBundle(root / ("B" + r + r + ".app"), infoPlist("org.example.overlong"));
  EXPECT_TRUE(listing(fake).empty());
  for (const pid_t pid : {0, -4, ::getpid(), 400}) fake->add(pid, xml);
  fake->add(300, bin);
  fake->pids.push_back(200);  // no path: it ended between the listing and the lookup
  fake->add(100, "/usr/sbin/cupsd");
  fake->add(10, root / "Caf\xFF.app/Contents/MacOS/app");
  fake->add(11, xml.string() + std::string("\0/Other.app/x", 13));
  fake->add(12, std::string("/nowhere\0", 9) + xml.string());
  fake->add(13, root / "B\xC0\xAF.app/Contents/MacOS/app");
  fake->add(250, bin);
  EXPECT_EQ(listing(fake), (std::vector<RunningProc>{{"org.example.xml", 400},
                                                     {"org.example.bin", 300},
                                                     {"org.example.repaired", 10},
                                                     {"org.example.xml", 11},
                                                     {"org.example.overlong", 13},
                                                     {"org.example.bin", 250}}));
}

// Writes bundle/Contents/Info.plist with the identifier and, when given, the display name and
// the name.
void makeBundle(const fs::path& bundle, const std::string& id, const char* displayName = nullptr,
                const char* name = nullptr) {
  const auto entry = [](const char* key, const std::string& value) {
    return "<key>" + std::string(key) + "</key><string>" + value + "</string>";
  };
  std::string dict = id.empty() ? "" : entry("CFBundleIdentifier", id);
  if (displayName) dict += entry("CFBundleDisplayName", displayName);
  if (name) dict += entry("CFBundleName", name);
  fs::create_directories(bundle / "Contents");
  test::writeFile(bundle / "Contents" / "Info.plist", test::xmlPlist("<dict>" + dict + "</dict>"));
}

TEST(Inventory, ScansTheThreeKindsOfFolderNamesAppsAndSortsThem) {
  test::TempDir root;
  EXPECT_TRUE(Inventory::scan(root.path()).empty());
  const auto apps = root / "Applications";
  makeBundle(apps / "Safari.app", "com.apple.Safari", "Safari Browser", "Safari");
  makeBundle(apps / "notes.app", "com.example.notes", nullptr, "notes");
  makeBundle(apps / "Calculator.app", "com.example.calc");                  // named after the file
  makeBundle(apps / "Blank.app", "com.example.blank", nullptr, "");         // an empty name counts
  makeBundle(apps / ".Hidden.app", "com.example.hidden", "Hidden");         // hidden entries count
  makeBundle(apps / "Utilities" / "Terminal.app", "com.example.terminal");  // not recursive
  makeBundle(apps / "Shout.APP", "com.example.shout");  // extension is case-sensitive
  makeBundle(apps / "NoId.app", "", "No Id");
  makeBundle(apps / "Folder", "com.example.folder");
  fs::create_directories(apps / "Broken.app");  // no Info.plist
  makeBundle(root / "System" / "Applications" / "Mail.app", "com.apple.mail", "\u00c9clair Mail");
  makeBundle(root / "Users" / "Shared" / "Applications" / "Game.app", "com.example.game", "game");
  makeBundle(root / "Users" / ".secret" / "Applications" / "Spy.app", "com.example.spy", "Spy");
  fs::create_directories(root / "Users" / "nobody");  // no Applications folder

  // Sorted ignoring case and accents.
  EXPECT_EQ(Inventory::scan(root.path()),
            (std::vector<InstalledApp>{{"", "com.example.blank"},
                                       {"Calculator", "com.example.calc"},
                                       {"\u00c9clair Mail", "com.apple.mail"},
                                       {"game", "com.example.game"},
                                       {"Hidden", "com.example.hidden"},
                                       {"notes", "com.example.notes"},
                                       {"Safari Browser", "com.apple.Safari"}}));
}

// A user's folder is the user's to fill: links there could lead the scan to any bundle, or to
// the same large one 50 000 times. Administrators' folders may hold links to bundles.
TEST(Inventory, UsersFoldersFollowNoLinksAndNoFolderIsScannedPastTenThousandBundles) {
  test::TempDir root;
  makeBundle(root / "elsewhere" / "Hidden.app", "com.example.hidden", "Hidden");
  makeBundle(root / "elsewhere" / "Tool.app", "com.example.tool", "Tool");
  fs::create_directories(root / "Applications");
  fs::create_symlink(root / "elsewhere" / "Tool.app", root / "Applications" / "Tool.app");
  const fs::path mine = root / "Users" / "kid" / "Applications";
  makeBundle(mine / "Game.app", "com.example.game", "Game");
  fs::create_symlink(root / "elsewhere" / "Hidden.app", mine / "Hidden.app");
  fs::create_directories(mine / "Contents.app");
  fs::create_symlink(root / "elsewhere" / "Hidden.app" / "Contents",
                     mine / "Contents.app" / "Contents");
  makeBundle(mine / "Inner.app", "com.example.inner", "Inner");
  fs::remove(mine / "Inner.app" / "Contents" / "Info.plist");
  fs::create_symlink(root / "elsewhere" / "Hidden.app" / "Contents" / "Info.plist",
                     mine / "Inner.app" / "Contents" / "Info.plist");
  // Another user's folder with more bundles than a scan takes (links to one file will do: each
  // entry counts).
  const fs::path full = root / "Users" / "many" / "Applications";
  fs::create_directories(full);
  std::ofstream(full / "0.app");
  for (std::size_t i = 1; i <= Inventory::kMaxBundlesPerFolder; ++i) {
    fs::create_hard_link(full / "0.app", full / (std::to_string(i) + ".app"));
  }
  test::CapturedStderr log;
  EXPECT_EQ(
      Inventory::scan(root.path()),
      (std::vector<InstalledApp>{{"Game", "com.example.game"}, {"Tool", "com.example.tool"}}));
  EXPECT_EQ(test::count(log.text(), "inventory: more than 10000 bundles in " + full.string() +
                                        ", the rest not scanned\n"),
            1u);
  EXPECT_EQ(test::count(log.text(), "\n"), 1u);
}

}  // namespace
}  // namespace tether
