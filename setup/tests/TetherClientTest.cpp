// The service client: the status rules, decoding and headers against a scripted HTTP server on
// loopback, and every operation against the reference service.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>

#include <QCoroNetworkReply>
#include <QCoroTask>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
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
using ::testing::HasSubstr;

namespace {

// An HTTP/1.1 server on 127.0.0.1 that answers each request with the next scripted answer, as
// raw bytes, and records the requests. An answer is sent as it is and the connection closed,
// except a stalled one, which stays open.
class ScriptedServer {
 public:
  struct Request {
    QByteArray method;
    QByteArray target;
    QMap<QByteArray, QByteArray> headers;  // names in lower case
    QByteArray body;
  };
  struct Answer {
    QByteArray bytes;
    bool stall = false;
  };

  ScriptedServer() {
    server_.listen(QHostAddress::LocalHost, 0);
    QObject::connect(&server_, &QTcpServer::newConnection, [this] {
      while (QTcpSocket* socket = server_.nextPendingConnection()) {
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] { serve(socket); });
      }
    });
  }

  QUrl url() const { return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(server_.serverPort())); }

  static Answer answer(int status, const QByteArray& body, const QByteArray& headers = {}) {
    QByteArray bytes = "HTTP/1.1 " + QByteArray::number(status) + " Scripted\r\n";
    bytes += headers;
    if (!body.isEmpty()) bytes += "Content-Type: application/json\r\n";
    bytes += "Content-Length: " + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
    return {bytes};
  }
  void script(Answer next) { answers_.push_back(std::move(next)); }

  std::vector<Request> requests;

 private:
  void serve(QTcpSocket* socket) {
    QByteArray& buffer = buffers_[socket];
    buffer += socket->readAll();
    const qsizetype end = buffer.indexOf("\r\n\r\n");
    if (end < 0) return;
    Request request;
    const QList<QByteArray> lines = buffer.left(end).split('\n');
    const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
    request.method = first.value(0);
    request.target = first.value(1);
    for (qsizetype i = 1; i < lines.size(); ++i) {
      const qsizetype colon = lines[i].indexOf(':');
      if (colon > 0) request.headers[lines[i].left(colon).trimmed().toLower()] = lines[i].mid(colon + 1).trimmed();
    }
    const qsizetype length = request.headers.value("content-length", "0").toLongLong();
    if (buffer.size() < end + 4 + length) return;
    request.body = buffer.mid(end + 4, length);
    buffers_.remove(socket);
    requests.push_back(request);

    const Answer next = answers_.empty() ? answer(500, "no answer scripted") : answers_.front();
    if (!answers_.empty()) answers_.erase(answers_.begin());
    socket->write(next.bytes);
    if (!next.stall) socket->disconnectFromHost();
  }

  QTcpServer server_;
  std::vector<Answer> answers_;
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

const QByteArray kLoginBody = R"({"email":"p@example.com","apiToken":"tok","userId":7})";

TEST(TetherClient, JudgesEveryAnswerByItsStatusAndBody) {
  struct Case {
    int status;
    QByteArray body;
    QString expected;  // the error text, or "no error"
    std::optional<int> carried = std::nullopt;  // the status the error carries
  };
  const Case cases[] = {
      {200, kLoginBody, "no error"},
      {201, R"({"userId":7,"apiToken":"tok","email":"p@example.com","extra":[1,{"a":null}]})", "no error"},
      {204, "", "unexpected response from server"},
      {200, "", "unexpected response from server"},
      {200, R"({"email":"p@example.com","apiToken":"tok","userId":"7"})", "unexpected response from server"},
      {200, R"({"email":"p@example.com","apiToken":"tok","userId":7.5})", "unexpected response from server"},
      {200, R"({"email":"p@example.com","apiToken":null,"userId":7})", "unexpected response from server"},
      {200, R"([)", "unexpected response from server"},
      {401, R"({"detail":"incorrect e-mail address or password"})", "incorrect e-mail address or password", 401},
      // Qt turns 400 into a protocol error code, not a content one: still an answer.
      {400, R"({"detail":"unknown or used code"})", "unknown or used code", 400},
      {409, R"({"detail":"","other":1})", "", 409},
      {422, R"({"detail":[{"loc":["body","email"],"msg":"field required"}]})", "HTTP 422", 422},
      {404, R"({"detail":null})", "HTTP 404", 404},
      {500, "<html><body>Internal Server Error</body></html>", "HTTP 500", 500},
      {502, "", "HTTP 502", 502},
  };
  for (const Case& c : cases) {
    ScriptedServer server;
    server.script(ScriptedServer::answer(c.status, c.body));
    TetherClient client(server.url());
    QString text = QStringLiteral("no error");
    std::optional<int> carried;
    try {
      awaitTask(client.login("p@example.com", "secret"));
    } catch (const TetherAPIError& e) {
      text = e.description();
      carried = e.httpStatus();
    }
    EXPECT_EQ(text, c.expected) << c.status << " " << c.body.constData();
    EXPECT_EQ(carried, c.carried) << c.status << " " << c.body.constData();
  }
}

