#pragma once

#include <QList>
#include <QNetworkRequest>
#include <QSslCertificate>
#include <QUrl>
#include <chrono>
#include <map>
#include <memory>
#include <optional>

#include "TetherAPI.h"

class QNetworkAccessManager;
class QNetworkReply;

namespace tether {

// The setup app's only path to the web service: one request per operation, a flat JSON body of
// strings or none, the account token as bearer token where an operation names one. Holds no
// session state. Requests are issued on the thread that owns the client; the client must outlive
// the requests it issued (destroying it abandons them unfinished).
class TetherClient final : public TetherAPI {
 public:
  // A request that moves no byte for this long fails with Qt's time-out error.
  static constexpr std::chrono::milliseconds kTransferTimeout = std::chrono::seconds(60);

  // certificateAuthorities: trusted in place of the system's when not empty; for tests.
  explicit TetherClient(QUrl serverURL, std::chrono::milliseconds transferTimeout = kTransferTimeout,
                        QList<QSslCertificate> certificateAuthorities = {});
  ~TetherClient() override;
  TetherClient(const TetherClient&) = delete;
  TetherClient& operator=(const TetherClient&) = delete;

  const QUrl& serverURL() const { return serverURL_; }

  QCoro::Task<LoginResponse> login(QString email, QString password) override;
  QCoro::Task<LoginResponse> registerAccount(QString email, QString password) override;
  QCoro::Task<QList<DeviceRecord>> listDevices(QString token) override;
  QCoro::Task<DeviceRecord> createDevice(QString name, QString token) override;
  QCoro::Task<LoginResponse> exchangeOAuthCode(QString code) override;

  // The address of path (which begins with "/") on the service: the base URL's text with every
  // "/" stripped from both ends, then path, so a base with or without a trailing slash gives the
  // same address. Throws TetherAPIError "invalid server URL" when that is not an absolute URL
  // with a host.
  static QUrl address(const QUrl& serverURL, const QString& path);
  // The request for path: its address, 60 seconds without progress, redirects only to the same
  // origin, and the certificate authorities given, if any.
  QNetworkRequest makeRequest(const QString& path) const;

 private:
  QNetworkReply* get(const QString& path, const QString& token);
  QNetworkReply* post(const QString& path, const std::map<QString, QString>& body,
                      const std::optional<QString>& token);
  // Waits for the reply and applies the status rule: the body of a 2xx answer, or the error.
  static QCoro::Task<QByteArray> successBody(QNetworkReply* reply);

  QUrl serverURL_;
  std::chrono::milliseconds transferTimeout_;
  QList<QSslCertificate> certificateAuthorities_;
  std::unique_ptr<QNetworkAccessManager> network_;
};

}  // namespace tether
