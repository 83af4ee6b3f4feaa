#include "ServiceFixture.h"

namespace tether::test {
namespace {

using ServiceAccounts = ServiceFixture;

TEST_F(ServiceAccounts, RegisterAnswersLoginResponseAndLoginIgnoresLetterCaseOfEmail) {
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
  restart();
  EXPECT_EQ(get("/v1/devices", registered["apiToken"]).status, 200);
  EXPECT_EQ(get("/v1/devices", login.body["apiToken"]).status, 200);
}

TEST_F(ServiceAccounts, WrongPasswordUnknownAddressDuplicateAndShortPasswordAreRefused) {
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

TEST_F(ServiceAccounts, TokensOnlyOpenTheirOwnKind) {
  const std::string account = tokenFor("ann@example.com");
  const std::string device = createDevice(account, "Kid's Mac")["token"];
  // A device token is no account token, and an account token is no device token.
  EXPECT_EQ(get("/v1/devices", device).status, 401);
  EXPECT_EQ(get("/v1/policy", account).status, 401);
  EXPECT_EQ(get("/v1/devices", account + "x").status, 401);
  EXPECT_EQ(get("/v1/devices").body["detail"], "missing bearer token");
}

}  // namespace
}  // namespace tether::test
