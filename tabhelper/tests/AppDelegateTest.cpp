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

// A desktop made up by the test that records every call, in order. The screen is always
// locked: that changes nothing the helper does.
struct FakeDesktop : Desktop {
  explicit FakeDesktop(std::optional<std::string> inFront = "com.apple.Finder",
                       std::optional<std::string> answer = std::nullopt)
      : front(std::move(inFront)), queryAnswer(std::move(answer)) {}
  std::optional<std::string> front;
  std::optional<std::string> queryAnswer;  // of either browser's query script; else it fails
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
  std::optional<std::string> frontmostBundleId() override {
    return calls.push_back("front"), front;
  }
  double secondsSinceLastInput() override { return calls.push_back("idle"), 3.5; }
  bool isScreenLocked() override { return calls.push_back("locked"), true; }
  std::optional<std::string> runAppleScript(std::string_view source) override {
    calls.push_back("script " + std::string(source));
    const bool query = source == kSafari.queryScript || source == kChrome.queryScript;
    return query ? queryAnswer : std::nullopt;
  }
  int32_t automationPermission(std::string_view bundleId, bool askUser) override {
    if (askUser && safariPermissionOnceAsked) safariPermission = *safariPermissionOnceAsked;
    calls.push_back("permission " + std::string(bundleId) + (askUser ? " ask" : ""));
    return bundleId == kSafari.bundleId ? safariPermission : -1743;
  }
  bool isInstalled(std::string_view bundleId) override {
    calls.push_back("installed " + std::string(bundleId));
    return chromeInstalled && bundleId == kChrome.bundleId;
  }
  void showAlert(std::string_view message, std::string_view text,
                 std::string_view button) override {
    calls.push_back(alert({message, text, button}));
  }
  void setActivationPolicy(ActivationPolicy policy) override {
    calls.push_back(policy == ActivationPolicy::Regular ? "regular" : "accessory");
  }
  void activate() override { calls.push_back("activate"); }

  static std::string alert(const AppDelegate::Alert& a) {
    return "alert " + std::string(a.message) + " | " + std::string(a.informativeText) + " | " +
           std::string(a.button);
  }
};

constexpr double kNow = 1'700'000'000.5;

class AppDelegateTest : public testing::Test {
 protected:
  test::TempDir dir;
  FakeDesktop desktop;
  AppDelegate delegate{desktop, {dir.path(), [] { return kNow; }}};
};

// Each tick writes what is in front and carries out the agent's request while it is fresh and
// applies to that tab.
TEST_F(AppDelegateTest, SnapshotOfTheFrontTabAndTheRequestCarriedOut) {
  const std::string safari(kSafari.bundleId), chrome(kChrome.bundleId), page("url|https://a.ex/");
  const std::string query(kSafari.queryScript), blank(kSafari.blankScript),
      close(kSafari.closeScript), chromeQuery(kChrome.queryScript),
      chromeBlank(kChrome.blankScript);
  const struct {
    std::string front;
    std::optional<std::string> answer, host;  // the query script's answer; the host written
    Calls scripts;
    double age = 0;  // of the request
    bool evict = true, closePrivate = true;
  } cases[] = {
      {"com.apple.Finder", "url|https://a.ex/", std::nullopt, {}},
      {safari, "none", std::nullopt, {query}},        // no windows
      {safari, std::nullopt, std::nullopt, {query}},  // refused
      {safari, "something else", std::nullopt, {query}},
      {safari, "private", std::nullopt, {query, close}},
      {safari, "private", std::nullopt, {query}, 0, true, false},
      {chrome,
       "url|https://WWW.Example.COM:8443/a?b#c",
       "www.example.com",
       {chromeQuery, chromeBlank}},
      {chrome,
       "url| \thttp://user:pw@[2001:DB8::1]:80/\n",
       "2001:db8::1",
       {chromeQuery, chromeBlank}},
      {safari, "url|https://B\u00FCcher.example/", "xn--bcher-kva.example", {query, blank}},
      {safari, "url|about:blank", std::nullopt, {query}},
      {safari, "url|https://exa mple.com/", std::nullopt, {query}},
      {safari, "url|http://[::1/", std::nullopt, {query}},
      {safari, "url|example.com", std::nullopt, {query}},  // a path, no host
      {safari, "url|file:///Users/kid/page.html", std::nullopt, {query}},
      {safari, page, "a.ex", {query, blank}, 60},
      {safari, page, "a.ex", {query}, 61},
      {safari, page, "a.ex", {query}, -61},
      {safari, page, "a.ex", {query}, 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.front + " " + c.answer.value_or("(nothing)") + " " + std::to_string(c.age));
    desktop = FakeDesktop(c.front, c.answer);
    TabState::writeEnforce(TabEnforce{kNow - c.age, c.evict, c.closePrivate}, dir.path());
    delegate.tick();
    const auto s = TabState::readSnapshot(dir.path());
    ASSERT_TRUE(s);
    EXPECT_EQ(std::tie(s->ts, s->bundleId, s->host, s->privateBrowsing, s->idleSeconds, s->locked),
              std::make_tuple(kNow, c.front, c.host, c.answer == "private", 3.5, true));
    EXPECT_EQ(desktop.scriptsRun(), c.scripts);
  }
  // Both apply: the private window is closed first, then the page blanked.
  desktop = FakeDesktop{};
  TabState::writeEnforce(TabEnforce{kNow, true, true}, dir.path());
  delegate.applyEnforce({kNow, chrome, "a.ex", true, 0, false});
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
  const Calls asked = {safari,          FakeDesktop::alert(AppDelegate::kAllowSafariAlert),
                       "activate",      "script " + std::string(kSafariProbeScript),
                       safari + " ask", "installed com.google.Chrome"};
  const auto then = [&](Calls more) {
    more.insert(more.begin(), asked.begin(), asked.end());
    return more;
  };
  const struct {
    int32_t before;
    std::optional<int32_t> onceAsked;
    bool chromeInstalled;
    Calls calls;
  } cases[] = {
      {0, std::nullopt, true, {safari, "accessory"}},  // already allowed
      {-1743, std::nullopt, true,                      // refused before and after
       then({chrome + " ask", safari, FakeDesktop::alert(AppDelegate::kNotAskedAlert)})},
      {-1744, 0, false, then({safari, "accessory"})},  // allowed when asked, no Chrome
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.before);
    desktop = FakeDesktop();
    desktop.safariPermission = c.before;
    desktop.safariPermissionOnceAsked = c.onceAsked;
    desktop.chromeInstalled = c.chromeInstalled;
    delegate.askForSafari();
    EXPECT_EQ(desktop.calls, c.calls);
  }
}

TEST(AppDelegateLoop, LaunchAsksThenTicksAndObeysTheAgent) {
  test::TempDir dir;
  FakeDesktop desktop("com.apple.Safari", "url|https://Video.Example/w");
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
      [&] { return std::ranges::count(desktop.scriptsRun(), kSafari.blankScript) > 0; }, 5000));
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
