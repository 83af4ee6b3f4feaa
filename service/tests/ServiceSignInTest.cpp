#include "ServiceFixture.h"

namespace tether::test {
namespace {

class ServiceSignIn : public ServiceFixture {
 protected:
  // Continues the stand-in page with an address; answers the reply and the code of the redirect.
  std::pair<Reply, std::string> continueAs(const std::string& provider,
                                           const std::string& email) const {
    const httplib::Params form{{"email", email}};
    Reply r = reply(client().Post("/oauth/" + provider + "?client=app", form));
    const auto location = r.headers.find("Location");
    const std::string prefix = "tether://oauth?code=";
    if (location == r.headers.end() || !location->second.starts_with(prefix)) return {r, ""};
    return {r, location->second.substr(prefix.size())};
  }
};

TEST_F(ServiceSignIn, CodeIsExchangedForALoginResponseOnceOnlyAndWithinFiveMinutes) {
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
  advanceClock(std::chrono::seconds(301));
  EXPECT_EQ(post("/v1/oauth/exchange", {{"code", code3}}).status, 400);
  EXPECT_EQ(post("/v1/oauth/exchange", {{"code", ""}}).status, 400);
}

}  // namespace
}  // namespace tether::test
