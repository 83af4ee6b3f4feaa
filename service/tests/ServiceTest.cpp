// The reference service on a loopback port: accounts, sign-in codes, devices and their policies.
#include <chrono>
#include <filesystem>
#include <thread>

#include <sqlite3.h>

#include "Gzip.h"
#include "RawClient.h"
#include "ServiceFixture.h"
#include "SqliteServiceStore.h"
#include "Tokens.h"

namespace tether::test {
namespace {

using namespace std::chrono_literals;

using ServiceAccounts = OnEachBackend<ServiceFixture>;
TETHER_ON_EACH_BACKEND(ServiceAccounts);

TEST_P(ServiceAccounts, RegisterAnswersLoginResponseAndLoginIgnoresLetterCaseOfEmail) {
  const json registered = registerAccount(" Ann@Example.com ");
  EXPECT_EQ(registered["email"], "Ann@Example.com");
  EXPECT_TRUE(registered["userId"].is_number_integer());
  EXPECT_GE(registered.value("apiToken", "").size(), 40u);

  const Reply login =
      post("/v1/login", {{"email", "ann@EXAMPLE.com"}, {"password", "correct horse"}});
  ASSERT_EQ(login.status, 200) << login.text;
  EXPECT_EQ(login.body["email"], "Ann@Example.com");
  EXPECT_EQ(login.body["userId"], registered["userId"]);
  // Each sign-in gets its own token, and both work, also after a restart.
  EXPECT_NE(login.body["apiToken"], registered["apiToken"]);
  stop();
  start();
  EXPECT_EQ(get("/v1/devices", registered["apiToken"]).status, 200);
  EXPECT_EQ(get("/v1/devices", login.body["apiToken"]).status, 200);
}

TEST_P(ServiceAccounts, WrongPasswordUnknownAddressDuplicateAndShortPasswordAreRefused) {
  registerAccount("ann@example.com");
  const Reply wrong =
      post("/v1/login", {{"email", "ann@example.com"}, {"password", "correct horsE"}});
  EXPECT_EQ(wrong.status, 401);
  EXPECT_EQ(wrong.body, json({{"detail", "incorrect e-mail address or password"}}));
  EXPECT_EQ(post("/v1/login", {{"email", "bob@example.com"}, {"password", "correct horse"}}).body,
            wrong.body);

  // A second registration in any letter case is refused and the first password stays.
  const Reply again =
      post("/v1/register", {{"email", "ANN@example.com"}, {"password", "another password"}});
  EXPECT_EQ(again.status, 409);
  EXPECT_EQ(again.body["detail"], "an account with this e-mail address already exists");
  EXPECT_EQ(post("/v1/login", {{"email", "ann@example.com"}, {"password", "correct horse"}}).status,
            200);

  // Seven characters in fourteen bytes are too short a password.
  const std::string seven = "\u00fc\u00fc\u00fc\u00fc\u00fc\u00fc\u00fc";
  const Reply tooShort = post("/v1/register", {{"email", "cy@example.com"}, {"password", seven}});
  EXPECT_EQ(tooShort.status, 400);
  EXPECT_EQ(tooShort.body["detail"], "the password must have at least 8 characters");
}

TEST_P(ServiceAccounts, TokensOnlyOpenTheirOwnKind) {
  const std::string account = tokenFor("ann@example.com");
  const std::string device = createDevice(account, "Kid's Mac")["token"];
  // A device token is no account token, and an account token is no device token.
  EXPECT_EQ(get("/v1/devices", device).status, 401);
  EXPECT_EQ(get("/v1/policy", account).status, 401);
  EXPECT_EQ(get("/v1/devices", account + "x").status, 401);
  EXPECT_EQ(get("/v1/devices").body["detail"], "missing bearer token");
}

class ServiceSignIn : public OnEachBackend<ServiceFixture> {
 protected:
  // Continues the stand-in page with an address; answers the reply and the code of the redirect.
  std::pair<Reply, std::string> continueAs(const std::string& provider,
                                           const std::string& email) const {
    const httplib::Params form{{"email", email}};
    Reply r = reply(client().Post("/oauth/" + provider + "?client=app", form));
    const std::string location = r.header("Location");
    const std::string prefix = "tether://oauth?code=";
    if (!location.starts_with(prefix)) return {r, ""};
    return {r, location.substr(prefix.size())};
  }
};
TETHER_ON_EACH_BACKEND(ServiceSignIn);

TEST_P(ServiceSignIn, CodeIsExchangedForALoginResponseOnceOnlyAndWithinFiveMinutes) {
  const auto [redirect, code] = continueAs("google", "Ann@Example.com");
  ASSERT_EQ(redirect.status, 303) << redirect.text;
  ASSERT_FALSE(code.empty());

  const Reply first = post("/v1/oauth/exchange", {{"code", code}});
  ASSERT_EQ(first.status, 200) << first.text;
  EXPECT_EQ(first.body["email"], "Ann@Example.com");
  EXPECT_TRUE(first.body["userId"].is_number_integer());
  EXPECT_EQ(get("/v1/devices", first.body["apiToken"]).status, 200);

  const Reply second = post("/v1/oauth/exchange", {{"code", code}});
  EXPECT_EQ(second.status, 400);
  EXPECT_EQ(second.body["detail"], "the sign-in code is unknown, used or expired");

  // Signing in again reaches the same account; a code left for more than 5 minutes is refused.
  const auto [again, code2] = continueAs("apple", "ann@example.com");
  EXPECT_EQ(post("/v1/oauth/exchange", {{"code", code2}}).body["userId"], first.body["userId"]);
  const auto [late, code3] = continueAs("apple", "ann@example.com");
  ASSERT_FALSE(code3.empty());
  clockOffset_ += 301;
  EXPECT_EQ(post("/v1/oauth/exchange", {{"code", code3}}).status, 400);
  EXPECT_EQ(post("/v1/oauth/exchange", {{"code", ""}}).status, 400);
}

class ServiceDevices : public OnEachBackend<ServiceFixture> {
 protected:
  // A parent and one device of theirs.
  std::string ann, id, deviceToken, policyPath;
  json device;
  void SetUp() override {
    ServiceFixture::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    ann = tokenFor("ann@example.com");
    device = createDevice(ann, "Study Mac");
    id = std::to_string(device.value("id", int64_t{0}));
    deviceToken = device.value("token", "");
    policyPath = "/v1/devices/" + id + "/policy";
  }
};
TETHER_ON_EACH_BACKEND(ServiceDevices);

TEST_P(ServiceDevices, DevicesAreListedInCreationOrderAndOnlyToTheirAccount) {
  const std::string bob = tokenFor("bob@example.com");
  createDevice(bob, "Bob's Mac");
  const json second = createDevice(ann, "  Laptop  ");
  EXPECT_EQ(second["name"], "Laptop");
  EXPECT_TRUE(second["lastSeen"].is_null());
  EXPECT_NE(device["token"], second["token"]);
  EXPECT_EQ(get("/v1/devices", ann).body, json({device, second}));
  EXPECT_EQ(get("/v1/devices", bob).body.size(), 1u);
  EXPECT_EQ(get("/v1/devices", tokenFor("cy@example.com")).body, json::array());
  EXPECT_EQ(post("/v1/devices", {{"name", " "}}, ann).body["detail"], "a device name is required");
  EXPECT_EQ(post("/v1/devices", {{"name", std::string(101, 'x')}}, ann).status, 400);

  // Another account's device is not found, whatever is asked of it.
  for (const std::string& path :
       {policyPath, "/v1/devices/" + id + "/usage", "/v1/devices/" + id + "/apps",
        std::string("/v1/devices/999/policy"), std::string("/v1/devices/abc/policy")}) {
    EXPECT_EQ(get(path, bob).body, json({{"detail", "device not found"}})) << path;
  }
  EXPECT_EQ(send("PUT", policyPath, R"({"domains":["x.com"]})", bob).status, 404);
  EXPECT_EQ(post("/v1/devices/" + id + "/usage/reset", json::object(), bob).status, 404);
  EXPECT_EQ(get(policyPath, ann).body["rev"], 0);
}

TEST_P(ServiceDevices, PolicyChangesRaiseRevResetsRaiseUsageEpochAndPollsMarkTheDeviceSeen) {
  EXPECT_EQ(get("/v1/policy", deviceToken).body,
            json::parse(R"({"rev":0,"usageEpoch":0,"apps":{},"domains":[],"domainLimits":{},
                            "domainAllow":[],"domainExact":[]})"));
  EXPECT_TRUE(get("/v1/devices", ann).body[0]["lastSeen"].is_string());

  const Reply set = send("PUT", policyPath, R"({"rev":77,"apps":{"com.valvesoftware.steam":{
      "windows":[{"days":[1,2,3,4,5],"start":"8:30","end":"24:00"}]}},
      "domains":["tiktok.com"],"domainLimits":{"youtube.com":30}})",
                         ann);
  ASSERT_EQ(set.status, 200) << set.text;
  EXPECT_EQ(set.body["rev"], 1);  // the service owns rev: 77 is ignored
  EXPECT_EQ(set.body["apps"]["com.valvesoftware.steam"]["windows"][0]["mode"], "block");
  EXPECT_EQ(send("PUT", policyPath, set.text, ann).body["rev"], 2);

  EXPECT_EQ(post("/v1/devices/" + id + "/usage/reset", json::object(), ann).status, 200);
  const Reply polled = get("/v1/policy", deviceToken);
  EXPECT_EQ(polled.body["rev"], 2);
  EXPECT_EQ(polled.body["usageEpoch"], 1);
  EXPECT_EQ(polled.body["domainLimits"], json({{"youtube.com", 30}}));
  EXPECT_EQ(polled.body, get(policyPath, ann).body);
  // A base URL written with a trailing slash makes the agent ask for //v1/policy.
  EXPECT_EQ(get("//v1/policy", deviceToken).body, polled.body);

  const Reply refused = send("PUT", policyPath, R"({"domains":["you tube.com"]})", ann);
  EXPECT_EQ(refused.status, 400);
  EXPECT_EQ(refused.body["detail"],
            "key \"domains[0]\": host name \"you tube.com\" contains a space");
  EXPECT_EQ(get("/v1/policy", deviceToken).body["rev"], 2);
}

