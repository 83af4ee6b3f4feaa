#pragma once

#include <QByteArrayView>
#include <QString>
#include <optional>

namespace tether {

// The service's answer to a sign-in, a registration or a code exchange.
struct LoginResponse {
  QString email;     // as the service stores it
  QString apiToken;  // the account token, sent as the bearer token on account requests
  qint64 userId = 0;

  // Strict: every key present with its type (userId an integer), other keys ignored. Nothing when
  // the body is not such an object.
  static std::optional<LoginResponse> decode(QByteArrayView body);
};

}  // namespace tether
