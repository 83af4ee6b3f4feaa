#pragma once

#include <QObject>
#include <functional>
#include <memory>

#include "PairingModel.h"
#include "platform/UpdateController.h"

class QMainWindow;

namespace tether {

// The setup app's shell: one updater for the run, and windows titled "Tether" whose content is
// a ContentView with a model of its own. The menu holds "Check for Updates…" (in the
// application menu on macOS) and "New Window".
class TetherApp : public QObject {
  Q_OBJECT

 public:
  struct Parts {
    std::shared_ptr<UpdateController> updates;
    // The parts of each new window's model.
    std::function<PairingModel::Parts()> modelParts;
  };

  static constexpr int kDefaultWidth = 480;
  static constexpr int kDefaultHeight = 620;

  explicit TetherApp(Parts parts, QObject* parent = nullptr);

  // The parts of the shipped app: the service compiled in, the system's keychain, user
  // defaults, sign-in window, bundle, installer and updater.
  static Parts system();

  // A new window (deleted when closed), not yet shown.
  QMainWindow* newWindow();

 private:
  Parts parts_;
};

}  // namespace tether
