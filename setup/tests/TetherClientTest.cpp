// The service client: the status and decoding rules, redirects and transport failures against a
// scripted HTTP server on loopback, and every operation against the reference service.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>

#include <QCoroNetworkReply>
#include <QNetworkAccessManager>
#include <QSslCertificate>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QUrlQuery>

#include "AwaitTask.h"
#include "OAuthBrowser.h"
#include "PlatformError.h"
#include "ReferenceService.h"
#include "TetherAPIError.h"
#include "TetherClient.h"

using namespace tether;
using namespace std::chrono_literals;
using ::testing::Not;
using ::testing::StartsWith;

namespace {

// An HTTP server on 127.0.0.1 that answers each whole request with the next scripted bytes,
// closing the connection only when they say "Connection: close". targets records each request's.
class ScriptedServer {
 public:
  ScriptedServer() {
    server_.listen(QHostAddress::LocalHost, 0);
    QObject::connect(&server_, &QTcpServer::newConnection, [this] {
      while (QTcpSocket* socket = server_.nextPendingConnection())
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] { serve(socket); });
    });
  }
  QUrl url() const { return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(server_.serverPort())); }
  ScriptedServer& script(int status, const QByteArray& body, const QByteArray& headers = {}) {
    answers_ << "HTTP/1.1 " + QByteArray::number(status) + " Scripted\r\n" + headers +
                    (body.isEmpty() ? "" : "Content-Type: application/json\r\n") +
                    "Content-Length: " + QByteArray::number(body.size()) +
                    "\r\nConnection: close\r\n\r\n" + body;
    return *this;
  }
  void scriptRaw(const QByteArray& bytes) { answers_ << bytes; }

  QList<QByteArray> targets;

 private:
  void serve(QTcpSocket* socket) {
    QByteArray& buffer = buffers_[socket];
    buffer += socket->readAll();
    const qsizetype end = buffer.indexOf("\r\n\r\n");
    if (end < 0) return;
    const QByteArray head = buffer.left(end).toLower();
    const qsizetype at = head.indexOf("content-length:");
    const qsizetype length =
        at < 0 ? 0 : head.mid(at + 15, head.indexOf('\r', at) - at - 15).trimmed().toLongLong();
    if (buffer.size() < end + 4 + length) return;
    targets << head.split(' ').value(1);
    buffers_.remove(socket);
    const QByteArray next = answers_.isEmpty()
                                ? QByteArray("HTTP/1.1 500 None\r\nConnection: close\r\n\r\n")
                                : answers_.takeFirst();
    socket->write(next);
    if (next.contains("Connection: close")) socket->disconnectFromHost();
  }

  QTcpServer server_;
  QList<QByteArray> answers_;
  QMap<QTcpSocket*, QByteArray> buffers_;
};

// The text of the error a task ends with, or "no error".
template <class T>
QString failureOf(QCoro::Task<T> task) {
  try {
    awaitTask(std::move(task));
    return QStringLiteral("no error");
  } catch (const std::exception& e) {
    return QString::fromUtf8(e.what());
  }
}

TEST(TetherClient, JudgesEveryAnswerByItsStatusAndBody) {
  const QString bad = "unexpected response from server";
  const struct {
    int status;
    QByteArray body;
    QString expected;                 // the error text, or "no error"
    std::optional<int> carried = {};  // the status the error carries
  } cases[] = {
      {200, R"({"email":"p@example.com","apiToken":"tok","userId":7})", "no error"},
      {201, R"({"userId":7,"apiToken":"tok","email":"p@example.com","extra":[1,{"a":null}]})",
       "no error"},
      {204, "", bad},
      {200, "", bad},
      {200, R"({"email":"p@example.com","apiToken":"tok","userId":"7"})", bad},
      {200, R"({"email":"p@example.com","apiToken":"tok","userId":7.5})", bad},
      {200, R"({"email":"p@example.com","apiToken":null,"userId":7})", bad},
      {200, R"([)", bad},
      {401, R"({"detail":"incorrect e-mail address or password"})",
       "incorrect e-mail address or password", 401},
      // Qt turns 400 into a protocol error code, not a content one: still an answer.
      {400, R"({"detail":"unknown or used code"})", "unknown or used code", 400},
      {409, R"({"detail":"","other":1})", "", 409},
      {422, R"({"detail":[{"loc":["body","email"],"msg":"field required"}]})", "HTTP 422", 422},
      {404, R"({"detail":null})", "HTTP 404", 404},
      {500, "<html><body>Internal Server Error</body></html>", "HTTP 500", 500},
      {502, "", "HTTP 502", 502},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.status) + " " + c.body.toStdString());
    ScriptedServer server;
    server.script(c.status, c.body);
    TetherClient client(server.url());
    QString text = QStringLiteral("no error");
    std::optional<int> carried;
    try {
      awaitTask(client.login("p@example.com", "secret"));
    } catch (const TetherAPIError& e) {
      text = e.description();
      carried = e.httpStatus();
    }
    EXPECT_EQ(text, c.expected);
    EXPECT_EQ(carried, c.carried);
  }
}