// An agent that has the policy in force gets 304 without it; policies go out in gzip to clients
// that take it, and reports may come in gzip.
TEST_P(ServiceDevices, PolicyAnswersAreTaggedAndCompressedAndReportsMayComeCompressed) {
  const Reply set = send("PUT", policyPath, R"({"domains":["example.com"]})", ann);
  const std::string tag = set.header("ETag");
  const Reply plain = get("/v1/policy", deviceToken);
  EXPECT_EQ(plain.header("ETag"), tag);
  EXPECT_EQ(plain.body, set.body);
  const Reply unchanged = get("/v1/policy", deviceToken, {{"If-None-Match", tag}});
  EXPECT_EQ(unchanged.status, 304);
  EXPECT_EQ(unchanged.text, "");
  EXPECT_EQ(unchanged.header("ETag"), tag);

  const httplib::Headers takesGzip{{"Accept-Encoding", "gzip, deflate"}};
  const Reply zipped = get("/v1/policy", deviceToken, takesGzip);
  EXPECT_EQ(zipped.header("Content-Encoding"), "gzip");
  EXPECT_EQ(Gzip::decompress(zipped.text, 1 << 20).value(), plain.text);
  const std::string zippedTag = zipped.header("ETag");
  EXPECT_NE(zippedTag, tag);  // another representation of the document
  httplib::Headers again = takesGzip;
  again.emplace("If-None-Match", "\"other\", " + zippedTag);
  EXPECT_EQ(get("/v1/policy", deviceToken, again).status, 304);
  EXPECT_EQ(get(policyPath, ann, again).status, 304);
  // The tag covers the whole document: a reset changes it as a new policy does.
  post("/v1/devices/" + id + "/usage/reset", json::object(), ann);
  const Reply reset = get("/v1/policy", deviceToken, again);
  EXPECT_EQ(reset.status, 200);
  EXPECT_EQ(json::parse(Gzip::decompress(reset.text, 1 << 20).value())["usageEpoch"], 1);

  // Reports: gzip decoded within the report's limit; another coding or a broken one is refused.
  const std::string report =
      R"({"date":"2026-03-14","blockedNow":["com.game"],"blockedDomainCount":1000000})";
  const std::tuple<std::string, std::string, int> uploads[] = {
      {"gzip", Gzip::compress(report), 200},
      {"gzip", Gzip::compress(std::string(ServiceServer::kReportBodyLimit + 1, ' ')), 413},
      {"gzip", Gzip::compress(report).substr(0, 20), 400},
      {"br", report, 415}};
  for (const auto& [coding, body, status] : uploads) {
    EXPECT_EQ(send("POST", "/v1/usage", body, deviceToken, {{"Content-Encoding", coding}}).status,
              status)
        << coding << " " << status;
  }
  const json stored = get("/v1/devices/" + id + "/usage", ann).body;
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0]["blockedDomainCount"], 1000000);
  EXPECT_EQ(stored[0]["blockedNow"], json({"com.game"}));
}

