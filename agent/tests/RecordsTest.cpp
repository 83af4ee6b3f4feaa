// Decoding rules of the policy and usage records, and the report's shape.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "Policy.h"
#include "UsageReport.h"
#include "UsageState.h"

namespace tether {
namespace {

TEST(PolicyDecode, OnlyRevIsRequiredAndNullsTakeDefaults) {
  auto p = Policy::decode(R"({"rev":3})");
  ASSERT_TRUE(p) << p.error();
  EXPECT_EQ(p->rev, 3);
  EXPECT_TRUE(p->apps.empty() && p->domains.empty() && p->domainLimits.empty() &&
              p->domainAllow.empty() && p->domainExact.empty());
  EXPECT_EQ(p->usageEpoch, 0);

  p = Policy::decode(R"({"rev":3.0,"apps":null,"domains":null,"usageEpoch":null,
      "apps2":"ignored"})");
  ASSERT_TRUE(p) << p.error();
  EXPECT_EQ(p->rev, 3);
}

TEST(PolicyDecode, AppRulesAndWindowDefaults) {
  auto p = Policy::decode(R"({"rev":1,"apps":{
      "com.empty":{},
      "com.nulllimit":{"dailyLimitMinutes":null,"windows":null},
      "com.window":{"dailyLimitMinutes":30,"windows":[{"days":[1,7],"start":"21:00","end":"07:00"}]}
  }})");
  ASSERT_TRUE(p) << p.error();
  EXPECT_FALSE(p->apps["com.empty"].dailyLimitMinutes);
  EXPECT_TRUE(p->apps["com.empty"].windows.empty());
  EXPECT_FALSE(p->apps["com.nulllimit"].dailyLimitMinutes);
  const AppRule& r = p->apps["com.window"];
  EXPECT_EQ(r.dailyLimitMinutes, 30);
  ASSERT_EQ(r.windows.size(), 1u);
  EXPECT_EQ(r.windows[0].mode, "block");
  EXPECT_EQ(r.windows[0].days, (std::vector<int64_t>{1, 7}));
}

TEST(PolicyDecode, AnyWrongTypeOrMissingRequiredKeyFailsTheWholeDocument) {
  const char* bad[] = {
      R"({})",
      R"({"rev":"3"})",
      R"({"rev":3.5})",
      R"({"rev":1,"apps":{"a":{"windows":[{"start":"1:00","end":"2:00"}]}}})",
      R"({"rev":1,"apps":{"a":{"windows":[{"days":[1,"2"],"start":"1:00","end":"2:00"}]}}})",
      R"({"rev":1,"apps":{"a":{"windows":[{"days":[1],"start":"1:00"}]}}})",
      R"({"rev":1,"apps":{"a":{"dailyLimitMinutes":"5"}}})",
      R"({"rev":1,"domains":"a.com"})",
      R"({"rev":1,"domains":["a.com",5]})",
      R"({"rev":1,"domainLimits":{"a.com":"30"}})",
      R"({"rev":1,"domainExact":[null]})",
      R"({"rev":1,"usageEpoch":true})",
      R"([{"rev":1}])",
      R"({"rev":1)",
      "",
  };
  for (const char* text : bad) EXPECT_FALSE(Policy::decode(text)) << text;
  auto p = Policy::decode(R"({"rev":1,"apps":{"com.a":{"windows":[{"days":[1],"end":"2:00"}]}}})");
  ASSERT_FALSE(p);
  EXPECT_THAT(p.error(), testing::HasSubstr("apps.com.a.windows[0].start"));
}

TEST(PolicyDecode, HostListsKeepOrderDuplicatesAndTheLastOfARepeatedKey) {
  auto p = Policy::decode(R"({"rev":1,"domains":["old.com"],"apps":{"com.a":{"windows":[]}},
      "domains":["b.com","a.com","b.com","caf\u00e9.com"],"domainAllow":["ok.b.com"],
      "domainLimits":{"v.com":3},"domainExact":[],"x":[["a.com"],{"domains":["n.com"]}]})");
  ASSERT_TRUE(p) << p.error();
  EXPECT_EQ(p->domains, (std::vector<std::string>{"b.com", "a.com", "b.com", "caf\xc3\xa9.com"}));
  EXPECT_EQ(p->domainAllow, std::vector<std::string>{"ok.b.com"});
  EXPECT_TRUE(p->domainExact.empty());
  EXPECT_TRUE(p->apps.contains("com.a"));
  // A later null or a later list replaces an earlier one.
  p = Policy::decode(R"({"rev":1,"domainAllow":["a.com"],"domainAllow":null})");
  ASSERT_TRUE(p) << p.error();
  EXPECT_TRUE(p->domainAllow.empty());
}

