// The protection installer over a bundle in a temporary folder and a recording stand-in for the
// system: its lookups, its configuration file, the command line and AppleScript it builds (run
// for real through a shell), its errors, and the loaded check's tool run.
#include <sys/stat.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <chrono>

#include "DaemonInstaller.h"
#include "QtPrinting.h"
#include "QuietProcess.h"
#include "TetherAPIError.h"
#include "platform/linux/DirectoryBundle.h"

namespace tether {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;

void write(const QString& path, const QByteArray& bytes,
           QFile::Permissions permissions = QFile::ReadOwner | QFile::WriteOwner) {
  QDir().mkpath(QFileInfo(path).path());
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
  file.write(bytes);
  file.close();
  file.setPermissions(permissions);
}

const QFile::Permissions kExecutable = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;

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
    return loaded;
  }
  void openApplication(const QString& path) override { calls << "open " + path; }

  QStringList calls;
  std::vector<AdministratorScript> scripts;
  std::optional<QString> failure;
  bool loaded = false;

 private:
  QString folder_;
};

// Tether.app in a temporary folder, with what a test puts into it.
struct Bundle {
  QTemporaryDir dir;
  QString app = dir.filePath("Tether.app");
  QString contents = app + "/Contents";
  QTemporaryDir temporary;  // the user's private temporary folder
  std::shared_ptr<RecordingPlatform> platform =
      std::make_shared<RecordingPlatform>(temporary.path());
  QString installedTabHelper = dir.filePath("installed/TetherTabHelper.app");

  void addAgent() { write(contents + "/MacOS/KinwardAgent", "agent", kExecutable); }
  void addScript() { write(contents + "/Resources/install-daemon.sh", "#!/bin/bash\n"); }
  void addTabHelper(const QString& at = "Helpers") {
    write(contents + "/" + at + "/TetherTabHelper.app/Contents/MacOS/TetherTabHelper", "helper",
          kExecutable);
  }
  DaemonInstaller installer() const {
    return DaemonInstaller(std::make_shared<DirectoryBundle>(app), platform, installedTabHelper);
  }
};

QString failureOf(const std::function<void()>& step) {
  try {
    step();
    return "no error";
  } catch (const std::exception& e) {
    return QString::fromUtf8(e.what());
  }
}

TEST(DaemonInstaller, FindsTheAgentTheScriptAndTheTabHelperInTheBundle) {
  Bundle bundle;
  EXPECT_EQ(bundle.installer().helperURL(), std::nullopt);
  EXPECT_EQ(bundle.installer().installScriptURL(), std::nullopt);
  EXPECT_EQ(bundle.installer().tabHelperURL(), std::nullopt);

  // The agent as a resource when there is no auxiliary executable, the auxiliary one first.
  write(bundle.contents + "/Resources/KinwardAgent", "agent");
  EXPECT_EQ(bundle.installer().helperURL(), bundle.contents + "/Resources/KinwardAgent");
  bundle.addAgent();
  EXPECT_EQ(bundle.installer().helperURL(), bundle.contents + "/MacOS/KinwardAgent");
  bundle.addScript();
  EXPECT_EQ(bundle.installer().installScriptURL(),
            bundle.contents + "/Resources/install-daemon.sh");

  // Neither a link to a folder holding one nor a link named like it counts; one at any depth does.
  QDir().mkpath(bundle.dir.filePath("elsewhere/TetherTabHelper.app/Contents"));
  QFile::link(bundle.dir.filePath("elsewhere"), bundle.contents + "/Frameworks");
  QFile::link(bundle.dir.filePath("elsewhere/TetherTabHelper.app"),
              bundle.contents + "/TetherTabHelper.app");
  EXPECT_EQ(bundle.installer().tabHelperURL(), std::nullopt);
  bundle.addTabHelper("Library/LoginItems/.hidden");
  EXPECT_EQ(bundle.installer().tabHelperURL(),
            bundle.contents + "/Library/LoginItems/.hidden/TetherTabHelper.app");
}