TEST(TetherClient, DecodesRecordsStrictlyAndIgnoresExtraKeys) {
  ScriptedServer server;
  server.script(ScriptedServer::answer(200, R"([
    {"id":1,"name":"Old Mac","token":"d1","extra":true},
    {"id":2,"name":"New Mac","token":"d2","lastSeen":null},
    {"id":3.0,"name":"Seen","token":"d3","lastSeen":"2026-03-14T09:26:53Z"}])"));
  server.script(ScriptedServer::answer(200, "[]"));
  server.script(ScriptedServer::answer(200, R"([{"id":1,"name":"Mac","token":"d1","lastSeen":5}])"));
  server.script(ScriptedServer::answer(200, R"({"id":1,"name":"Mac","token":"d1"})"));
  server.script(ScriptedServer::answer(201, R"({"id":4,"name":"Mac","token":"d4"})"));
  server.script(ScriptedServer::answer(201, R"({"id":4,"name":"Mac"})"));
  TetherClient client(server.url());

  const QList<DeviceRecord> devices = awaitTask(client.listDevices("acct"));
  ASSERT_EQ(devices.size(), 3);
  EXPECT_EQ(devices[0], (DeviceRecord{1, "Old Mac", "d1", std::nullopt}));
  EXPECT_EQ(devices[1], (DeviceRecord{2, "New Mac", "d2", std::nullopt}));
  EXPECT_EQ(devices[2], (DeviceRecord{3, "Seen", "d3", QString("2026-03-14T09:26:53Z")}));
  EXPECT_TRUE(awaitTask(client.listDevices("acct")).isEmpty());
  EXPECT_EQ(failureOf(client.listDevices("acct")), "unexpected response from server");
  // An object where a list is expected.
  EXPECT_EQ(failureOf(client.listDevices("acct")), "unexpected response from server");
  EXPECT_EQ(awaitTask(client.createDevice("Mac", "acct")), (DeviceRecord{4, "Mac", "d4", std::nullopt}));
  EXPECT_EQ(failureOf(client.createDevice("Mac", "acct")), "unexpected response from server");
}

TEST(TetherClient, SendsEachRequestWithItsMethodPathHeadersAndFlatBody) {
  ScriptedServer server;
  for (int i = 0; i < 3; ++i) server.script(ScriptedServer::answer(200, kLoginBody));
  server.script(ScriptedServer::answer(200, "[]"));
  server.script(ScriptedServer::answer(201, R"({"id":4,"name":"Mac","token":"d4"})"));
  // A trailing slash (or several) on the base URL changes nothing.
  TetherClient client(QUrl(server.url().toString() + "//"));

  awaitTask(client.login("p@example.com", "pass word"));
  awaitTask(client.registerAccount("new@example.com", "\"quoted\" pässword"));
  awaitTask(client.exchangeOAuthCode("one-time"));
  awaitTask(client.listDevices("acct-token"));
  awaitTask(client.createDevice("Kid's Mac", "acct-token"));

  struct Expected {
    QByteArray method;
    QByteArray target;
    QJsonObject body;
    bool authorized;
  };
  const Expected expected[] = {
      {"POST", "/v1/login", {{"email", "p@example.com"}, {"password", "pass word"}}, false},
      {"POST", "/v1/register", {{"email", "new@example.com"}, {"password", "\"quoted\" pässword"}}, false},
      {"POST", "/v1/oauth/exchange", {{"code", "one-time"}}, false},
      {"GET", "/v1/devices", {}, true},
      {"POST", "/v1/devices", {{"name", "Kid's Mac"}}, true},
  };
  ASSERT_EQ(server.requests.size(), std::size(expected));
  for (std::size_t i = 0; i < std::size(expected); ++i) {
    const ScriptedServer::Request& r = server.requests[i];
    SCOPED_TRACE(r.target.toStdString());
    EXPECT_EQ(r.method, expected[i].method);
    EXPECT_EQ(r.target, expected[i].target);
    EXPECT_EQ(r.headers.contains("authorization"), expected[i].authorized);
    if (expected[i].authorized) {
      EXPECT_EQ(r.headers.value("authorization"), "Bearer acct-token");
    }
    if (r.method == "GET") {
      EXPECT_FALSE(r.headers.contains("content-type"));
      EXPECT_TRUE(r.body.isEmpty());
    } else {
      EXPECT_EQ(r.headers.value("content-type"), "application/json");
      EXPECT_EQ(QJsonDocument::fromJson(r.body).object(), expected[i].body);
    }
  }
}

