#include "ServiceFixture.h"

namespace tether::test {
namespace {

using ServiceAccounts = ServiceFixture;

TEST_F(ServiceAccounts, RegisterAnswersLoginResponseAndLoginIgnoresLetterCaseOfEmail) {
  const json registered = registerAccount(" Ann@Example.com ");
  EXPECT_EQ(registered["email"], "Ann@Example.com");
  EXPECT_TRUE(registered["userId"].is_number_integer());
  ASSERT_TRUE(registered["apiToken"].is_string());
  EXPECT_GE(registered["apiToken"].get<std::string>().size(), 40u);

  const Reply login =
      post("/v1/login", {{"email", "ann@EXAMPLE.com"}, {"password", "correct horse"}});
  ASSERT_EQ(login.status, 200) << login.text;
  EXPECT_EQ(login.body["email"], "Ann@Example.com");
  EXPECT_EQ(login.body["userId"], registered["userId"]);
  // Each sign-in gets its own token, and both work.
  EXPECT_NE(login.body["apiToken"], registered["apiToken"]);
  EXPECT_EQ(get("/v1/devices", registered["apiToken"]).status, 200);
  EXPECT_EQ(get("/v1/devices", login.body["apiToken"]).status, 200);
}

TEST_F(ServiceAccounts, WrongPasswordUnknownAddressAndDuplicateEmailAreRefused) {
  registerAccount("ann@example.com");
  const Reply wrong =
      post("/v1/login", {{"email", "ann@example.com"}, {"password", "correct horsE"}});
  const Reply unknown =
      post("/v1/login", {{"email", "bob@example.com"}, {"password", "correct horse"}});
  EXPECT_EQ(wrong.status, 401);
  EXPECT_EQ(unknown.status, 401);
  EXPECT_EQ(wrong.body, json({{"detail", "incorrect e-mail address or password"}}));
  EXPECT_EQ(unknown.body, wrong.body);

  // A second registration in any letter case is refused and the first password stays.
  const Reply again =
      post("/v1/register", {{"email", "ANN@example.com"}, {"password", "another password"}});
  EXPECT_EQ(again.status, 409);
  EXPECT_EQ(again.body["detail"], "an account with this e-mail address already exists");
  EXPECT_EQ(
      post("/v1/login", {{"email", "ann@example.com"}, {"password", "another password"}}).status,
      401);
  EXPECT_EQ(post("/v1/login", {{"email", "ann@example.com"}, {"password", "correct horse"}}).status,
            200);
}

TEST_F(ServiceAccounts, BadRegistrationsAreRefusedWithDetail) {
  const auto refusal = [&](const json& body) {
    const Reply r = post("/v1/register", body);
    EXPECT_EQ(r.status, 400) << body.dump();
    EXPECT_TRUE(r.body["detail"].is_string()) << r.text;
    return r.body.value("detail", "");
  };
  EXPECT_EQ(refusal({{"email", "ann@example.com"}, {"password", "short"}}),
            "the password must have at least 8 characters");
  EXPECT_EQ(refusal({{"email", "not an address"}, {"password", "long enough"}}),
            "\"not an address\" is not an e-mail address");
  EXPECT_EQ(refusal({{"password", "long enough"}}), "key \"email\" is missing");
  EXPECT_EQ(refusal({{"email", 7}, {"password", "long enough"}}),
            "key \"email\": expected a string, found number");
  EXPECT_EQ(refusal(json::array()), "document: expected an object, found array");
}

TEST_F(ServiceAccounts, MalformedRequestsGetJsonDetailAndFittingStatus) {
  const Reply wrongType =
      send("POST", "/v1/login", "email=a", "", "application/x-www-form-urlencoded");
  EXPECT_EQ(wrongType.status, 415);
  EXPECT_TRUE(wrongType.body["detail"].is_string());

  const Reply notJson = send("POST", "/v1/login", "{\"email\":");
  EXPECT_EQ(notJson.status, 400);
  EXPECT_TRUE(notJson.body["detail"].get<std::string>().starts_with("invalid JSON"));

  const Reply tooLarge = send("POST", "/v1/login", std::string(100 * 1024, ' '));
  EXPECT_EQ(tooLarge.status, 413);
  EXPECT_EQ(tooLarge.body["detail"],
            "request body too large (at most 65536 bytes for this request)");

  // Bodies of unannounced length are read too, within the same limit.
  auto c = client();
  const auto chunks = [&](std::size_t bytes) {
    return reply(c.Post(
        "/v1/login",
        [bytes](std::size_t offset, httplib::DataSink& sink) {
          const std::string piece(std::min<std::size_t>(4096, bytes - offset), ' ');
          sink.write(piece.data(), piece.size());
          if (offset + piece.size() >= bytes) sink.done();
          return true;
        },
        "application/json"));
  };
  EXPECT_EQ(chunks(10).body["detail"],
            "invalid JSON: [json.exception.parse_error.101] parse error at line 1, "
            "column 11: syntax error while parsing value - unexpected end of input; "
            "expected '[', '{', or a literal");
  EXPECT_EQ(chunks(200 * 1024).status, 413);

  const Reply nowhere = get("/v2/anything");
  EXPECT_EQ(nowhere.status, 404);
  EXPECT_EQ(nowhere.body, json({{"detail", "not found"}}));
}

TEST_F(ServiceAccounts, TokensOnlyOpenTheirOwnKind) {
  const std::string account = tokenFor("ann@example.com");
  const std::string device = createDevice(account, "Kid's Mac")["token"];
  // A device token is no account token, and an account token is no device token.
  EXPECT_EQ(get("/v1/devices", device).status, 401);
  EXPECT_EQ(get("/v1/policy", account).status, 401);
  EXPECT_EQ(get("/v1/devices", account + "x").status, 401);
  const Reply missing = get("/v1/devices");
  EXPECT_EQ(missing.status, 401);
  EXPECT_EQ(missing.body["detail"], "missing bearer token");
}

TEST_F(ServiceAccounts, AccountsAndTokensSurviveARestart) {
  const std::string token = tokenFor("ann@example.com");
  createDevice(token, "Kid's Mac");
  restart();
  EXPECT_EQ(get("/v1/devices", token).body.size(), 1u);
  EXPECT_EQ(post("/v1/login", {{"email", "ann@example.com"}, {"password", "correct horse"}}).status,
            200);
}

}  // namespace
}  // namespace tether::test