TEST(DaemonInstaller, MissingPartsOfTheBundleStopTheInstallBeforeAnythingIsWrittenOrRun) {
  Bundle bundle;
  EXPECT_EQ(
      failureOf([&] { bundle.installer().install("https://tether.example", "device", true); }),
      "KinwardAgent is missing from this app bundle");
  bundle.addAgent();
  EXPECT_EQ(
      failureOf([&] { bundle.installer().install("https://tether.example", "device", true); }),
      "install script is missing from this app bundle");
  EXPECT_TRUE(QDir(bundle.temporary.path()).isEmpty());
  EXPECT_TRUE(bundle.platform->calls.isEmpty());
}

TEST(DaemonInstaller, WritesTheConfigurationSortedPrivateAndWithoutSlashesAtTheEnds) {
  Bundle bundle;
  const QString path =
      bundle.installer().writeConfig("https://tether.example///", "device-token", false);
  EXPECT_EQ(path, bundle.temporary.filePath("tether-config.json"));
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  const QByteArray text = file.readAll();
  EXPECT_EQ(text.toStdString(),
            "{\n"
            "    \"deviceToken\": \"device-token\",\n"
            "    \"enableDNS\": false,\n"
            "    \"pollIntervalSeconds\": 15,\n"
            "    \"sampleIntervalSeconds\": 3,\n"
            "    \"serverURL\": \"https://tether.example\",\n"
            "    \"upstreamDNS\": \"1.1.1.1\"\n"
            "}\n");
  struct stat status {};
  ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0600u);

  // A second write replaces the first; one trailing slash goes like several.
  bundle.installer().writeConfig("https://tether.example/", "other", true);
  QFile again(path);
  ASSERT_TRUE(again.open(QIODevice::ReadOnly));
  const QJsonObject config = QJsonDocument::fromJson(again.readAll()).object();
  EXPECT_EQ(config.value("serverURL").toString(), "https://tether.example");
  EXPECT_EQ(config.value("deviceToken").toString(), "other");
  EXPECT_TRUE(config.value("enableDNS").toBool());
  EXPECT_EQ(QDir(bundle.temporary.path()).entryList(QDir::Files),
            QStringList{"tether-config.json"});
}

// What a script received, one argument per entry, after the command line went through a shell.
QStringList argumentsThroughShell(const QString& commandLine, const QString& record) {
  QProcess shell;
  shell.start("/bin/sh", {"-c", commandLine});
  EXPECT_TRUE(shell.waitForFinished(20000));
  EXPECT_EQ(shell.exitCode(), 0) << shell.readAllStandardError().toStdString();
  QFile file(record);
  EXPECT_TRUE(file.open(QIODevice::ReadOnly));
  QStringList arguments = QString::fromUtf8(file.readAll()).split(QChar(u'\0'));
  arguments.removeLast();
  return arguments;
}

// The text of an AppleScript string literal, undoing its two escapes; nothing when the literal
// is broken (a bare double quote, any other escape).
std::optional<QString> unescapeAppleScript(const QString& literal) {
  QString text;
  for (qsizetype i = 0; i < literal.size(); ++i) {
    if (literal[i] == u'"') return std::nullopt;
    if (literal[i] != u'\\') {
      text += literal[i];
      continue;
    }
    if (++i == literal.size() || (literal[i] != u'\\' && literal[i] != u'"')) return std::nullopt;
    text += literal[i];
  }
  return text;
}

TEST(DaemonInstaller, PathsWithQuotesAndBackslashesReachTheScriptIntact) {
  Bundle bundle;
  const QString awkward = bundle.dir.filePath("Kid's \"Apps\" \\ $HOME `id` \\\\'");
  const QString record = bundle.dir.filePath("arguments");
  const QString script = awkward + "/install-daemon.sh";
  write(script, ("printf '%s\\0' \"$@\" > '" + record + "'\n").toUtf8());
  const QString agent = awkward + "/Contents/MacOS/KinwardAgent";
  const QString config = awkward + "/tether-config.json";
  const QString tabHelper = awkward + "/TetherTabHelper.app";

  for (const std::optional<QString>& helper :
       {std::optional<QString>(tabHelper), std::optional<QString>()}) {
    bundle.installer().runPrivileged(script, agent, config, helper);
    const InstallerPlatform::AdministratorScript sent = bundle.platform->scripts.back();
    const QStringList expected =
        helper ? QStringList{agent, config, *helper} : QStringList{agent, config};
    EXPECT_EQ(argumentsThroughShell(sent.commandLine, record), expected);

    // The AppleScript holds the same command line in a string literal.
    const QString prefix = "do shell script \"";
    const QString suffix = "\" with administrator privileges";
    ASSERT_TRUE(sent.appleScriptSource.startsWith(prefix));
    ASSERT_TRUE(sent.appleScriptSource.endsWith(suffix));
    const auto unescaped = unescapeAppleScript(sent.appleScriptSource.mid(
        prefix.size(), sent.appleScriptSource.size() - prefix.size() - suffix.size()));
    ASSERT_TRUE(unescaped);
    EXPECT_EQ(*unescaped, sent.commandLine);
    EXPECT_EQ(argumentsThroughShell(*unescaped, record), expected);
  }
  EXPECT_EQ(DaemonInstaller::shellQuoted("it's"), "'it'\\''s'");
  EXPECT_EQ(DaemonInstaller::appleScriptEscaped("a\\\"b"), "a\\\\\\\"b");
}