TEST(TetherClient, BuildsAddressesFromTheBaseURLText) {
  EXPECT_EQ(TetherClient::address(QUrl("https://tether.example/"), "/v1/login"),
            TetherClient::address(QUrl("https://tether.example"), "/v1/login"));
  EXPECT_EQ(TetherClient::address(QUrl("https://tether.example/api//"), "/v1/login"),
            QUrl("https://tether.example/api/v1/login"));
  for (const char* bad : {"", "tether.example", "https://", "http://exa mple.com"}) {
    TetherClient client{QUrl(bad)};
    EXPECT_EQ(failureOf(client.login("a", "b")), "invalid server URL") << bad;
  }
}

TEST(TetherClient, FollowsRedirectsOnlyWithinTheSameOrigin) {
  ScriptedServer elsewhere;
  elsewhere.script(ScriptedServer::answer(200, "[]"));
  ScriptedServer service;
  service.script(ScriptedServer::answer(307, "", "Location: /v1/devices?moved=1\r\n"));
  service.script(ScriptedServer::answer(200, "[]"));
  service.script(ScriptedServer::answer(307, "", "Location: " + elsewhere.url().toEncoded() + "/v1/devices\r\n"));
  TetherClient client(service.url());

  EXPECT_TRUE(awaitTask(client.listDevices("acct")).isEmpty());
  ASSERT_EQ(service.requests.size(), 2u);
  EXPECT_EQ(service.requests[1].target, "/v1/devices?moved=1");

  // Another port is another origin: the token must not go there.
  try {
    awaitTask(client.listDevices("acct"));
    ADD_FAILURE() << "a redirect to another origin was followed";
  } catch (const PlatformError& e) {
    EXPECT_EQ(e.kind(), PlatformError::Kind::network);
    EXPECT_EQ(e.code(), QNetworkReply::InsecureRedirectError) << e.what();
  }
  EXPECT_TRUE(elsewhere.requests.empty());
}

