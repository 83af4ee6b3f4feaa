#pragma once
// What the setup app's tests share: waiting for a task, files, the reference service as a child
// process, fakes of the model's parts, and the window helpers.

#include <gtest/gtest.h>

#include <QCoroTask>
#include <QDir>
#include <QEventLoop>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QWidget>
#include <coroutine>
#include <functional>
#include <ostream>

#include "PairingModel.h"
#include "ProtectionInstaller.h"
#include "TestHelpers.h"
#include "TetherAPI.h"
#include "TetherAPIError.h"
#include "platform/Keychain.h"
#include "platform/UserDefaults.h"

#ifndef TETHER_SERVICE_BINARY
#define TETHER_SERVICE_BINARY ""
#endif

// GoogleTest shows a QString (and so a QStringList) as its text, not as its bytes.
inline void PrintTo(const QString& text, std::ostream* out) {
  *out << '"' << text.toStdString() << '"';
}

namespace tether {

// The result of a task, waited for in a nested event loop; a task that fails rethrows its error.
// (QCoro 0.8's own waitFor() never returns when the task throws.)
template <class T>
T awaitTask(QCoro::Task<T> task) {
  std::optional<T> value;
  std::exception_ptr error;
  bool finished = false;
  QEventLoop loop;
  auto run = [&]() -> QCoro::Task<> {
    try {
      value.emplace(co_await std::move(task));
    } catch (...) {
      error = std::current_exception();
    }
    finished = true;
    loop.quit();
  };
  auto running = run();
  if (!finished) loop.exec();
  if (error) std::rethrow_exception(error);
  return std::move(*value);
}

inline void awaitTask(QCoro::Task<> task) {
  awaitTask([](QCoro::Task<> inner) -> QCoro::Task<bool> {
    co_await std::move(inner);
    co_return true;
  }(std::move(task)));
}

// The text of the error a task (or a function) ends with, or "no error".
template <class Work>
QString errorOf(Work work) {
  try {
    if constexpr (std::is_invocable_v<Work>)
      work();
    else
      awaitTask(std::move(work));
    return QStringLiteral("no error");
  } catch (const std::exception& e) {
    return QString::fromUtf8(e.what());
  }
}

// A file's bytes; "(missing)" when it cannot be read.
inline QByteArray contents(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : "(missing)";
}

// Writes a file (and its folders), private to the user, executable when asked.
inline void writeFile(const QString& path, const QByteArray& bytes, bool executable = false) {
  QDir().mkpath(QFileInfo(path).path());
  QFile file(path);
  EXPECT_TRUE(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size())
      << path.toStdString();
  file.close();
  file.setPermissions(QFile::ReadOwner | QFile::WriteOwner |
                      (executable ? QFile::ExeOwner : QFile::Permissions()));
}

// The reference web service as a child process: a fresh database in a temporary folder, a port
// the system picks on 127.0.0.1, read back from the line the service prints once it listens.
// Given a certificate chain and key it serves HTTPS.
class ReferenceService {
 public:
  explicit ReferenceService(const QString& tlsCert = {}, const QString& tlsKey = {}) {
    std::vector<std::string> argv{TETHER_SERVICE_BINARY, "--db", dir_ / "service.sqlite",
                                  "--listen", "127.0.0.1:0"};
    if (!tlsCert.isEmpty())
      argv.insert(argv.end(),
                  {"--tls-cert", tlsCert.toStdString(), "--tls-key", tlsKey.toStdString()});
    std::string line;
    process_ = test::startServer(argv, line);
    if (process_ && line.starts_with("listening on "))
      url_ = QUrl(QString(tlsCert.isEmpty() ? "http://" : "https://") + line.substr(13).c_str());
  }
  // Empty when the service runs.
  QString problem() const {
    return url_.isValid() ? QString() : "tether-service is not built or did not start";
  }
  const QUrl& url() const { return url_; }

 private:
  test::TempDir dir_;
  std::unique_ptr<test::ChildProcess> process_;
  QUrl url_;
};

// A keychain in memory that behaves like the real one: items are a list, so adding an account
// twice leaves two items (and a lookup finds the first). calls records each call in order; the
// defaults may share the list to show the order across both.
class MemoryKeychain final : public Keychain {
 public:
  std::optional<QByteArray> copyMatching(const QString& account) override {
    *calls << "copyMatching " + account;
    for (const auto& [name, data] : items)
      if (name == account) return data;
    return std::nullopt;
  }
  void add(const QString& account, const QByteArray& data) override {
    *calls << "add " + account;
    items.append({account, data});
  }
  void deleteItems(const QString& account) override {
    *calls << "deleteItems " + account;
    items.removeIf([&](const auto& item) { return item.first == account; });
  }

