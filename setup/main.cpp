// Tether, the setup app: the parent signs in, picks or creates this computer's device record and
// installs the protection.
#include <QApplication>
#include <QMainWindow>

#include "OAuthBrowser.h"
#include "TetherApp.h"
#include "platform/WebAuthSession.h"

int main(int argc, char** argv) {
  // The sign-in window's callback scheme must be known before the application object exists.
  tether::WebAuthSession::registerCallbackScheme(tether::OAuthBrowser::kCallbackScheme);
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Tether"));
  QApplication::setApplicationDisplayName(QStringLiteral("Tether"));

  tether::TetherApp shell(tether::TetherApp::system());
  shell.newWindow()->show();
  return QApplication::exec();
}