// Hosts are kept in the form the agent compares with looked-up names, or refused when no name
// could ever match them; the answer to the PUT shows what was kept.
TEST_P(ServiceDevices, HostsAreStoredAsTheAgentEnforcesThemOrRefusedWhenTheyCouldNeverMatch) {
  const std::pair<std::string, std::string> kept[] = {
      {"b\u00fccher.de", "xn--bcher-kva.de"},
      {"B\u00dcCHER.De", "xn--bcher-kva.de"},
      {"*.example.com", "example.com"},
      {"YouTube.com", "youtube.com"},
      {"fa\u00df.de", "xn--fa-hia.de"},             // non-transitional, as browsers map it
      {"\uff42\uff55\uff43\uff48.de", "buch.de"},   // full-width letters
      {"b\u00fccher\u3002de", "xn--bcher-kva.de"},  // ideographic full stop
      {"r3---sn-4g5e6nz7.googlevideo.com", "r3---sn-4g5e6nz7.googlevideo.com"},
      {"_dmarc.example.com", "_dmarc.example.com"}};
  for (const auto& [written, stored] : kept) {
    const json policy = {{"domains", {written}},
                         {"domainLimits", {{written, 5}}},
                         {"domainAllow", {written}},
                         {"domainExact", {stored}}};
    const Reply r = send("PUT", policyPath, policy.dump(), ann);
    ASSERT_EQ(r.status, 200) << written << " " << r.text;
    EXPECT_EQ(r.body["domains"], json({stored})) << written;
    EXPECT_EQ(r.body["domainLimits"], json({{stored, 5}})) << written;
    EXPECT_EQ(r.body["domainAllow"], json({stored})) << written;
    EXPECT_EQ(r.body, get("/v1/policy", deviceToken).body);
  }

  const std::pair<std::string, std::string> refused[] = {
      {R"({"domains":["a..b.com"]})",
       R"(key "domains[0]": host name "a..b.com" has an empty label)"},
      {R"({"domains":[".b.com"]})",
       R"(key "domains[0]": host name ".b.com" begins or ends with a dot)"},
      {R"({"domains":[""]})", R"(key "domains[0]": host name "" is empty)"},
      {R"({"domains":["*."]})", R"(key "domains[0]": host name "*." is empty)"},
      {R"({"domainAllow":["x.com","a b.com"]})",
       R"(key "domainAllow[1]": host name "a b.com" contains a space)"},
      {R"({"domains":["example.com/path"]})",
       R"(key "domains[0]": host name "example.com/path" contains "/", which no DNS host name can hold)"},
      {R"({"domains":["*.*.example.com"]})",
       R"(key "domains[0]": host name "*.*.example.com" contains "*", which no DNS host name can hold)"},
      // (libidn2 reads C strings: "b\0ücher.de" must not become "b.de".)
      {R"({"domains":["b\u0000\u00fccher.de"]})",
       R"(key "domains[0]": host name "b\u0000ücher.de" contains U+0000, which no DNS host name can hold)"},
      {R"({"domains":["a\tb.com"]})",
       R"(key "domains[0]": host name "a\tb.com" contains U+0009, which no DNS host name can hold)"},
      {R"({"domains":["a.com",["b.com"],"c d"]})",
       R"(key "domains[1]": expected a string, found array)"},
      {R"({"domains":["c d",7]})", R"(key "domains[0]": host name "c d" contains a space)"},
      {R"({"domains":["a.com"],"domains":"b.com"})",  // the last of a repeated key counts
       R"(key "domains": expected an array, found string)"},
      {R"({"domainLimits":{")" + std::string(64, 'a') + R"(.com":5}})",
       "key \"domainLimits." + std::string(64, 'a') + ".com\": host name \"" +
           std::string(64, 'a') + ".com\" has a label longer than 63 bytes"},
      {R"({"domainExact":["*.example.com"]})",
       R"(key "domainExact[0]": host name "*.example.com" is a wildcard; an exact rule covers one name, so list the name itself)"},
      {R"({"domainLimits":{"Bücher.de":5,"bücher.de":9}})",
       "key \"domainLimits.b\u00fccher.de\": host name \"b\u00fccher.de\" is stored as "
       "\"xn--bcher-kva.de\", which another limit already names"}};
  for (const auto& [body, detail] : refused) {
    const Reply r = send("PUT", policyPath, body, ann);
    EXPECT_EQ(r.status, 400) << body;
    EXPECT_EQ(r.body["detail"], detail) << body;
  }
}

