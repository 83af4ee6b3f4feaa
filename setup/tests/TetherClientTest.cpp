// The service client: the status and decoding rules, redirects and transport failures against a
// scripted HTTP server on loopback, and every operation against the reference service on HTTPS.
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

// The transport failure a task ends with (a test failure when there is none).
template <class T>
PlatformError transportFailure(QCoro::Task<T> task) {
  try {
    awaitTask(std::move(task));
  } catch (const PlatformError& e) {
    return e;
  }
  ADD_FAILURE() << "no transport failure";
  return PlatformError(PlatformError::Kind::network, 0, "");
}

TEST(TetherClient, JudgesEveryAnswerByItsStatusAndBody) {
  const QString bad = "unexpected response from server";
  const QByteArray account = R"("email":"p@example.com","apiToken":"tok")";
  const struct {
    char call;  // 's'ign in, 'l'ist or 'c'reate devices
    int status;
    QByteArray body;
    QString expected;                 // the error text, or "no error"
    std::optional<int> carried = {};  // the status the error carries
  } cases[] = {
      {'s', 201, "{" + account + R"(,"userId":7,"extra":[1,{"a":null}]})", "no error"},
      {'s', 204, "", bad},
      {'s', 200, "{" + account + R"(,"userId":"7"})", bad},
      {'s', 200, "{" + account + R"(,"userId":7.5})", bad},
      {'s', 200, R"({"email":"p@example.com","apiToken":null,"userId":7})", bad},
      {'s', 200, "[", bad},
      {'l', 200,
       R"([{"id":1,"name":"A","token":"d1","extra":true},{"id":3.0,"name":"B","token":"d3"}])",
       "no error"},
      {'l', 200, R"([{"id":1,"name":"Mac","token":"d1","lastSeen":5}])", bad},
      {'l', 200, R"({"id":1,"name":"Mac","token":"d1"})", bad},  // an object where a list belongs
      {'c', 201, R"({"id":4,"name":"Mac","token":"d4","lastSeen":null})", "no error"},
      {'c', 201, R"({"id":4,"name":"Mac"})", bad},
      {'s', 401, R"({"detail":"incorrect e-mail address or password"})",
       "incorrect e-mail address or password", 401},
      // Qt turns 400 into a protocol error code, not a content one: still an answer.
      {'s', 400, R"({"detail":"unknown or used code"})", "unknown or used code", 400},
      {'c', 409, R"({"detail":"","other":1})", "", 409},
      {'s', 422, R"({"detail":[{"loc":["body","email"],"msg":"field required"}]})", "HTTP 422",
       422},
      {'l', 404, R"({"detail":null})", "HTTP 404", 404},
      {'s', 500, "<html><body>Internal Server Error</body></html>", "HTTP 500", 500},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.status) + " " + c.body.toStdString());
    ScriptedServer server;
    server.script(c.status, c.body);
    TetherClient client(server.url());
    QString text = "no error";
    std::optional<int> carried;
    try {
      if (c.call == 's') awaitTask(client.login("p@example.com", "secret"));
      if (c.call == 'l') awaitTask(client.listDevices("acct"));
      if (c.call == 'c') awaitTask(client.createDevice("Mac", "acct"));
    } catch (const TetherAPIError& e) {
      text = e.description();
      carried = e.httpStatus();
    }
    EXPECT_EQ(text, c.expected);
    EXPECT_EQ(carried, c.carried);
  }
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
  EXPECT_EQ(transportFailure(client.listDevices("acct")).code(),
            QNetworkReply::InsecureRedirectError);
  EXPECT_TRUE(elsewhere.targets.isEmpty());
}

TEST(TetherClient, PassesTransportFailuresOnWithQtsDescription) {
  // A server that never answers: the transfer timeout (shortened here) ends the wait.
  QTcpServer stalled;
  stalled.listen(QHostAddress::LocalHost, 0);
  const QUrl silent(QStringLiteral("http://127.0.0.1:%1").arg(stalled.serverPort()));
  EXPECT_FALSE(
      transportFailure(TetherClient(silent, 300ms).login("p", "s")).description().isEmpty());
  // Nothing listens on a port that was just freed.
  QUrl closed;
  {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    closed = QUrl(QStringLiteral("http://127.0.0.1:%1").arg(probe.serverPort()));
  }
  const PlatformError refused = transportFailure(TetherClient(closed).listDevices("acct"));
  EXPECT_EQ(refused.code(), QNetworkReply::ConnectionRefusedError);
  EXPECT_THAT(refused.description().toStdString(), HasSubstr("refused"));
}

// Every request as the reference service accepts it, over HTTPS with a certificate authority made
// now; the service's refusals come back with its own words, not as bare statuses.
TEST(TetherClient, WorksAgainstTheReferenceServiceOverHttpsWithTheAuthorityItIsGiven) {
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
  // With the system's authorities only, the certificate is refused.
  EXPECT_NE(errorOf(TetherClient(service.url()).login("parent@example.com", "correct horse")),
            "no error");
}

}  // namespace
