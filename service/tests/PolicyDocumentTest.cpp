#include "PolicyDocument.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace tether {
namespace {

using nlohmann::json;

std::string refusal(const std::string& body) {
  auto kept = PolicyDocument::normalize(body);
  EXPECT_FALSE(kept) << body;
  return kept ? "" : kept.error();
}

TEST(PolicyDocument, KeepsTheParentsPartWithDefaultsAndDropsTheServiceCounters) {
  auto kept = PolicyDocument::normalize(R"({"rev":9,"usageEpoch":4,"domains":["a.com"],
      "apps":{"com.x":{"windows":[{"days":[7],"start":"8:30","end":"24:00"}],"dailyLimitMinutes":null},
              "com.y":{}}})");
  ASSERT_TRUE(kept) << kept.error();
  EXPECT_EQ(json::parse(*kept), json::parse(R"({"apps":{
      "com.x":{"windows":[{"days":[7],"start":"8:30","end":"24:00","mode":"block"}]},
      "com.y":{"windows":[]}},
      "domains":["a.com"],"domainLimits":{},"domainAllow":[],"domainExact":[]})"));

  const json served = json::parse(PolicyDocument::serve(3, 2, *kept));
  EXPECT_EQ(served["rev"], 3);
  EXPECT_EQ(served["usageEpoch"], 2);
  EXPECT_EQ(served["domains"], json({"a.com"}));
  EXPECT_EQ(json::parse(PolicyDocument::serve(0, 0, std::nullopt)),
            json::parse(R"({"rev":0,"usageEpoch":0,"apps":{},"domains":[],"domainLimits":{},
                            "domainAllow":[],"domainExact":[]})"));
}

TEST(PolicyDocument, RefusesWhatTheAgentCouldNotUseNamingTheKey) {
  EXPECT_EQ(refusal("[]"), "document: expected an object, found array");
  EXPECT_EQ(refusal(R"({"domain":["a.com"]})"), "unknown key \"domain\"");
  EXPECT_EQ(refusal(R"({"domains":"a.com"})"), "key \"domains\": expected an array, found string");
  EXPECT_EQ(refusal(R"({"domains":["a.com",3]})"),
            "key \"domains[1]\": expected a string, found number");
  EXPECT_EQ(refusal(R"({"domainAllow":["https://a.com/"]})"),
            "key \"domainAllow[0]\": \"https://a.com/\" is not a host name");
  EXPECT_EQ(refusal(R"({"domainExact":[".a.com"]})"),
            "key \"domainExact[0]\": host name \".a.com\" begins or ends with a dot");
  EXPECT_EQ(refusal(R"({"domainLimits":{"a.com":"30"}})"),
            "key \"domainLimits.a.com\": expected an integer, found string");
  EXPECT_EQ(refusal(R"({"domainLimits":{"a.com":-1}})"),
            "key \"domainLimits.a.com\": must not be negative");
  EXPECT_EQ(refusal(R"({"apps":{"com.x":{"dailyLimitMinutes":1.5}}})"),
            "key \"apps.com.x.dailyLimitMinutes\": expected an integer, found 1.5");
  EXPECT_EQ(refusal(R"({"apps":{"com.x":{"windows":[{"start":"08:00","end":"09:00"}]}}})"),
            "key \"apps.com.x.windows[0].days\" is missing");
  EXPECT_EQ(
      refusal(R"({"apps":{"com.x":{"windows":[{"days":[0],"start":"08:00","end":"09:00"}]}}})"),
      "key \"apps.com.x.windows[0].days[0]\": days run from 1 (Monday) to 7 (Sunday)");
  EXPECT_EQ(
      refusal(R"({"apps":{"com.x":{"windows":[{"days":[],"start":"08:00","end":"09:00"}]}}})"),
      "key \"apps.com.x.windows[0].days\": lists no day");
  for (const char* time : {"24:01", "8", "08:60", "12:30:45", " 8:30", "ab:cd", "123:00"}) {
    EXPECT_EQ(refusal(std::string(R"({"apps":{"com.x":{"windows":[{"days":[1],"start":")") + time +
                      R"(","end":"09:00"}]}}})"),
              std::string("key \"apps.com.x.windows[0].start\": \"") + time +
                  "\" is not a time of the form HH:MM");
  }
  EXPECT_EQ(
      refusal(
          R"({"apps":{"com.x":{"windows":[{"days":[1],"start":"08:00","end":"09:00","mode":"Block"}]}}})"),
      "key \"apps.com.x.windows[0].mode\": the only mode is \"block\"");
  EXPECT_EQ(refusal(R"({"apps":{"com.x":{"limit":5}}})"),
            "key \"apps.com.x\": unknown key \"limit\"");
  EXPECT_TRUE(refusal("{\"domains\":").starts_with("invalid JSON"));
}

}  // namespace
}  // namespace tether