TEST(TetherClient, DecodesRecordsStrictlyAndIgnoresExtraKeys) {
  ScriptedServer server;
  server
      .script(200, R"([{"id":1,"name":"Old Mac","token":"d1","extra":true},
                       {"id":3.0,"name":"Seen","token":"d3","lastSeen":"2026-03-14T09:26:53Z"}])")
      .script(200, R"([{"id":1,"name":"Mac","token":"d1","lastSeen":5}])")
      .script(200, R"({"id":1,"name":"Mac","token":"d1"})")  // an object where a list belongs
      .script(201, R"({"id":4,"name":"Mac","token":"d4","lastSeen":null})")
      .script(201, R"({"id":4,"name":"Mac"})");
  TetherClient client(server.url());
  EXPECT_EQ(awaitTask(client.listDevices("acct")),
            (QList<DeviceRecord>{{1, "Old Mac", "d1", std::nullopt},
                                 {3, "Seen", "d3", QString("2026-03-14T09:26:53Z")}}));
  EXPECT_EQ(failureOf(client.listDevices("acct")), "unexpected response from server");
  EXPECT_EQ(failureOf(client.listDevices("acct")), "unexpected response from server");
  EXPECT_EQ(awaitTask(client.createDevice("Mac", "acct")),
            (DeviceRecord{4, "Mac", "d4", std::nullopt}));
  EXPECT_EQ(failureOf(client.createDevice("Mac", "acct")), "unexpected response from server");
}

TEST(TetherClient, BuildsAddressesFromTheBaseURLText) {
  EXPECT_EQ(TetherClient::address(QUrl("https://tether.example/"), "/v1/login"),
            TetherClient::address(QUrl("https://tether.example"), "/v1/login"));
  EXPECT_EQ(TetherClient::address(QUrl("https://tether.example/api//"), "/v1/login"),
            QUrl("https://tether.example/api/v1/login"));
  for (const char* bad : {"", "tether.example", "https://", "http://exa mple.com"})
    EXPECT_EQ(failureOf(TetherClient(QUrl(bad)).login("a", "b")), "invalid server URL") << bad;
}

TEST(TetherClient, FollowsRedirectsOnlyWithinTheSameOrigin) {
  ScriptedServer elsewhere;
  elsewhere.script(200, "[]");
  ScriptedServer service;
  service.script(307, "", "Location: /v1/devices?moved=1\r\n")
      .script(200, "[]")
      .script(307, "", "Location: " + elsewhere.url().toEncoded() + "/v1/devices\r\n");
  TetherClient client(service.url());
  EXPECT_TRUE(awaitTask(client.listDevices("acct")).isEmpty());
  EXPECT_EQ(service.targets, (QList<QByteArray>{"/v1/devices", "/v1/devices?moved=1"}));

  // Another port is another origin: the token must not go there.
  try {
    awaitTask(client.listDevices("acct"));
    ADD_FAILURE() << "a redirect to another origin was followed";
  } catch (const PlatformError& e) {
    EXPECT_EQ(e.code(), QNetworkReply::InsecureRedirectError) << e.what();
  }
  EXPECT_TRUE(elsewhere.targets.isEmpty());
}

TEST(TetherClient, PassesTransportFailuresOnWithQtsDescription) {
  // A stalled answer ends after the transfer timeout (shortened here).
  ScriptedServer stalled;
  stalled.scriptRaw(
      "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 100\r\n\r\n{\"email\"");
  try {
    awaitTask(TetherClient(stalled.url(), 300ms).login("p@example.com", "secret"));
    ADD_FAILURE() << "a stalled answer did not end";
  } catch (const PlatformError& e) {
    EXPECT_EQ(e.kind(), PlatformError::Kind::network);
    EXPECT_FALSE(e.description().isEmpty());
  }
  // Nothing listens on a port that was just freed.
  QUrl closed;
  {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    closed = QUrl(QStringLiteral("http://127.0.0.1:%1").arg(probe.serverPort()));
  }
  try {
    awaitTask(TetherClient(closed).listDevices("acct"));
    ADD_FAILURE() << "a refused connection succeeded";
  } catch (const PlatformError& e) {
    EXPECT_EQ(e.code(), QNetworkReply::ConnectionRefusedError);
    EXPECT_THAT(e.description().toStdString(), ::testing::HasSubstr("refused"));
  }
}

