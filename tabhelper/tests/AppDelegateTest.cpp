// The helper's tick and permission flow against a made-up desktop.
#include "AppDelegate.h"

#include <gtest/gtest.h>

#include "Browser.h"
#include "FakeDesktop.h"
#include "TestHelpers.h"

namespace tether {
namespace {

using test::FakeDesktop;

constexpr double kNow = 1'700'000'000.5;
const std::string kSafariQuery(kSafari.queryScript), kChromeQuery(kChrome.queryScript);

class AppDelegateTest : public testing::Test {
 protected:
  test::TempDir dir;
  FakeDesktop desktop;
  AppDelegate delegate{desktop, {dir.path(), [] { return kNow; }}};

  void request(double age, bool evict, bool closePrivate = true) {
    TabState::writeEnforce(TabEnforce{kNow - age, evict, closePrivate}, dir.path());
  }
  std::optional<TabSnapshot> written() const { return TabState::readSnapshot(dir.path()); }
};

TEST_F(AppDelegateTest, SnapshotOfTheFrontTab) {
  struct Case {
    std::string front;
    std::optional<std::string> answer;  // of the query script; nothing when it fails
    std::optional<std::string> host;
    bool privateBrowsing;
  };
  const Case cases[] = {
      {"com.apple.Finder", std::nullopt, std::nullopt, false},
      {"com.apple.Safari", "none", std::nullopt, false},        // no windows
      {"com.apple.Safari", std::nullopt, std::nullopt, false},  // refused
      {"com.apple.Safari", "private", std::nullopt, true},
      {"com.apple.Safari", "", std::nullopt, false},
      {"com.apple.Safari", "something else", std::nullopt, false},
      {"com.google.Chrome", "url|https://WWW.Example.COM:8443/a?b#c", "www.example.com", false},
      {"com.google.Chrome", "url| \thttp://user:pw@[2001:DB8::1]:80/\n", "2001:db8::1", false},
      {"com.apple.Safari", "url|https://B\u00FCcher.example/", "xn--bcher-kva.example", false},
      {"com.apple.Safari", "url|https://xn--bcher-kva.example/", "xn--bcher-kva.example", false},
      {"com.apple.Safari", "url|about:blank", std::nullopt, false},
      {"com.apple.Safari", "url|https://exa mple.com/", std::nullopt, false},
      {"com.apple.Safari", "url|http://[::1/", std::nullopt, false},
      {"com.apple.Safari", "url|example.com", std::nullopt, false},  // a path, no host
      {"com.apple.Safari", "url|file:///Users/kid/page.html", std::nullopt, false},
      {"com.apple.Safari", "url|", std::nullopt, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.front + " " + c.answer.value_or("(nothing)"));
    desktop = FakeDesktop{};
    desktop.front = c.front;
    desktop.locked = true;
    const Browser* browser = Browser::withBundleId(c.front);
    if (c.answer && browser) desktop.scriptResults[std::string(browser->queryScript)] = *c.answer;
    delegate.tick();
    const auto s = written();
    ASSERT_TRUE(s);
    EXPECT_EQ(s->ts, kNow);
    EXPECT_EQ(s->bundleId, c.front);
    EXPECT_EQ(s->host, c.host);
    EXPECT_EQ(s->privateBrowsing, c.privateBrowsing);
    EXPECT_EQ(s->idleSeconds, 3.5);
    EXPECT_TRUE(s->locked);
    const std::vector<std::string> queries =
        browser ? std::vector{std::string(browser->queryScript)} : std::vector<std::string>{};
    EXPECT_EQ(desktop.scriptsRun(), queries);  // no request: nothing else runs
  }
}

TEST_F(AppDelegateTest, NoDisplayWritesNoSnapshotAndDoesNothing) {
  desktop.front = std::nullopt;
  request(0, true);
  delegate.tick();
  EXPECT_FALSE(std::filesystem::exists(TabState::snapshotPath(dir.path())));
  EXPECT_TRUE(desktop.scriptsRun().empty());
}

TEST_F(AppDelegateTest, RequestsCarriedOutOnlyWhileFreshAndApplicable) {
  const std::string blank(kSafari.blankScript), close(kSafari.closeScript),
      chromeBlank(kChrome.blankScript);
  struct Case {
    const char* name;
    std::string front, answer;
    double age;
    bool evict, closePrivate;
    std::vector<std::string> scripts;
  };
  const std::string safari = "com.apple.Safari", page = "url|https://a.example/";
  const Case cases[] = {
      {"fresh, evict", safari, page, 0, true, true, {kSafariQuery, blank}},
      {"60 s old", safari, page, 60, true, true, {kSafariQuery, blank}},
      {"61 s old", safari, page, 61, true, true, {kSafariQuery}},
      {"61 s ahead", safari, page, -61, true, true, {kSafariQuery}},
      {"no host", safari, "url|about:blank", 0, true, true, {kSafariQuery}},
      {"not asked to evict", safari, page, 0, false, true, {kSafariQuery}},
      {"TextEdit", "com.apple.TextEdit", "", 0, true, true, {}},
      {"private", safari, "private", 0, true, true, {kSafariQuery, close}},
      {"private, not asked to close", safari, "private", 0, true, false, {kSafariQuery}},
      {"Chrome", "com.google.Chrome", page, 0, true, true, {kChromeQuery, chromeBlank}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    desktop = FakeDesktop{};
    desktop.front = c.front;
    desktop.locked = true;  // a locked screen changes nothing
    desktop.scriptResults[kSafariQuery] = desktop.scriptResults[kChromeQuery] = c.answer;
    request(c.age, c.evict, c.closePrivate);
    delegate.tick();
    EXPECT_EQ(desktop.scriptsRun(), c.scripts);
  }
}

TEST_F(AppDelegateTest, ClosesThenBlanksWhenBothApply) {
  request(0, true);
  delegate.applyEnforce({kNow, "com.google.Chrome", "a.example", true, 0, false});
  EXPECT_EQ(desktop.scriptsRun(),
            (std::vector{std::string(kChrome.closeScript), std::string(kChrome.blankScript)}));
}

TEST_F(AppDelegateTest, PermissionFlow) {
  const std::string safari = "permission com.apple.Safari", chrome = "permission com.google.Chrome";
  const std::string allow =
      "alert Allow Safari control | Click Continue, then click OK on the macOS dialog. Keep this "
      "app in the Dock until that dialog appears. | Continue";
  const std::string notAsked =
      "alert macOS did not ask | Open System Settings \u2192 Privacy & Security \u2192 "
      "Automation. If Tether Tab Helper is listed under Safari, turn it on. If it is missing, "
      "quit Tether Tab Helper and open it again from Tether. | OK";
  const std::string probe = "script tell application \"Safari\" to get name";
  struct Case {
    const char* name;
    int32_t before;
    std::optional<int32_t> onceAsked;
    bool chromeInstalled;
    std::vector<std::string> calls;
  };
  const Case cases[] = {
      {"already allowed", 0, std::nullopt, true, {safari, "accessory"}},
      {"refused before and after",
       -1743,
       std::nullopt,
       true,
       {safari, allow, "activate", probe, safari + " ask", "installed com.google.Chrome",
        chrome + " ask", safari, notAsked}},
      {"allowed when asked, no Chrome",
       -1744,
       0,
       false,
       {safari, allow, "activate", probe, safari + " ask", "installed com.google.Chrome", safari,
        "accessory"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    desktop = FakeDesktop{};
    desktop.safariPermission = c.before;
    desktop.safariPermissionOnceAsked = c.onceAsked;
    if (c.chromeInstalled) desktop.installed.insert("com.google.Chrome");
    delegate.askForSafari();
    EXPECT_EQ(desktop.calls, c.calls);
  }
}

TEST(BrowserScripts, ExactBytes) {
  const auto lines = [](std::initializer_list<const char*> list) {
    std::string text;
    for (const char* line : list) text += (text.empty() ? "" : "\n") + std::string(line);
    return text;
  };
  EXPECT_EQ(
      kSafari.queryScript,
      lines({"tell application \"Safari\"", "  if (count of windows) is 0 then return \"none\"",
             "  try", "    set u to URL of current tab of front window",
             "    if u is missing value then return \"private\"", "    return \"url|\" & u",
             "  on error", "    return \"none\"", "  end try", "end tell"}));
  EXPECT_EQ(
      kChrome.queryScript,
      lines({"tell application \"Google Chrome\"",
             "  if (count of windows) is 0 then return \"none\"", "  try",
             "    set t to active tab of front window",
             "    if (mode of front window as string) is \"incognito\" then return \"private\"",
             "    return \"url|\" & (URL of t as string)", "  on error", "    return \"none\"",
             "  end try", "end tell"}));
  EXPECT_EQ(kSafari.closeScript, "tell application \"Safari\" to close front window");
  EXPECT_EQ(kChrome.closeScript, "tell application \"Google Chrome\" to close front window");
  EXPECT_EQ(kSafari.blankScript,
            "tell application \"Safari\" to set URL of current tab of front window to "
            "\"about:blank\"");
  EXPECT_EQ(kChrome.blankScript,
            "tell application \"Google Chrome\" to set URL of active tab of front window to "
            "\"about:blank\"");
  EXPECT_EQ(kSafariProbeScript, "tell application \"Safari\" to get name");
}

}  // namespace
}  // namespace tether
