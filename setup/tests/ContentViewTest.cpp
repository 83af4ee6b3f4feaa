// The setup window over a model with fakes, driven as a parent would: keys and clicks. Its
// enabling rules, the Return key, the device picker, the form held while the model works, data
// shown as plain text, and a picture of each state in the build folder.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenuBar>
#include <QPushButton>
#include <QTest>

#include "ContentView.h"
#include "FakeModelParts.h"
#include "QtPrinting.h"
#include "TetherAPIError.h"
#include "TetherApp.h"
#include "WindowTesting.h"

namespace tether {
namespace {

using ::testing::ElementsAre;

const QString kService = FakeModelParts::kService;

class CountingUpdates final : public UpdateController {
 public:
  void checkForUpdates() override { ++checks; }
  int checks = 0;
};

struct Rig : FakeModelParts {
  std::shared_ptr<CountingUpdates> updates = std::make_shared<CountingUpdates>();
  std::unique_ptr<TetherApp> app;

  void keep(const QString& token, const QString& email, std::optional<qint64> device) {
    FakeModelParts::keep(token, email, device);
  }

  // The view, shown (which starts the restore).
  std::unique_ptr<ContentView> view() {
    auto made = std::make_unique<ContentView>(parts(), updates);
    made->resize(480, 620);
    made->show();
    return made;
  }

