#include "PairingModel.h"

#include <QPointer>
#include <exception>

#include "TetherAPIError.h"

namespace tether {

namespace {

// Thrown inside an operation that resumed after its model was destroyed: unwinds it without
// touching the model again.
struct Abandoned {};

void ensureAlive(const QPointer<PairingModel>& model) {
  if (!model) throw Abandoned{};
}

QString signedInAs(const QString& email) {
  return QStringLiteral("Signed in as ") + email;
}

// Sets a field and announces it, only when the value differs.
template <class T, class V>
void change(PairingModel& model, T& field, V&& value, void (PairingModel::*changed)()) {
  if (field == value) return;
  field = std::forward<V>(value);
  emit(model.*changed)();
}

}  // namespace

QString PairingModel::label(Mode mode) {
  return mode == Mode::registerAccount ? QStringLiteral("Create account")
                                       : QStringLiteral("Sign in");
}

PairingModel::PairingModel(Parts parts, QObject* parent)
    : QObject(parent),
      client_(std::move(parts.client)),
      session_(std::move(parts.session)),
      installer_(std::move(parts.installer)),
      webSignIn_(std::move(parts.webSignIn)),
      serviceURL_(std::move(parts.serviceURL)) {
  deviceName_ = parts.computerName.value_or(QString());
  if (deviceName_.isEmpty()) deviceName_ = QStringLiteral("Mac");
  daemonLoaded_ = installer_->isLoaded();
  apiToken_ = session_->apiToken();
  signedInEmail_ = session_->signedInEmail().value_or(QString());
  selectedDeviceID_ = session_->selectedDeviceID();
}

PairingModel::~PairingModel() = default;

void PairingModel::setMode(Mode mode) {
  change(*this, mode_, mode, &PairingModel::modeChanged);
}

void PairingModel::setEmail(const QString& email) {
  change(*this, email_, email, &PairingModel::emailChanged);
}

void PairingModel::setPassword(const QString& password) {
  change(*this, password_, password, &PairingModel::passwordChanged);
}

void PairingModel::setDeviceName(const QString& name) {
  change(*this, deviceName_, name, &PairingModel::deviceNameChanged);
}

void PairingModel::setEnableDNS(bool enable) {
  change(*this, enableDNS_, enable, &PairingModel::enableDNSChanged);
}

void PairingModel::chooseDevice(std::optional<qint64> id) {
  setSelectedDeviceID(id);
  session_->setSelectedDeviceID(id);
}

QCoro::Task<> PairingModel::restoreIfNeeded() {
  if (!apiToken_) co_return;
  const QPointer<PairingModel> self(this);
  // The form waits for the device list: an install started before it arrives would create a
  // record the account may already have.
  setRestoring(true);
  std::exception_ptr failure;
  try {
    co_await refreshDevices();
  } catch (const Abandoned&) {
    co_return;
  } catch (...) {
    failure = std::current_exception();
  }
  if (!self) co_return;
  if (!failure) {
    setStatus(signedInAs(signedInEmail_));
  } else {
    try {
      std::rethrow_exception(failure);
    } catch (const TetherAPIError& e) {
      // Only the service's refusal of the token ends the session. Offline, a time-out or a
      // failing service keep it, with the device choice: a fresh sign-in would choose the
      // newest record, and reinstalling could pair this computer with another child's record.
      if (e.httpStatus() == 401) {
        expireSession();
      } else {
        setError(e.description());
      }
    } catch (const std::exception& e) {
      setError(QString::fromUtf8(e.what()));
    }
  }
  setRestoring(false);
}

void PairingModel::expireSession() {
  session_->clear();
  setApiToken(std::nullopt);
  setSignedInEmail(QString());
  setSelectedDeviceID(std::nullopt);
  setError(kSessionExpired);
}

QCoro::Task<> PairingModel::submitAccount() {
  return mode_ == Mode::registerAccount ? registerAccount() : signIn();
}

QCoro::Task<> PairingModel::signIn() {
  return userOperation([this] { return accountWork(Mode::signIn); });
}

QCoro::Task<> PairingModel::registerAccount() {
  return userOperation([this] { return accountWork(Mode::registerAccount); });
}

QCoro::Task<> PairingModel::oauth(QString provider) {
  return userOperation([this, provider] { return oauthWork(provider); });
}

QCoro::Task<> PairingModel::pairAndInstall() {
  return userOperation([this] { return installWork(); });
}

QCoro::Task<> PairingModel::userOperation(std::function<QCoro::Task<>()> work) {
  const QPointer<PairingModel> self(this);
  setError(QString());
  setStatus(QString());
  setBusy(true);
  std::optional<QString> failure;
  try {
    QCoro::Task<> running = work();
    co_await std::move(running);
  } catch (const Abandoned&) {
    co_return;
  } catch (const std::exception& e) {
    failure = QString::fromUtf8(e.what());
  } catch (...) {
    failure = QStringLiteral("unexpected error");
  }
  if (!self) co_return;
  if (failure) setError(*failure);
  setBusy(false);
}

QCoro::Task<> PairingModel::accountWork(Mode mode) {
  const QPointer<PairingModel> self(this);
  const std::shared_ptr<TetherAPI> client = client_;
  const QString email = email_.trimmed();
  const QString password = password_;
  QCoro::Task<LoginResponse> request = mode == Mode::registerAccount
                                           ? client->registerAccount(email, password)
                                           : client->login(email, password);
  const LoginResponse response = co_await std::move(request);
  ensureAlive(self);
  co_await accept(response);
}

QCoro::Task<> PairingModel::oauthWork(QString provider) {
  const QPointer<PairingModel> self(this);
  const std::shared_ptr<OAuthBrowser> webSignIn = webSignIn_;
  const std::shared_ptr<TetherAPI> client = client_;
  QCoro::Task<QString> signingIn = webSignIn->signIn(provider);
  const QString code = co_await std::move(signingIn);
  ensureAlive(self);
  QCoro::Task<LoginResponse> exchange = client->exchangeOAuthCode(code);
  const LoginResponse response = co_await std::move(exchange);
  ensureAlive(self);
  co_await accept(response);
}

QCoro::Task<> PairingModel::accept(LoginResponse response) {
  setApiToken(response.apiToken);
  setSignedInEmail(response.email);
  session_->setSignedInEmail(response.email);
  session_->setApiToken(response.apiToken);
  session_->setSelectedDeviceID(selectedDeviceID_);
  co_await refreshDevices();
  // Fetching may have chosen a record.
  session_->setSelectedDeviceID(selectedDeviceID_);
  setStatus(signedInAs(response.email));
}

QCoro::Task<> PairingModel::refreshDevices() {
  if (!apiToken_) co_return;
  const QPointer<PairingModel> self(this);
  const std::shared_ptr<TetherAPI> client = client_;
  QCoro::Task<QList<DeviceRecord>> request = client->listDevices(*apiToken_);
  QList<DeviceRecord> fetched = co_await std::move(request);
  ensureAlive(self);
  const std::optional<qint64> last =
      fetched.isEmpty() ? std::nullopt : std::optional(fetched.last().id);
  devicesFetched_ = true;
  setDevices(std::move(fetched));
  if (!selectedDeviceID_) setSelectedDeviceID(last);
}

QCoro::Task<QString> PairingModel::deviceToken() {
  const QPointer<PairingModel> self(this);
  // After a restore that could not reach the service the list is not this account's yet: the
  // kept choice is looked up in the real list before a record is created.
  if (apiToken_ && !devicesFetched_) co_await refreshDevices();
  if (selectedDeviceID_) {
    for (const DeviceRecord& device : devices_) {
      if (device.id == *selectedDeviceID_) co_return device.token;
    }
  }
  if (!apiToken_) throw TetherAPIError(QStringLiteral("sign in first"));
  const std::shared_ptr<TetherAPI> client = client_;
  QCoro::Task<DeviceRecord> request = client->createDevice(deviceName_.trimmed(), *apiToken_);
  const DeviceRecord created = co_await std::move(request);
  ensureAlive(self);
  QList<DeviceRecord> devices = devices_;
  devices.append(created);
  setDevices(std::move(devices));
  setSelectedDeviceID(created.id);
  session_->setSelectedDeviceID(created.id);
  co_return created.token;
}

QCoro::Task<> PairingModel::installWork() {
  QCoro::Task<QString> pairing = deviceToken();
  const QString token = co_await std::move(pairing);
  const std::shared_ptr<ProtectionInstaller> installer = installer_;
  installer->install(serviceURL_, token, enableDNS_);
  setDaemonLoaded(installer->isLoaded());
  installer->openTabHelper();
  setStatus(daemonLoaded_ ? kInstalledAndLoaded : kInstalledNotLoaded);
}

void PairingModel::setApiToken(std::optional<QString> token) {
  change(*this, apiToken_, std::move(token), &PairingModel::apiTokenChanged);
}

void PairingModel::setSignedInEmail(const QString& email) {
  change(*this, signedInEmail_, email, &PairingModel::signedInEmailChanged);
}

void PairingModel::setDevices(QList<DeviceRecord> devices) {
  change(*this, devices_, std::move(devices), &PairingModel::devicesChanged);
}

void PairingModel::setSelectedDeviceID(std::optional<qint64> id) {
  change(*this, selectedDeviceID_, id, &PairingModel::selectedDeviceIDChanged);
}

void PairingModel::setStatus(const QString& status) {
  change(*this, status_, status, &PairingModel::statusChanged);
}

void PairingModel::setError(const QString& error) {
  change(*this, error_, error, &PairingModel::errorChanged);
}

void PairingModel::setBusy(bool busy) {
  change(*this, busy_, busy, &PairingModel::busyChanged);
}

void PairingModel::setRestoring(bool restoring) {
  change(*this, restoring_, restoring, &PairingModel::restoringChanged);
}

void PairingModel::setDaemonLoaded(bool loaded) {
  change(*this, daemonLoaded_, loaded, &PairingModel::daemonLoadedChanged);
}

}  // namespace tether
