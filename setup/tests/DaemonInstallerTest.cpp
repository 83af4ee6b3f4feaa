// The protection installer over a bundle in a temporary folder and a recording stand-in for the
// system, the command line it builds run through a real shell; the loaded check's tool run; and
// the installer's system on Linux.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>

#include "DaemonInstaller.h"
#include "QuietProcess.h"
#include "SetupTestSupport.h"
#include "platform/linux/DirectoryBundle.h"
#include "platform/linux/LinuxInstallerPlatform.h"

namespace tether {
namespace {

using namespace std::chrono_literals;

// The system as the installer sees it, recording what it is asked.
class RecordingPlatform final : public InstallerPlatform {
 public:
  explicit RecordingPlatform(QString folder) : folder_(std::move(folder)) {}
  QString temporaryDirectory() override { return folder_; }
  void runAsAdministrator(const AdministratorScript& script) override {
    calls << "run " + script.commandLine;
    scripts.push_back(script);
    if (failure) throw TetherAPIError(*failure);
  }
  bool isJobLoaded(const QString& label) override {
    calls << "isJobLoaded " + label;
    return true;
  }
  void openApplication(const QString& path) override { calls << "open " + path; }

  QStringList calls;
  std::vector<AdministratorScript> scripts;
  std::optional<QString> failure;

 private:
  QString folder_;
};

// Tether.app in a temporary folder, with what a test puts into it.
struct Bundle {
  QTemporaryDir dir;
  QString folder = dir.filePath("Tether.app/Contents");
  QTemporaryDir temporary;  // the user's private temporary folder
  std::shared_ptr<RecordingPlatform> platform =
      std::make_shared<RecordingPlatform>(temporary.path());
  QString installedTabHelper = dir.filePath("installed/TetherTabHelper.app");

