#pragma once

#include <gtest/gtest.h>
#include <httplib.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "PasswordHash.h"
#include "PostgresServer.h"
#include "ServiceServer.h"
#include "ServiceStore.h"

namespace tether::test {

using nlohmann::json;

// A status and the body, decoded when it is JSON (null otherwise).
struct Reply {
  int status = 0;
  std::string text;
  json body;
  httplib::Headers headers;

  // The value of a header field; empty when there is none.
  std::string header(const std::string& name) const {
    const auto found = headers.find(name);
    return found == headers.end() ? std::string() : found->second;
  }
};

enum class Backend { sqlite, postgres };

// A real service on a loopback port with a fresh database and a clock that tests can move
// forward: a SQLite file in a fresh folder, or a PostgreSQL server of the test's own. Passwords
// are hashed at the cheapest cost to keep the tests fast.
class ServiceFixture : public ::testing::Test {
 protected:
  virtual Backend backend() const { return Backend::sqlite; }

  void SetUp() override {
    char pattern[] = "/tmp/tether-service-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    location_ = (dir_ / "service.db").string();
    if (backend() == Backend::postgres) {
      if (const std::string missing = PostgresServer::missing(); !missing.empty()) {
        GTEST_SKIP() << missing;
      }
      postgres_ = std::make_unique<PostgresServer>();
      location_ = postgres_->uri();
    }
    start();
  }
  void TearDown() override {
    stop();
    postgres_.reset();
    std::filesystem::remove_all(dir_);
  }

  // A store on the test's database, with the test's clock.
  std::unique_ptr<ServiceStore> openStore() {
    auto store = ServiceStore::open(location_, [this] {
      return std::chrono::system_clock::now() + std::chrono::seconds(clockOffset_.load());
    });
    EXPECT_TRUE(store) << store.error();
    return store ? std::move(*store) : nullptr;
  }

  void start() {
    auto store = openStore();
    ASSERT_TRUE(store);
    store_ = std::move(store);
    ServiceServer::Settings settings;
    settings.passwordCost = PasswordHash::minimal();
    settings.limits = limits_;
    settings.loginLimits = loginLimits_;
    server_ = std::make_unique<ServiceServer>(*store_, settings);
    if (tls_) {
      auto used = server_->useTls(tls_->first, tls_->second);
      ASSERT_TRUE(used) << used.error();
    }
    auto port = server_->bind("127.0.0.1", 0);
    ASSERT_TRUE(port) << port.error();
    port_ = *port;
    thread_ = std::thread([this] { server_->serve(); });
  }

  void stop() {
    if (server_) server_->stop();
    if (thread_.joinable()) thread_.join();
    server_.reset();
    store_.reset();
  }

  httplib::Client client() const {
    httplib::Client c("127.0.0.1", port_);
    c.set_read_timeout(10, 0);
    c.set_decompress(false);  // bodies as sent, and no Accept-Encoding unless a test adds it
    return c;
  }
  static httplib::Headers auth(const std::string& token) {
    return token.empty() ? httplib::Headers{}
                         : httplib::Headers{{"Authorization", "Bearer " + token}};
  }

  static Reply reply(const httplib::Result& r) {
    if (!r) {
      ADD_FAILURE() << "request failed: " << httplib::to_string(r.error());
      return {};
    }
    const json body = json::parse(r->body, nullptr, false);
    return {r->status, r->body, body.is_discarded() ? json() : body, r->headers};
  }

  Reply get(const std::string& path, const std::string& token = "",
            const httplib::Headers& more = {}) const {
    httplib::Headers headers = auth(token);
    headers.insert(more.begin(), more.end());
    return reply(client().Get(path, headers));
  }
  Reply send(const std::string& method, const std::string& path, const std::string& body,
             const std::string& token = "", const httplib::Headers& more = {}) const {
    auto c = client();
    httplib::Headers headers = auth(token);
    headers.insert(more.begin(), more.end());
    return reply(method == "PUT" ? c.Put(path, headers, body, "application/json")
                                 : c.Post(path, headers, body, "application/json"));
  }
  Reply post(const std::string& path, const json& body, const std::string& token = "") const {
    return send("POST", path, body.dump(), token);
  }

  // The LoginResponse of a new account with the password "correct horse", and its token.
  json registerAccount(const std::string& email) const {
    Reply r = post("/v1/register", {{"email", email}, {"password", "correct horse"}});
    EXPECT_EQ(r.status, 201) << r.text;
    return r.body;
  }
  std::string tokenFor(const std::string& email) const {
    return registerAccount(email).value("apiToken", "");
  }
  json createDevice(const std::string& token, const std::string& name) const {
    Reply r = post("/v1/devices", {{"name", name}}, token);
    EXPECT_EQ(r.status, 201) << r.text;
    return r.body;
  }

  HttpServer::Limits limits_;
  LoginThrottle::Limits loginLimits_;
  std::optional<std::pair<std::string, std::string>> tls_;  // certificate chain and key
  std::filesystem::path dir_;
  std::string location_;  // the --db value
  std::unique_ptr<PostgresServer> postgres_;
  std::unique_ptr<ServiceStore> store_;
  std::unique_ptr<ServiceServer> server_;
  std::thread thread_;
  int port_ = 0;
  std::atomic<int64_t> clockOffset_{0};
};

// A fixture whose tests run once on each backend: TEST_P, and TETHER_ON_EACH_BACKEND(Suite).
template <class Base>
class OnEachBackend : public Base, public ::testing::WithParamInterface<Backend> {
 protected:
  Backend backend() const override { return this->GetParam(); }
};

inline std::string backendName(const ::testing::TestParamInfo<Backend>& info) {
  return info.param == Backend::sqlite ? "SQLite" : "PostgreSQL";
}

#define TETHER_ON_EACH_BACKEND(Suite)                                                      \
  INSTANTIATE_TEST_SUITE_P(, Suite,                                                        \
                           ::testing::Values(::tether::test::Backend::sqlite,              \
                                             ::tether::test::Backend::postgres),           \
                           ::tether::test::backendName)

}  // namespace tether::test
