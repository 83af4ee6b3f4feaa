// Web sign-in end to end: the reference service's sign-in page in the real Qt WebEngine window,
// through to an account token.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDesktopServices>
#include <QDialog>
#include <QSignalSpy>
#include <QWebEnginePage>
#include <QWebEngineView>

#include "OAuthBrowser.h"
#include "PlatformError.h"
#include "SetupTestSupport.h"
#include "TetherClient.h"

using namespace tether;

namespace {

// Qt WebEngine learns its URL schemes before the application object exists, as in the app.
const bool kSchemeRegistered = [] {
  WebAuthSession::registerCallbackScheme(OAuthBrowser::kCallbackScheme);
  return true;
}();

}  // namespace

// Stands in for the desktop's URL handlers (xdg-open): whatever Qt would hand to them lands here.
class DesktopHandler : public QObject {
  Q_OBJECT
 public:
  DesktopHandler() {
    for (const char* scheme : {"tether", "mailto"})
      QDesktopServices::setUrlHandler(scheme, this, "open");
  }
  ~DesktopHandler() override {
    for (const char* scheme : {"tether", "mailto"}) QDesktopServices::unsetUrlHandler(scheme);
  }
  QList<QUrl> opened;

 public slots:
  void open(const QUrl& url) { opened << url; }
};

namespace {

QDialog* signInDialog() {
  for (QWidget* widget : QApplication::topLevelWidgets())
    if (widget->objectName() == "signInDialog" && widget->isVisible())
      return qobject_cast<QDialog*>(widget);
  return nullptr;
}

// The dialog of the sign-in just started, once its page has loaded.
QDialog* loadedSignInDialog() {
  QDialog* dialog = signInDialog();
  auto* view = dialog ? dialog->findChild<QWebEngineView*>("signInView") : nullptr;
  if (!view) return nullptr;
  QSignalSpy loaded(view, &QWebEngineView::loadFinished);
  if (!loaded.wait(60000) || !loaded.first().first().toBool()) return nullptr;
  return dialog;
}

// The window as drawn, once it shows more than one colour: the page's first frame comes a while
// after its load.
QImage drawn(QWidget* window) {
  QImage shot;
  const auto painted = [&] {
    shot = window->grab().toImage().convertToFormat(QImage::Format_RGB32);
    const QRgb first = shot.pixel(0, 0);
    for (int y = 0; y < shot.height(); ++y) {
      const auto* line = reinterpret_cast<const QRgb*>(shot.constScanLine(y));
      for (int x = 0; x < shot.width(); ++x)
        if (line[x] != first) return true;
    }
    return false;
  };
  EXPECT_TRUE(QTest::qWaitFor(painted, 20000)) << "the page was never drawn";
  return shot;
}

TEST(WebSignIn, ClosingTheWindowCancelsThenSigningInThroughTheServicesPageTradesTheCode) {
  ReferenceService service;
  if (!service.problem().isEmpty()) GTEST_SKIP() << service.problem().toStdString();
  DesktopHandler desktop;
  OAuthBrowser browser(service.url(), WebAuthSession::create);

  auto closed = browser.signIn("apple");
  QDialog* dialog = loadedSignInDialog();
  ASSERT_NE(dialog, nullptr) << "the sign-in page did not load";
  dialog->close();
  ASSERT_TRUE(QTest::qWaitFor([&] { return closed.isReady(); }, 10000));
  try {
    awaitTask(std::move(closed));
    ADD_FAILURE() << "a closed window returned a code";
  } catch (const PlatformError& e) {
    EXPECT_EQ(e.kind(), PlatformError::Kind::signInCancelled);
  }
  EXPECT_FALSE(browser.inFlight());

  auto task = browser.signIn("google");
  dialog = loadedSignInDialog();
  ASSERT_NE(dialog, nullptr) << "the sign-in page did not load";
  EXPECT_TRUE(
      QTest::qWaitFor([&] { return dialog->windowTitle() == "Sign in with Google"; }, 10000))
      << dialog->windowTitle().toStdString();
  const QString file = qEnvironmentVariable("TETHER_TEST_BINARY_DIR", ".") + "/web-sign-in.png";
  EXPECT_TRUE(drawn(dialog).save(file)) << file.toStdString();

  auto* page = dialog->findChild<QWebEngineView*>("signInView")->page();
  // A page may try a scheme the desktop would handle: the sign-in window opens none.
  page->runJavaScript("location.href = 'mailto:someone@example.com';");
  page->runJavaScript(
      "document.getElementById('email').value = 'web@example.com';"
      "document.querySelector('form').submit();");
  ASSERT_TRUE(QTest::qWaitFor([&] { return task.isReady(); }, 60000)) << "no code arrived";
  const QString code = awaitTask(std::move(task));
  EXPECT_FALSE(browser.inFlight());
  EXPECT_TRUE(QTest::qWaitFor([] { return signInDialog() == nullptr; }, 10000))
      << "the window stayed open";
  EXPECT_EQ(awaitTask(TetherClient(service.url()).exchangeOAuthCode(code)).email,
            "web@example.com");
  EXPECT_TRUE(desktop.opened.isEmpty()) << desktop.opened.first().toString().toStdString();
}

}  // namespace

#include "WebSignInTest.moc"
