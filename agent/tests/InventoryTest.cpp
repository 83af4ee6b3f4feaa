// The installed-app scan over a temporary root folder laid out like a Mac's.
#include "Inventory.h"

#include <gtest/gtest.h>

#include <fstream>

#include "TestSupport.h"

namespace tether {
namespace {

namespace fs = std::filesystem;

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
  makeBundle(apps / "Calculator.app", "com.example.calc");                 // named after the file
  makeBundle(apps / "Blank.app", "com.example.blank", nullptr, "");        // an empty name counts
  makeBundle(apps / ".Hidden.app", "com.example.hidden", "Hidden");        // hidden entries count
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
  fs::create_symlink(root / "elsewhere" / "Hidden.app" / "Contents", mine / "Contents.app" / "Contents");
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
  EXPECT_EQ(Inventory::scan(root.path()),
            (std::vector<InstalledApp>{{"Game", "com.example.game"}, {"Tool", "com.example.tool"}}));
  EXPECT_EQ(test::count(log.text(), "inventory: more than 10000 bundles in " + full.string() +
                                        ", the rest not scanned\n"),
            1u);
  EXPECT_EQ(test::count(log.text(), "\n"), 1u);
}

}  // namespace
}  // namespace tether
