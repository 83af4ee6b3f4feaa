#pragma once

#include <QWidget>
#include <memory>

#include "PairingModel.h"
#include "platform/UpdateController.h"

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace tether {

// The setup window's content: a form bound to its own pairing model. An introduction with the
// agent's state, then the account form (signed out) or this computer's device and install
// section (signed in), then the status and the error. Every text from the model or the service
// is shown as plain text. The form is disabled while the model is busy or restoring; the
// restore runs once, when the view is first shown.
class ContentView : public QWidget {
  Q_OBJECT

 public:
  ContentView(PairingModel::Parts parts, std::shared_ptr<UpdateController> updates,
              QWidget* parent = nullptr);
  ~ContentView() override;

  PairingModel& model() const { return *model_; }

 protected:
  void showEvent(QShowEvent* event) override;
  // Return outside the e-mail and password fields presses the section's default button.
  void keyPressEvent(QKeyEvent* event) override;
  // Return in the e-mail or password field submits the account form, and nothing else.
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void buildIntroduction();
  void buildAccountSection();
  void buildDeviceSection();
  void refresh();
  void refreshDevicePicker();
  QPushButton* defaultButton() const;

  PairingModel* model_;
  std::shared_ptr<UpdateController> updates_;
  bool restoreStarted_ = false;

  QWidget* form_ = nullptr;
  QLabel* daemonStatus_ = nullptr;
  QGroupBox* accountSection_ = nullptr;
  QButtonGroup* modeGroup_ = nullptr;
  QLineEdit* email_ = nullptr;
  QLineEdit* password_ = nullptr;
  QPushButton* accountButton_ = nullptr;
  QGroupBox* deviceSection_ = nullptr;
  QLabel* signedInEmail_ = nullptr;
  QLineEdit* deviceName_ = nullptr;
  QLabel* existingDeviceLabel_ = nullptr;
  QComboBox* existingDevice_ = nullptr;
  QCheckBox* enableDNS_ = nullptr;
  QPushButton* installButton_ = nullptr;
  QGroupBox* statusSection_ = nullptr;
  QLabel* statusText_ = nullptr;
  QGroupBox* errorSection_ = nullptr;
  QLabel* errorText_ = nullptr;
};

}  // namespace tether
