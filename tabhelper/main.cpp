// TetherTabHelper: no window of its own; the permission alerts and, until control of Safari is
// allowed, a Dock icon are all the user sees. Its files lie in the support folder.
#include <QApplication>

#include "AppDelegate.h"
#include "platform/Desktop.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("TetherTabHelper"));
  QApplication::setApplicationDisplayName(QStringLiteral("Tether Tab Helper"));
  // Closing a permission alert must not end the program.
  QApplication::setQuitOnLastWindowClosed(false);

  const auto desktop = tether::Desktop::create();
  tether::AppDelegate delegate(*desktop);
  desktop->setActivationPolicy(tether::ActivationPolicy::Regular);
  desktop->activate();
  delegate.applicationDidFinishLaunching();
  return QApplication::exec();
}
