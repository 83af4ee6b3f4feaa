// The policy's rules: decoding of the record (its host lists read without a document) and of
// the report's text (written without a document); time rules (HH:MM and the blocking decision for
// one application rule, in local time); site rules, host normalisation, the winning rule, and the
// index that finds it without walking the list (checked against the linear rule on random lists).
// The usage record and the local day are tested on disk (AgentTest).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <clocale>
#include <ctime>
#include <random>

#include <nlohmann/json.hpp>

#include "Clock.h"
#include "Policy.h"
#include "TestSupport.h"
#include "UsageReport.h"
#include "dns/SiteIndex.h"
#include "dns/SiteMatch.h"

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

// Millions of tiny elements would cost far more memory than their text (the nesting bound is
// checked by the replayed shape corpus). Brackets and commas inside strings do not count, and an
// escaped quote does not end a string.
TEST(PolicyDecode, MoreThanFourMillionElementsAreRefusedAndNoneCountInsideStrings) {
  std::string many = R"({"rev":1,"x":[)";
  for (int i = 0; i < 4'000'001; ++i) many += "0,";
  const auto flat = Policy::decode(many + "0]}");
  ASSERT_FALSE(flat);
  EXPECT_THAT(flat.error(), HasSubstr("more than 4000000 elements"));
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

using Clock::Instant;

// The instant of a local wall-clock time in March 2026, in the time zone in force.
Instant march(int day, int hour, int minute) {
  std::tm tm{};
  tm.tm_year = 2026 - 1900;
  tm.tm_mon = 2;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_isdst = -1;
  return std::chrono::system_clock::from_time_t(std::mktime(&tm));
}

// Days of the week in March 2026.
constexpr int kMonday = 9, kThursday = 12, kFriday = 13, kSaturday = 14, kSunday = 15;

TimeWindow window(std::vector<int64_t> days, std::string start, std::string end,
                  std::string mode = "block") {
  return TimeWindow{std::move(days), std::move(start), std::move(end), std::move(mode)};
}
AppRule windows(std::vector<TimeWindow> list) {
  return AppRule{std::move(list), std::nullopt};
}

const std::vector<int64_t> kEveryDay = {1, 2, 3, 4, 5, 6, 7};

TEST(ParseHHMM, SplitsAtColonsDropsEmptyPiecesAndMakesNoRangeCheckButStaysIn64Bits) {
  const std::pair<const char*, int64_t> times[] = {
      {"08:30", 510}, {"8:30", 510}, {"24:00", 1440}, {"12::30", 750}, {":12:30", 750},
      {"12:30:", 750}, {"25:99", 1599}, {"-1:30", -30}, {"7:5", 425}, {"+7:-5", 415},
      {"0007:0005", 425}, {"153722867280912930:7", INT64_MAX}, {"0:9223372036854775807", INT64_MAX},
      {"-153722867280912930:-8", INT64_MIN}, {"0:-9223372036854775808", INT64_MIN}};
  for (const auto& [text, minutes] : times) EXPECT_EQ(Clock::parseHHMM(text), minutes) << text;
  for (const char* text :
       {"12", "12:30:45", "", ":", "::", "ab:cd", " 8:30", "8:30 ", "8 :30", "8:3a", "+:30", "-:30",
        "+-8:30", "0x1:00", "1e2:00", "9h:00", "8:30\n", "\xd9\xa3:00", "153722867280912930:8",
        "-153722867280912930:-9", "9223372036854775808:0", "1:9223372036854775807",
        "99999999999999999999999:00"}) {
    EXPECT_EQ(Clock::parseHHMM(text), std::nullopt) << '"' << text << '"';
  }
  EXPECT_EQ(Clock::parseHHMM(std::string_view("8:3\0000", 5)), std::nullopt);
}

// Blocking for one application rule: the daily limit first, then the windows of mode "block" in
// local time.
TEST(ShouldBlock, LimitFirstThenBlockingWindowsInLocalTime) {
  test::ScopedTimeZone zone{"Europe/Berlin"};
  using Moments = std::vector<std::tuple<int, int, int, double, bool>>;  // day, time, used: blocked
  const std::tuple<const char*, AppRule, Moments> cases[] = {
      {"limit reached at equality", {{}, 60},
       {{kMonday, 12, 0, 60, true}, {kMonday, 12, 0, 75.5, true}, {kMonday, 12, 0, 59.9, false}}},
      {"limit of 0", {{}, 0}, {{kMonday, 12, 0, 0, true}}},
      {"no limit, no window", {}, {{kMonday, 12, 0, 1e9, false}}},
      {"windows elsewhere lift no limit",
       {{window(kEveryDay, "20:00", "21:00"), window(kEveryDay, "00:00", "00:00", "allow")}, 30},
       {{kMonday, 12, 0, 30, true}, {kMonday, 12, 0, 29, false}}},
      {"start inclusive, end exclusive", windows({window(kEveryDay, "10:00", "12:00")}),
       {{kMonday, 9, 59, 0, false}, {kMonday, 10, 0, 0, true}, {kMonday, 11, 59, 0, true},
        {kMonday, 12, 0, 0, false}}},
      {"crossing midnight", windows({window(kEveryDay, "21:00", "07:00")}),
       {{kThursday, 21, 0, 0, true}, {kThursday, 23, 59, 0, true}, {kThursday, 0, 0, 0, true},
        {kThursday, 6, 59, 0, true}, {kThursday, 7, 0, 0, false}, {kThursday, 20, 59, 0, false}}},
      {"crossing, Friday (5) only", windows({window({5}, "21:00", "07:00")}),
       {{kFriday, 6, 0, 0, true}, {kFriday, 22, 0, 0, true}, {kSaturday, 6, 0, 0, false},
        {kThursday, 22, 0, 0, false}}},
      {"equal ends: the whole listed day", windows({window({1}, "09:00", "09:00")}),
       {{kMonday, 0, 0, 0, true}, {kMonday, 23, 59, 0, true}, {kMonday + 1, 9, 0, 0, false},
        {kSunday, 9, 0, 0, false}}},
      {"Sunday is 7", windows({window({7}, "00:00", "00:00")}), {{kSunday, 12, 0, 0, true}}},
      {"Saturday is 6", windows({window({6}, "00:00", "00:00")}), {{kSaturday, 12, 0, 0, true}}},
      {"no other day number", windows({window({0}, "00:00", "00:00"), window({}, "00:00", "00:00"),
                                       window({8, -1}, "00:00", "00:00")}),
       {{kSunday, 12, 0, 0, false}}},
      {"an unparseable time skips only its own window",
       windows({window(kEveryDay, "08:00", "9h"), window(kEveryDay, "ab", "12:00"),
                window(kEveryDay, "10:00", "12:00")}),
       {{kMonday, 8, 30, 0, false}, {kMonday, 11, 0, 0, true}}},
      {"22:00 to 25:00 does not wrap", windows({window(kEveryDay, "22:00", "25:00")}),
       {{kMonday, 23, 0, 0, true}, {kMonday, 0, 30, 0, false}}},
      {"23:00 to -1:00 crosses to midnight only", windows({window(kEveryDay, "23:00", "-1:00")}),
       {{kMonday, 23, 30, 0, true}, {kMonday, 0, 0, 0, false}}}};
  for (const auto& [name, rule, moments] : cases) {
    for (const auto& [day, hour, minute, used, blocked] : moments) {
      EXPECT_EQ(Clock::shouldBlock(rule, used, march(day, hour, minute)), blocked)
          << name << ": day " << day << " " << hour << ':' << minute << " used " << used;
    }
  }
  // Only mode "block" takes part; listed before a blocking window, another mode lifts nothing.
  for (const char* mode : {"allow", "Block", "BLOCK", "block ", ""}) {
    const TimeWindow other = window(kEveryDay, "00:00", "00:00", mode);
    EXPECT_FALSE(Clock::shouldBlock(windows({other}), 0, march(kMonday, 11, 0))) << mode;
    const AppRule both = windows({other, window(kEveryDay, "10:00", "12:00")});
    EXPECT_TRUE(Clock::shouldBlock(both, 0, march(kMonday, 11, 0))) << mode;
  }
}

SiteRule block(std::string host, bool subtree = true) {
  return {std::move(host), subtree, SiteAction::block()};
}
SiteRule allow(std::string host, bool subtree = true) {
  return {std::move(host), subtree, SiteAction::allow()};
}
SiteRule limit(std::string host, int64_t minutes, bool subtree = true) {
  return {std::move(host), subtree, SiteAction::limit(minutes)};
}

// Both ways of finding the winner must agree; the result is the linear one.
std::optional<SiteRule> win(const std::string& host, const std::vector<SiteRule>& rules) {
  const auto linear = SiteMatch::winning(host, rules);
  EXPECT_EQ(SiteIndex(rules).winning(host), linear) << host;
  return linear;
}

TEST(SiteMatch, NormalizeLowerCasesTrimsDotsCutsPathAndPortAndKeepsMalformedBytes) {
  ASSERT_STREQ(std::setlocale(LC_CTYPE, nullptr), "C");  // Unicode by the table, not the locale
  const std::pair<std::string, std::string> cases[] = {
      {"Example.COM.", "example.com"}, {"..example.com..", "example.com"},
      {"example.com:443", "example.com"}, {"example.com/path:80", "example.com"},
      {"[::1]:53", "[::1]:53"}, {"example.com./x", "example.com."},
      {" www.Example.com", " www.example.com"}, {"", ""}, {"...", ""},
      {"ÄÖÜ.DE", "äöü.de"}, {"ПРИМЕР.РФ", "пример.рф"}, {"ΑΘΗΝΑ.ΕΛ", "αθηνα.ελ"},
      {"ĀĂĄ", "āăą"},                    // alternating pairs
      {"\u0130", "i\u0307"},             // one code point to two
      {"\U00010400", "\U00010428"},      // four-byte sequences
      {"ǅ", "ǆ"}, {"ß.de", "ß.de"},    // title case; no upper case
      // An overlong "A" or ".", a surrogate, a cut sequence and stray bytes stay as they are
      // instead of turning into the characters they imitate.
      {"\xC1\x81", "\xC1\x81"}, {"a\xC0\xAE" "b", "a\xC0\xAE" "b"},
      {"\xED\xA0\x80X", "\xED\xA0\x80x"}, {"X\xC3", "x\xC3"}, {"\x80\xFF" "A", "\x80\xFF" "a"}};
  for (const auto& [host, normalized] : cases) EXPECT_EQ(SiteMatch::normalize(host), normalized);
}

// A subtree rule covers its name and subdomains, not lookalike suffixes; rule hosts are not
// normalised. The most specific rule wins, then an exact one, then the earlier one; empty pieces
// do not count as labels (".b" and "b" both have one).
TEST(SiteMatch, MostSpecificRuleWinsThenExactThenTheEarlierRule) {
  const struct {
    std::vector<SiteRule> rules;
    std::vector<std::pair<std::string, int>> winners;  // host, position of its rule or -1
  } cases[] = {
      {{block("example.com")},
       {{"example.com", 0}, {"a.b.Example.com.", 0}, {"notexample.com", -1},
        {"example.com./x", -1}, {"", -1}, {"...", -1}}},
      {{block("example.com", false)}, {{"example.com", 0}, {"a.example.com", -1}}},
      {{block("Example.com")}, {{"example.com", -1}}},
      {{}, {{"example.com", -1}}},
      {{block("example.com"), allow("kids.example.com")},
       {{"a.example.com", 0}, {"kids.example.com", 1}, {"a.kids.example.com", 1}}},
      {{allow("example.com"), block("a.example.com")}, {{"x.a.example.com", 1}}},
      {{block("example.com"), allow("example.com", false), limit("example.com", 5, false)},
       {{"example.com", 1}, {"x.example.com", 0}}},
      {{limit("example.com", 5), limit("example.com", 9)}, {{"example.com", 0}}},
      {{allow("b"), block(".b")}, {{"a..b", 0}}},
      {{block(".b"), allow("b")}, {{"a..b", 0}}}};
  for (const auto& [rules, winners] : cases) {
    for (const auto& [host, position] : winners) {
      EXPECT_EQ(win(host, rules), position < 0 ? std::nullopt : std::optional(rules[position]))
          << host;
    }
  }
}

TEST(SiteMatch, PolicyRulesAreBlocksThenLimitsThenAllowsWithExactHostsAsGiven) {
  Policy p;
  p.domains = {"b.com", "a.com", "b.com"};
  p.domainLimits = {{"video.com", 30}, {"a.com", 0}};
  p.domainAllow = {"kids.b.com", "A.com"};
  p.domainExact = {"a.com", "kids.b.com", "only-exact.com"};
  const std::vector<SiteRule> expected{
      block("b.com"),         block("a.com", false),      block("b.com"), limit("a.com", 0, false),
      limit("video.com", 30), allow("kids.b.com", false), allow("A.com")};
  EXPECT_EQ(p.siteRules(), expected);
  const SiteIndex index(p);
  EXPECT_EQ(index.rules(), expected);
  EXPECT_EQ(index.limitPositions(), (std::vector<uint32_t>{3, 4}));
  // A host both blocked and allowed is blocked; an exact entry alone makes no rule.
  EXPECT_EQ(index.winning("a.com"), block("a.com", false));
  EXPECT_FALSE(index.winning("only-exact.com"));
}

// Whether the index finds the linear winner for name; true when there is one.
bool sameWinner(const SiteIndex& index, const std::vector<SiteRule>& rules,
                const std::string& name) {
  const auto expected = SiteMatch::winning(name, rules);
  const auto position = index.winningPosition(name);
  EXPECT_EQ(position ? std::optional(rules[*position]) : std::nullopt, expected) << name;
  return expected.has_value();
}

// Hosts built from few pieces so that random rules and names overlap often, with doubled,
// leading and trailing dots, capitals and empty texts.
std::string randomHost(std::mt19937& rng) {
  static const char* pieces[] = {"a", "b", "ex", "com", "", "A", "x-y"};
  std::string host;
  for (int i = 0, n = int(rng() % 5); i < n; ++i) {
    if (i > 0 || rng() % 8 == 0) host += '.';
    host += pieces[rng() % 7];
  }
  return rng() % 8 == 0 ? host + '.' : host;
}

// A random rule list, a fifth of it repeats of earlier rules.
template <class MakeRule>
std::vector<SiteRule> randomRules(std::mt19937& rng, std::size_t count, MakeRule makeRule) {
  std::vector<SiteRule> rules;
  while (rules.size() < count) {
    rules.push_back(!rules.empty() && rng() % 5 == 0 ? rules[rng() % rules.size()] : makeRule());
  }
  return rules;
}

SiteAction randomAction(std::mt19937& rng) {
  const auto n = rng() % 3;
  return n == 0 ? SiteAction::block() : n == 1 ? SiteAction::allow() : SiteAction::limit(rng() % 3);
}

TEST(SiteIndex, GivesTheLinearWinnerOnRandomRuleLists) {
  std::mt19937 rng(20260314);
  std::size_t compared = 0, found = 0;
  for (int list = 0; list < 3000; ++list) {
    const auto rules = randomRules(rng, rng() % 24, [&] {
      return SiteRule{randomHost(rng), rng() % 3 != 0, randomAction(rng)};
    });
    const SiteIndex index(rules);
    ASSERT_EQ(index.rules(), rules);
    for (int n = 0; n < 40; ++n, ++compared) {
      std::string name = randomHost(rng);
      if (!rules.empty() && rng() % 2 == 0) {
        const std::string& host = rules[rng() % rules.size()].host;
        name = rng() % 2 ? host : name + "." + host;
      }
      const char* decorations[] = {":443", "/p", ".", "", "", ""};
      const std::string decoration = decorations[rng() % 6];
      name = decoration == "." ? "." + name : name + decoration;
      found += sameWinner(index, rules, name);
    }
  }
  // The generator must exercise both outcomes.
  EXPECT_GT(found, compared / 4);
  EXPECT_LT(found, compared);
}

// Hosts of 18 to 28 bytes, on both sides of the longest text that a slot holds itself, in lists
// of up to 400 rules: tables of many sizes, full groups whose search runs on into the next one
// (and from the last to the first), hosts that share a tag byte, doubled and leading dots, and
// names of more than 32 labels.
TEST(SiteIndex, GivesTheLinearWinnerForHostsAroundTheInlineLengthInFullTables) {
  std::mt19937 rng(5150);
  const auto randomText = [&rng](std::size_t length) {
    std::string text;
    for (std::size_t i = 0; i < length; ++i) text += "ab."[rng() % 3];
    return text;
  };
  std::string many;  // more labels than usual
  for (int label = 0; label < 33; ++label) many += "x.";
  for (int list = 0; list < 400; ++list) {
    const auto rules = randomRules(rng, 1 + rng() % 400, [&] {
      return SiteRule{randomText(18 + rng() % 11), rng() % 3 != 0, randomAction(rng)};
    });
    const SiteIndex index(rules);
    ASSERT_EQ(index.rules(), rules);
    for (int n = 0; n < 40; ++n) {
      const std::string& host = rules[rng() % rules.size()].host;
      const std::string names[] = {host, randomText(1 + rng() % 3) + "." + host,
                                   host.substr(rng() % host.size()),  // often under a shorter host
                                   many + host, randomText(18 + rng() % 11)};
      sameWinner(index, rules, names[rng() % 5]);
    }
  }
}

}  // namespace
}  // namespace tether
