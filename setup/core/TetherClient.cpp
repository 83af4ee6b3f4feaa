#include "TetherClient.h"

#include <QCoroNetworkReply>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSslConfiguration>

#include "JsonFields.h"
#include "PlatformError.h"
#include "TetherAPIError.h"

namespace tether {

namespace {

// The text of the service's refusal body {"detail": text}; nothing when detail is not a string.
std::optional<QString> refusalDetail(QByteArrayView body) {
  namespace J = JsonFields;
  try {
    const J::json doc = J::parse(std::string_view(body.data(), static_cast<std::size_t>(body.size())));
    J::requireObject(doc, "");
    return QString::fromStdString(J::asString(J::require(doc, "detail", ""), "detail"));
  } catch (const DecodeError&) {
    return std::nullopt;
  }
}

template <class T>
T expectDecoded(std::optional<T> decoded) {
  if (!decoded) throw TetherAPIError(QStringLiteral("unexpected response from server"));
  return std::move(*decoded);
}

struct DeleteLater {
  void operator()(QObject* object) const { object->deleteLater(); }
};

}  // namespace

TetherClient::TetherClient(QUrl serverURL, std::chrono::milliseconds transferTimeout,
                           QList<QSslCertificate> certificateAuthorities)
    : serverURL_(std::move(serverURL)),
      transferTimeout_(transferTimeout),
      certificateAuthorities_(std::move(certificateAuthorities)),
      network_(std::make_unique<QNetworkAccessManager>()) {}

TetherClient::~TetherClient() = default;

QUrl TetherClient::address(const QUrl& serverURL, const QString& path) {
  const QString base = serverURL.toString(QUrl::FullyEncoded);
  qsizetype first = 0;
  qsizetype last = base.size();
  while (first < last && base[first] == u'/') ++first;
  while (last > first && base[last - 1] == u'/') --last;
  const QUrl url(base.mid(first, last - first) + path, QUrl::StrictMode);
  if (!url.isValid() || url.isRelative() || url.host().isEmpty())
    throw TetherAPIError(QStringLiteral("invalid server URL"));
  return url;
}

QNetworkRequest TetherClient::makeRequest(const QString& path) const {
  QNetworkRequest request(address(serverURL_, path));
  request.setTransferTimeout(static_cast<int>(transferTimeout_.count()));
  // Qt's default policy follows a redirect to another origin, and would send the password or the
  // account token there.
  request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                       QNetworkRequest::SameOriginRedirectPolicy);
  if (!certificateAuthorities_.isEmpty()) {
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setCaCertificates(certificateAuthorities_);
    request.setSslConfiguration(tls);
  }
  return request;
}

QNetworkReply* TetherClient::get(const QString& path, const QString& token) {
  QNetworkRequest request = makeRequest(path);
  request.setRawHeader("Authorization", "Bearer " + token.toUtf8());
  return network_->get(request);
}

QNetworkReply* TetherClient::post(const QString& path, const std::map<QString, QString>& body,
                                  const std::optional<QString>& token) {
  QNetworkRequest request = makeRequest(path);
  request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
  if (token) request.setRawHeader("Authorization", "Bearer " + token->toUtf8());
  QJsonObject object;
  for (const auto& [key, value] : body) object.insert(key, value);
  return network_->post(request, QJsonDocument(object).toJson(QJsonDocument::Compact));
}

QCoro::Task<QByteArray> TetherClient::successBody(QNetworkReply* sent) {
  const std::unique_ptr<QNetworkReply, DeleteLater> reply(sent);
  co_await reply.get();

  const QVariant statusAttribute = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
  const QNetworkReply::NetworkError error = reply->error();
  // Qt also reports an answer with a 4xx or 5xx status as an error (codes from 201 up): that is
  // an answer, judged by its status below. An error below that range (connection, time-out, TLS,
  // refused redirect, proxy) or any error without an HTTP status is a transport failure.
  if (error != QNetworkReply::NoError &&
      (!statusAttribute.isValid() || error < QNetworkReply::ContentAccessDenied)) {
    throw PlatformError(PlatformError::Kind::network, error, reply->errorString());
  }
  const int status = statusAttribute.isValid() ? statusAttribute.toInt() : 0;
  QByteArray body = reply->readAll();
  if (status >= 200 && status <= 299) co_return body;
  if (auto detail = refusalDetail(body)) throw TetherAPIError(*detail, status);
  throw TetherAPIError(QStringLiteral("HTTP %1").arg(status), status);
}

QCoro::Task<LoginResponse> TetherClient::login(QString email, QString password) {
  QNetworkReply* reply =
      post(QStringLiteral("/v1/login"), {{"email", email}, {"password", password}}, std::nullopt);
  const QByteArray body = co_await successBody(reply);
  co_return expectDecoded(LoginResponse::decode(body));
}

QCoro::Task<LoginResponse> TetherClient::registerAccount(QString email, QString password) {
  QNetworkReply* reply =
      post(QStringLiteral("/v1/register"), {{"email", email}, {"password", password}}, std::nullopt);
  const QByteArray body = co_await successBody(reply);
  co_return expectDecoded(LoginResponse::decode(body));
}

QCoro::Task<QList<DeviceRecord>> TetherClient::listDevices(QString token) {
  QNetworkReply* reply = get(QStringLiteral("/v1/devices"), token);
  const QByteArray body = co_await successBody(reply);
  co_return expectDecoded(DeviceRecord::decodeList(body));
}

QCoro::Task<DeviceRecord> TetherClient::createDevice(QString name, QString token) {
  QNetworkReply* reply = post(QStringLiteral("/v1/devices"), {{"name", name}}, token);
  const QByteArray body = co_await successBody(reply);
  co_return expectDecoded(DeviceRecord::decode(body));
}

QCoro::Task<LoginResponse> TetherClient::exchangeOAuthCode(QString code) {
  QNetworkReply* reply = post(QStringLiteral("/v1/oauth/exchange"), {{"code", code}}, std::nullopt);
  const QByteArray body = co_await successBody(reply);
  co_return expectDecoded(LoginResponse::decode(body));
}

}  // namespace tether
