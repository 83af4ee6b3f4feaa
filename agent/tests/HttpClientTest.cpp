// The agent's HTTP session against a real server on 127.0.0.1: limits and interruption. Statuses
// and bodies are checked through the agent's poll and upload (ServiceSyncTest).
#include "HttpClient.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "Gzip.h"
#include "LoopbackServer.h"
#include "TestSupport.h"
#include "WakeSignal.h"

namespace tether {
namespace {

using namespace std::chrono_literals;
using testing::HasSubstr;

HttpRequest get(const std::string& url, std::chrono::seconds timeout = 60s) {
  HttpRequest request;
  request.url = url;
  request.timeout = timeout;
  return request;
}

// The bound holds for the decoded body: a small compressed answer may not unpack beyond it.
TEST(HttpClient, BodyOverTheBoundFailsWithOrWithoutALengthAndAlsoWhenDecoded) {
  test::LoopbackServer server([](const httplib::Request& req, httplib::Response& res) {
    if (req.path.starts_with("/gzip")) {
      res.set_header("Content-Encoding", "gzip");
      return res.set_content(Gzip::compress(std::string(1000 + (req.path == "/gzip-long"), 'x')),
                             "application/octet-stream");
    }
    if (req.path != "/chunked") {
      return res.set_content(std::string(1000 + (req.path == "/long"), 'x'), "text/plain");
    }
    res.set_chunked_content_provider("text/plain", [](std::size_t offset, httplib::DataSink& sink) {
      const std::string piece(std::min<std::size_t>(300, 1001 - offset), 'x');
      if (piece.empty()) sink.done();
      return piece.empty() || sink.write(piece.data(), piece.size());
    });
  });
  WakeSignal stop;
  HttpClient client(stop.fd(), HttpClient::Limits{.maxBodyBytes = 1000});
  for (const char* path : {"/fits", "/gzip-fits"}) {
    auto fits = client.send(get(server.url() + path));
    ASSERT_TRUE(fits) << fits.error();
    EXPECT_EQ(fits->body, std::string(1000, 'x')) << path;
  }
  for (const char* path : {"/long", "/chunked", "/gzip-long"}) {
    auto over = client.send(get(server.url() + path));
    ASSERT_FALSE(over) << path;
    EXPECT_EQ(over.error(), "response body larger than 1000 bytes");
  }
}

TEST(HttpClient, SilentServerFailsAtTheIdleLimitAndSlowTrickleAtTheRequestLimit) {
  test::LoopbackServer* self = nullptr;
  test::LoopbackServer server([&](const httplib::Request& req, httplib::Response& res) {
    if (req.path == "/silent") return self->hold();
    res.set_chunked_content_provider("text/plain", [](std::size_t, httplib::DataSink& sink) {
      std::this_thread::sleep_for(100ms);
      return sink.write("x", 1);
    });
  });
  self = &server;
  WakeSignal stop;
  HttpClient client(stop.fd(), HttpClient::Limits{.idleTimeout = 1s});
  auto silent = client.send(get(server.url() + "/silent"));
  ASSERT_FALSE(silent);
  EXPECT_THAT(silent.error(), HasSubstr("too slow"));

  auto trickle = client.send(get(server.url() + "/trickle", 1s));
  ASSERT_FALSE(trickle);
  EXPECT_THAT(trickle.error(), HasSubstr("timed out"));
}

// An https server on 127.0.0.1 with a certificate made for the test.
class TlsServer {
 public:
  explicit TlsServer(const test::LoopbackServer::Handler& handler)
      : files_(makeCertificate(dir_)), server_(files_.first.c_str(), files_.second.c_str()) {
    server_.Get(".*", handler);
    server_.Post(".*", handler);
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::sleep_for(2ms);
  }
  ~TlsServer() {
    server_.stop();
    thread_.join();
  }
  std::string url() const { return "https://127.0.0.1:" + std::to_string(port_); }
  std::string authority() const { return files_.first; }

 private:
  static std::pair<std::string, std::string> makeCertificate(const test::TempDir& dir) {
    const std::string cert = (dir / "cert.pem").string(), key = (dir / "key.pem").string();
    const auto made = test::run({"/usr/bin/openssl", "req", "-x509", "-newkey", "rsa:2048",
                                 "-nodes", "-days", "1", "-subj", "/CN=127.0.0.1", "-addext",
                                 "subjectAltName=IP:127.0.0.1", "-keyout", key, "-out", cert});
    if (made.status != 0) throw std::runtime_error("openssl: " + made.err);
    return {cert, key};
  }
  test::TempDir dir_;
  std::pair<std::string, std::string> files_;
  httplib::SSLServer server_;
  std::thread thread_;
  int port_ = 0;
};

TEST(HttpClient, AnHttpsRequestIsRedirectedOnlyToHttps) {
  std::atomic<int> clear = 0;
  test::LoopbackServer plain([&](const httplib::Request&, httplib::Response&) { ++clear; });
  TlsServer* self = nullptr;
  TlsServer tls([&](const httplib::Request& req, httplib::Response& res) {
    if (req.path == "/to-http") res.set_redirect(plain.url() + "/v1/usage", 307);
    if (req.path == "/to-https") res.set_redirect(self->url() + "/landed", 307);
    if (req.path == "/landed") res.set_content("landed", "text/plain");
  });
  self = &tls;
  WakeSignal stop;
  HttpClient client(stop.fd(), HttpClient::Limits{.certificateAuthorities = tls.authority()});
  HttpRequest post = get(tls.url() + "/to-http");
  post.method = "POST";
  post.body = R"({"minutes":{}})";
  EXPECT_FALSE(client.send(post));
  EXPECT_EQ(clear, 0);
  auto landed = client.send(get(tls.url() + "/to-https"));
  ASSERT_TRUE(landed) << landed.error();
  EXPECT_EQ(landed->body, "landed");
}

// A stop during a request in flight is tested with the agent program (ServiceSyncTest).
TEST(HttpClient, OnlyHttpIsSpokenUrlsNeedASchemeAndAHostAndAStopRefusesEveryLaterRequest) {
  std::atomic<int> requests = 0;
  test::LoopbackServer server([&](const httplib::Request&, httplib::Response&) { ++requests; });
  WakeSignal stop;
  HttpClient client(stop.fd());
  EXPECT_FALSE(client.send(get("file:///etc/hostname")));
  EXPECT_TRUE(HttpClient::parsesAsURL("https://service.example//v1/usage"));
  for (const char* bad : {"/v1/policy", "http:///v1/policy", "1.2.3.4:8080 /v1", "http://a b/v1"}) {
    EXPECT_FALSE(HttpClient::parsesAsURL(bad)) << bad;
  }
  stop.raise();
  EXPECT_EQ(client.send(get(server.url() + "/after-stop")).error(), HttpClient::kInterrupted);
  EXPECT_EQ(requests, 0);
}

}  // namespace
}  // namespace tether