TEST(PolicyDecode, AWrongElementInAHostListIsNamedByItsPosition) {
  const std::pair<const char*, const char*> cases[] = {
      {R"({"rev":1,"domains":["a.com","b.com",5]})", "key \"domains[2]\": expected a string, found number"},
      {R"({"rev":1,"domainAllow":["a.com",["b.com"]]})", "key \"domainAllow[1]\": expected a string, found array"},
      {R"({"rev":1,"domainExact":[{"a":"b"}]})", "key \"domainExact[0]\": expected a string, found object"},
      {R"({"rev":1,"domains":{"a.com":1}})", "key \"domains\": expected an array, found object"},
  };
  for (const auto& [text, error] : cases) {
    auto p = Policy::decode(text);
    ASSERT_FALSE(p) << text;
    EXPECT_EQ(p.error(), error);
  }
}

TEST(PolicyDecode, DocumentsThatWouldCostFarMoreMemoryThanTheirTextAreRefused) {
  // Deep nesting: a few bytes per level, a parsed value per level.
  auto deep = Policy::decode(R"({"rev":1,"domains":)" + std::string(100, '[') + std::string(100, ']') + "}");
  ASSERT_FALSE(deep);
  EXPECT_THAT(deep.error(), testing::HasSubstr("nested deeper than 64"));
  // Millions of tiny elements.
  std::string many = R"({"rev":1,"x":[)";
  for (int i = 0; i < 4'000'001; ++i) many += "0,";
  many += "0]}";
  auto flat = Policy::decode(many);
  ASSERT_FALSE(flat);
  EXPECT_THAT(flat.error(), testing::HasSubstr("more than 4000000 elements"));
  // Brackets and commas inside strings do not count, and an escaped quote does not end a string.
  std::string text = R"({"rev":2,"domains":[")" + std::string(200, '[') + R"(\",,,"]})";
  auto inString = Policy::decode(text);
  ASSERT_TRUE(inString) << inString.error();
  EXPECT_EQ(inString->domains.size(), 1u);
}

TEST(UsageStateRecord, RoundTripsAndAppliesDefaults) {
  auto u = UsageState::decode(R"({"date":"2026-03-07"})");
  ASSERT_TRUE(u);
  EXPECT_EQ(*u, (UsageState{"2026-03-07", {}, 0}));
  UsageState full{"2026-03-07", {{"com.a", 12.345}, {"example.com", 0.25}}, 7};
  EXPECT_EQ(*UsageState::decode(full.encode()), full);
  EXPECT_FALSE(UsageState::decode(R"({"date":"2026-03-07","minutes":{"a":"1"}})"));
  EXPECT_FALSE(UsageState::decode(R"({"date":null})"));
}

TEST(UsageReportRecord, AlwaysCarriesAllSixKeys) {
  UsageReport report;
  report.date = "2026-03-07";
  report.timeZone = "Europe/Berlin";
  auto j = nlohmann::json::parse(report.encode());
  for (const char* key : {"date", "minutes", "apps", "blockedNow", "timeZone", "usageEpoch"}) {
    EXPECT_TRUE(j.contains(key)) << key;
  }
  EXPECT_EQ(j["apps"], nlohmann::json::array());
  EXPECT_TRUE(j["minutes"].is_object());

  // Every value survives the trip, including texts that need escaping or are not UTF-8.
  report.minutes = {{"com.a", 12.3}, {"x.com", 0.1}};
  report.apps = {{"Caf\xc3\xa9 \"Q\"", "com.q"}};
  report.blockedNow = {"a\"b.com", "c\\d.com", "line\nbreak.com", "bad\xff.com"};
  report.usageEpoch = 4;
  j = nlohmann::json::parse(report.encode());
  EXPECT_EQ(j, (nlohmann::json{
                   {"date", "2026-03-07"},
                   {"minutes", {{"com.a", 12.3}, {"x.com", 0.1}}},
                   {"apps", {{{"name", "Caf\xc3\xa9 \"Q\""}, {"bundleId", "com.q"}}}},
                   {"blockedNow", {"a\"b.com", "c\\d.com", "line\nbreak.com", "bad\xef\xbf\xbd.com"}},
                   {"timeZone", "Europe/Berlin"},
                   {"usageEpoch", 4}}));
}

}  // namespace
}  // namespace tether
