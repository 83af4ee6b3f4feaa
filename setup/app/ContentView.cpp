#include "ContentView.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace tether {

namespace {

// Colours of the texts that are not the main text, chosen to stay readable on the window's
// background in light and dark palettes.
QColor secondaryColor(const QPalette& palette) {
  const QColor text = palette.color(QPalette::WindowText);
  const QColor background = palette.color(QPalette::Window);
  return QColor::fromRgbF(text.redF() * 0.62f + background.redF() * 0.38f,
                          text.greenF() * 0.62f + background.greenF() * 0.38f,
                          text.blueF() * 0.62f + background.blueF() * 0.38f);
}

bool isDark(const QPalette& palette) {
  return palette.color(QPalette::Window).lightness() < 128;
}

QColor greenColor(const QPalette& palette) {
  return isDark(palette) ? QColor(0x30, 0xd1, 0x58) : QColor(0x24, 0x8a, 0x3d);
}
QColor redColor(const QPalette& palette) {
  return isDark(palette) ? QColor(0xff, 0x69, 0x61) : QColor(0xd7, 0x00, 0x15);
}

void setTextColor(QWidget* widget, const QColor& color) {
  QPalette palette = widget->palette();
  palette.setColor(QPalette::Active, QPalette::WindowText, color);
  palette.setColor(QPalette::Inactive, QPalette::WindowText, color);
  widget->setPalette(palette);
}

// A label for text that may come from the model or the service: never read as rich text.
QLabel* plainLabel(const QString& objectName, QWidget* parent) {
  auto* label = new QLabel(parent);
  label->setObjectName(objectName);
  label->setTextFormat(Qt::PlainText);
  label->setWordWrap(true);
  label->setTextInteractionFlags(Qt::TextSelectableByMouse);
  return label;
}

QPushButton* button(const QString& text, const QString& objectName, QWidget* parent) {
  auto* pushButton = new QPushButton(text, parent);
  pushButton->setObjectName(objectName);
  pushButton->setAutoDefault(false);
  return pushButton;
}

}  // namespace

ContentView::ContentView(PairingModel::Parts parts, std::shared_ptr<UpdateController> updates,
                         QWidget* parent)
    : QWidget(parent),
      model_(new PairingModel(std::move(parts), this)),
      updates_(std::move(updates)) {
  setObjectName(QStringLiteral("contentView"));
  setWindowTitle(QStringLiteral("Tether"));
  setMinimumSize(440, 560);

  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(0, 0, 0, 8);
  form_ = new QWidget(this);
  form_->setObjectName(QStringLiteral("form"));
  outer->addWidget(form_);
  auto* sections = new QVBoxLayout(form_);
  sections->setContentsMargins(16, 14, 16, 6);
  sections->setSpacing(12);

  buildIntroduction();
  buildAccountSection();
  buildDeviceSection();

  statusSection_ = new QGroupBox(form_);
  statusSection_->setObjectName(QStringLiteral("statusSection"));
  statusText_ = plainLabel(QStringLiteral("statusText"), statusSection_);
  (new QVBoxLayout(statusSection_))->addWidget(statusText_);
  sections->addWidget(statusSection_);

  errorSection_ = new QGroupBox(form_);
  errorSection_->setObjectName(QStringLiteral("errorSection"));
  errorText_ = plainLabel(QStringLiteral("errorText"), errorSection_);
  setTextColor(errorText_, redColor(palette()));
  (new QVBoxLayout(errorSection_))->addWidget(errorText_);
  sections->addWidget(errorSection_);
  sections->addStretch(1);

  for (auto signal :
       {&PairingModel::modeChanged, &PairingModel::emailChanged, &PairingModel::passwordChanged,
        &PairingModel::deviceNameChanged, &PairingModel::enableDNSChanged,
        &PairingModel::apiTokenChanged, &PairingModel::signedInEmailChanged,
        &PairingModel::devicesChanged, &PairingModel::selectedDeviceIDChanged,
        &PairingModel::statusChanged, &PairingModel::errorChanged, &PairingModel::busyChanged,
        &PairingModel::restoringChanged, &PairingModel::daemonLoadedChanged}) {
    connect(model_, signal, this, &ContentView::refresh);
  }
  refresh();
}

ContentView::~ContentView() = default;

void ContentView::buildIntroduction() {
  auto* section = new QGroupBox(QStringLiteral("Tether"), form_);
  section->setObjectName(QStringLiteral("tetherSection"));
  auto* rows = new QFormLayout(section);
  auto* intro = new QLabel(QStringLiteral("Sign in or create a parent account, then install "
                                          "protection on this Mac. After install, allow "
                                          "Tether Tab Helper to control Safari when macOS asks."),
                           section);
  intro->setObjectName(QStringLiteral("intro"));
  intro->setTextFormat(Qt::PlainText);
  intro->setWordWrap(true);
  setTextColor(intro, secondaryColor(palette()));
  rows->addRow(intro);
  daemonStatus_ = plainLabel(QStringLiteral("daemonStatus"), section);
  rows->addRow(QStringLiteral("Daemon"), daemonStatus_);
  auto* checkForUpdates =
      button(QStringLiteral("Check for Updates…"), QStringLiteral("checkForUpdates"), section);
  connect(checkForUpdates, &QPushButton::clicked, this, [this] { updates_->checkForUpdates(); });
  rows->addRow(checkForUpdates);
  form_->layout()->addWidget(section);
}

