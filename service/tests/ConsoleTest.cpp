// What the parent's web console needs from the service: its files with their headers, limited
// sign-in attempts, device renaming and removal, sign-out, the policy outline, search and edit, and
// the reports of the latest days.
#include "ConsoleFiles.h"
#include "LoginThrottle.h"
#include "ServiceFixture.h"

namespace tether::test {
namespace {

using namespace std::chrono_literals;

using ConsoleFilesServed = ServiceFixture;

TEST_F(ConsoleFilesServed, EachFileHasItsContentTypeAStrictPolicyAndATag) {
  const struct {
    const char* path;
    const char* type;
  } cases[] = {
      {"/", "text/html; charset=utf-8"},
      {"/index.html", "text/html; charset=utf-8"},
      {"/app.js", "text/javascript; charset=utf-8"},
      {"/policy.js", "text/javascript; charset=utf-8"},
      {"/app.css", "text/css; charset=utf-8"},
      {"/icon.svg", "image/svg+xml"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const Reply r = get(c.path);
    ASSERT_EQ(r.status, 200);
    EXPECT_EQ(r.header("Content-Type"), c.type);
    EXPECT_EQ(r.text, std::string(ConsoleFiles::find(c.path)->content));
    const std::string csp = r.header("Content-Security-Policy");
    EXPECT_NE(csp.find("default-src 'self'"), std::string::npos) << csp;
    EXPECT_NE(csp.find("frame-ancestors 'none'"), std::string::npos) << csp;
    EXPECT_EQ(csp.find("unsafe"), std::string::npos) << csp;
    EXPECT_EQ(r.header("X-Content-Type-Options"), "nosniff");
    EXPECT_EQ(r.header("X-Frame-Options"), "DENY");
    const Reply again = get(c.path, "", {{"If-None-Match", r.header("ETag")}});
    EXPECT_EQ(again.status, 304);
    EXPECT_TRUE(again.text.empty());
  }
  // The page loads nothing from elsewhere and runs no inline script.
  const std::string index(ConsoleFiles::find("/")->content);
  EXPECT_EQ(index.find("<script>"), std::string::npos);
  EXPECT_EQ(index.find("http"), std::string::npos);
  // Anything else is the JSON 404, which may not be framed or run anything either.
  for (const char* path : {"/missing.js", "/.hidden", "/app.js/x"}) {
    const Reply r = get(path);
    EXPECT_EQ(r.status, 404) << path;
    EXPECT_EQ(r.header("Content-Security-Policy"), "default-src 'none'; frame-ancestors 'none'");
  }
}

class ConsoleSignIn : public ServiceFixture {
 protected:
  void SetUp() override {
    loginLimits_ = {.perAddress = 10, .perAccount = 3, .window = 60s};
    ServiceFixture::SetUp();
  }
  Reply login(const std::string& email, const std::string& password) const {
    return post("/v1/login", {{"email", email}, {"password", password}});
  }
};

TEST_F(ConsoleSignIn, WrongPasswordsLockTheAccountAndManyAttemptsTheAddress) {
  registerAccount("ann@example.com");
  registerAccount("bob@example.com");
  // Sign-ins that succeed are not held against the account.
  for (int i = 0; i < 4; ++i) EXPECT_EQ(login("ann@example.com", "correct horse").status, 200);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(login("ANN@example.com", "wrong horse!").status, 401);
  const Reply locked = login("ann@example.com", "correct horse");
  EXPECT_EQ(locked.status, 429);
  EXPECT_TRUE(locked.body.value("detail", "").starts_with("too many sign-in attempts; try again in"))
      << locked.text;
  EXPECT_GE(std::stoi(locked.header("Retry-After")), 1);
  // Another account from the same address is not locked, until the address has used its ten.
  EXPECT_EQ(login("bob@example.com", "correct horse").status, 200);
  EXPECT_EQ(post("/v1/register", {{"email", "cy@example.com"}, {"password", "correct horse"}}).status,
            429);
  EXPECT_EQ(login("bob@example.com", "correct horse").status, 429);
}

TEST(LoginThrottleWindow, AttemptsLeaveTheWindowAndTheWaitSaysWhen) {
  LoginThrottle throttle({.perAddress = 2, .perAccount = 1, .window = 60s});
  const auto t0 = LoginThrottle::Clock::time_point{} + 1000s;
  EXPECT_FALSE(throttle.admit("10.0.0.1", "ann", t0));
  EXPECT_EQ(throttle.admit("10.0.0.1", "ann", t0 + 10s), std::optional(50s));
  EXPECT_FALSE(throttle.admit("10.0.0.1", "", t0 + 20s));  // a registration: no account
  EXPECT_EQ(throttle.admit("10.0.0.1", "", t0 + 30s), std::optional(30s));
  EXPECT_FALSE(throttle.admit("10.0.0.2", "bob", t0 + 30s));
  EXPECT_FALSE(throttle.admit("10.0.0.1", "ann", t0 + 61s));
  throttle.succeeded("ann");
  EXPECT_FALSE(throttle.admit("10.0.0.3", "ann", t0 + 62s));
}

class ConsoleDevices : public OnEachBackend<ServiceFixture> {
 protected:
  std::string ann, id, deviceToken;
  void SetUp() override {
    ServiceFixture::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    ann = tokenFor("ann@example.com");
    const json device = createDevice(ann, "Study Mac");
    id = std::to_string(device.value("id", int64_t{0}));
    deviceToken = device.value("token", "");
  }
  Reply patch(const std::string& path, const json& body, const std::string& token) const {
    return reply(client().Patch(path, auth(token), body.dump(), "application/json"));
  }
  Reply remove(const std::string& path, const std::string& token) const {
    return reply(client().Delete(path, auth(token)));
  }
};

TETHER_ON_EACH_BACKEND(ConsoleDevices);

TEST_P(ConsoleDevices, DevicesAreRenamedAndRemovedOnlyByTheirAccount) {
  const std::string bob = tokenFor("bob@example.com");
  const std::string path = "/v1/devices/" + id;
  EXPECT_EQ(patch(path, {{"name", "x"}}, bob).status, 404);
  EXPECT_EQ(patch(path, {{"name", " "}}, ann).status, 400);
  const Reply renamed = patch(path, {{"name", " Kid's <Mac> "}}, ann);
  ASSERT_EQ(renamed.status, 200) << renamed.text;
  EXPECT_EQ(renamed.body["name"], "Kid's <Mac>");
  EXPECT_EQ(renamed.body["token"], deviceToken);
  EXPECT_EQ(get("/v1/devices", ann).body[0]["name"], "Kid's <Mac>");

  ASSERT_EQ(send("PUT", path + "/policy", R"({"domains":["a.test"]})", ann).status, 200);
  ASSERT_EQ(post("/v1/usage", {{"date", "2026-03-14"}}, deviceToken).status, 200);
  EXPECT_EQ(remove(path, bob).status, 404);
  EXPECT_EQ(remove(path, ann).status, 204);
  EXPECT_EQ(get("/v1/devices", ann).body, json::array());
  EXPECT_EQ(get("/v1/policy", deviceToken).status, 401);
  EXPECT_EQ(get(path + "/usage", ann).status, 404);
  EXPECT_EQ(remove(path, ann).status, 404);
}

TEST_P(ConsoleDevices, SigningOutEndsTheTokenOnly) {
  const std::string other = post("/v1/login", {{"email", "ann@example.com"},
                                               {"password", "correct horse"}})
                                .body.value("apiToken", "");
  EXPECT_EQ(send("POST", "/v1/logout", "", ann).status, 204);
  EXPECT_EQ(get("/v1/devices", ann).status, 401);
  EXPECT_EQ(send("POST", "/v1/logout", "", ann).status, 401);
  EXPECT_EQ(get("/v1/devices", other).status, 200);
}

TEST_P(ConsoleDevices, ReportsOfTheLatestDaysComeOldestFirst) {
  for (int day = 1; day <= 20; ++day) {
    char date[16];
    std::snprintf(date, sizeof date, "2026-03-%02d", day);
    ASSERT_EQ(post("/v1/usage", {{"date", date}, {"minutes", {{"a", day}}}}, deviceToken).status,
              200);
  }
  const Reply latest = get("/v1/devices/" + id + "/usage?days=14", ann);
  ASSERT_EQ(latest.status, 200);
  ASSERT_EQ(latest.body.size(), 14u);
  EXPECT_EQ(latest.body.front()["date"], "2026-03-07");
  EXPECT_EQ(latest.body.back()["date"], "2026-03-20");
  EXPECT_TRUE(latest.body.back().contains("receivedAt"));
  EXPECT_EQ(get("/v1/devices/" + id + "/usage", ann).body.size(), 20u);
  for (const char* bad : {"0", "-1", "x", "99999"}) {
    EXPECT_EQ(get("/v1/devices/" + id + "/usage?days=" + bad, ann).status, 400) << bad;
  }
}

TEST_P(ConsoleDevices, LongBlockedListsAreCountedSearchedAndEditedWithoutSendingThemWhole) {
  const std::string path = "/v1/devices/" + id + "/policy";
  json names = json::array();
  for (int i = 0; i < 1000; ++i) names.push_back("ads" + std::to_string(i) + ".test");
  names.push_back("ADS3.test");  // a PUT keeps the list as given; an edit keeps each name once
  ASSERT_EQ(send("PUT", path, json{{"domains", names}, {"domainLimits", {{"v.test", 5}}}}.dump(), ann)
                .status,
            200);

  const Reply outline = get(path + "/outline", ann);
  ASSERT_EQ(outline.status, 200);
  EXPECT_EQ(outline.body["domainCount"], 1001);
  EXPECT_FALSE(outline.body.contains("domains"));
  EXPECT_EQ(outline.body["domainLimits"], json({{"v.test", 5}}));
  EXPECT_EQ(outline.body["rev"], 1);

  const Reply found = get(path + "/domains?q=ads99&limit=3", ann);
  EXPECT_EQ(found.body, json({{"total", 1001},
                              {"matches", 11},
                              {"domains", {"ads99.test", "ads990.test", "ads991.test"}}}));
  EXPECT_EQ(get(path + "/domains?limit=0", ann).status, 400);

  // Added names are stored as the agent enforces them, once; removed ones go; the rest stays.
  const Reply edited = patch(path,
                             {{"rev", 1},
                              {"domainsAdded", {"*.NEW.test", "ads5.test", "new.test"}},
                              {"domainsRemoved", {"ADS7.test", "absent.test"}},
                              {"domainAllow", {"ok.ads1.test"}}},
                             ann);
  ASSERT_EQ(edited.status, 200) << edited.text;
  EXPECT_EQ(edited.body["rev"], 2);
  EXPECT_EQ(edited.body["domainCount"], 1000);
  EXPECT_EQ(edited.body["domainLimits"], json({{"v.test", 5}}));
  const json agent = get("/v1/policy", deviceToken).body;
  ASSERT_EQ(agent["domains"].size(), 1000u);
  EXPECT_EQ(agent["domains"][0], "ads0.test");
  EXPECT_EQ(agent["domains"][8], "ads9.test");
  EXPECT_EQ(agent["domains"].back(), "new.test");
  EXPECT_EQ(std::count(agent["domains"].begin(), agent["domains"].end(), "ads3.test"), 1);
  EXPECT_EQ(std::count(agent["domains"].begin(), agent["domains"].end(), "ads7.test"), 0);
  EXPECT_EQ(agent["domainAllow"], json({"ok.ads1.test"}));

  // Refusals name the key; an edit of an older revision is refused whole.
  const struct {
    json body;
    int status;
    std::string detail;
  } refusals[] = {
      {{{"domainsAdded", {"ok.test", "bad name.test"}}}, 400, "key \"domainsAdded[1]\""},
      {{{"domainsRemoved", {""}}}, 400, "key \"domainsRemoved[0]\""},
      {{{"domainsCleared", "yes"}}, 400, "key \"domainsCleared\""},
      {{{"apps", {{"x", {{"dailyLimitMinutes", -1}}}}}}, 400, "key \"apps.x.dailyLimitMinutes\""},
      {{{"domains", {"a.test"}}}, 400, "unknown key \"domains\""},
      {{{"rev", 1}}, 409, "the policy was changed since it was read (it is now rev 2)"},
  };
  for (const auto& r : refusals) {
    const Reply refused = patch(path, r.body, ann);
    EXPECT_EQ(refused.status, r.status) << r.body;
    EXPECT_TRUE(refused.body.value("detail", "").starts_with(r.detail)) << refused.text;
  }
  EXPECT_EQ(get(path + "/outline", ann).body["rev"], 2);

  const Reply cleared = patch(path, {{"domainsCleared", true}, {"domainsAdded", {"only.test"}}}, ann);
  EXPECT_EQ(cleared.body["domainCount"], 1);
  EXPECT_EQ(get("/v1/policy", deviceToken).body["domains"], json({"only.test"}));
  EXPECT_EQ(patch(path, {{"domainsCleared", true}}, tokenFor("bob@example.com")).status, 404);
}

TEST_P(ConsoleDevices, WebSignInReturnsToTheConsoleWithTheCodeInTheFragment) {
  const Reply page = get("/oauth/google?client=web");
  EXPECT_EQ(page.status, 200);
  EXPECT_NE(page.text.find("action=\"/oauth/google?client=web\""), std::string::npos);
  const Reply sent = reply(client().Post("/oauth/google?client=web", httplib::Params{{"email", "cy@example.com"}}));
  EXPECT_EQ(sent.status, 303);
  const std::string location = sent.header("Location");
  ASSERT_TRUE(location.starts_with("/#oauth-code=")) << location;
  EXPECT_EQ(post("/v1/oauth/exchange", {{"code", location.substr(13)}}).status, 200);
  EXPECT_EQ(get("/oauth/google?client=other").status, 400);
}

}  // namespace
}  // namespace tether::test