TEST_P(ServiceDevices, PolicyEndpointTakesLargePoliciesWhileOtherBodiesStaySmall) {
  json policy = {{"domains", json::array()}};
  for (int i = 0; i < 20000; ++i) policy["domains"].push_back("h" + std::to_string(i) + ".test");
  const std::string body = policy.dump();
  ASSERT_GT(body.size(), ServiceServer::kSmallBodyLimit);
  EXPECT_EQ(send("PUT", policyPath, body, ann).status, 200);
  EXPECT_EQ(get("/v1/policy", deviceToken).body["domains"], policy["domains"]);
  EXPECT_EQ(send("POST", "/v1/devices", body, ann).status, 413);
  // Without the right account the body is dropped and the refusal stays what it is.
  const std::string bob = tokenFor("bob@example.com");
  EXPECT_EQ(send("PUT", policyPath, body, bob).status, 404);
  EXPECT_EQ(send("PUT", policyPath, body, "").status, 401);

  // A refusal comes before the body: the token and the device first, then the announced length.
  const std::tuple<std::string, std::string, std::size_t, std::string> announced[] = {
      {"PUT " + policyPath, ann, ServiceServer::kPolicyBodyLimit + 1, "413 Payload Too Large"},
      {"PUT " + policyPath, bob, 10u << 20, "404 Not Found"},
      {"PUT " + policyPath, "", 10u << 20, "401 Unauthorized"},
      {"POST /v1/usage", "unknown-device", 1u << 20, "401 Unauthorized"},
      {"POST /v1/usage", deviceToken, ServiceServer::kReportBodyLimit + 1, "413 Payload Too Large"},
      {"POST /v1/devices", "", 60000, "401 Unauthorized"},
      {"POST /v1/login", "", ServiceServer::kSmallBodyLimit + 1, "413 Payload Too Large"}};
  for (const auto& [request, token, length, status] : announced) {
    RawConnection c(port_);
    c.send(request + " HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer " + token +
           "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(length) +
           "\r\n\r\n");
    bool closed = false;
    const std::string answer = c.readAll(10s, &closed);
    EXPECT_TRUE(closed) << request;
    EXPECT_TRUE(answer.starts_with("HTTP/1.1 " + status + "\r\n")) << request << "\n" << answer;
    EXPECT_NE(answer.find("\r\nConnection: close\r\n"), std::string::npos) << answer;
  }
}

