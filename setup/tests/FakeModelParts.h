#pragma once

#include <QMap>
#include <QStringList>
#include <coroutine>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

#include "MemorySessionBackends.h"
#include "PairingModel.h"
#include "ProtectionInstaller.h"
#include "ScriptedWebAuth.h"
#include "TetherAPI.h"
#include "TetherAPIError.h"

namespace tether {

// Holds an answer back until the test opens it; the waiting call resumes inside open().
struct Gate {
  bool opened = false;
  std::coroutine_handle<> waiting;
  void open() {
    opened = true;
    if (auto handle = std::exchange(waiting, {})) handle.resume();
  }
  // A plain pointer: awaiters stay trivially destructible (GCC 12 destroys a braced temporary in
  // a co_await operand twice).
  struct Awaiter {
    Gate* gate;
    bool await_ready() const noexcept { return gate->opened; }
    void await_suspend(std::coroutine_handle<> handle) noexcept { gate->waiting = handle; }
    void await_resume() const noexcept {}
  };
};

// The service for one account: its device list, device creation, and any operation made to fail
// (failures) or to wait (gates). calls records each request as "operation argument...".
class FakeTetherAPI final : public TetherAPI {
 public:
  QCoro::Task<LoginResponse> login(QString email, QString password) override {
    calls << "login " + email + " " + password;
    co_await answer("login");
    co_return response(email);
  }
  QCoro::Task<LoginResponse> registerAccount(QString email, QString password) override {
    calls << "registerAccount " + email + " " + password;
    co_await answer("registerAccount");
    co_return response(email);
  }
  QCoro::Task<QList<DeviceRecord>> listDevices(QString token) override {
    calls << "listDevices " + token;
    co_await answer("listDevices");
    QList<DeviceRecord> listed = devices;
    co_return listed;
  }
  QCoro::Task<DeviceRecord> createDevice(QString name, QString token) override {
    calls << "createDevice " + name + " " + token;
    co_await answer("createDevice");
    const DeviceRecord created{nextID, name, QStringLiteral("device-token-%1").arg(nextID++),
                               std::nullopt};
    devices.append(created);
    co_return created;
  }
  QCoro::Task<LoginResponse> exchangeOAuthCode(QString code) override {
    calls << "exchangeOAuthCode " + code;
    co_await answer("exchangeOAuthCode");
    co_return response(QStringLiteral("oauth@example.com"));
  }

  // operation fails with error from now on (until it is given nullptr).
  template <class E>
  void fail(const QString& operation, E error) {
    if constexpr (std::is_same_v<E, std::exception_ptr> || std::is_null_pointer_v<E>)
      failures[operation] = error;
    else
      failures[operation] = std::make_exception_ptr(std::move(error));
  }

  QStringList calls;
  QList<DeviceRecord> devices;
  qint64 nextID = 100;
  QString serviceEmail;  // the e-mail the service answers with; the one sent when empty
  QMap<QString, std::exception_ptr> failures;
  QMap<QString, std::shared_ptr<Gate>> gates;
  // The next call of operation waits for the gate returned.
  std::shared_ptr<Gate> hold(const QString& operation) {
    return gates[operation] = std::make_shared<Gate>();
  }

 private:
  LoginResponse response(const QString& sent) const {
    return {serviceEmail.isEmpty() ? sent : serviceEmail, QStringLiteral("account-token"), 7};
  }
  // (A plain pointer argument: nothing to destroy in the co_await of the caller.)
  QCoro::Task<> answer(const char* operation) {
    const QString name = QString::fromLatin1(operation);
    if (std::shared_ptr<Gate> gate = gates.take(name)) co_await Gate::Awaiter{gate.get()};
    if (std::exception_ptr error = failures.value(name)) std::rethrow_exception(error);
  }
};

// An installer that records its calls ("isLoaded", "install URL TOKEN dns|no-dns",
// "openTabHelper") and answers as the test sets it.
class FakeInstaller final : public ProtectionInstaller {
 public:
  void install(const QString& serverURL, const QString& deviceToken, bool enableDNS) override {
    *calls << "install " + serverURL + " " + deviceToken + (enableDNS ? " dns" : " no-dns");
    if (duringInstall) duringInstall();
    if (installError) throw TetherAPIError(*installError);
    if (loadsOnInstall) loaded = true;
  }
  bool isLoaded() override {
    *calls << "isLoaded";
    return loaded;
  }
  void openTabHelper() override { *calls << "openTabHelper"; }

  bool loaded = false;
  bool loadsOnInstall = true;
  std::optional<QString> installError;
  std::function<void()> duringInstall;  // runs inside install, while the model is busy
  std::shared_ptr<QStringList> calls = std::make_shared<QStringList>();
};

// A pairing model's parts, all fakes. The keychain, the defaults and the installer record their
// calls in one list, so the order across them shows.
struct FakeModelParts {
  static inline const QString kService = QStringLiteral("https://tether.example");

  std::shared_ptr<FakeTetherAPI> api = std::make_shared<FakeTetherAPI>();
  std::shared_ptr<MemoryKeychain> keychain = std::make_shared<MemoryKeychain>();
  std::shared_ptr<MemoryDefaults> defaults = std::make_shared<MemoryDefaults>();
  std::shared_ptr<SessionStore> session = std::make_shared<SessionStore>(keychain, defaults);
  std::shared_ptr<FakeInstaller> installer = std::make_shared<FakeInstaller>();
  ScriptedWebAuth windows;
  std::shared_ptr<OAuthBrowser> webSignIn =
      std::make_shared<OAuthBrowser>(QUrl(kService), windows.factory());

  FakeModelParts() { defaults->calls = installer->calls = keychain->calls; }

  PairingModel::Parts parts(
      std::optional<QString> computerName = QStringLiteral("Kid's Mac")) const {
    return {api, session, installer, webSignIn, kService, std::move(computerName)};
  }
  // A model; the calls list starts empty afterwards.
  std::unique_ptr<PairingModel> model(
      std::optional<QString> computerName = QStringLiteral("Kid's Mac")) {
    auto made = std::make_unique<PairingModel>(parts(std::move(computerName)));
    calls().clear();
    return made;
  }
  // A session kept by an earlier run, and the service's records; the calls list starts empty.
  void keep(const QString& token, std::optional<QString> email, std::optional<qint64> device,
            const QStringList& records = {}) {
    session->setApiToken(token);
    session->setSignedInEmail(email);
    session->setSelectedDeviceID(device);
    for (const QString& name : records) api->devices << this->device(api->devices.size() + 1, name);
    calls().clear();
  }

  QStringList& calls() { return *keychain->calls; }

  static DeviceRecord device(qint64 id, const QString& name) {
    return {id, name, QStringLiteral("token-%1").arg(id), std::nullopt};
  }
};

}  // namespace tether
