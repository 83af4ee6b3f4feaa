// The two files the agent and the tab helper share.
#include "TabState.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <functional>

namespace tether {
namespace {

namespace fs = std::filesystem;

TEST(TabSnapshotRecord, HostIsOptionalEveryOtherKeyRequired) {
  const std::string base = R"("ts":100.5,"bundleId":"com.apple.Safari","privateBrowsing":false,"idleSeconds":3,"locked":false)";
  auto noHost = TabState::decodeSnapshot("{" + base + "}");
  ASSERT_TRUE(noHost) << noHost.error();
  EXPECT_FALSE(noHost->host);
  auto nullHost = TabState::decodeSnapshot("{" + base + R"(,"host":null})");
  ASSERT_TRUE(nullHost);
  EXPECT_FALSE(nullHost->host);
  auto host = TabState::decodeSnapshot("{" + base + R"(,"host":"example.com","extra":1})");
  ASSERT_TRUE(host);
  EXPECT_EQ(host->host, "example.com");
  EXPECT_DOUBLE_EQ(host->ts, 100.5);

  EXPECT_FALSE(TabState::decodeSnapshot(R"({"ts":1,"bundleId":"a","privateBrowsing":false,"idleSeconds":3})"));
  EXPECT_FALSE(TabState::decodeSnapshot("{" + base + R"(,"host":5})"));
  EXPECT_FALSE(TabState::decodeSnapshot(R"({"ts":"1","bundleId":"a","privateBrowsing":false,"idleSeconds":3,"locked":false})"));
  EXPECT_FALSE(TabState::decodeSnapshot("[]"));

  TabSnapshot s{12.25, "com.google.Chrome", "a.b", true, 7.5, true};
  auto back = TabState::decodeSnapshot(TabState::encode(s));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->host, "a.b");
  EXPECT_TRUE(back->privateBrowsing && back->locked);
}

TEST(TabStateFreshness, SnapshotUnder45SecondsRequestUpTo60) {
  TabSnapshot s;
  s.ts = 1000;
  EXPECT_TRUE(TabState::isFresh(s, 1044.9));
  EXPECT_FALSE(TabState::isFresh(s, 1045.0));
  EXPECT_TRUE(TabState::isFresh(s, 900));  // written "in the future"
  TabEnforce r;
  r.ts = 1000;
  EXPECT_TRUE(TabState::isObeyable(r, 1060.0));
  EXPECT_FALSE(TabState::isObeyable(r, 1060.1));
}

struct Folder {
  fs::path path;
  Folder() {
    std::string pattern = (fs::temp_directory_path() / "tether-tabstate-XXXXXX").string();
    path = ::mkdtemp(pattern.data());
  }
  ~Folder() { fs::remove_all(path); }
};

TEST(TabStateFiles, RequestIsWrittenIntoANewStateFolderAndReadBack) {
  Folder dir;
  TabState::writeEnforce({1234.5, true, true}, dir.path);
  auto r = TabState::readEnforce(dir.path / "state" / "enforce.json");
  ASSERT_TRUE(r);
  EXPECT_TRUE(r->evict);
  EXPECT_DOUBLE_EQ(r->ts, 1234.5);
  // Only the file itself: no temporary files left behind.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path / "state"), fs::directory_iterator{}), 1);
}

TEST(TabStateFiles, UntrustedSnapshotsReadAsNone) {
  Folder dir;
  const TabSnapshot s{5, "com.apple.Safari", "a.com", false, 0, false};
  const fs::path tab = TabState::snapshotPath(dir.path);
  TabState::writeSnapshot(s, tab);
  ASSERT_TRUE(TabState::readSnapshot(dir.path));
  fs::rename(tab, dir.path / "real.json");

  const std::string nested = std::string(TabState::kMaxFileBytes / 2 - 1, '[') +
                             std::string(TabState::kMaxFileBytes / 2 - 1, ']');
  const std::function<void()> plant[] = {
      [&] { fs::create_symlink(dir.path / "real.json", tab); },
      [&] {
        std::ofstream(tab) << TabState::encode(s) << std::string(TabState::kMaxFileBytes, ' ');
      },
      [&] { std::ofstream(tab) << nested; },
      [&] { ::mkfifo(tab.c_str(), 0666); },
      [&] { fs::create_symlink("/dev/zero", tab); },
      [&] { fs::create_directory(tab); }};
  for (const auto& planted : plant) {
    fs::remove(tab);
    planted();
    EXPECT_FALSE(TabState::readSnapshot(dir.path));
  }
}

}  // namespace
}  // namespace tether
