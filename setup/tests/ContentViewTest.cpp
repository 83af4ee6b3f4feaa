// The setup window over a model with fakes, driven as a parent would with keys and clicks, and a
// picture of each state in the build folder.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenuBar>
#include <QPushButton>
#include <QTest>

#include "ContentView.h"
#include "SetupTestSupport.h"
#include "TetherApp.h"

namespace tether {
namespace {

using ::testing::ElementsAre;

class CountingUpdates final : public UpdateController {
 public:
  void checkForUpdates() override { ++checks; }
  int checks = 0;
};

struct Rig : FakeModelParts {
  std::shared_ptr<CountingUpdates> updates = std::make_shared<CountingUpdates>();

  // The view, shown (which starts the restore).
  std::unique_ptr<ContentView> view() {
    auto made = std::make_unique<ContentView>(parts(), updates);
    made->resize(480, 620);
    made->show();
    return made;
  }
};

bool shown(const QWidget& view, const char* name) {
  return find(view, name)->isVisibleTo(&view);
}
QString text(const QWidget& view, const char* name) {
  return find<QLabel>(view, name)->text();
}
void click(const QWidget& view, const char* name) {
  QTest::mouseClick(find(view, name), Qt::LeftButton);
}

TEST(ContentView, TheAccountFormsKeysThenPicturesOfEachState) {
  Rig rig;
  rig.api->devices = {Rig::device(1, "Old MacBook"), Rig::device(2, "Kid's MacBook Air")};
  rig.api->fail("login", TetherAPIError("incorrect e-mail address or password", 401));
  rig.api->fail("registerAccount", TetherAPIError("address taken", 409));
  TetherApp app(TetherApp::Parts{rig.updates, [&] { return rig.parts(); }});
  std::unique_ptr<QMainWindow> window(app.newWindow());
  window->setAttribute(Qt::WA_DeleteOnClose, false);
  window->show();
  window->menuBar()->findChild<QAction*>("checkForUpdatesAction")->trigger();
  EXPECT_EQ(rig.updates->checks, 1);
  auto& view = *static_cast<ContentView*>(window->centralWidget());
  auto* email = find<QLineEdit>(view, "email");
  auto* password = find<QLineEdit>(view, "password");
  auto* button = find<QPushButton>(view, "accountButton");
  EXPECT_TRUE(shown(view, "accountSection"));
  EXPECT_FALSE(shown(view, "deviceSection"));
  EXPECT_EQ(password->echoMode(), QLineEdit::Password);
  savePicture(*window, "signed-out");

  // An empty password disables the button, yet Return in the e-mail field submits, once.
  QTest::keyClicks(email, "parent@example.com");
  EXPECT_FALSE(button->isEnabled());
  QTest::keyClick(email, Qt::Key_Return);
  EXPECT_THAT(rig.api->calls, ElementsAre("login parent@example.com "));
  EXPECT_EQ(text(view, "errorText"), "incorrect e-mail address or password");
  QTest::keyClicks(password, "secret");
  EXPECT_TRUE(button->isEnabled());
  savePicture(*window, "error");
  QTest::keyClick(password, Qt::Key_Enter);
  QTest::mouseClick(button, Qt::LeftButton);
  QTest::keyClick(find(view, "continueWithGoogle"), Qt::Key_Return);  // the default button
  EXPECT_EQ(rig.api->calls.size(), 4);
  EXPECT_EQ(rig.api->calls.filter("login parent@example.com secret").size(), 3);

  click(view, "modeRegister");
  EXPECT_EQ(button->text(), "Create account");
  rig.api->fail("registerAccount", nullptr);
  auto gate = rig.api->hold("registerAccount");
  QTest::keyClick(email, Qt::Key_Return);
  EXPECT_EQ(rig.api->calls.last(), "registerAccount parent@example.com secret");
  EXPECT_FALSE(find(view, "form")->isEnabled());
  savePicture(*window, "busy");
  gate->open();
  EXPECT_TRUE(find(view, "form")->isEnabled());
  EXPECT_TRUE(shown(view, "existingDevice"));
  savePicture(*window, "signed-in-with-devices");

  click(view, "installButton");
  EXPECT_EQ(text(view, "daemonStatus"), "running");
  savePicture(*window, "installed");
  // The longest status at the smallest size.
  rig.installer->loadsOnInstall = rig.installer->loaded = false;
  click(view, "installButton");
  window->resize(window->minimumSizeHint());
  savePicture(*window, "installed-smallest");
  EXPECT_EQ(window->centralWidget()->size(), QSize(440, 560));
}

TEST(ContentView, TheDeviceSectionWaitsForTheModelAndNeedsADeviceName) {
  Rig rig;
  rig.keep(QString("parent@example.com"), std::nullopt);
  auto gate = rig.api->hold("listDevices");
  auto view = rig.view();
  auto* form = find(*view, "form");
  EXPECT_FALSE(form->isEnabled());
  EXPECT_FALSE(shown(*view, "statusSection"));
  gate->open();
  EXPECT_TRUE(form->isEnabled());
  view->hide();  // the restore runs once, when the view is first shown
  view->show();
  EXPECT_EQ(rig.api->calls.filter("listDevices").size(), 1);

  EXPECT_FALSE(shown(*view, "accountSection"));
  auto* name = find<QLineEdit>(*view, "deviceName");
  auto* install = find<QPushButton>(*view, "installButton");
  name->clear();
  QTest::keyClicks(name, " \t ");
  EXPECT_FALSE(install->isEnabled());
  QTest::keyClick(name, Qt::Key_Return);
  EXPECT_TRUE(rig.calls().filter("install ").isEmpty());

  name->clear();
  QTest::keyClicks(name, "Kid's Mac");
  bool checked = false;
  rig.installer->duringInstall = [&] {
    checked = true;
    for (const char* control : {"form", "deviceName", "enableDNS", "installButton",
                                "allowSafariControl", "checkForUpdates"})
      EXPECT_FALSE(find(*view, control)->isEnabled()) << control;
  };
  QTest::keyClick(name, Qt::Key_Return);  // presses the install button, once
  EXPECT_TRUE(checked);
  EXPECT_THAT(rig.calls().filter("install "),
              ElementsAre("install " + Rig::kService + " device-token-100 dns"));
  EXPECT_TRUE(shown(*view, "existingDevice"));  // the new record

  rig.calls().clear();
  click(*view, "allowSafariControl");
  EXPECT_EQ(rig.calls(), QStringList{"openTabHelper"});
  click(*view, "checkForUpdates");
  EXPECT_EQ(rig.updates->checks, 1);
}

TEST(ContentView, ThePickerWritesOnlyWhatTheParentChooses) {
  for (const qint64 kept : {2, 99}) {
    Rig rig;
    rig.keep(QString("parent@example.com"), kept, {"Old Mac", "Kid's Mac"});
    auto view = rig.view();
    auto* picker = find<QComboBox>(*view, "existingDevice");
    ASSERT_EQ(picker->count(), 3);
    EXPECT_EQ(QStringList({picker->itemText(0), picker->itemText(1), picker->itemText(2)}),
              QStringList({"New device", "Old Mac", "Kid's Mac"}));
    EXPECT_EQ(picker->currentIndex(), kept == 2 ? 2 : -1);  // a kept choice whose record is gone
    EXPECT_TRUE(rig.calls().filter("selectedDeviceID").isEmpty()) << "written on first display";
    QTest::keyClick(picker, Qt::Key_Home);  // "New device"
    EXPECT_FALSE(rig.defaults->values.contains("selectedDeviceID"));
    QTest::keyClick(picker, Qt::Key_Down);
    EXPECT_EQ(rig.session->selectedDeviceID(), 1);
  }
}

TEST(ContentView, TextsFromTheServiceAreShownAsTheyAre) {
  Rig rig;
  const QString html = "<b>Kid</b> &amp; <img src=x>";
  rig.keep(QString("<i>parent</i>@example.com"), 1, {html});
  rig.installer->installError = "<a href='https://evil.example'>install failed</a>";
  auto view = rig.view();
  click(*view, "installButton");
  EXPECT_EQ(find<QComboBox>(*view, "existingDevice")->itemText(1), html);
  EXPECT_EQ(text(*view, "signedInEmail"), "<i>parent</i>@example.com");
  EXPECT_EQ(text(*view, "errorText"), *rig.installer->installError);
  for (auto* label : view->findChildren<QLabel*>()) {
    const bool data = label->objectName() == "signedInEmail" || label->objectName() == "errorText";
    EXPECT_TRUE(data ? label->textFormat() == Qt::PlainText : label->textFormat() != Qt::RichText)
        << label->objectName().toStdString();
    EXPECT_FALSE(label->openExternalLinks());
  }
}

}  // namespace
}  // namespace tether
