#include "TetherApp.h"

#include <QAction>
#include <QApplication>
#include <QMainWindow>
#include <QMenuBar>

#include "ContentView.h"
#include "DaemonInstaller.h"
#include "SetupConstants.h"
#include "TetherClient.h"
#include "platform/ComputerName.h"
#include "platform/Keychain.h"
#include "platform/UserDefaults.h"
#include "platform/WebAuthSession.h"

namespace tether {

TetherApp::TetherApp(Parts parts, QObject* parent) : QObject(parent), parts_(std::move(parts)) {}

TetherApp::Parts TetherApp::system() {
  const QUrl serviceURL(QString::fromUtf8(SetupConstants::kServiceURL));
  const QString bundleID = QString::fromUtf8(SetupConstants::kBundleIdentifier);
  // One client, session store and installer for every window; each window has its own model.
  auto client = std::make_shared<TetherClient>(serviceURL);
  auto session =
      std::make_shared<SessionStore>(Keychain::system(bundleID), UserDefaults::standard(bundleID));
  auto installer =
      std::make_shared<DaemonInstaller>(MainBundle::create(), InstallerPlatform::create());
  auto webSignIn = std::make_shared<OAuthBrowser>(serviceURL, WebAuthSession::create);
  const std::optional<QString> computerName = localizedComputerName();
  return {UpdateController::create(), [=] {
            return PairingModel::Parts{
                client, session, installer, webSignIn, serviceURL.toString(), computerName};
          }};
}

QMainWindow* TetherApp::newWindow() {
  auto* window = new QMainWindow;
  window->setAttribute(Qt::WA_DeleteOnClose);
  window->setWindowTitle(QStringLiteral("Tether"));
  auto* content = new ContentView(parts_.modelParts(), parts_.updates, window);
  window->setCentralWidget(content);

  QMenu* appMenu = window->menuBar()->addMenu(QStringLiteral("Tether"));
  QAction* checkForUpdates = appMenu->addAction(QStringLiteral("Check for Updates…"));
  checkForUpdates->setObjectName(QStringLiteral("checkForUpdatesAction"));
  // macOS puts it into the application menu, after "About".
  checkForUpdates->setMenuRole(QAction::ApplicationSpecificRole);
  connect(checkForUpdates, &QAction::triggered, this,
          [updates = parts_.updates] { updates->checkForUpdates(); });
  QAction* another = appMenu->addAction(QStringLiteral("New Window"));
  another->setShortcut(QKeySequence::New);
  connect(another, &QAction::triggered, this, [this] { newWindow()->show(); });
  appMenu->addSeparator();
  QAction* quit = appMenu->addAction(QStringLiteral("Quit Tether"));
  quit->setShortcut(QKeySequence::Quit);
  quit->setMenuRole(QAction::QuitRole);
  connect(quit, &QAction::triggered, qApp, &QApplication::closeAllWindows);

  // The default size is the content's; a menu bar inside the window comes on top of it.
  const int menuHeight =
      window->menuBar()->isNativeMenuBar() ? 0 : window->menuBar()->sizeHint().height();
  window->resize(kDefaultWidth, kDefaultHeight + menuHeight);
  return window;
}

}  // namespace tether
