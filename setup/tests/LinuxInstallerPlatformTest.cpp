// The installer's system on Linux: the script run as root and its error text, the private
// temporary folder, and whether a tab helper already runs.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "SetupTestSupport.h"
#include "platform/linux/LinuxInstallerPlatform.h"

namespace tether {
namespace {

QString failureOf(LinuxInstallerPlatform& platform, const QString& commandLine) {
  return errorOf([&] { platform.runAsAdministrator({commandLine, QString()}); });
}

TEST(LinuxInstallerPlatform, RunsTheScriptAsRootAndShowsWhatItWroteOnFailure) {
  if (::geteuid() != 0) GTEST_SKIP() << "runs the command directly only as root (pkexec otherwise)";
  LinuxInstallerPlatform platform;
  QTemporaryDir dir;
  EXPECT_EQ(failureOf(platform, "echo out; touch '" + dir.filePath("ran") + "'"), "no error");
  EXPECT_TRUE(QFile::exists(dir.filePath("ran")));
  EXPECT_EQ(failureOf(platform, "echo ignored; echo 'install-daemon: could not load' >&2; exit 1"),
            "install-daemon: could not load");
  EXPECT_EQ(failureOf(platform, "exit 4"), "install failed");
  EXPECT_EQ(failureOf(platform, "kill -9 $$"), "install failed");
}

TEST(LinuxInstallerPlatform, TheConfigurationFolderIsTheUsersOwn) {
  QTemporaryDir runtime;
  const QByteArray saved = qgetenv("XDG_RUNTIME_DIR");
  ::chmod(QFile::encodeName(runtime.path()).constData(), 0700);
  qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
  EXPECT_EQ(LinuxInstallerPlatform().temporaryDirectory(), runtime.path());

  // A runtime folder others may enter is not used; a fresh private folder is, and stays the same.
  ::chmod(QFile::encodeName(runtime.path()).constData(), 0755);
  LinuxInstallerPlatform platform;
  const QString made = platform.temporaryDirectory();
  EXPECT_NE(made, runtime.path());
  EXPECT_TRUE(LinuxInstallerPlatform::isPrivateFolder(made));
  EXPECT_TRUE(made.startsWith(QDir::tempPath() + "/tether-")) << made.toStdString();
  EXPECT_EQ(platform.temporaryDirectory(), made);
  QDir(made).removeRecursively();
  qputenv("XDG_RUNTIME_DIR", saved);
}

TEST(LinuxInstallerPlatform, ATabHelperThatRunsIsNotStartedAgain) {
  QTemporaryDir dir;
  const QString app = dir.filePath("TetherTabHelper.app");
  const QString executable = LinuxInstallerPlatform::executableOf(app);
  EXPECT_EQ(executable, app + "/Contents/MacOS/TetherTabHelper");
  QDir().mkpath(QFileInfo(executable).path());
  ASSERT_TRUE(QFile::copy("/bin/sleep", executable));
  EXPECT_FALSE(LinuxInstallerPlatform::isRunning(app));
  QProcess running;
  running.start(executable, {"30"});
  ASSERT_TRUE(running.waitForStarted());
  // Any copy of the bundle counts, as the system brings a running application forward.
  EXPECT_TRUE(LinuxInstallerPlatform::isRunning(dir.filePath("elsewhere/TetherTabHelper.app")));
  running.kill();
  running.waitForFinished();
  EXPECT_FALSE(LinuxInstallerPlatform::isRunning(app));
}

}  // namespace
}  // namespace tether
