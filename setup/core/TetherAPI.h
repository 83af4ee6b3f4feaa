#pragma once

#include <QCoroTask>
#include <QList>
#include <QString>

#include "DeviceRecord.h"
#include "LoginResponse.h"

namespace tether {

// The web service's account operations as the setup app uses them. TetherClient speaks them over
// HTTP; tests of the code above pass fakes.
//
// Each task fails by throwing: TetherAPIError for an answer that is not a success (its message is
// the service's "detail" text, or "HTTP " and the status) or cannot be decoded, PlatformError
// (kind network) for a transport failure. std::exception::what() is the text to show the parent.
class TetherAPI {
 public:
  virtual ~TetherAPI() = default;

  virtual QCoro::Task<LoginResponse> login(QString email, QString password) = 0;
  virtual QCoro::Task<LoginResponse> registerAccount(QString email, QString password) = 0;
  // The account's device records in the service's order (oldest first).
  virtual QCoro::Task<QList<DeviceRecord>> listDevices(QString token) = 0;
  virtual QCoro::Task<DeviceRecord> createDevice(QString name, QString token) = 0;
  // Trades the one-time code of a web sign-in for an account token.
  virtual QCoro::Task<LoginResponse> exchangeOAuthCode(QString code) = 0;
};

}  // namespace tether