void ContentView::buildAccountSection() {
  accountSection_ = new QGroupBox(QStringLiteral("Account"), form_);
  accountSection_->setObjectName(QStringLiteral("accountSection"));
  auto* rows = new QFormLayout(accountSection_);

  // "Mode" as a segmented control: one segment per mode, in the order of Mode.
  auto* segments = new QWidget(accountSection_);
  auto* segmentRow = new QHBoxLayout(segments);
  segmentRow->setContentsMargins(0, 0, 0, 0);
  segmentRow->setSpacing(0);
  modeGroup_ = new QButtonGroup(this);
  for (const PairingModel::Mode mode :
       {PairingModel::Mode::signIn, PairingModel::Mode::registerAccount}) {
    auto* segment = button(PairingModel::label(mode),
                           mode == PairingModel::Mode::signIn ? QStringLiteral("modeSignIn")
                                                              : QStringLiteral("modeRegister"),
                           segments);
    segment->setCheckable(true);
    modeGroup_->addButton(segment, static_cast<int>(mode));
    segmentRow->addWidget(segment);
  }
  connect(modeGroup_, &QButtonGroup::idClicked, this,
          [this](int id) { model_->setMode(static_cast<PairingModel::Mode>(id)); });
  rows->addRow(QStringLiteral("Mode"), segments);

  auto* apple = button(QStringLiteral("Continue with Apple"), QStringLiteral("continueWithApple"),
                       accountSection_);
  connect(apple, &QPushButton::clicked, this, [this] { model_->oauth(QStringLiteral("apple")); });
  rows->addRow(apple);
  auto* google = button(QStringLiteral("Continue with Google"),
                        QStringLiteral("continueWithGoogle"), accountSection_);
  connect(google, &QPushButton::clicked, this, [this] { model_->oauth(QStringLiteral("google")); });
  rows->addRow(google);

  email_ = new QLineEdit(accountSection_);
  email_->setObjectName(QStringLiteral("email"));
  email_->setInputMethodHints(Qt::ImhEmailCharactersOnly | Qt::ImhNoAutoUppercase |
                              Qt::ImhNoPredictiveText);
  connect(email_, &QLineEdit::textEdited, model_, &PairingModel::setEmail);
  email_->installEventFilter(this);
  rows->addRow(QStringLiteral("Email"), email_);

  password_ = new QLineEdit(accountSection_);
  password_->setObjectName(QStringLiteral("password"));
  password_->setEchoMode(QLineEdit::Password);
  password_->setInputMethodHints(Qt::ImhHiddenText | Qt::ImhSensitiveData |
                                 Qt::ImhNoPredictiveText);
  connect(password_, &QLineEdit::textEdited, model_, &PairingModel::setPassword);
  password_->installEventFilter(this);
  rows->addRow(QStringLiteral("Password"), password_);

  accountButton_ = button(QString(), QStringLiteral("accountButton"), accountSection_);
  accountButton_->setDefault(true);
  connect(accountButton_, &QPushButton::clicked, this, [this] { model_->submitAccount(); });
  rows->addRow(accountButton_);
  form_->layout()->addWidget(accountSection_);
}

void ContentView::buildDeviceSection() {
  deviceSection_ = new QGroupBox(QStringLiteral("This Mac"), form_);
  deviceSection_->setObjectName(QStringLiteral("deviceSection"));
  auto* rows = new QFormLayout(deviceSection_);

  signedInEmail_ = plainLabel(QStringLiteral("signedInEmail"), deviceSection_);
  setTextColor(signedInEmail_, secondaryColor(palette()));
  rows->addRow(signedInEmail_);

  deviceName_ = new QLineEdit(deviceSection_);
  deviceName_->setObjectName(QStringLiteral("deviceName"));
  connect(deviceName_, &QLineEdit::textEdited, model_, &PairingModel::setDeviceName);
  rows->addRow(QStringLiteral("Device name"), deviceName_);

  existingDevice_ = new QComboBox(deviceSection_);
  existingDevice_->setObjectName(QStringLiteral("existingDevice"));
  existingDevice_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  existingDevice_->setMinimumContentsLength(12);
  // Only the parent's own choice is written: activated is not sent for changes made in code.
  connect(existingDevice_, &QComboBox::activated, this, [this](int index) {
    const QVariant id = existingDevice_->itemData(index);
    model_->chooseDevice(id.isValid() ? std::optional<qint64>(id.toLongLong()) : std::nullopt);
  });
  existingDeviceLabel_ = new QLabel(QStringLiteral("Existing device"), deviceSection_);
  rows->addRow(existingDeviceLabel_, existingDevice_);

  enableDNS_ = new QCheckBox(QStringLiteral("Block listed websites (DNS)"), deviceSection_);
  enableDNS_->setObjectName(QStringLiteral("enableDNS"));
  connect(enableDNS_, &QCheckBox::toggled, model_, &PairingModel::setEnableDNS);
  rows->addRow(enableDNS_);

  installButton_ = button(QString(), QStringLiteral("installButton"), deviceSection_);
  installButton_->setDefault(true);
  connect(installButton_, &QPushButton::clicked, this, [this] { model_->pairAndInstall(); });
  rows->addRow(installButton_);

  auto* allowSafari = button(QStringLiteral("Allow Safari control"),
                             QStringLiteral("allowSafariControl"), deviceSection_);
  connect(allowSafari, &QPushButton::clicked, this,
          [this] { model_->installer().openTabHelper(); });
  rows->addRow(allowSafari);
  form_->layout()->addWidget(deviceSection_);
}

