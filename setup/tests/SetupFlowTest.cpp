// One whole setup in the window against the reference service: register, install through the
// real Linux install script into a temporary root folder, see the installed agent reach the
// service; then a second window restores the session, picks another record and installs again.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QPushButton>

#include "ContentView.h"
#include "DaemonInstaller.h"
#include "QuietProcess.h"
#include "SetupTestSupport.h"
#include "TestHelpers.h"
#include "TetherApp.h"
#include "TetherClient.h"
#include "platform/linux/DirectoryBundle.h"

namespace tether {
namespace {

using namespace std::chrono_literals;

const QString kSupport = QStringLiteral("/Library/Application Support/VorozuzIrovidar");

// The system, with the administrator's run of the script going to a temporary root folder and
// the service manager asked about that folder.
class RootedPlatform final : public InstallerPlatform {
 public:
  RootedPlatform(QString root, QString temporary)
      : root_(std::move(root)), temporary_(std::move(temporary)) {}

  QString temporaryDirectory() override { return temporary_; }
  void runAsAdministrator(const AdministratorScript& script) override {
    ++runs;
    const test::RunResult run =
        test::run({"/usr/bin/env", "TETHER_INSTALL_ROOT=" + root_.toStdString(), "/bin/sh", "-c",
                   script.commandLine.toStdString()},
                  60s);
    if (run.status != 0) throw TetherAPIError(QString::fromStdString(run.err).trimmed());
  }
  bool isJobLoaded(const QString& label) override {
    return QuietProcess::exitStatus(
               "systemctl", {"--root=" + root_, "is-enabled", "--quiet", label + ".service"},
               10s) == 0;
  }
  void openApplication(const QString& path) override { opened << path; }

  int runs = 0;
  QStringList opened;

