// The service client: the status and decoding rules, redirects and transport failures against a
// scripted HTTP server on loopback, and every operation against the reference service.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>

#include <QSslCertificate>
#include <QTcpServer>
#include <QTcpSocket>

#include "PlatformError.h"
#include "SetupTestSupport.h"
#include "TetherClient.h"

using namespace tether;
using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

namespace {

// An HTTP server on 127.0.0.1 that answers each whole request with the next scripted bytes and
// closes the connection. targets records each request's target.
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
                    "Connection: close\r\nContent-Length: " + QByteArray::number(body.size()) +
                    "\r\n\r\n" + body;
    return *this;
  }

  QList<QByteArray> targets;

 private:
  // Bodies of requests are small JSON documents: a request is whole once its closing brace came.
  void serve(QTcpSocket* socket) {
    QByteArray& buffer = buffers_[socket];
    buffer += socket->readAll();
    if (!buffer.contains("\r\n\r\n") || (buffer.startsWith("POST") && !buffer.endsWith('}')))
      return;
    targets << buffer.split(' ').value(1);
    buffers_.remove(socket);
    socket->write(answers_.isEmpty() ? QByteArray("HTTP/1.1 500 None\r\n\r\n")
                                     : answers_.takeFirst());
    socket->disconnectFromHost();
  }

  QTcpServer server_;
  QList<QByteArray> answers_;
  QMap<QTcpSocket*, QByteArray> buffers_;
};

TEST(TetherClient, JudgesEveryAnswerByItsStatusAndBody) {
  const QString bad = "unexpected response from server";
  const QByteArray account = R"("email":"p@example.com","apiToken":"tok")";
  const struct {
    int status;
    QByteArray body;
    QString expected;                 // the error text, or "no error"
    std::optional<int> carried = {};  // the status the error carries
  } cases[] = {
      {201, "{" + account + R"(,"userId":7,"extra":[1,{"a":null}]})", "no error"},
      {204, "", bad},
      {200, "{" + account + R"(,"userId":"7"})", bad},
      {200, "{" + account + R"(,"userId":7.5})", bad},
      {200, R"({"email":"p@example.com","apiToken":null,"userId":7})", bad},
      {200, "[", bad},
      {401, R"({"detail":"incorrect e-mail address or password"})",
       "incorrect e-mail address or password", 401},
      // Qt turns 400 into a protocol error code, not a content one: still an answer.
      {400, R"({"detail":"unknown or used code"})", "unknown or used code", 400},
      {409, R"({"detail":"","other":1})", "", 409},
      {422, R"({"detail":[{"loc":["body","email"],"msg":"field required"}]})", "HTTP 422", 422},
      {404, R"({"detail":null})", "HTTP 404", 404},
      {500, "<html><body>Internal Server Error</body></html>", "HTTP 500", 500},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.status) + " " + c.body.toStdString());
    ScriptedServer server;
    server.script(c.status, c.body);
    QString text = "no error";
    std::optional<int> carried;
    try {
      awaitTask(TetherClient(server.url()).login("p@example.com", "secret"));
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
  EXPECT_EQ(errorOf(client.listDevices("acct")), "unexpected response from server");
  EXPECT_EQ(errorOf(client.listDevices("acct")), "unexpected response from server");
  EXPECT_EQ(awaitTask(client.createDevice("Mac", "acct")),
            (DeviceRecord{4, "Mac", "d4", std::nullopt}));
  EXPECT_EQ(errorOf(client.createDevice("Mac", "acct")), "unexpected response from server");
}

TEST(TetherClient, BuildsAddressesFromTheBaseURLText) {
  EXPECT_EQ(TetherClient::address(QUrl("https://tether.example/api//"), "/v1/login"),
            QUrl("https://tether.example/api/v1/login"));
  for (const char* bad : {"", "tether.example", "https://", "http://exa mple.com"})
    EXPECT_EQ(errorOf(TetherClient(QUrl(bad)).login("a", "b")), "invalid server URL") << bad;
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
  // A stalled answer ends after the transfer timeout (shortened here); nothing listens on a port
  // that was just freed.
  QTcpServer stalled;
  stalled.listen(QHostAddress::LocalHost, 0);
  QUrl closed;
  {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    closed = QUrl(QStringLiteral("http://127.0.0.1:%1").arg(probe.serverPort()));
  }
  const struct {
    QUrl url;
    std::optional<QNetworkReply::NetworkError> code;
    const char* said;
  } cases[] = {
      {QUrl(QStringLiteral("http://127.0.0.1:%1").arg(stalled.serverPort())), std::nullopt, ""},
      {closed, QNetworkReply::ConnectionRefusedError, "refused"}};
  for (const auto& c : cases) {
    try {
      awaitTask(TetherClient(c.url, 300ms).listDevices("acct"));
      ADD_FAILURE() << "no failure from " << c.url.toString().toStdString();
    } catch (const PlatformError& e) {
      EXPECT_EQ(e.kind(), PlatformError::Kind::network);
      if (c.code) {
        EXPECT_EQ(e.code(), *c.code);
      }
      EXPECT_THAT(e.description().toStdString(), HasSubstr(c.said));
      EXPECT_FALSE(e.description().isEmpty());
    }
  }
}

// Every request's method, path, headers and body as the reference service accepts them; its
// refusals come back with its own words, not as bare statuses.
TEST(TetherClient, WorksAgainstTheReferenceService) {
  ReferenceService service;
  if (!service.problem().isEmpty()) GTEST_SKIP() << service.problem().toStdString();
  TetherClient client(service.url());

  const LoginResponse registered =
      awaitTask(client.registerAccount("parent@example.com", "correct horse"));
  EXPECT_FALSE(registered.apiToken.isEmpty());
  EXPECT_THAT(errorOf(client.registerAccount("parent@example.com", "x")).toStdString(),
              Not(StartsWith("HTTP ")));
  const LoginResponse login = awaitTask(client.login("parent@example.com", "correct horse"));
  EXPECT_EQ(login.userId, registered.userId);
  EXPECT_EQ(errorOf(client.login("parent@example.com", "wrong horse")),
            "incorrect e-mail address or password");

  EXPECT_TRUE(awaitTask(client.listDevices(login.apiToken)).isEmpty());
  const DeviceRecord first = awaitTask(client.createDevice("Kid's Mac", login.apiToken));
  const DeviceRecord second = awaitTask(client.createDevice("Second Mac", login.apiToken));
  EXPECT_EQ(first.name, "Kid's Mac");
  EXPECT_EQ(awaitTask(client.listDevices(login.apiToken)), (QList<DeviceRecord>{first, second}));
  EXPECT_THAT(errorOf(client.listDevices("not a token")).toStdString(), Not(StartsWith("HTTP ")));
}

TEST(TetherClient, WorksOverHttpsWithTheCertificateAuthorityItIsGiven) {
  // A certificate authority made now, and a certificate for 127.0.0.1 signed by it.
  QTemporaryDir certs;
  const std::string script =
      "set -e; cd '" + certs.path().toStdString() +
      "'; exec 2>/dev/null; o='-newkey rsa:2048 -nodes';"
      "openssl req -x509 $o -keyout ca.key -out ca.pem -days 2 -subj /CN=CA;"
      "openssl req $o -keyout server.key -out server.csr -subj /CN=localhost;"
      "echo subjectAltName=IP:127.0.0.1 > ext.cnf;"
      "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 "
      "-extfile ext.cnf -out server.pem";
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
  EXPECT_NE(errorOf(TetherClient(service.url()).login("parent@example.com", "correct horse")),
            "no error");
}

}  // namespace
