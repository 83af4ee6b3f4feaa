// The helper on the Qt event loop: launch, permission flow, ticks writing the snapshot file and
// obeying a request the agent's writer produced.
#include <QCoreApplication>
#include <QTest>

#include <algorithm>

#include <gtest/gtest.h>

#include "AppDelegate.h"
#include "Browser.h"
#include "FakeDesktop.h"
#include "TestHelpers.h"

namespace tether {
namespace {

using namespace std::chrono_literals;

TEST(AppDelegateLoop, LaunchAsksThenTicksAndObeysTheAgent) {
  test::TempDir dir;
  test::FakeDesktop desktop;
  desktop.front = "com.apple.Safari";
  const std::string query(kSafari.queryScript), blank(kSafari.blankScript);
  desktop.scriptResults[query] = "url|https://Video.Example/watch";
  AppDelegate delegate(desktop, {.supportDir = dir.path(), .tickInterval = 20ms});

  delegate.applicationDidFinishLaunching();
  // Nothing but the Dock and the front until the event loop runs the queued flow.
  EXPECT_EQ(desktop.calls, (std::vector<std::string>{"regular", "activate"}));
  ASSERT_TRUE(QTest::qWaitFor([&] { return delegate.isTicking(); }, 5000));
  EXPECT_EQ(desktop.calls[2], "permission com.apple.Safari");
  EXPECT_EQ(desktop.calls[3], "accessory");
  EXPECT_EQ(desktop.calls[4], "idle");  // the first tick follows at once

  const auto snapshot = TabState::readSnapshot(dir.path());
  ASSERT_TRUE(snapshot);
  EXPECT_EQ(snapshot->host, "video.example");
  EXPECT_TRUE(TabState::isFresh(*snapshot, AppDelegate::systemNow()));

  // The agent asks to leave the page: a later tick blanks it.
  TabState::writeEnforce({AppDelegate::systemNow(), true, true}, dir.path());
  EXPECT_TRUE(QTest::qWaitFor(
      [&] {
        const auto scripts = desktop.scriptsRun();
        return std::find(scripts.begin(), scripts.end(), blank) != scripts.end();
      },
      5000));
}

TEST(AppDelegateLoop, QueuedLaunchWorkEndsWithTheDelegate) {
  test::TempDir dir;
  test::FakeDesktop desktop;
  {
    AppDelegate delegate(desktop, {.supportDir = dir.path()});
    delegate.applicationDidFinishLaunching();
  }
  QCoreApplication::processEvents();
  QTest::qWait(50);
  EXPECT_EQ(desktop.calls, (std::vector<std::string>{"regular", "activate"}));
}

}  // namespace
}  // namespace tether
