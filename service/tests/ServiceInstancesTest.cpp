// Several service instances on one database, and a database that goes away and comes back.
#include <gmock/gmock.h>

#include <algorithm>
#include <numeric>
#include <set>

#include "ServiceFixture.h"

namespace tether::test {
namespace {

// The test's service and a second instance on the same database.
class ServiceInstances : public OnEachBackend<ServiceFixture> {
 protected:
  void SetUp() override {
    ServiceFixture::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    secondStore_ = openStore();
    ASSERT_TRUE(secondStore_);
    ServiceServer::Settings settings;
    settings.passwordCost = PasswordHash::minimal();
    second_ = std::make_unique<ServiceServer>(*secondStore_, settings);
    auto port = second_->bind("127.0.0.1", 0);
    ASSERT_TRUE(port) << port.error();
    secondPort_ = *port;
    secondThread_ = std::thread([this] { second_->serve(); });
  }
  void TearDown() override {
    if (second_) second_->stop();
    if (secondThread_.joinable()) secondThread_.join();
    second_.reset();
    secondStore_.reset();
    ServiceFixture::TearDown();
  }

  // A request to one instance or the other.
  Reply on(int instance, const std::string& method, const std::string& path,
           const std::string& token, const std::string& body = "") const {
    httplib::Client c("127.0.0.1", instance == 0 ? port_ : secondPort_);
    c.set_read_timeout(30, 0);
    const httplib::Headers headers = auth(token);
    if (method == "GET") return reply(c.Get(path, headers));
    if (method == "PUT") return reply(c.Put(path, headers, body, "application/json"));
    if (method == "PATCH") return reply(c.Patch(path, headers, body, "application/json"));
    return reply(c.Post(path, headers, body, "application/json"));
  }