// Databases of earlier schemas are taken up as they are: the first kept no digest of the
// policies, and neither it nor the second packed long documents.
TEST(SqliteServiceStore, DatabasesOfEarlierSchemasAreTakenUpWithTheirPolicies) {
  const std::string small = R"({"domains":["a.test"]})";
  const std::string longText = R"({"domains":[")" + std::string(100000, 'b') + R"(.test"]})";
  for (const int version : {1, 2}) {
    SCOPED_TRACE(version);
    char pattern[] = "/tmp/tether-store-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::filesystem::path db = std::filesystem::path(pattern) / "service.db";
    int64_t account = 0, first = 0, second = 0;
    {
      auto store = SqliteServiceStore::open(db);
      ASSERT_TRUE(store) << store.error();
      account = (*store)->createAccount("ann@example.com", std::nullopt)->value().id;
      first = (*store)->createDevice(account, "Mac")->id;
      second = (*store)->createDevice(account, "Other Mac")->id;
      ASSERT_TRUE((*store)->setPolicy(account, first, small));
      ASSERT_TRUE((*store)->setPolicy(account, second, "{}"));
    }
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &raw), SQLITE_OK);
    const std::string older =
        "UPDATE policies SET document = '" + longText + "', digest = '" +
        Tokens::digest(longText) + "' WHERE device_id = " + std::to_string(second) + ";" +
        (version == 1 ? "ALTER TABLE policies DROP COLUMN digest; PRAGMA user_version = 1"
                      : "PRAGMA user_version = 2");
    EXPECT_EQ(sqlite3_exec(raw, older.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(raw);

    auto store = SqliteServiceStore::open(db);
    ASSERT_TRUE(store) << store.error();
    for (const auto& [device, text] : {std::pair{first, small}, std::pair{second, longText}}) {
      const auto policy = (*store)->policy(account, device);
      ASSERT_TRUE(policy && *policy);
      EXPECT_EQ((*policy)->kept, text);
      EXPECT_EQ((*policy)->keptDigest, Tokens::digest(text));
    }
    store->reset();
    std::filesystem::remove_all(pattern);
  }
}

