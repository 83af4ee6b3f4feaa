// The real program for a few seconds on an X server (Xvfb), in a session with its own D-Bus:
// it keeps running, writes its snapshot into the support folder and nothing anywhere else.
#include <sys/stat.h>
#include <unistd.h>

#include <QTest>

#include <gtest/gtest.h>

#include <sstream>

#include "AppDelegate.h"
#include "TestHelpers.h"

namespace tether {
namespace {

TEST(TabHelperProgram, RunsAndWritesOnlyItsSnapshot) {
  if (::access("/usr/bin/xvfb-run", X_OK) != 0) GTEST_SKIP() << "xvfb-run is not installed";
  if (::geteuid() != 0) GTEST_SKIP() << "needs root for a private mount namespace";
  std::string bus;
  const auto daemon = test::startServer(
      {"/usr/bin/dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address=1"}, bus);
  if (!daemon) GTEST_SKIP() << "dbus-daemon could not be started";
  test::TempDir runtime;  // the session's runtime folder
  ::chmod(runtime.path().c_str(), 0700);

  const double start = AppDelegate::systemNow();
  const auto result = test::run(
      {"/usr/bin/xvfb-run", "-a", WATCH_WRITES, "4", "/usr/bin/env", "-u", "QT_QPA_PLATFORM",
       "DBUS_SESSION_BUS_ADDRESS=" + bus, "XDG_RUNTIME_DIR=" + runtime.path().string(), TAB_HELPER},
      std::chrono::seconds(60));
  ASSERT_EQ(result.status, 0) << result.err;
  std::istringstream out(result.out);
  std::string line;
  ASSERT_TRUE(std::getline(out, line));
  EXPECT_EQ(line, "still running") << result.err;
  std::vector<std::string> written;
  std::string snapshotText;
  while (std::getline(out, line))
    line.starts_with("wrote: ") ? written.push_back(line.substr(7)) : void(snapshotText += line);
  const std::string folder = "/Library/Application Support/VorozuzIrovidar";
  EXPECT_EQ(written, (std::vector<std::string>{"/Library", "/Library/Application Support", folder,
                                               folder + "/state", folder + "/state/tab.json"}));
  const auto snapshot = TabState::decodeSnapshot(snapshotText);
  ASSERT_TRUE(snapshot) << snapshotText;
  // No window manager names an active window on a bare X server.
  EXPECT_EQ(snapshot->bundleId, "");
  EXPECT_FALSE(snapshot->host || snapshot->locked);
  EXPECT_GT(snapshot->ts, start);
  EXPECT_GE(snapshot->idleSeconds, 0);
}

}  // namespace
}  // namespace tether