  void add(const QString& path) { writeFile(folder + path, "#!/bin/sh\n", true); }
  DaemonInstaller installer() const {
    return DaemonInstaller(std::make_shared<DirectoryBundle>(dir.filePath("Tether.app")), platform,
                           installedTabHelper);
  }
  QString install() {
    return errorOf([&] { installer().install("https://tether.example", "device", true); });
  }
};

TEST(DaemonInstaller, FindsThePartsInTheBundleAndStopsBeforeAnythingRunsWhenOneIsMissing) {
  Bundle bundle;
  EXPECT_EQ(bundle.installer().tabHelperURL(), std::nullopt);
  EXPECT_EQ(bundle.install(), "KinwardAgent is missing from this app bundle");
  // The agent as a resource when there is no auxiliary executable, the auxiliary one first.
  bundle.add("/Resources/KinwardAgent");
  EXPECT_EQ(bundle.installer().helperURL(), bundle.folder + "/Resources/KinwardAgent");
  bundle.add("/MacOS/KinwardAgent");
  EXPECT_EQ(bundle.installer().helperURL(), bundle.folder + "/MacOS/KinwardAgent");
  EXPECT_EQ(bundle.install(), "install script is missing from this app bundle");
  EXPECT_TRUE(QDir(bundle.temporary.path()).isEmpty());
  EXPECT_TRUE(bundle.platform->calls.isEmpty());

  // Neither a link to a folder holding one nor a link named like it counts; one at any depth does.
  QDir().mkpath(bundle.dir.filePath("elsewhere/TetherTabHelper.app/Contents"));
  QFile::link(bundle.dir.filePath("elsewhere"), bundle.folder + "/Frameworks");
  QFile::link(bundle.dir.filePath("elsewhere/TetherTabHelper.app"),
              bundle.folder + "/TetherTabHelper.app");
  EXPECT_EQ(bundle.installer().tabHelperURL(), std::nullopt);
  bundle.add("/Library/LoginItems/.hidden/TetherTabHelper.app/Contents/MacOS/TetherTabHelper");
  EXPECT_EQ(bundle.installer().tabHelperURL(),
            bundle.folder + "/Library/LoginItems/.hidden/TetherTabHelper.app");
}

TEST(DaemonInstaller, WritesTheConfigurationSortedPrivateAndWithoutSlashesAtTheEnd) {
  Bundle bundle;
  bundle.installer().writeConfig("https://old.example", "old", true);
  const QString path =
      bundle.installer().writeConfig("https://tether.example///", "device-token", false);
  EXPECT_EQ(path, bundle.temporary.filePath("tether-config.json"));
  // Pretty-printed with its keys sorted, as Qt writes an object.
  EXPECT_EQ(contents(path), QJsonDocument(QJsonObject{{"deviceToken", "device-token"},
                                                      {"enableDNS", false},
                                                      {"pollIntervalSeconds", 15},
                                                      {"sampleIntervalSeconds", 3},
                                                      {"serverURL", "https://tether.example"},
                                                      {"upstreamDNS", "1.1.1.1"}})
                                .toJson());
  struct stat status {};
  ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0600u);
  EXPECT_EQ(QDir(bundle.temporary.path()).entryList(QDir::Files),
            QStringList{"tether-config.json"});
}

// What a script received, one argument per entry, after the command line went through a shell.
QStringList argumentsThroughShell(const QString& commandLine, const QString& record) {
  QProcess shell;
  shell.start("/bin/sh", {"-c", commandLine});
  EXPECT_TRUE(shell.waitForFinished(20000));
  EXPECT_EQ(shell.exitCode(), 0) << shell.readAllStandardError().toStdString();
  QStringList arguments = QString::fromUtf8(contents(record)).split(QChar(u'\0'));
  arguments.removeLast();
  return arguments;
}

// The text of an AppleScript string literal, undoing its two escapes; nothing when the literal
// is broken (a bare double quote, any other escape).
std::optional<QString> unescapeAppleScript(const QString& literal) {
  QString text;
  for (qsizetype i = 0; i < literal.size(); ++i) {
    if (literal[i] == u'"') return std::nullopt;
    if (literal[i] == u'\\' &&
        (++i == literal.size() || (literal[i] != u'\\' && literal[i] != u'"')))
      return std::nullopt;
    text += literal[i];
  }
  return text;
}

TEST(DaemonInstaller, PathsWithQuotesAndBackslashesReachTheScriptIntact) {
  Bundle bundle;
  const QString awkward = bundle.dir.filePath("Kid's \"Apps\" \\ $HOME `id` \\\\'");
  const QString record = bundle.dir.filePath("arguments");
  const QString script = awkward + "/install-daemon.sh";
  writeFile(script, ("printf '%s\\0' \"$@\" > '" + record + "'\n").toUtf8());
  const QStringList paths{awkward + "/Contents/MacOS/KinwardAgent", awkward + "/tether-config.json",
                          awkward + "/TetherTabHelper.app"};
  for (const bool withTabHelper : {true, false}) {
    bundle.installer().runPrivileged(script, paths[0], paths[1],
                                     withTabHelper ? std::optional(paths[2]) : std::nullopt);
    const InstallerPlatform::AdministratorScript sent = bundle.platform->scripts.back();
    const QStringList expected = paths.mid(0, withTabHelper ? 3 : 2);
    EXPECT_EQ(argumentsThroughShell(sent.commandLine, record), expected);
    // The AppleScript holds the same command line in a string literal.
    const QString prefix = "do shell script \"", suffix = "\" with administrator privileges";
    ASSERT_TRUE(sent.appleScriptSource.startsWith(prefix) &&
                sent.appleScriptSource.endsWith(suffix));
    const auto unescaped = unescapeAppleScript(sent.appleScriptSource.mid(
        prefix.size(), sent.appleScriptSource.size() - prefix.size() - suffix.size()));
    EXPECT_EQ(unescaped, sent.commandLine);
  }
}

TEST(DaemonInstaller, InstallRunsTheScriptThenOpensTheTabHelperOnlyAfterItSucceeded) {
  Bundle bundle;
  bundle.add("/MacOS/KinwardAgent");
  bundle.add("/Resources/install-daemon.sh");
  const auto quoted = [&](const QString& path) { return " " + DaemonInstaller::shellQuoted(path); };
  const QString run = "run bash" + quoted(bundle.folder + "/Resources/install-daemon.sh") +
                      quoted(bundle.folder + "/MacOS/KinwardAgent") +
                      quoted(bundle.temporary.filePath("tether-config.json"));
  const QString tabHelper = bundle.folder + "/Helpers/TetherTabHelper.app";
  const struct {
    const char* what;
    std::function<void()> before;
    QStringList calls;
  } steps[] = {
      {"no tab helper anywhere", [] {}, {run}},
      {"installed, not in the bundle",
       [&] { writeFile(bundle.installedTabHelper + "/Contents/Info.plist", ""); },
       {run, "open " + bundle.installedTabHelper}},
      {"in the bundle",
       [&] { bundle.add("/Helpers/TetherTabHelper.app/Contents/MacOS/TetherTabHelper"); },
       {run + quoted(tabHelper), "open " + tabHelper}},
      // A failed run opens nothing.
      {"failed run",
       [&] { bundle.platform->failure = "install-daemon: systemd is not running"; },
       {run + quoted(tabHelper)}},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.what);
    step.before();
    bundle.platform->calls.clear();
    EXPECT_EQ(bundle.install(), bundle.platform->failure.value_or("no error"));
    EXPECT_EQ(bundle.platform->calls, step.calls);
  }
  EXPECT_TRUE(bundle.installer().isLoaded());
  EXPECT_EQ(bundle.platform->calls.last(), "isJobLoaded riz.edarodorizavive.derez");
}

TEST(QuietProcess, ATalkativeToolFinishesAndAToolThatHangsCountsAsNotFinished) {
  // Megabytes on both outputs would fill a pipe nobody reads.
  EXPECT_EQ(QuietProcess::exitStatus(
                "/bin/sh",
                {"-c", "head -c 8000000 /dev/zero; head -c 8000000 /dev/zero >&2; exit 3"}, 20s),
            3);
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(QuietProcess::exitStatus("/bin/sleep", {"30"}, 300ms), std::nullopt);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 20s);
  EXPECT_EQ(QuietProcess::exitStatus("/nonexistent/launchctl", {}, 20s), std::nullopt);
  EXPECT_EQ(QuietProcess::exitStatus("/bin/sh", {"-c", "kill -9 $$"}, 20s), std::nullopt);
}

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