  // The whole window as the app makes it.
  QMainWindow* window() {
    app = std::make_unique<TetherApp>(TetherApp::Parts{updates, [this] { return parts(); }});
    QMainWindow* made = app->newWindow();
    made->setAttribute(Qt::WA_DeleteOnClose, false);
    made->show();
    return made;
  }
};

bool shown(const QWidget& view, const char* name) {
  return find<QWidget>(view, name)->isVisibleTo(&view);
}

DeviceRecord device(qint64 id, const QString& name) {
  return FakeModelParts::device(id, name);
}

TEST(ContentView, EmptyPasswordDisablesTheButtonYetReturnInTheEmailFieldSubmitsOnce) {
  Rig rig;
  rig.api->fail("login", TetherAPIError("incorrect e-mail address or password", 401));
  rig.api->fail("registerAccount", TetherAPIError("address taken", 409));
  auto view = rig.view();
  auto* email = find<QLineEdit>(*view, "email");
  auto* password = find<QLineEdit>(*view, "password");
  auto* button = find<QPushButton>(*view, "accountButton");
  EXPECT_TRUE(shown(*view, "accountSection"));
  EXPECT_FALSE(shown(*view, "deviceSection"));
  EXPECT_EQ(button->text(), "Sign in");
  EXPECT_FALSE(button->isEnabled());

  QTest::keyClicks(email, "parent@example.com");
  EXPECT_EQ(view->model().email(), "parent@example.com");
  EXPECT_FALSE(button->isEnabled());
  QTest::keyClick(email, Qt::Key_Return);
  EXPECT_THAT(rig.api->calls, ElementsAre("login parent@example.com "));
  EXPECT_EQ(find<QLabel>(*view, "errorText")->text(), "incorrect e-mail address or password");

  QTest::keyClicks(password, "secret");
  EXPECT_TRUE(button->isEnabled());
  QTest::keyClick(password, Qt::Key_Enter);
  QTest::mouseClick(button, Qt::LeftButton);
  // Return anywhere else presses the default button.
  QTest::keyClick(find<QWidget>(*view, "continueWithGoogle"), Qt::Key_Return);
  EXPECT_EQ(rig.api->calls.size(), 4);
  EXPECT_EQ(rig.api->calls.filter("login parent@example.com secret").size(), 3);

  QTest::mouseClick(find<QPushButton>(*view, "modeRegister"), Qt::LeftButton);
  EXPECT_EQ(view->model().mode(), PairingModel::Mode::registerAccount);
  EXPECT_EQ(button->text(), "Create account");
  QTest::keyClick(email, Qt::Key_Return);
  EXPECT_EQ(rig.api->calls.last(), "registerAccount parent@example.com secret");
  EXPECT_EQ(rig.api->calls.size(), 5);
  EXPECT_EQ(password->echoMode(), QLineEdit::Password);
}

TEST(ContentView, TheInstallButtonNeedsADeviceNameAndNamesWhatItWillDo) {
  Rig rig;
  rig.keep("kept-token", "parent@example.com", std::nullopt);
  auto view = rig.view();
  EXPECT_FALSE(shown(*view, "accountSection"));
  EXPECT_TRUE(shown(*view, "deviceSection"));
  auto* name = find<QLineEdit>(*view, "deviceName");
  auto* install = find<QPushButton>(*view, "installButton");
  EXPECT_EQ(name->text(), "Kid's Mac");
  EXPECT_EQ(install->text(), "Install protection");
  EXPECT_TRUE(install->isEnabled());
  EXPECT_EQ(find<QLabel>(*view, "daemonStatus")->text(), "not installed");

  name->clear();
  QTest::keyClicks(name, " \t ");
  EXPECT_FALSE(install->isEnabled());
  QTest::keyClick(name, Qt::Key_Return);
  EXPECT_TRUE(rig.installer->calls->filter("install ").isEmpty());

  name->clear();
  QTest::keyClicks(name, "Kid's Mac");
  QTest::mouseClick(find<QCheckBox>(*view, "enableDNS"), Qt::LeftButton, {}, QPoint(8, 8));
  EXPECT_FALSE(view->model().enableDNS());
  // Return in the device name presses the install button, once.
  QTest::keyClick(name, Qt::Key_Return);
  EXPECT_THAT(rig.installer->calls->filter("install "),
              ElementsAre("install " + kService + " device-token-100 no-dns"));
  EXPECT_EQ(install->text(), "Reinstall protection");
  EXPECT_EQ(find<QLabel>(*view, "daemonStatus")->text(), "running");
  EXPECT_EQ(find<QLabel>(*view, "statusText")->text(), PairingModel::kInstalledAndLoaded);
  // No account with no records: no picker, until the new record exists.
  EXPECT_TRUE(shown(*view, "existingDevice"));

  const int opened = rig.installer->calls->filter("openTabHelper").size();
  QTest::mouseClick(find<QPushButton>(*view, "allowSafariControl"), Qt::LeftButton);
  EXPECT_EQ(rig.installer->calls->filter("openTabHelper").size(), opened + 1);
  QTest::mouseClick(find<QPushButton>(*view, "checkForUpdates"), Qt::LeftButton);
  EXPECT_EQ(rig.updates->checks, 1);
}

TEST(ContentView, ThePickerWritesOnlyWhatTheParentChooses) {
  Rig none;
  none.keep("kept-token", "parent@example.com", std::nullopt);
  auto empty = none.view();
  EXPECT_FALSE(shown(*empty, "existingDevice"));

  for (const qint64 kept : {2, 99}) {
    Rig rig;
    rig.api->devices = {device(1, "Old Mac"), device(2, "Kid's Mac")};
    rig.keep("kept-token", "parent@example.com", kept);
    auto view = rig.view();
    auto* picker = find<QComboBox>(*view, "existingDevice");
    EXPECT_TRUE(shown(*view, "existingDevice"));
    ASSERT_EQ(picker->count(), 3);
    EXPECT_EQ(picker->itemText(0), "New device");
    EXPECT_EQ(picker->itemText(1), "Old Mac");
    EXPECT_EQ(picker->itemText(2), "Kid's Mac");
    // A kept choice whose record is gone shows no selection.
    EXPECT_EQ(picker->currentIndex(), kept == 2 ? 2 : -1);
    EXPECT_TRUE(rig.calls().filter("selectedDeviceID").isEmpty()) << "written on first display";

    QTest::keyClick(picker, Qt::Key_Home);  // "New device"
    EXPECT_EQ(view->model().selectedDeviceID(), std::nullopt);
    EXPECT_FALSE(rig.defaults->values.contains("selectedDeviceID"));
    QTest::keyClick(picker, Qt::Key_Down);
    EXPECT_EQ(view->model().selectedDeviceID(), 1);
    EXPECT_EQ(rig.session->selectedDeviceID(), 1);
  }
}

TEST(ContentView, TheWholeFormWaitsWhileTheModelWorksOrRestores) {
  Rig rig;
  rig.api->devices = {device(1, "Kid's Mac")};
  rig.keep("kept-token", "parent@example.com", 1);
  auto gate = std::make_shared<Gate>();
  rig.api->hold("listDevices", gate);
  auto view = rig.view();
  auto* form = find<QWidget>(*view, "form");
  EXPECT_FALSE(form->isEnabled());
  EXPECT_FALSE(shown(*view, "statusSection"));
  gate->open();
  EXPECT_TRUE(form->isEnabled());
  EXPECT_EQ(find<QLabel>(*view, "statusText")->text(), "Signed in as parent@example.com");

  // The restore runs once, when the view is first shown.
  view->hide();
  view->show();
  EXPECT_EQ(rig.api->calls.filter("listDevices").size(), 1);

  bool checked = false;
  rig.installer->duringInstall = [&] {
    checked = true;
    EXPECT_FALSE(form->isEnabled());
    for (const char* control : {"deviceName", "existingDevice", "enableDNS", "installButton",
                                "allowSafariControl", "checkForUpdates"}) {
      EXPECT_FALSE(find<QWidget>(*view, control)->isEnabled()) << control;
    }
  };
  QTest::mouseClick(find<QPushButton>(*view, "installButton"), Qt::LeftButton);
  EXPECT_TRUE(checked);
  EXPECT_TRUE(form->isEnabled());
}

TEST(ContentView, TextsFromTheServiceAreShownAsTheyAre) {
  Rig rig;
  const QString html = "<b>Kid</b> &amp; <img src=x>";
  rig.api->devices = {device(1, html)};
  rig.keep("kept-token", "<i>parent</i>@example.com", 1);
  rig.installer->installError = "<a href='https://evil.example'>install failed</a>";
  auto view = rig.view();
  QTest::mouseClick(find<QPushButton>(*view, "installButton"), Qt::LeftButton);
  EXPECT_EQ(find<QComboBox>(*view, "existingDevice")->itemText(1), html);
  for (const auto& [name, text] : {std::pair{"signedInEmail", QString("<i>parent</i>@example.com")},
                                   std::pair{"errorText", *rig.installer->installError}}) {
    auto* label = find<QLabel>(*view, name);
    EXPECT_EQ(label->text(), text);
    EXPECT_EQ(label->textFormat(), Qt::PlainText) << name;
  }
  for (auto* label : view->findChildren<QLabel*>()) {
    EXPECT_NE(label->textFormat(), Qt::RichText) << label->objectName().toStdString();
    EXPECT_EQ(label->openExternalLinks(), false);
  }
}

TEST(ContentView, PicturesOfEachState) {
  Rig rig;
  rig.api->devices = {device(1, "Old MacBook"), device(2, "Kid's MacBook Air")};
  rig.api->fail("login", TetherAPIError("incorrect e-mail address or password", 401));
  QMainWindow* window = rig.window();
  EXPECT_EQ(window->windowTitle(), "Tether");
  EXPECT_EQ(window->centralWidget()->minimumSize(), QSize(440, 560));
  EXPECT_EQ(window->centralWidget()->size(), QSize(480, 620));
  auto* menuAction = window->menuBar()->findChild<QAction*>("checkForUpdatesAction");
  ASSERT_NE(menuAction, nullptr);
  menuAction->trigger();
  EXPECT_EQ(rig.updates->checks, 1);
  auto& view = *static_cast<ContentView*>(window->centralWidget());
  savePicture(*window, "signed-out");

  auto* email = find<QLineEdit>(view, "email");
  QTest::keyClicks(email, "parent@example.com");
  QTest::keyClicks(find<QLineEdit>(view, "password"), "wrong password");
  QTest::keyClick(email, Qt::Key_Return);
  savePicture(*window, "error");

  rig.api->fail("login", nullptr);
  auto gate = std::make_shared<Gate>();
  rig.api->hold("login", gate);
  QTest::keyClick(email, Qt::Key_Return);
  savePicture(*window, "busy");
  gate->open();
  EXPECT_TRUE(shown(view, "existingDevice"));
  savePicture(*window, "signed-in-with-devices");

  QTest::mouseClick(find<QPushButton>(view, "installButton"), Qt::LeftButton);
  EXPECT_EQ(find<QLabel>(view, "daemonStatus")->text(), "running");
  savePicture(*window, "installed");

  // The longest status at the smallest size.
  rig.installer->loadsOnInstall = false;
  rig.installer->loaded = false;
  QTest::mouseClick(find<QPushButton>(view, "installButton"), Qt::LeftButton);
  window->resize(window->minimumSizeHint());
  savePicture(*window, "installed-smallest");
  EXPECT_EQ(window->centralWidget()->size(), QSize(440, 560));
  delete window;
}

}  // namespace
}  // namespace tether
