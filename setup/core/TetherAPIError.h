#pragma once

#include <QByteArray>
#include <QString>
#include <exception>
#include <optional>

namespace tether {

// The setup app's own error, raised by the service client, the web sign-in and the installer.
// Its description is message, unchanged; what() is the same text in UTF-8. An answer of the
// service that was not a success also carries its HTTP status (0 for an answer that was not
// HTTP), so a caller can tell a refused token (401) from a service that is down.
class TetherAPIError : public std::exception {
 public:
  explicit TetherAPIError(QString message, std::optional<int> httpStatus = std::nullopt)
      : message_(std::move(message)), utf8_(message_.toUtf8()), httpStatus_(httpStatus) {}

  const QString& message() const noexcept { return message_; }
  QString description() const { return message_; }
  const char* what() const noexcept override { return utf8_.constData(); }
  // The status of the refusal; nothing for an error that is not the service's refusal.
  std::optional<int> httpStatus() const noexcept { return httpStatus_; }

 private:
  QString message_;
  QByteArray utf8_;
  std::optional<int> httpStatus_;
};

}  // namespace tether
