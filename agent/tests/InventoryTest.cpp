// The installed-app scan over a temporary root folder laid out like a Mac's.
#include "Inventory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

#include "TestSupport.h"

namespace tether {
namespace {

namespace fs = std::filesystem;

// Writes bundle/Contents/Info.plist with the given keys (a key left out is absent).
void makeBundle(const fs::path& bundle, std::optional<std::string> id,
                std::optional<std::string> displayName = std::nullopt,
                std::optional<std::string> name = std::nullopt) {
  std::string dict;
  const auto entry = [&](const char* key, const std::optional<std::string>& value) {
    if (value) dict += "<key>" + std::string(key) + "</key><string>" + *value + "</string>\n";
  };
  entry("CFBundleIdentifier", id);
  entry("CFBundleDisplayName", displayName);
  entry("CFBundleName", name);
  fs::create_directories(bundle / "Contents");
  test::writeFile(bundle / "Contents" / "Info.plist",
                  test::xmlPlist("<dict>\n" + dict + "</dict>"));
}

std::vector<std::string> names(const std::vector<InstalledApp>& apps) {
  std::vector<std::string> out;
  for (const auto& app : apps) out.push_back(app.name);
  return out;
}

TEST(Inventory, ScansTheThreeKindsOfFolderAndNothingElse) {
  test::TempDir root;
  const auto apps = root / "Applications";
  makeBundle(apps / "Safari.app", "com.apple.Safari", "Safari Browser", "Safari");
  makeBundle(apps / "Notes.app", "com.example.notes", std::nullopt, "Notes");
  makeBundle(apps / "Calculator.app", "com.example.calc");                  // named after the file
  makeBundle(apps / "Blank.app", "com.example.blank", std::nullopt, "");    // an empty name counts
  makeBundle(apps / ".Hidden.app", "com.example.hidden", "Hidden");         // hidden entries count
  makeBundle(apps / "Utilities" / "Terminal.app", "com.example.terminal");  // not recursive
  makeBundle(apps / "Shout.APP", "com.example.shout");  // extension is case-sensitive
  makeBundle(apps / "NoId.app", std::nullopt, "No Id");
  makeBundle(apps / "Folder", "com.example.folder");
  fs::create_directories(apps / "Broken.app");  // no Info.plist
  makeBundle(root / "System" / "Applications" / "Mail.app", "com.apple.mail", "Mail");
  makeBundle(root / "Users" / "Shared" / "Applications" / "Game.app", "com.example.game", "Game");
  makeBundle(root / "Users" / ".secret" / "Applications" / "Spy.app", "com.example.spy", "Spy");
  fs::create_directories(root / "Users" / "nobody");  // no Applications folder

  const auto found = Inventory::scan(root.path());
  EXPECT_EQ(names(found), (std::vector<std::string>{"", "Calculator", "Game", "Hidden", "Mail",
                                                    "Notes", "Safari Browser"}));
  const auto safari = std::find_if(
      found.begin(), found.end(), [](const InstalledApp& a) { return a.name == "Safari Browser"; });
  ASSERT_NE(safari, found.end());
  EXPECT_EQ(safari->bundleId, "com.apple.Safari");
}

TEST(Inventory, TheLastScannedCopyOfAnIdentifierWins) {
  test::TempDir root;
  makeBundle(root / "Applications" / "Tool.app", "com.example.tool", "Tool (all users)");
  makeBundle(root / "System" / "Applications" / "Tool.app", "com.example.tool", "Tool (system)");
  const auto systemWins = Inventory::scan(root.path());
  EXPECT_EQ(systemWins, (std::vector<InstalledApp>{{"Tool (system)", "com.example.tool"}}));

  makeBundle(root / "Users" / "alice" / "Applications" / "Tool.app", "com.example.tool",
             "Tool (alice)");
  EXPECT_EQ(Inventory::scan(root.path()),
            (std::vector<InstalledApp>{{"Tool (alice)", "com.example.tool"}}));
}

TEST(Inventory, NoReadableFolderGivesTheEmptyList) {
  test::TempDir root;
  EXPECT_TRUE(Inventory::scan(root / "nothing-here").empty());
}

TEST(Inventory, NamesSortIgnoringCaseAndAccentsWithAStableTieBreak) {
  test::TempDir root;
  makeBundle(root / "Applications" / "z.app", "z", "zebra");
  makeBundle(root / "Applications" / "a.app", "a", "Apple");
  makeBundle(root / "Applications" / "b.app", "b", "banana");
  EXPECT_EQ(names(Inventory::scan(root.path())),
            (std::vector<std::string>{"Apple", "banana", "zebra"}));

  std::vector<std::string> list{"zebra",  "\u00C9clair", "eclair", "Eclair",  "banana",
                                "\u00C4pfel", "apple",       "Apple",  "10 Apps", "\xFF broken"};
  std::sort(list.begin(), list.end(), [](const std::string& x, const std::string& y) {
    return Inventory::compareNames(x, y) < 0;
  });
  EXPECT_EQ(list, (std::vector<std::string>{"10 Apps", "\u00C4pfel", "Apple", "apple", "banana",
                                            "Eclair", "eclair", "\u00C9clair", "zebra",
                                            "\xFF broken"}));
}

}  // namespace
}  // namespace tether