 private:
  QString root_;
  QString temporary_;
};

QJsonObject installedConfig(const QString& root) {
  QFile file(root + kSupport + "/config.json");
  EXPECT_TRUE(file.open(QIODevice::ReadOnly));
  struct stat status {};
  ::stat(QFile::encodeName(file.fileName()).constData(), &status);
  EXPECT_EQ(status.st_mode & 07777, 0600u);
  EXPECT_EQ(status.st_uid, 0u);
  return QJsonDocument::fromJson(file.readAll()).object();
}

TEST(SetupFlow, RegisterInstallThenPickAnotherRecordAndInstallAgain) {
  if (::geteuid() != 0) GTEST_SKIP() << "the install script changes owners: needs root";
  ReferenceService service;
  if (!service.problem().isEmpty()) GTEST_SKIP() << service.problem().toStdString();
  const QString app = QStringLiteral(TETHER_APP_DIR);
  ASSERT_TRUE(QFileInfo::exists(app + "/Contents/Resources/install-daemon.sh"))
      << app.toStdString();

  QTemporaryDir root, temporary;
  const QString support = root.path() + kSupport;
  ::chmod(QFile::encodeName(root.path()).constData(), 0755);
  ::chmod(QFile::encodeName(temporary.path()).constData(), 0700);
  auto platform = std::make_shared<RootedPlatform>(root.path(), temporary.path());
  auto client = std::make_shared<TetherClient>(service.url());
  auto session = std::make_shared<SessionStore>(std::make_shared<MemoryKeychain>(),
                                                std::make_shared<MemoryDefaults>());
  auto installer = std::make_shared<DaemonInstaller>(std::make_shared<DirectoryBundle>(app),
                                                     platform, support + "/TetherTabHelper.app");
  ScriptedWebAuth windows;
  auto webSignIn = std::make_shared<OAuthBrowser>(service.url(), windows.factory());
  // The base URL as it might be compiled in, with a slash at the end.
  const QString serviceURL = service.url().toString() + "/";
  TetherApp shell({UpdateController::create(), [&] {
                     return PairingModel::Parts{client,    session,    installer,
                                                webSignIn, serviceURL, QString("Kid's Mac")};
                   }});

  // Register and install on a new record, DNS filtering off.
  std::unique_ptr<QMainWindow> first(shell.newWindow());
  first->setAttribute(Qt::WA_DeleteOnClose, false);
  first->show();
  auto& view = *static_cast<ContentView*>(first->centralWidget());
  QTest::mouseClick(find(view, "modeRegister"), Qt::LeftButton);
  QTest::keyClicks(find<QLineEdit>(view, "email"), "  parent@example.com ");
  QTest::keyClicks(find<QLineEdit>(view, "password"), "correct horse");
  QTest::keyClick(find<QLineEdit>(view, "password"), Qt::Key_Return);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !view.model().busy(); }, 30000));
  ASSERT_EQ(view.model().error(), "");
  EXPECT_EQ(find<QLabel>(view, "statusText")->text(), "Signed in as parent@example.com");
  EXPECT_FALSE(find(view, "existingDevice")->isVisibleTo(&view));
  QTest::mouseClick(find(view, "enableDNS"), Qt::LeftButton, {}, QPoint(8, 8));
  QTest::mouseClick(find(view, "installButton"), Qt::LeftButton);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !view.model().busy(); }, 60000));
  ASSERT_EQ(view.model().error(), "");
  EXPECT_EQ(view.model().status(), PairingModel::kInstalledAndLoaded);
  EXPECT_EQ(find<QLabel>(view, "daemonStatus")->text(), "running");
  savePicture(*first, "flow-installed");

  const QString token = *session->apiToken();
  QList<DeviceRecord> devices = awaitTask(client->listDevices(token));
  ASSERT_EQ(devices.size(), 1);
  EXPECT_EQ(devices[0].name, "Kid's Mac");
  EXPECT_EQ(session->selectedDeviceID(), devices[0].id);
  QJsonObject config = installedConfig(root.path());
  EXPECT_EQ(config.value("deviceToken").toString(), devices[0].token);
  EXPECT_EQ(config.value("serverURL").toString(), service.url().toString());
  EXPECT_FALSE(config.value("enableDNS").toBool());
  EXPECT_EQ(contents(support + "/KinwardAgent"), contents(app + "/Contents/MacOS/KinwardAgent"));
  const QString tabHelper = "/TetherTabHelper.app/Contents/MacOS/TetherTabHelper";
  EXPECT_EQ(contents(support + tabHelper), contents(app + "/Contents/Helpers" + tabHelper));
  // Opened after the script and once more by the model, from the bundle.
  EXPECT_EQ(platform->opened, QStringList(2, app + "/Contents/Helpers/TetherTabHelper.app"));

  // The installed agent, started as its unit would, reaches the service with that token.
  {
    test::ChildProcess agent({(support + "/KinwardAgent").toStdString(), "--config",
                              (support + "/config.json").toStdString()});
    const bool seen = QTest::qWaitFor(
        [&] {
          const QList<DeviceRecord> now = awaitTask(client->listDevices(token));
          return !now.isEmpty() && now[0].lastSeen.has_value();
        },
        30000);
    EXPECT_TRUE(seen) << agent.stderrText();
    agent.signal(SIGTERM);
    EXPECT_EQ(agent.wait(20s), 0) << agent.stderrText();
  }

  // Another record appears (another child's computer); a new window restores the session and
  // the parent picks that record.
  const DeviceRecord other = awaitTask(client->createDevice("Sibling's Mac", token));
  std::unique_ptr<QMainWindow> second(shell.newWindow());
  second->setAttribute(Qt::WA_DeleteOnClose, false);
  second->show();
  auto& again = *static_cast<ContentView*>(second->centralWidget());
  ASSERT_TRUE(QTest::qWaitFor([&] { return !again.model().restoring(); }, 30000));
  auto* picker = find<QComboBox>(again, "existingDevice");
  ASSERT_EQ(picker->count(), 3);
  EXPECT_EQ(picker->currentText(), "Kid's Mac");
  EXPECT_EQ(find<QPushButton>(again, "installButton")->text(), "Reinstall protection");
  QTest::keyClick(picker, Qt::Key_End);
  EXPECT_EQ(session->selectedDeviceID(), other.id);
  savePicture(*second, "flow-picked");
  QTest::mouseClick(find(again, "installButton"), Qt::LeftButton);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !again.model().busy(); }, 60000));
  ASSERT_EQ(again.model().error(), "");
  config = installedConfig(root.path());
  EXPECT_EQ(config.value("deviceToken").toString(), other.token);
  EXPECT_TRUE(config.value("enableDNS").toBool());
  EXPECT_EQ(platform->runs, 2);
  EXPECT_EQ(awaitTask(client->listDevices(token)).size(), 2);
}

}  // namespace
}  // namespace tether