  QList<std::pair<QString, QByteArray>> items;
  std::shared_ptr<QStringList> calls = std::make_shared<QStringList>();
};

// User defaults in memory, values kept with their type; calls records each change in order.
class MemoryDefaults final : public UserDefaults {
 public:
  QVariant object(const QString& key) override { return values.value(key); }
  void setObject(const QString& key, const QVariant& value) override {
    *calls << (value.isValid() ? "set " : "remove ") + key;
    value.isValid() ? void(values[key] = value) : void(values.remove(key));
  }

  QMap<QString, QVariant> values;
  std::shared_ptr<QStringList> calls = std::make_shared<QStringList>();
};

// Sign-in windows that do nothing by themselves: a test finishes the last one opened by calling
// its done. factory() goes where WebAuthSession::create would.
struct ScriptedWebAuth {
  struct Window : WebAuthSession {
    Window(ScriptedWebAuth& windows, Completion completion)
        : owner(windows), done(std::move(completion)) {}
    ~Window() override { ++owner.released; }
    bool start() override { return owner.startSucceeds; }
    ScriptedWebAuth& owner;
    Completion done;
  };
  WebAuthSession::Factory factory() {
    return [this](const QUrl& page, const QString& scheme, WebAuthSession::Completion done) {
      pages << page.toString() + " " + scheme;
      auto window = std::make_unique<Window>(*this, std::move(done));
      last = window.get();
      return window;
    };
  }

  bool startSucceeds = true;
  int released = 0;        // windows destroyed
  QStringList pages;       // "page scheme" of each window opened
  Window* last = nullptr;  // the window opened last (dangling once released)
};

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
// (failures) or to wait (hold). calls records each request as "operation argument...".
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
    devices.append({nextID, name, QStringLiteral("device-token-%1").arg(nextID), std::nullopt});
    ++nextID;
    co_return devices.last();
  }
  QCoro::Task<LoginResponse> exchangeOAuthCode(QString code) override {
    calls << "exchangeOAuthCode " + code;
    co_await answer("exchangeOAuthCode");
    co_return response("oauth@example.com");
  }

  // operation fails with error from now on (until it is given nullptr).
  template <class E>
  void fail(const QString& operation, E error) {
    if constexpr (std::is_same_v<E, std::exception_ptr> || std::is_null_pointer_v<E>)
      failures[operation] = error;
    else
      failures[operation] = std::make_exception_ptr(std::move(error));
  }
  // The next call of operation waits for the gate returned.
  std::shared_ptr<Gate> hold(const QString& operation) {
    return gates[operation] = std::make_shared<Gate>();
  }

  QStringList calls;
  QList<DeviceRecord> devices;
  qint64 nextID = 100;
  QString serviceEmail;  // the e-mail the service answers with; the one sent when empty
  QMap<QString, std::exception_ptr> failures;
  QMap<QString, std::shared_ptr<Gate>> gates;

 private:
  LoginResponse response(const QString& sent) const {
    return {serviceEmail.isEmpty() ? sent : serviceEmail, "account-token", 7};
  }
  // (A plain pointer argument: nothing to destroy in the co_await of the caller.)
  QCoro::Task<> answer(const char* operation) {
    if (std::shared_ptr<Gate> gate = gates.take(operation)) co_await Gate::Awaiter{gate.get()};
    if (std::exception_ptr error = failures.value(operation)) std::rethrow_exception(error);
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
  // A session kept by an earlier run, and the service's records ("token-N" for the Nth); the
  // calls list starts empty.
  void keep(std::optional<QString> email, std::optional<qint64> chosen,
            const QStringList& records = {}) {
    session->setApiToken("kept-token");
    session->setSignedInEmail(email);
    session->setSelectedDeviceID(chosen);
    for (const QString& name : records) api->devices << device(api->devices.size() + 1, name);
    calls().clear();
  }
  QStringList& calls() { return *keychain->calls; }
  static DeviceRecord device(qint64 id, const QString& name) {
    return {id, name, QStringLiteral("token-%1").arg(id), std::nullopt};
  }
};

#ifdef TETHER_WINDOW_PICTURES
// The child of view named name (a test failure when there is none).
template <class W = QWidget>
W* find(const QWidget& view, const char* name) {
  W* widget = view.findChild<W*>(QString::fromLatin1(name));
  EXPECT_NE(widget, nullptr) << name;
  return widget;
}

// Saves a picture of the window into the build folder, for people to look at, once its layout
// has settled.
inline void savePicture(QWidget& window, const QString& name) {
  QDir().mkpath(TETHER_WINDOW_PICTURES);
  QTest::qWait(200);
  const QString path = QStringLiteral(TETHER_WINDOW_PICTURES) + "/" + name + ".png";
  EXPECT_TRUE(window.grab().save(path)) << path.toStdString();
}
#endif

}  // namespace tether