TEST(DaemonInstaller, InstallRunsTheScriptThenOpensTheTabHelperOnlyAfterItSucceeded) {
  Bundle bundle;
  bundle.addAgent();
  bundle.addScript();
  DaemonInstaller installer = bundle.installer();
  const QString script =
      DaemonInstaller::shellQuoted(bundle.contents + "/Resources/install-daemon.sh");
  const QString agent = DaemonInstaller::shellQuoted(bundle.contents + "/MacOS/KinwardAgent");
  const QString config =
      DaemonInstaller::shellQuoted(bundle.temporary.filePath("tether-config.json"));

  // Without a tab helper anywhere: two arguments, nothing to open.
  installer.install("https://tether.example", "device", true);
  EXPECT_THAT(bundle.platform->calls,
              ElementsAre("run bash " + script + " " + agent + " " + config));

  // Installed but not in the bundle: the installed one is opened.
  write(bundle.installedTabHelper + "/Contents/Info.plist", "");
  bundle.platform->calls.clear();
  installer.install("https://tether.example", "device", true);
  EXPECT_EQ(bundle.platform->calls.value(1), "open " + bundle.installedTabHelper);

  // In the bundle: a third argument, and the bundle's copy is opened.
  bundle.addTabHelper();
  const QString tabHelper = bundle.contents + "/Helpers/TetherTabHelper.app";
  bundle.platform->calls.clear();
  installer.install("https://tether.example", "device", true);
  EXPECT_THAT(bundle.platform->calls,
              ElementsAre("run bash " + script + " " + agent + " " + config + " " +
                              DaemonInstaller::shellQuoted(tabHelper),
                          "open " + tabHelper));

  // A failed run opens nothing and reports the system's text.
  bundle.platform->failure = "install-daemon: systemd is not running";
  bundle.platform->calls.clear();
  EXPECT_EQ(failureOf([&] { installer.install("https://tether.example", "device", true); }),
            "install-daemon: systemd is not running");
  EXPECT_EQ(bundle.platform->calls.filter("open ").size(), 0);

  bundle.platform->loaded = true;
  EXPECT_TRUE(installer.isLoaded());
  EXPECT_EQ(bundle.platform->calls.last(), "isJobLoaded riz.edarodorizavive.derez");
}

TEST(QuietProcess, ATalkativeToolFinishesAndAToolThatHangsCountsAsNotFinished) {
  // Megabytes on both outputs would fill a pipe nobody reads.
  EXPECT_EQ(QuietProcess::exitStatus(
                "/bin/sh",
                {"-c", "head -c 8000000 /dev/zero; head -c 8000000 /dev/zero >&2; exit 3"}, 20s),
            3);
  EXPECT_EQ(QuietProcess::exitStatus("/bin/sh", {"-c", "exit 0"}, 20s), 0);
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(QuietProcess::exitStatus("/bin/sleep", {"30"}, 300ms), std::nullopt);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 20s);
  EXPECT_EQ(QuietProcess::exitStatus("/nonexistent/launchctl", {}, 20s), std::nullopt);
  EXPECT_EQ(QuietProcess::exitStatus("/bin/sh", {"-c", "kill -9 $$"}, 20s), std::nullopt);
}

}  // namespace
}  // namespace tether