// A long document is kept packed and read back whole by every way of reading it; its pages leave
// the write-ahead log for the database while the store is open, without a later write having to
// copy them.
TEST(SqliteServiceStore, LongDocumentsAreKeptPackedAndCopiedFromTheLogWhileOpen) {
  char pattern[] = "/tmp/tether-store-test-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::filesystem::path db = std::filesystem::path(pattern) / "service.db";
  auto store = SqliteServiceStore::open(db);
  ASSERT_TRUE(store) << store.error();
  const int64_t account = (*store)->createAccount("ann@example.com", std::nullopt)->value().id;
  const int64_t device = (*store)->createDevice(account, "Mac")->id;
  // Names that do not pack down to nothing: about 6 bytes in 10 remain.
  std::string kept = R"({"domains":[)";
  uint32_t seed = 7;
  for (int i = 0; i < 800000; ++i) {
    kept += i ? ",\"" : "\"";
    for (int c = 0; c < 12; ++c) kept += static_cast<char>('a' + (seed = seed * 1103515245 + 12345) % 26);
    kept += ".test\"";
  }
  kept += "]}";
  const auto before = std::filesystem::file_size(db);
  ASSERT_TRUE((*store)->setPolicy(account, device, kept));
  for (int i = 0; i < 200 && std::filesystem::file_size(db) < before + kept.size() / 3; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_GE(std::filesystem::file_size(db), before + kept.size() / 3);
  EXPECT_LT(std::filesystem::file_size(db), before + kept.size());
  const std::string token = (*store)->devices(account)->front().token;
  const auto read = (*store)->policy(account, device);
  const auto polled = (*store)->pollPolicy(token, [](const DevicePolicy&) { return true; });
  const auto reset = (*store)->resetUsage(account, device);
  for (const auto* policy : {&read, &polled, &reset}) {
    ASSERT_TRUE(*policy && **policy) << (policy->ok() ? "" : policy->error());
    EXPECT_EQ((**policy)->kept, kept);
  }

  sqlite3* raw = nullptr;
  ASSERT_EQ(sqlite3_open(db.c_str(), &raw), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(raw, "UPDATE policies SET document = substr(document, 1, 1000)", nullptr,
                         nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(raw);
  const auto damaged = (*store)->policy(account, device);
  ASSERT_FALSE(damaged);
  EXPECT_EQ(damaged.error(), "database: a stored policy is damaged");
  store->reset();
  std::filesystem::remove_all(pattern);
}

}  // namespace
}  // namespace tether::test
