// Site rules from the policy, host normalisation, the winning rule, and the index that finds it
// without walking the list (checked against the linear rule on random rule lists).
#include <gtest/gtest.h>

#include <clocale>
#include <random>

#include "Policy.h"
#include "dns/SiteIndex.h"
#include "dns/SiteMatch.h"

namespace tether {
namespace {

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

TEST(SiteMatch, SubtreeRuleCoversItsNameAndSubdomainsButNotLookalikeSuffixes) {
  const std::vector<SiteRule> rules{block("example.com")};
  EXPECT_EQ(win("example.com", rules), rules[0]);
  EXPECT_EQ(win("a.b.Example.com.", rules), rules[0]);
  for (const char* miss : {"notexample.com", "example.com./x", "", "..."}) {
    EXPECT_FALSE(win(miss, rules));
  }
  const std::vector<SiteRule> exact{block("example.com", false)};
  EXPECT_EQ(win("example.com", exact), exact[0]);
  EXPECT_FALSE(win("a.example.com", exact));
  // Rule hosts are not normalised: capitals never match.
  EXPECT_FALSE(win("example.com", {block("Example.com")}));
  EXPECT_FALSE(win("example.com", {}));
}

TEST(SiteMatch, MostSpecificRuleWinsThenExactThenTheEarlierRule) {
  const std::vector<SiteRule> holes{block("example.com"), allow("kids.example.com")};
  EXPECT_EQ(win("a.example.com", holes), holes[0]);
  EXPECT_EQ(win("kids.example.com", holes), holes[1]);
  EXPECT_EQ(win("a.kids.example.com", holes), holes[1]);
  EXPECT_EQ(win("x.a.example.com", {allow("example.com"), block("a.example.com")}),
            block("a.example.com"));
  // Equal labels: exact beats subtree whatever the order; otherwise the first stays.
  const std::vector<SiteRule> mixed{block("example.com"), allow("example.com", false),
                                    limit("example.com", 5, false)};
  EXPECT_EQ(win("example.com", mixed), mixed[1]);
  EXPECT_EQ(win("x.example.com", mixed), mixed[0]);
  EXPECT_EQ(win("example.com", {limit("example.com", 5), limit("example.com", 9)}),
            limit("example.com", 5));
  // Empty pieces do not count as labels: ".b" and "b" both have one.
  EXPECT_EQ(win("a..b", {allow("b"), block(".b")}), allow("b"));
  EXPECT_EQ(win("a..b", {block(".b"), allow("b")}), block(".b"));
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