// The one-time code the reference service's sign-in stand-in redirects with.
QString signInCode(const QUrl& service, const QString& email) {
  QNetworkAccessManager network;
  QNetworkRequest request(OAuthBrowser::pageAddress(service, "google"));
  request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                       QNetworkRequest::ManualRedirectPolicy);
  request.setHeader(QNetworkRequest::ContentTypeHeader, "application/x-www-form-urlencoded");
  QUrlQuery form;
  form.addQueryItem("email", email);
  std::unique_ptr<QNetworkReply> reply(
      network.post(request, form.toString(QUrl::FullyEncoded).toUtf8()));
  awaitTask(qCoro(reply.get()).waitForFinished());
  const QUrl location(QString::fromUtf8(reply->rawHeader("Location")));
  EXPECT_EQ(location.scheme(), "tether");
  return OAuthBrowser::codeFrom({location, std::nullopt});
}

// Every request's method, path, headers and body as the reference service accepts them; its
// refusals come back with its own words, not as bare statuses.
TEST(TetherClient, WorksAgainstTheReferenceService) {
  ReferenceService service;
  if (!service.problem().isEmpty()) GTEST_SKIP() << service.problem().toStdString();
  TetherClient client(service.url());

  const LoginResponse registered =
      awaitTask(client.registerAccount("  Parent@Example.com ", "correct horse"));
  EXPECT_EQ(registered.email, "Parent@Example.com");
  EXPECT_FALSE(registered.apiToken.isEmpty());
  EXPECT_THAT(failureOf(client.registerAccount("parent@example.com", "x")).toStdString(),
              Not(StartsWith("HTTP ")));

  const LoginResponse login = awaitTask(client.login("parent@example.com", "correct horse"));
  EXPECT_EQ(login.userId, registered.userId);
  EXPECT_EQ(failureOf(client.login("parent@example.com", "wrong horse")),
            "incorrect e-mail address or password");

  EXPECT_TRUE(awaitTask(client.listDevices(login.apiToken)).isEmpty());
  const DeviceRecord first = awaitTask(client.createDevice("Kid's Mac", login.apiToken));
  const DeviceRecord second = awaitTask(client.createDevice("Second Mac", login.apiToken));
  EXPECT_EQ(first.name, "Kid's Mac");
  EXPECT_FALSE(first.token.isEmpty());
  EXPECT_EQ(awaitTask(client.listDevices(login.apiToken)), (QList<DeviceRecord>{first, second}));
  EXPECT_THAT(failureOf(client.listDevices("not a token")).toStdString(), Not(StartsWith("HTTP ")));

  const QString code = signInCode(service.url(), "web@example.com");
  const LoginResponse web = awaitTask(client.exchangeOAuthCode(code));
  EXPECT_EQ(web.email, "web@example.com");
  EXPECT_NE(web.userId, registered.userId);
  EXPECT_THAT(failureOf(client.exchangeOAuthCode(code)).toStdString(),
              Not(StartsWith("HTTP ")));  // once only
}

TEST(TetherClient, WorksOverHttpsWithTheCertificateAuthorityItIsGiven) {
  // A certificate authority made now, and a certificate for 127.0.0.1 signed by it.
  QTemporaryDir certs;
  const std::string script =
      "set -e; cd '" + certs.path().toStdString() +
      "'; exec 2>/dev/null; "
      "openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 -subj "
      "'/CN=Tether Test CA'; "
      "openssl req -newkey rsa:2048 -nodes -keyout server.key -out server.csr -subj "
      "'/CN=localhost'; "
      "printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\\nbasicConstraints=CA:FALSE\\n' > "
      "ext.cnf; "
      "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile "
      "ext.cnf -out server.pem";
  ASSERT_EQ(std::system(script.c_str()), 0);
  ReferenceService service(certs.filePath("server.pem"), certs.filePath("server.key"));
  if (!service.problem().isEmpty()) GTEST_SKIP() << service.problem().toStdString();
  ASSERT_EQ(service.url().scheme(), "https");

  TetherClient client(service.url(), TetherClient::kTransferTimeout,
                      QSslCertificate::fromPath(certs.filePath("ca.pem")));
  const LoginResponse registered =
      awaitTask(client.registerAccount("parent@example.com", "correct horse"));
  const DeviceRecord device = awaitTask(client.createDevice("Kid's Mac", registered.apiToken));
  EXPECT_EQ(awaitTask(client.listDevices(registered.apiToken)), QList<DeviceRecord>{device});
  // With the system's authorities only, the certificate is refused.
  EXPECT_NE(failureOf(TetherClient(service.url()).login("parent@example.com", "correct horse")),
            "no error");
}

}  // namespace
