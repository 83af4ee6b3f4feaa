// Decoding rules of the policy record (its host lists are read without a document) and the
// report's text (written without a document). The usage record is tested on disk (AgentTest).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "Policy.h"
#include "UsageReport.h"

namespace tether {
namespace {

using testing::HasSubstr;

TEST(PolicyDecode, OnlyRevIsRequiredNullsTakeDefaultsTheLastRepeatedKeyWinsAndWindowsBlock) {
  auto p = Policy::decode(R"({"rev":3.0,"apps":{"com.empty":{},
      "com.null":{"dailyLimitMinutes":null,"windows":null},"com.window":{"dailyLimitMinutes":30,
      "windows":[{"days":[1,7],"start":"21:00","end":"07:00"}]}},
      "domains":["old.com"],"domains":null,"usageEpoch":null,"apps2":"ignored"})");
  ASSERT_TRUE(p) << p.error();
  EXPECT_EQ(p->rev, 3);
  EXPECT_EQ(p->usageEpoch, 0);
  EXPECT_TRUE(p->domains.empty() && p->domainLimits.empty() && p->domainAllow.empty());
  EXPECT_FALSE(p->apps["com.empty"].dailyLimitMinutes);
  EXPECT_TRUE(p->apps["com.null"].windows.empty());
  ASSERT_EQ(p->apps["com.window"].windows.size(), 1u);
  EXPECT_EQ(p->apps["com.window"].windows[0].mode, "block");
}

TEST(PolicyDecode, AnyWrongTypeOrMissingRequiredKeyFailsTheWholeDocument) {
  const std::string bad[] = {
      R"({})", R"({"rev":"3"})", R"({"rev":3.5})", "null", "[]", "\"rev\"", "<html>502</html>",
      R"([{"rev":1}])", R"({"rev":1)", "", R"({"rev":1,"usageEpoch":true})",
      R"({"rev":6,"usageEpoch":9223372036854775808})",
      R"({"rev":1,"apps":{"a":{"windows":[{"start":"1:00","end":"2:00"}]}}})",
      R"({"rev":1,"apps":{"a":{"windows":[{"days":[1,"2"],"start":"1:00","end":"2:00"}]}}})",
      R"({"rev":1,"apps":{"a":{"windows":[{"days":[1],"start":"1:00"}]}}})",
      R"({"rev":1,"apps":{"a":{"dailyLimitMinutes":"5"}}})",
      R"({"rev":1,"apps":{"a":{"dailyLimitMinutes":true}}})",
      R"({"rev":1,"domains":"a.com"})", R"({"rev":1,"domainExact":[null]})",
      R"({"rev":1,"domainLimits":{"a.com":"30"}})", R"({"rev":1,"domainLimits":{"a.com":1e400}})",
      "{\"rev\":1,\"domains\":[\"caf\xC3\x28.test\"]}",
      std::string("{\"rev\":1}\0{\"rev\":\"x\"", 20)};  // the parser stops at a NUL
  for (const std::string& text : bad) EXPECT_FALSE(Policy::decode(text)) << text;
  const std::string whole = R"({"rev":5,"usageEpoch":1,"apps":{"g":{"dailyLimitMinutes":30,)"
                            R"("windows":[{"days":[1,2],"start":"21:00","end":"07:00"}]}},)"
                            R"("domains":["b"],"domainLimits":{"v":30},"domainAllow":["o"]})";
  ASSERT_TRUE(Policy::decode(whole));
  for (std::size_t n = 0; n < whole.size(); ++n) EXPECT_FALSE(Policy::decode(whole.substr(0, n)));

  // The error names the place: a window's key, a list element by its position.
  const std::pair<const char*, const char*> named[] = {
      {R"({"rev":1,"apps":{"com.a":{"windows":[{"days":[1],"end":"2:00"}]}}})",
       "apps.com.a.windows[0].start"},
      {R"({"rev":1,"domains":["a.com","b.com",5]})",
       "key \"domains[2]\": expected a string, found number"},
      {R"({"rev":1,"domains":{"a.com":1}})", "key \"domains\": expected an array, found object"}};
  for (const auto& [text, error] : named) {
    auto p = Policy::decode(text);
    ASSERT_FALSE(p) << text;
    EXPECT_THAT(p.error(), HasSubstr(error));
  }
}

TEST(PolicyDecode, DocumentsThatWouldCostFarMoreMemoryThanTheirTextAreRefused) {
  // Deep nesting: a few bytes per level, a parsed value per level.
  const auto deep = Policy::decode(R"({"rev":1,"domains":)" + std::string(100, '[') +
                                   std::string(100, ']') + "}");
  ASSERT_FALSE(deep);
  EXPECT_THAT(deep.error(), HasSubstr("nested deeper than 64"));
  // Millions of tiny elements.
  std::string many = R"({"rev":1,"x":[)";
  for (int i = 0; i < 4'000'001; ++i) many += "0,";
  const auto flat = Policy::decode(many + "0]}");
  ASSERT_FALSE(flat);
  EXPECT_THAT(flat.error(), HasSubstr("more than 4000000 elements"));
  // Brackets and commas inside strings do not count, and an escaped quote does not end a string.
  const auto inString =
      Policy::decode(R"({"rev":2,"domains":[")" + std::string(200, '[') + R"(\",,,"]})");
  ASSERT_TRUE(inString) << inString.error();
  EXPECT_EQ(inString->domains.size(), 1u);
}

// The keys and their shape are checked where the report is sent (ServiceSyncTest).
TEST(UsageReportRecord, EveryValueSurvivesTheTripIncludingTextsThatNeedEscapingOrAreNotUtf8) {
  UsageReport report;
  EXPECT_EQ(nlohmann::json::parse(report.encode())["minutes"], nlohmann::json::object());
  report.minutes = {{"com.a", 12.3}, {"x.com", 0.1}};
  report.apps = {{"Caf\xc3\xa9 \"Q\"", "com.q"}};
  report.blockedNow = {"a\"b.com", "c\\d.com", "line\nbreak.com", "bad\xff.com"};
  const auto decoded = nlohmann::json::parse(report.encode());
  EXPECT_EQ(decoded["minutes"], (nlohmann::json{{"com.a", 12.3}, {"x.com", 0.1}}));
  EXPECT_EQ(decoded["apps"][0], (nlohmann::json{{"name", "Caf\xc3\xa9 \"Q\""}, {"bundleId", "com.q"}}));
  EXPECT_EQ(decoded["blockedNow"],
            (nlohmann::json{"a\"b.com", "c\\d.com", "line\nbreak.com", "bad\xef\xbf\xbd.com"}));
}

}  // namespace
}  // namespace tether
