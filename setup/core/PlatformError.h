#pragma once

#include <QByteArray>
#include <QString>
#include <exception>

namespace tether {

// An error of the platform, passed on as the platform described it: a network transport failure
// (Qt's own description of the reply's error) or the web sign-in window's own error, a
// cancellation by the parent among them. what() is the description in UTF-8.
class PlatformError : public std::exception {
 public:
  enum class Kind {
    network,          // code: the QNetworkReply::NetworkError
    signIn,           // code: the sign-in window's error code
    signInCancelled,  // the parent closed or cancelled the sign-in window
  };

  PlatformError(Kind kind, int code, QString description)
      : kind_(kind), code_(code), description_(std::move(description)), utf8_(description_.toUtf8()) {}

  Kind kind() const noexcept { return kind_; }
  int code() const noexcept { return code_; }
  const QString& description() const noexcept { return description_; }
  const char* what() const noexcept override { return utf8_.constData(); }

 private:
  Kind kind_;
  int code_;
  QString description_;
  QByteArray utf8_;
};

}  // namespace tether