TEST(TetherClient, PassesTransportFailuresOnWithQtsDescription) {
  // A stalled answer ends after the transfer timeout (shortened here).
  ScriptedServer stalled;
  stalled.script({"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 100\r\n\r\n{\"email\"", true});
  TetherClient impatient(stalled.url(), 300ms);
  try {
    awaitTask(impatient.login("p@example.com", "secret"));
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
  TetherClient client(closed);
  try {
    awaitTask(client.listDevices("acct"));
    ADD_FAILURE() << "a refused connection succeeded";
  } catch (const PlatformError& e) {
    EXPECT_EQ(e.code(), QNetworkReply::ConnectionRefusedError);
    EXPECT_THAT(e.description().toStdString(), HasSubstr("refused"));
  }
}

// The one-time code the reference service's sign-in stand-in redirects with.
QString signInCode(const QUrl& service, const QString& email) {
  QNetworkAccessManager network;
  QNetworkRequest request(OAuthBrowser::pageAddress(service, "google"));
  request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
  request.setHeader(QNetworkRequest::ContentTypeHeader, "application/x-www-form-urlencoded");
  QUrlQuery form;
  form.addQueryItem("email", email);
  std::unique_ptr<QNetworkReply> reply(network.post(request, form.toString(QUrl::FullyEncoded).toUtf8()));
  awaitTask(qCoro(reply.get()).waitForFinished());
  const QUrl location(QString::fromUtf8(reply->rawHeader("Location")));
  EXPECT_EQ(location.scheme(), "tether");
  return OAuthBrowser::codeFrom({location, std::nullopt});
}

TEST(TetherClient, WorksAgainstTheReferenceService) {
  ReferenceService service;
  if (!service.problem().isEmpty()) GTEST_SKIP() << service.problem().toStdString();
  TetherClient client(service.url());

  const LoginResponse registered = awaitTask(client.registerAccount("  Parent@Example.com ", "correct horse"));
  EXPECT_EQ(registered.email, "Parent@Example.com");
  EXPECT_FALSE(registered.apiToken.isEmpty());
  EXPECT_THAT(failureOf(client.registerAccount("parent@example.com", "another password")).toStdString(),
              ::testing::Not(::testing::StartsWith("HTTP ")));

  const LoginResponse login = awaitTask(client.login("parent@example.com", "correct horse"));
  EXPECT_EQ(login.userId, registered.userId);
  EXPECT_EQ(failureOf(client.login("parent@example.com", "wrong horse")), "incorrect e-mail address or password");

  EXPECT_TRUE(awaitTask(client.listDevices(login.apiToken)).isEmpty());
  const DeviceRecord first = awaitTask(client.createDevice("Kid's Mac", login.apiToken));
  const DeviceRecord second = awaitTask(client.createDevice("Second Mac", login.apiToken));
  EXPECT_EQ(first.name, "Kid's Mac");
  EXPECT_FALSE(first.token.isEmpty());
  EXPECT_EQ(awaitTask(client.listDevices(login.apiToken)), (QList<DeviceRecord>{first, second}));
  EXPECT_THAT(failureOf(client.listDevices("not a token")).toStdString(), ::testing::Not(::testing::StartsWith("HTTP ")));

  const QString code = signInCode(service.url(), "web@example.com");
  const LoginResponse web = awaitTask(client.exchangeOAuthCode(code));
  EXPECT_EQ(web.email, "web@example.com");
  EXPECT_NE(web.userId, registered.userId);
  // A code works once.
  EXPECT_THAT(failureOf(client.exchangeOAuthCode(code)).toStdString(), ::testing::Not(::testing::StartsWith("HTTP ")));
}

// A certificate authority made now, and a certificate for 127.0.0.1 signed by it, in folder:
// ca.pem, server.pem, server.key.
bool makeCertificates(const QString& folder) {
  const std::string script =
      "set -e; cd '" + folder.toStdString() + "'; "
      "openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 "
      "-subj '/CN=Tether Test CA' 2>/dev/null; "
      "openssl req -newkey rsa:2048 -nodes -keyout server.key -out server.csr "
      "-subj '/CN=localhost' 2>/dev/null; "
      "printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\\nbasicConstraints=CA:FALSE\\n' > ext.cnf; "
      "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 "
      "-extfile ext.cnf -out server.pem 2>/dev/null";
  return std::system(script.c_str()) == 0;
}

TEST(TetherClient, WorksOverHttpsWithTheCertificateAuthorityItIsGiven) {
  QTemporaryDir certs;
  ASSERT_TRUE(makeCertificates(certs.path()));
  ReferenceService service(certs.filePath("server.pem"), certs.filePath("server.key"));
  if (!service.problem().isEmpty()) GTEST_SKIP() << service.problem().toStdString();
  ASSERT_EQ(service.url().scheme(), "https");

  TetherClient client(service.url(), TetherClient::kTransferTimeout,
                      QSslCertificate::fromPath(certs.filePath("ca.pem")));
  const LoginResponse registered = awaitTask(client.registerAccount("parent@example.com", "correct horse"));
  const DeviceRecord device = awaitTask(client.createDevice("Kid's Mac", registered.apiToken));
  EXPECT_EQ(awaitTask(client.listDevices(registered.apiToken)), QList<DeviceRecord>{device});

  // With the system's authorities only, the certificate is refused.
  TetherClient untrusting(service.url());
  EXPECT_FALSE(failureOf(untrusting.login("parent@example.com", "correct horse")).isEmpty());
}

}  // namespace