  std::unique_ptr<ServiceStore> secondStore_;
  std::unique_ptr<ServiceServer> second_;
  std::thread secondThread_;
  int secondPort_ = 0;
};
TETHER_ON_EACH_BACKEND(ServiceInstances);

// Parents saving and resetting at the same moment on both instances while the device polls and
// uploads through both: every change counted once, every report kept, the device seen.
TEST_P(ServiceInstances, ChangesAtTheSameMomentOnTwoInstancesAreEachCountedOnce) {
  const std::string ann = tokenFor("ann@example.com");
  const json device = createDevice(ann, "Study Mac");
  const std::string id = std::to_string(device.value("id", int64_t{0}));
  const std::string deviceToken = device.value("token", "");
  const std::string policyPath = "/v1/devices/" + id + "/policy";
  constexpr int kEach = 16;

  std::mutex mutex;
  std::vector<int64_t> revs, epochs;
  std::vector<int> failures;
  std::vector<std::thread> threads;
  for (int i = 0; i < kEach; ++i) {
    threads.emplace_back([&, i] {
      const Reply r = on(i % 2, "PUT", policyPath, ann,
                         R"({"domains":["h)" + std::to_string(i) + R"(.test"]})");
      std::lock_guard lock(mutex);
      if (r.status == 200) revs.push_back(r.body["rev"].get<int64_t>());
      else failures.push_back(r.status);
    });
    threads.emplace_back([&, i] {
      const Reply r = on(i % 2, "POST", "/v1/devices/" + id + "/usage/reset", ann, "{}");
      std::lock_guard lock(mutex);
      if (r.status == 200) epochs.push_back(r.body["usageEpoch"].get<int64_t>());
      else failures.push_back(r.status);
    });
    threads.emplace_back([&, i] {
      char date[32];
      std::snprintf(date, sizeof date, "2026-03-%02d", i + 1);
      const Reply up = on(i % 2, "POST", "/v1/usage", deviceToken,
                          R"({"date":")" + std::string(date) + R"(","minutes":{"com.a":1}})");
      const Reply poll = on(1 - i % 2, "GET", "/v1/policy", deviceToken);
      std::lock_guard lock(mutex);
      if (up.status != 200) failures.push_back(up.status);
      if (poll.status != 200) failures.push_back(poll.status);
    });
  }
  for (auto& t : threads) t.join();

  EXPECT_THAT(failures, testing::IsEmpty());
  std::vector<int64_t> expected(kEach);
  std::iota(expected.begin(), expected.end(), 1);
  std::sort(revs.begin(), revs.end());
  std::sort(epochs.begin(), epochs.end());
  EXPECT_EQ(revs, expected);
  EXPECT_EQ(epochs, expected);

  // Both instances give the same answers: the last policy saved, whole.
  const Reply first = on(0, "GET", "/v1/policy", deviceToken);
  EXPECT_EQ(first.body, on(1, "GET", "/v1/policy", deviceToken).body);
  EXPECT_EQ(first.body["rev"], kEach);
  EXPECT_EQ(first.body["usageEpoch"], kEach);
  ASSERT_EQ(first.body["domains"].size(), 1u);
  const json reports = on(1, "GET", "/v1/devices/" + id + "/usage", ann).body;
  EXPECT_EQ(reports.size(), static_cast<std::size_t>(kEach));
  EXPECT_TRUE(on(0, "GET", "/v1/devices", ann).body[0]["lastSeen"].is_string());

  // Edits that name changes rather than a whole document are each kept, whichever instance
  // takes them and however they interleave.
  threads.clear();
  revs.clear();
  for (int i = 0; i < kEach; ++i) {
    threads.emplace_back([&, i] {
      const Reply r = on(i % 2, "PATCH", policyPath, ann,
                         R"({"domainsAdded":["p)" + std::to_string(i) + R"(.test"]})");
      std::lock_guard lock(mutex);
      if (r.status == 200) revs.push_back(r.body["rev"].get<int64_t>());
      else failures.push_back(r.status);
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_THAT(failures, testing::IsEmpty());
  std::sort(revs.begin(), revs.end());
  std::iota(expected.begin(), expected.end(), kEach + 1);
  EXPECT_EQ(revs, expected);
  EXPECT_EQ(on(1, "GET", "/v1/policy", deviceToken).body["domains"].size(),
            static_cast<std::size_t>(kEach + 1));
}

// The PostgreSQL service alone.
class PostgresService : public ServiceFixture {
 protected:
  Backend backend() const override { return Backend::postgres; }
};

TEST_F(PostgresService, DatabaseThatGoesAwayGives503AndTheServiceRecoversWhenItReturns) {
  const std::string ann = tokenFor("ann@example.com");
  const json device = createDevice(ann, "Study Mac");
  const std::string deviceToken = device.value("token", "");
  const std::string policyPath = "/v1/devices/" + std::to_string(device.value("id", 0)) + "/policy";
  ASSERT_EQ(send("PUT", policyPath, R"({"domains":["a.test"]})", ann).status, 200);

  postgres_->stop();
  const json unavailable = {
      {"detail", "the service cannot reach its database; try again shortly"}};
  const Reply poll = get("/v1/policy", deviceToken);
  EXPECT_EQ(poll.status, 503);
  EXPECT_EQ(poll.body, unavailable);
  EXPECT_EQ(poll.header("Retry-After"), "5");
  EXPECT_EQ(send("PUT", policyPath, R"({"domains":["b.test"]})", ann).status, 503);
  EXPECT_EQ(send("POST", "/v1/usage", R"({"date":"2026-03-14"})", deviceToken).status, 503);
  EXPECT_EQ(get("/v1/devices", ann).body, unavailable);

  postgres_->start();
  const Reply back = get("/v1/policy", deviceToken);
  EXPECT_EQ(back.status, 200) << back.text;
  EXPECT_EQ(back.body["rev"], 1);  // nothing of the refused save was kept
  EXPECT_EQ(back.body["domains"], json({"a.test"}));
  EXPECT_EQ(send("PUT", policyPath, R"({"domains":["b.test"]})", ann).body["rev"], 2);
}

TEST_F(PostgresService, SchemaIsMadeOnceWhenInstancesStartTogetherAndAnUnknownOneIsRefused) {
  postgres_->sql("CREATE DATABASE fresh");
  const std::string fresh = postgres_->uri("fresh");
  std::vector<std::thread> starting;
  std::vector<std::string> errors(6);
  for (std::size_t i = 0; i < errors.size(); ++i) {
    starting.emplace_back([&, i] {
      auto store = ServiceStore::open(fresh);
      if (!store) errors[i] = store.error();
      else if (!(*store)->createAccount("u" + std::to_string(i) + "@example.com", std::nullopt))
        errors[i] = "cannot write";
    });
  }
  for (auto& t : starting) t.join();
  EXPECT_THAT(errors, testing::Each(""));

  postgres_->sql("UPDATE tether_schema_version SET version = 99", "fresh");
  const auto refused = ServiceStore::open(fresh);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error(), "cannot open database: schema version 99 is not one this service knows");
}

}  // namespace
}  // namespace tether::test
