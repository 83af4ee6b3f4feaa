// The service over HTTPS, with a certificate authority made for the test: the agent's client and
// the tether-service program.
#include <gmock/gmock.h>
#include <unistd.h>

#include "HttpClient.h"
#include "ServiceFixture.h"
#include "TestSupport.h"

namespace tether::test {
namespace {

using namespace std::chrono_literals;

// Writes a certificate authority and a certificate for 127.0.0.1 and localhost signed by it into
// folder: ca.pem, server.pem (chain), server.key.
void makeCertificates(const std::filesystem::path& folder) {
  const std::string d = folder.string();
  const std::string script =
      "set -e; cd '" + d + "'; "
      "openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 "
      "-subj '/CN=Tether Test CA' 2>/dev/null; "
      "openssl req -newkey rsa:2048 -nodes -keyout server.key -out server.csr "
      "-subj '/CN=localhost' 2>/dev/null; "
      "printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\\nbasicConstraints=CA:FALSE\\n"
      "extendedKeyUsage=serverAuth\\n' > ext.cnf; "
      "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 "
      "-extfile ext.cnf -out server.crt 2>/dev/null; "
      "cat server.crt ca.pem > server.pem";
  ASSERT_EQ(std::system(script.c_str()), 0);
}

class ServiceTls : public ServiceFixture {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tether-tls-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    certs_ = pattern;
    makeCertificates(certs_);
    tls_ = std::make_pair((certs_ / "server.pem").string(), (certs_ / "server.key").string());
    ServiceFixture::SetUp();
    ASSERT_EQ(pipe(stop_), 0);
  }
  void TearDown() override {
    ServiceFixture::TearDown();
    close(stop_[0]);
    close(stop_[1]);
    std::filesystem::remove_all(certs_);
  }

  // The agent's client, trusting the test's authority or the system's.
  HttpClient agentClient(bool testAuthority) const {
    HttpClient::Limits limits;
    if (testAuthority) limits.certificateAuthorities = (certs_ / "ca.pem").string();
    return HttpClient(stop_[0], limits);
  }

  std::filesystem::path certs_;
  int stop_[2] = {-1, -1};
};

TEST_F(ServiceTls, TheAgentPollsAndUploadsOverHttpsTrustingTheGivenAuthorityOnly) {
  // The parent's side through a plain TLS client that trusts the test's authority.
  httplib::SSLClient parent("127.0.0.1", port_);
  parent.set_ca_cert_path((certs_ / "ca.pem").string());
  const auto registered = parent.Post(
      "/v1/register", R"({"email":"ann@example.com","password":"correct horse"})",
      "application/json");
  ASSERT_TRUE(registered) << httplib::to_string(registered.error());
  ASSERT_EQ(registered->status, 201);
  const std::string account = json::parse(registered->body)["apiToken"];
  const auto made = parent.Post("/v1/devices", {{"Authorization", "Bearer " + account}},
                                R"({"name":"Study Mac"})", "application/json");
  ASSERT_TRUE(made);
  const std::string device = json::parse(made->body)["token"];

  HttpClient agent = agentClient(true);
  const std::string base = "https://127.0.0.1:" + std::to_string(port_);
  const std::vector<std::string> auth{"Authorization: Bearer " + device};
  for (int i = 0; i < 2; ++i) {  // the second on the same client, over a new connection
    const auto polled = agent.send({"GET", base + "/v1/policy", auth, "", 10s});
    ASSERT_TRUE(polled) << polled.error();
    EXPECT_EQ(polled->status, 200);
    EXPECT_EQ(json::parse(polled->body)["rev"], 0);
  }
  std::vector<std::string> upload = auth;
  upload.push_back("Content-Type: application/json");
  const auto sent =
      agent.send({"POST", base + "/v1/usage", upload, R"({"date":"2026-03-14"})", 10s});
  ASSERT_TRUE(sent) << sent.error();
  EXPECT_EQ(sent->status, 200);

  // Without the test's authority the certificate is not trusted; plain HTTP gets no answer.
  const auto untrusted = agentClient(false).send({"GET", base + "/v1/policy", auth, "", 10s});
  EXPECT_FALSE(untrusted);
  const auto plain = agentClient(true).send(
      {"GET", "http://127.0.0.1:" + std::to_string(port_) + "/v1/policy", auth, "", 10s});
  EXPECT_FALSE(plain && plain->status == 200);
}

TEST_F(ServiceTls, TheProgramServesHttpsAndRefusesAKeyThatIsNotTheCertificates) {
  TempDir dir;
  ChildProcess service({TETHER_SERVICE_PATH, "--db", (dir / "service.db").string(), "--listen",
                        "127.0.0.1:0", "--tls-cert", tls_->first, "--tls-key", tls_->second});
  ASSERT_TRUE(service.waitFor("\n", 20s, "stdout"));
  const std::string line = service.stdoutText();
  ASSERT_TRUE(line.starts_with("listening on 127.0.0.1:")) << line;
  const auto answer = agentClient(true).send(
      {"GET", "https://localhost:" + line.substr(23, line.size() - 24) + "/v1/devices", {}, "",
       10s});
  ASSERT_TRUE(answer) << answer.error();
  EXPECT_EQ(answer->status, 401);
  service.signal(SIGTERM);
  EXPECT_EQ(service.wait(20s), 0);

  ChildProcess wrongKey({TETHER_SERVICE_PATH, "--db", (dir / "service.db").string(), "--listen",
                         "127.0.0.1:0", "--tls-cert", tls_->first, "--tls-key",
                         (certs_ / "ca.key").string()});
  EXPECT_EQ(wrongKey.wait(20s), 1);
  EXPECT_THAT(wrongKey.stderrText(),
              testing::EndsWith("] fatal: cannot use the private key " +
                                (certs_ / "ca.key").string() + ": key values mismatch\n"));
}

}  // namespace
}  // namespace tether::test
