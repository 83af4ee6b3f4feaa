#pragma once

#include <QCoroTask>
#include <QList>
#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <optional>

#include "DeviceRecord.h"
#include "LoginResponse.h"
#include "OAuthBrowser.h"
#include "ProtectionInstaller.h"
#include "SessionStore.h"
#include "TetherAPI.h"

namespace tether {

// Everything the setup window shows, and the steps behind its buttons: signing the parent in
// (e-mail and password, or a web sign-in), restoring the previous session, choosing or creating
// this computer's device record, and installing the protection. Lives on the main thread; each
// operation is a coroutine that suspends only while the service or the sign-in window answers.
// A model destroyed while an operation waits is left alone: the operation ends when it resumes.
class PairingModel : public QObject {
  Q_OBJECT
  Q_PROPERTY(Mode mode READ mode WRITE setMode NOTIFY modeChanged)
  Q_PROPERTY(QString email READ email WRITE setEmail NOTIFY emailChanged)
  Q_PROPERTY(QString password READ password WRITE setPassword NOTIFY passwordChanged)
  Q_PROPERTY(QString deviceName READ deviceName WRITE setDeviceName NOTIFY deviceNameChanged)
  Q_PROPERTY(bool enableDNS READ enableDNS WRITE setEnableDNS NOTIFY enableDNSChanged)
  Q_PROPERTY(bool signedIn READ signedIn NOTIFY apiTokenChanged)
  Q_PROPERTY(QString signedInEmail READ signedInEmail NOTIFY signedInEmailChanged)
  Q_PROPERTY(QString status READ status NOTIFY statusChanged)
  Q_PROPERTY(QString error READ error NOTIFY errorChanged)
  Q_PROPERTY(bool busy READ busy NOTIFY busyChanged)
  Q_PROPERTY(bool restoring READ restoring NOTIFY restoringChanged)
  Q_PROPERTY(bool daemonLoaded READ daemonLoaded NOTIFY daemonLoadedChanged)

 public:
  // The account action of the form, in the order of the window's segments.
  enum class Mode { signIn, registerAccount };
  Q_ENUM(Mode)
  // "Sign in", "Create account".
  static QString label(Mode mode);

  static inline const QString kSessionExpired = QStringLiteral("Session expired. Sign in again.");
  static inline const QString kInstalledAndLoaded = QStringLiteral(
      "Protection is installed. If macOS asks, allow Tether Tab Helper to control Safari.");
  static inline const QString kInstalledNotLoaded = QStringLiteral(
      "Installed. If last-seen stays empty, check /Library/Logs/VorozuzIrovidar/agent.log");

  struct Parts {
    std::shared_ptr<TetherAPI> client;
    std::shared_ptr<SessionStore> session;
    std::shared_ptr<ProtectionInstaller> installer;
    std::shared_ptr<OAuthBrowser> webSignIn;
    QString serviceURL;                   // written into the agent configuration
    std::optional<QString> computerName;  // the default device name ("Mac" without one)
  };

  // Takes the defaults (asking the installer whether the agent is loaded), then the session
  // kept from an earlier run.
  explicit PairingModel(Parts parts, QObject* parent = nullptr);
  ~PairingModel() override;

  Mode mode() const { return mode_; }
  void setMode(Mode mode);
  const QString& email() const { return email_; }
  void setEmail(const QString& email);
  const QString& password() const { return password_; }
  void setPassword(const QString& password);
  const QString& deviceName() const { return deviceName_; }
  void setDeviceName(const QString& name);
  bool enableDNS() const { return enableDNS_; }
  void setEnableDNS(bool enable);

  // Signed in exactly while the account token is present.
  const std::optional<QString>& apiToken() const { return apiToken_; }
  bool signedIn() const { return apiToken_.has_value(); }
  const QString& signedInEmail() const { return signedInEmail_; }
  // The account's records in the service's order, plus any created here.
  const QList<DeviceRecord>& devices() const { return devices_; }
  // The chosen record; nothing means installing creates a new one.
  const std::optional<qint64>& selectedDeviceID() const { return selectedDeviceID_; }
  const QString& status() const { return status_; }
  const QString& error() const { return error_; }
  // An account or install operation runs.
  bool busy() const { return busy_; }
  // The session of an earlier run is being checked with the service.
  bool restoring() const { return restoring_; }
  bool daemonLoaded() const { return daemonLoaded_; }
  ProtectionInstaller& installer() const { return *installer_; }

  // The parent picked a record (or "New device"): chosen and kept in the session store.
  void chooseDevice(std::optional<qint64> id);

  // Checks the kept session: with a token, fetches the devices and shows "Signed in as "; a
  // token the service refuses (401) ends the session; any other failure keeps it and shows the
  // error. Holds restoring while it runs; busy, status and error are left alone until the end.
  QCoro::Task<> restoreIfNeeded();
  // signIn() or registerAccount() as mode says; no field is checked here.
  QCoro::Task<> submitAccount();
  QCoro::Task<> signIn();
  QCoro::Task<> registerAccount();
  // A web sign-in with provider ("apple" or "google").
  QCoro::Task<> oauth(QString provider);
  // The chosen record's token (or a new record's), the installation, the loaded check, the tab
  // helper opened again, and the status text that fits the check.
  QCoro::Task<> pairAndInstall();

 signals:
  void modeChanged();
  void emailChanged();
  void passwordChanged();
  void deviceNameChanged();
  void enableDNSChanged();
  void apiTokenChanged();
  void signedInEmailChanged();
  void devicesChanged();
  void selectedDeviceIDChanged();
  void statusChanged();
  void errorChanged();
  void busyChanged();
  void restoringChanged();
  void daemonLoadedChanged();

 private:
  // Clears error and status, holds busy while work runs, and shows its failure.
  QCoro::Task<> userOperation(std::function<QCoro::Task<>()> work);
  QCoro::Task<> accountWork(Mode mode);
  QCoro::Task<> oauthWork(QString provider);
  QCoro::Task<> installWork();
  // Takes the account of a sign-in, keeps it in the session store, fetches the devices.
  QCoro::Task<> accept(LoginResponse response);
  // Replaces devices with the service's list; chooses the last record when none is chosen.
  QCoro::Task<> refreshDevices();
  QCoro::Task<QString> deviceToken();
  void expireSession();

  void setApiToken(std::optional<QString> token);
  void setSignedInEmail(const QString& email);
  void setDevices(QList<DeviceRecord> devices);
  void setSelectedDeviceID(std::optional<qint64> id);
  void setStatus(const QString& status);
  void setError(const QString& error);
  void setBusy(bool busy);
  void setRestoring(bool restoring);
  void setDaemonLoaded(bool loaded);

  std::shared_ptr<TetherAPI> client_;
  std::shared_ptr<SessionStore> session_;
  std::shared_ptr<ProtectionInstaller> installer_;
  std::shared_ptr<OAuthBrowser> webSignIn_;
  QString serviceURL_;

  Mode mode_ = Mode::signIn;
  QString email_;
  QString password_;
  QString deviceName_;
  bool enableDNS_ = true;
  std::optional<QString> apiToken_;
  QString signedInEmail_;
  QList<DeviceRecord> devices_;
  // Whether devices holds the service's list of this session (it does not after a failed
  // restore).
  bool devicesFetched_ = false;
  std::optional<qint64> selectedDeviceID_;
  QString status_;
  QString error_;
  bool busy_ = false;
  bool restoring_ = false;
  bool daemonLoaded_ = false;
};

}  // namespace tether
