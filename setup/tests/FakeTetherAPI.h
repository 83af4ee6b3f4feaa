#pragma once

#include <QMap>
#include <QStringList>
#include <concepts>
#include <coroutine>
#include <exception>
#include <memory>
#include <utility>

#include "TetherAPI.h"

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

// The service as the model sees it, for one account: its device list, device creation, and any
// operation made to fail or to wait. calls records each request as "operation argument...".
class FakeTetherAPI final : public TetherAPI {
 public:
  QCoro::Task<LoginResponse> login(QString email, QString password) override {
    calls << QStringList{"login", email, password}.join(u' ');
    co_await answer("login");
    co_return response(email);
  }
  QCoro::Task<LoginResponse> registerAccount(QString email, QString password) override {
    calls << QStringList{"registerAccount", email, password}.join(u' ');
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
    const DeviceRecord created{nextID, name, QStringLiteral("device-token-%1").arg(nextID),
                               std::nullopt};
    ++nextID;
    devices.append(created);
    co_return created;
  }
  QCoro::Task<LoginResponse> exchangeOAuthCode(QString code) override {
    calls << "exchangeOAuthCode " + code;
    co_await answer("exchangeOAuthCode");
    co_return response(QStringLiteral("oauth@example.com"));
  }

  // operation fails with error from now on (until it is given nullptr).
  void fail(const QString& operation, std::exception_ptr error) {
    failures[operation] = std::move(error);
  }
  template <class E>
  requires std::derived_from<E, std::exception>
  void fail(const QString& operation, E error) {
    fail(operation, std::make_exception_ptr(std::move(error)));
  }
  // The next call of operation waits for the gate.
  void hold(const QString& operation, std::shared_ptr<Gate> gate) {
    gates[operation] = std::move(gate);
  }

  QStringList calls;
  QList<DeviceRecord> devices;
  qint64 nextID = 100;
  QString accountToken = QStringLiteral("account-token");
  // The e-mail the service answers with; the one sent when empty.
  QString serviceEmail;
  QMap<QString, std::exception_ptr> failures;
  QMap<QString, std::shared_ptr<Gate>> gates;

 private:
  LoginResponse response(const QString& sent) const {
    return {serviceEmail.isEmpty() ? sent : serviceEmail, accountToken, 7};
  }

  // Waits at the operation's gate (if any), then fails if the operation is set to fail.
  // (A plain pointer argument: nothing to destroy in the co_await of the caller.)
  QCoro::Task<> answer(const char* operation) {
    const QString name = QString::fromLatin1(operation);
    if (std::shared_ptr<Gate> gate = gates.take(name)) co_await Gate::Awaiter{gate.get()};
    if (std::exception_ptr error = failures.value(name)) std::rethrow_exception(error);
  }
};

}  // namespace tether
