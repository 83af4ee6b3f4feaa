// The two files the agent and the tab helper share, and the leftovers of a writer killed mid-write.
#include "TabState.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <thread>

#include "SafeFile.h"
#include "TestHelpers.h"

namespace tether {
namespace {

namespace fs = std::filesystem;

TEST(TabSnapshotRecord, HostIsOptionalEveryOtherKeyRequired) {
  const std::string base = R"("ts":100.5,"bundleId":"com.apple.Safari","privateBrowsing":false,)"
                           R"("idleSeconds":3,"locked":false)";
  for (const std::string& noHost : {"{" + base + "}", "{" + base + R"(,"host":null})"}) {
    auto s = TabState::decodeSnapshot(noHost);
    ASSERT_TRUE(s) << s.error();
    EXPECT_FALSE(s->host);
  }
  const std::string bad[] = {"{" + base.substr(0, base.find(",\"locked\"")) + "}",
                            "{" + base + R"(,"host":5})",
                            "{\"ts\":\"1\"," + base.substr(11) + "}", "[]"};
  for (const std::string& text : bad) {
    EXPECT_FALSE(TabState::decodeSnapshot(text)) << text;
  }
  const TabSnapshot s{12.25, "com.google.Chrome", "a.b", true, 7.5, true};
  auto back = TabState::decodeSnapshot(TabState::encode(s));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->ts, 12.25);
  EXPECT_EQ(back->host, "a.b");
  EXPECT_TRUE(back->privateBrowsing && back->locked);
}

TEST(TabStateFreshness, SnapshotUnder45SecondsRequestUpTo60) {
  const TabSnapshot s{1000, "", std::nullopt, false, 0, false};
  EXPECT_TRUE(TabState::isFresh(s, 1044.9));
  EXPECT_FALSE(TabState::isFresh(s, 1045.0));
  // Written "in the future": fresh only up to 45 seconds ahead.
  EXPECT_TRUE(TabState::isFresh(s, 955.1));
  EXPECT_FALSE(TabState::isFresh(s, 955.0));
  EXPECT_FALSE(TabState::isFresh({1e18, "", std::nullopt, false, 0, true}, 1000));
  const TabEnforce r{1000, true, true};
  EXPECT_TRUE(TabState::isObeyable(r, 1060.0));
  EXPECT_FALSE(TabState::isObeyable(r, 1060.1));
  EXPECT_TRUE(TabState::isObeyable(r, 940.0));  // written 60 seconds "in the future"
  EXPECT_FALSE(TabState::isObeyable(r, 939.9));
}

class TabStateFiles : public testing::Test {
 protected:
  test::TempDir temporary;
  const fs::path& dir = temporary.path();
};

TEST_F(TabStateFiles, UntrustedSnapshotsReadAsNone) {
  const TabSnapshot s{5, "com.apple.Safari", "a.com", false, 0, false};
  const fs::path tab = TabState::snapshotPath(dir);
  TabState::writeSnapshot(s, tab);
  ASSERT_TRUE(TabState::readSnapshot(dir));
  fs::rename(tab, dir / "real.json");

  const std::size_t half = TabState::kMaxFileBytes / 2 - 1;
  const std::function<void()> plant[] = {
      [&] { fs::create_symlink(dir / "real.json", tab); },
      [&] { std::ofstream(tab) << TabState::encode(s) << std::string(2 * half + 2, ' '); },
      [&] { std::ofstream(tab) << std::string(half, '[') + std::string(half, ']'); },
      [&] { ::mkfifo(tab.c_str(), 0666); },
      [&] { fs::create_directory(tab); }};
  for (const auto& planted : plant) {
    fs::remove(tab);
    planted();
    EXPECT_FALSE(TabState::readSnapshot(dir));
  }
}

TEST_F(TabStateFiles, StaleTemporariesOfAKilledWriterAreRemovedAndNothingElse) {
  for (const char* name : {"usage.json", ".usage.json.a1B2c3", ".usage.json.keep",
                           ".enforce.json.a1B2c3"}) {
    std::ofstream(dir / name) << name;
  }
  SafeFile::removeStaleTemporaries(dir / "usage.json");
  EXPECT_FALSE(fs::exists(dir / ".usage.json.a1B2c3"));
  EXPECT_TRUE(fs::exists(dir / ".usage.json.keep"));      // not a name a writer would choose
  EXPECT_TRUE(fs::exists(dir / ".enforce.json.a1B2c3"));  // another file's
  EXPECT_EQ(*SafeFile::read(dir / "usage.json", 100), "usage.json");

  // A folder that fails to list part way ends the clean-up, not the program. Here its descriptor
  // is replaced once the first temporary file is gone, and with thousands of them the listing
  // needs more reads after that.
  for (int i = 0; i < 1200; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, ".usage.json.%06d", i);
    std::ofstream(dir / name);
  }
  const int watch = ::inotify_init1(IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(::inotify_add_watch(watch, dir.c_str(), IN_DELETE), 0);
  const int listing = ::open("/dev/null", O_RDONLY);  // the number the listing will get
  ::close(listing);
  std::thread breaker([&] {
    char event[sizeof(inotify_event) + NAME_MAX + 1];
    if (::read(watch, event, sizeof event) <= 0) return;
    const int null = ::open("/dev/null", O_RDONLY);
    ::dup2(null, listing);
    ::close(null);
  });
  EXPECT_NO_THROW(SafeFile::removeStaleTemporaries(dir / "usage.json"));
  breaker.join();
  ::close(watch);
}

}  // namespace
}  // namespace tether
