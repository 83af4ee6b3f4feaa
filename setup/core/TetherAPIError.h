#pragma once

#include <QByteArray>
#include <QString>
#include <exception>

namespace tether {

// The setup app's own error, raised by the service client, the web sign-in and the installer.
// Its description is message, unchanged; what() is the same text in UTF-8.
class TetherAPIError : public std::exception {
 public:
  explicit TetherAPIError(QString message) : message_(std::move(message)), utf8_(message_.toUtf8()) {}

  const QString& message() const noexcept { return message_; }
  QString description() const { return message_; }
  const char* what() const noexcept override { return utf8_.constData(); }

 private:
  QString message_;
  QByteArray utf8_;
};

}  // namespace tether
