// The helper's tick and permission flow against a made-up desktop, on its own and on the Qt
// event loop.
#include "AppDelegate.h"

#include <QCoreApplication>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "Browser.h"
#include "TestHelpers.h"

namespace tether {
namespace {

using namespace std::chrono_literals;
using Calls = std::vector<std::string>;

// A desktop made up by the test that records every call, in order.
struct FakeDesktop : Desktop {
  std::optional<std::string> front = "com.apple.Finder";
  std::map<std::string, std::string, std::less<>> scriptResults;  // by source; others fail
  int32_t safariPermission = kPermissionGranted;
  std::optional<int32_t> safariPermissionOnceAsked;  // what the user chooses when asked
  bool chromeInstalled = false;
  Calls calls;

  Calls scriptsRun() const {
    Calls scripts;
    for (const auto& call : calls)
      if (call.starts_with("script ")) scripts.push_back(call.substr(7));
    return scripts;
  }
  template <class T>
  T record(std::string call, T value) {
    calls.push_back(std::move(call));
    return value;
  }
  std::optional<std::string> frontmostBundleId() override { return record("front", front); }
  double secondsSinceLastInput() override { return record("idle", 3.5); }
  bool isScreenLocked() override {
    return record("locked", true);
  }  // a locked screen changes nothing
  std::optional<std::string> runAppleScript(std::string_view source) override {
    const auto it = scriptResults.find(source);
    return record("script " + std::string(source),
                  it != scriptResults.end() ? std::optional(it->second) : std::nullopt);
  }
  int32_t automationPermission(std::string_view bundleId, bool askUser) override {
    if (askUser && safariPermissionOnceAsked) safariPermission = *safariPermissionOnceAsked;
    return record("permission " + std::string(bundleId) + (askUser ? " ask" : ""),
                  bundleId == "com.apple.Safari" ? safariPermission : -1743);
  }
  bool isInstalled(std::string_view bundleId) override {
    return record("installed " + std::string(bundleId),
                  chromeInstalled && bundleId == "com.google.Chrome");
  }
  void showAlert(std::string_view message, std::string_view text,
                 std::string_view button) override {
    calls.push_back("alert " + std::string(message) + " | " + std::string(text) + " | " +
                    std::string(button));
  }
  void setActivationPolicy(ActivationPolicy policy) override {
    calls.push_back(policy == ActivationPolicy::Regular ? "regular" : "accessory");
  }
  void activate() override { calls.push_back("activate"); }
};

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
};

// Each tick writes what is in front and carries out the agent's request while it is fresh and
// applies to that tab.
TEST_F(AppDelegateTest, SnapshotOfTheFrontTabAndTheRequestCarriedOut) {
  const std::string safari = "com.apple.Safari", chrome = "com.google.Chrome",
                    page = "url|https://a.example/";
  const std::string blank(kSafari.blankScript), close(kSafari.closeScript),
      chromeBlank(kChrome.blankScript);
  const struct {
    std::string front;
    std::optional<std::string> answer;  // of the query script; nothing when it fails
    std::optional<std::string> host;
    bool privateBrowsing;
    Calls scripts;
    double age = 0;  // of the request
    bool evict = true, closePrivate = true;
  } cases[] = {
      {"com.apple.Finder", std::nullopt, std::nullopt, false, {}},
      {safari, "none", std::nullopt, false, {kSafariQuery}},        // no windows
      {safari, std::nullopt, std::nullopt, false, {kSafariQuery}},  // refused
      {safari, "something else", std::nullopt, false, {kSafariQuery}},
      {safari, "private", std::nullopt, true, {kSafariQuery, close}},
      {safari, "private", std::nullopt, true, {kSafariQuery}, 0, true, false},
      {chrome,
       "url|https://WWW.Example.COM:8443/a?b#c",
       "www.example.com",
       false,
       {kChromeQuery, chromeBlank}},
      {chrome,
       "url| \thttp://user:pw@[2001:DB8::1]:80/\n",
       "2001:db8::1",
       false,
       {kChromeQuery, chromeBlank}},
      {safari,
       "url|https://B\u00FCcher.example/",
       "xn--bcher-kva.example",
       false,
       {kSafariQuery, blank}},
      {safari, "url|about:blank", std::nullopt, false, {kSafariQuery}},
      {safari, "url|https://exa mple.com/", std::nullopt, false, {kSafariQuery}},
      {safari, "url|http://[::1/", std::nullopt, false, {kSafariQuery}},
      {safari, "url|example.com", std::nullopt, false, {kSafariQuery}},  // a path, no host
      {safari, "url|file:///Users/kid/page.html", std::nullopt, false, {kSafariQuery}},
      {safari, page, "a.example", false, {kSafariQuery, blank}, 60},
      {safari, page, "a.example", false, {kSafariQuery}, 61},
      {safari, page, "a.example", false, {kSafariQuery}, -61},
      {safari, page, "a.example", false, {kSafariQuery}, 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.front + " " + c.answer.value_or("(nothing)") + " " + std::to_string(c.age));
    desktop = FakeDesktop{};
    desktop.front = c.front;
    if (c.answer)
      desktop.scriptResults[kSafariQuery] = desktop.scriptResults[kChromeQuery] = *c.answer;
    request(c.age, c.evict, c.closePrivate);
    delegate.tick();
    const auto s = TabState::readSnapshot(dir.path());
    ASSERT_TRUE(s);
    EXPECT_EQ(std::tie(s->ts, s->bundleId, s->host, s->privateBrowsing, s->idleSeconds, s->locked),
              std::make_tuple(kNow, c.front, c.host, c.privateBrowsing, 3.5, true));
    EXPECT_EQ(desktop.scriptsRun(), c.scripts);
  }
  // Both apply: the private window is closed first, then the page blanked.
  desktop = FakeDesktop{};
  request(0, true);
  delegate.applyEnforce({kNow, chrome, "a.example", true, 0, false});
  EXPECT_EQ(desktop.scriptsRun(), (Calls{std::string(kChrome.closeScript), chromeBlank}));
  // No display: no snapshot, nothing run.
  std::filesystem::remove(TabState::snapshotPath(dir.path()));
  desktop.front = std::nullopt;
  delegate.tick();
  EXPECT_FALSE(std::filesystem::exists(TabState::snapshotPath(dir.path())));
  EXPECT_EQ(desktop.scriptsRun().size(), 2u);
}

TEST_F(AppDelegateTest, PermissionFlow) {
  const std::string safari = "permission com.apple.Safari", chrome = "permission com.google.Chrome";
  const auto alert = [](const AppDelegate::Alert& a) {
    return "alert " + std::string(a.message) + " | " + std::string(a.informativeText) + " | " +
           std::string(a.button);
  };
  const std::string probe = "script " + std::string(kSafariProbeScript);
  const struct {
    const char* name;
    int32_t before;
    std::optional<int32_t> onceAsked;
    bool chromeInstalled;
    Calls calls;
  } cases[] = {
      {"already allowed", 0, std::nullopt, true, {safari, "accessory"}},
      {"refused before and after",
       -1743,
       std::nullopt,
       true,
       {safari, alert(AppDelegate::kAllowSafariAlert), "activate", probe, safari + " ask",
        "installed com.google.Chrome", chrome + " ask", safari,
        alert(AppDelegate::kNotAskedAlert)}},
      {"allowed when asked, no Chrome",
       -1744,
       0,
       false,
       {safari, alert(AppDelegate::kAllowSafariAlert), "activate", probe, safari + " ask",
        "installed com.google.Chrome", safari, "accessory"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    desktop = FakeDesktop{};
    desktop.safariPermission = c.before;
    desktop.safariPermissionOnceAsked = c.onceAsked;
    desktop.chromeInstalled = c.chromeInstalled;
    delegate.askForSafari();
    EXPECT_EQ(desktop.calls, c.calls);
  }
}

TEST(AppDelegateLoop, LaunchAsksThenTicksAndObeysTheAgent) {
  test::TempDir dir;
  FakeDesktop desktop;
  desktop.front = "com.apple.Safari";
  desktop.scriptResults[kSafariQuery] = "url|https://Video.Example/watch";
  AppDelegate delegate(desktop, {.supportDir = dir.path(), .tickInterval = 20ms});
  delegate.applicationDidFinishLaunching();
  // Nothing but the Dock and the front until the event loop runs the queued flow.
  EXPECT_EQ(desktop.calls, (Calls{"regular", "activate"}));
  ASSERT_TRUE(QTest::qWaitFor([&] { return delegate.isTicking(); }, 5000));
  // The first tick follows at once.
  EXPECT_EQ(Calls(desktop.calls.begin() + 2, desktop.calls.begin() + 5),
            (Calls{"permission com.apple.Safari", "accessory", "idle"}));
  const auto snapshot = TabState::readSnapshot(dir.path());
  ASSERT_TRUE(snapshot);
  EXPECT_EQ(snapshot->host, "video.example");
  EXPECT_TRUE(TabState::isFresh(*snapshot, AppDelegate::systemNow()));

  // The agent asks to leave the page: a later tick blanks it.
  TabState::writeEnforce({AppDelegate::systemNow(), true, true}, dir.path());
  EXPECT_TRUE(QTest::qWaitFor(
      [&] {
        return std::ranges::count(desktop.scriptsRun(), std::string(kSafari.blankScript)) > 0;
      },
      5000));
}

TEST(AppDelegateLoop, QueuedLaunchWorkEndsWithTheDelegate) {
  test::TempDir dir;
  FakeDesktop desktop;
  AppDelegate(desktop, {.supportDir = dir.path()}).applicationDidFinishLaunching();
  QCoreApplication::processEvents();
  QTest::qWait(50);
  EXPECT_EQ(desktop.calls, (Calls{"regular", "activate"}));
}

}  // namespace
}  // namespace tether