void ContentView::refresh() {
  const PairingModel& model = *model_;
  form_->setEnabled(!model.busy() && !model.restoring());

  daemonStatus_->setText(model.daemonLoaded() ? QStringLiteral("running")
                                              : QStringLiteral("not installed"));
  setTextColor(daemonStatus_,
               model.daemonLoaded() ? greenColor(palette()) : secondaryColor(palette()));

  accountSection_->setVisible(!model.signedIn());
  if (QAbstractButton* segment = modeGroup_->button(static_cast<int>(model.mode())))
    segment->setChecked(true);
  if (email_->text() != model.email()) email_->setText(model.email());
  if (password_->text() != model.password()) password_->setText(model.password());
  accountButton_->setText(PairingModel::label(model.mode()));
  accountButton_->setEnabled(!model.busy() && !model.email().isEmpty() &&
                             !model.password().isEmpty());

  deviceSection_->setVisible(model.signedIn());
  signedInEmail_->setText(model.signedInEmail());
  if (deviceName_->text() != model.deviceName()) deviceName_->setText(model.deviceName());
  refreshDevicePicker();
  enableDNS_->setChecked(model.enableDNS());
  installButton_->setText(model.daemonLoaded() ? QStringLiteral("Reinstall protection")
                                               : QStringLiteral("Install protection"));
  installButton_->setEnabled(!model.busy() && !model.deviceName().trimmed().isEmpty());

  statusSection_->setVisible(!model.status().isEmpty());
  statusText_->setText(model.status());
  errorSection_->setVisible(!model.error().isEmpty());
  errorText_->setText(model.error());
}

void ContentView::refreshDevicePicker() {
  const QList<DeviceRecord>& devices = model_->devices();
  const bool shown = !devices.isEmpty();
  existingDevice_->setVisible(shown);
  existingDeviceLabel_->setVisible(shown);

  bool same = existingDevice_->count() == devices.size() + 1;
  for (qsizetype i = 0; same && i < devices.size(); ++i) {
    const int row = static_cast<int>(i) + 1;
    same = existingDevice_->itemData(row).toLongLong() == devices[i].id &&
           existingDevice_->itemText(row) == devices[i].name;
  }
  if (!same) {
    existingDevice_->clear();
    existingDevice_->addItem(QStringLiteral("New device"));
    for (const DeviceRecord& device : devices)
      existingDevice_->addItem(device.name, QVariant::fromValue(device.id));
  }
  // No choice shows "New device"; a kept choice whose record is gone shows none.
  const std::optional<qint64>& selected = model_->selectedDeviceID();
  existingDevice_->setCurrentIndex(
      selected ? existingDevice_->findData(QVariant::fromValue(*selected)) : 0);
}

QPushButton* ContentView::defaultButton() const {
  return model_->signedIn() ? installButton_ : accountButton_;
}

void ContentView::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (restoreStarted_) return;
  restoreStarted_ = true;
  model_->restoreIfNeeded();
}

namespace {

bool isReturn(const QEvent* event) {
  if (event->type() != QEvent::KeyPress) return false;
  const int key = static_cast<const QKeyEvent*>(event)->key();
  return key == Qt::Key_Return || key == Qt::Key_Enter;
}

}  // namespace

bool ContentView::eventFilter(QObject* watched, QEvent* event) {
  // The fields' own submit: no emptiness test. Taken here, the key neither reaches the field
  // nor travels on to press the default button as well.
  if ((watched == email_ || watched == password_) && isReturn(event)) {
    model_->submitAccount();
    return true;
  }
  return QWidget::eventFilter(watched, event);
}

void ContentView::keyPressEvent(QKeyEvent* event) {
  QPushButton* pressed = defaultButton();
  if (isReturn(event) && pressed->isVisibleTo(this) && pressed->isEnabled() && form_->isEnabled()) {
    pressed->click();
    event->accept();
    return;
  }
  QWidget::keyPressEvent(event);
}

}  // namespace tether
