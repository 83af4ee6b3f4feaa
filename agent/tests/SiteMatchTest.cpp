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

TEST(SiteMatch, NormalizeLowerCasesTrimsDotsAndCutsPathAndPort) {
  EXPECT_EQ(SiteMatch::normalize("Example.COM."), "example.com");
  EXPECT_EQ(SiteMatch::normalize("..example.com.."), "example.com");
  EXPECT_EQ(SiteMatch::normalize("example.com:443"), "example.com");
  EXPECT_EQ(SiteMatch::normalize("example.com/path:80"), "example.com");
  EXPECT_EQ(SiteMatch::normalize("[::1]:53"), "[::1]:53");
  EXPECT_EQ(SiteMatch::normalize("example.com./x"), "example.com.");
  EXPECT_EQ(SiteMatch::normalize(" www.Example.com"), " www.example.com");
  EXPECT_EQ(SiteMatch::normalize(""), "");
  EXPECT_EQ(SiteMatch::normalize("..."), "");
}

TEST(SiteMatch, NormalizeLowerCasesUnicodeInTheCLocale) {
  ASSERT_STREQ(std::setlocale(LC_CTYPE, nullptr), "C");
  EXPECT_EQ(SiteMatch::normalize("ÄÖÜ.DE"), "äöü.de");
  EXPECT_EQ(SiteMatch::normalize("ПРИМЕР.РФ"), "пример.рф");
  EXPECT_EQ(SiteMatch::normalize("ΑΘΗΝΑ.ΕΛ"), "αθηνα.ελ");
  EXPECT_EQ(SiteMatch::normalize("ĀĂĄ"), "āăą");                // alternating pairs
  EXPECT_EQ(SiteMatch::normalize("\u0130"), "i\u0307");         // one code point to two
  EXPECT_EQ(SiteMatch::normalize("\U00010400"), "\U00010428");  // four-byte sequences
  EXPECT_EQ(SiteMatch::normalize("ǅ"), "ǆ");                    // title case
  EXPECT_EQ(SiteMatch::normalize("ß.de"), "ß.de");
}

TEST(SiteMatch, NormalizeKeepsBytesThatAreNotWellFormedUtf8) {
  // An overlong "A" or ".", a surrogate, a cut sequence and a stray continuation byte stay as
  // they are instead of turning into the characters they imitate.
  EXPECT_EQ(SiteMatch::normalize("\xC1\x81"), "\xC1\x81");
  EXPECT_EQ(SiteMatch::normalize("a\xC0\xAE"
                                 "b"),
            "a\xC0\xAE"
            "b");
  EXPECT_EQ(SiteMatch::normalize("\xED\xA0\x80X"), "\xED\xA0\x80x");
  EXPECT_EQ(SiteMatch::normalize("X\xC3"), "x\xC3");
  EXPECT_EQ(SiteMatch::normalize("\x80\xFF"
                                 "A"),
            "\x80\xFF"
            "a");
}

TEST(SiteMatch, SubtreeRuleCoversItsNameAndSubdomainsButNotLookalikeSuffixes) {
  const std::vector<SiteRule> rules{block("example.com")};
  EXPECT_EQ(win("example.com", rules), rules[0]);
  EXPECT_EQ(win("a.b.Example.com.", rules), rules[0]);
  EXPECT_FALSE(win("notexample.com", rules));
  EXPECT_FALSE(win("example.com./x", rules));
  EXPECT_FALSE(win("", rules));
  EXPECT_FALSE(win("...", rules));
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
  for (const auto& rules : {std::vector<SiteRule>{block("a.example.com"), allow("example.com")},
                            std::vector<SiteRule>{allow("example.com"), block("a.example.com")}}) {
    EXPECT_EQ(win("x.a.example.com", rules), block("a.example.com"));
  }
  // Equal labels: exact beats subtree whatever the order; otherwise the first stays.
  const std::vector<SiteRule> mixed{block("example.com"), allow("example.com", false),
                                    limit("example.com", 5, false)};
  EXPECT_EQ(win("example.com", mixed), mixed[1]);
  EXPECT_EQ(win("x.example.com", mixed), mixed[0]);
  const std::vector<SiteRule> ties{limit("example.com", 5), limit("example.com", 9)};
  EXPECT_EQ(win("example.com", ties), ties[0]);
  // Empty pieces do not count as labels: ".b" and "b" both have one.
  const std::vector<SiteRule> dots{allow("b"), block(".b")};
  EXPECT_EQ(win("a..b", dots), dots[0]);
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
  EXPECT_FALSE(SiteIndex(Policy{}).winning("a.com"));
}

TEST(SiteIndex, HostsLongerThan64KiBAreKeptWhole) {
  const std::string huge(70000, 'x');
  const std::vector<SiteRule> rules{block(huge + ".com"), allow(huge.substr(1) + ".com")};
  const SiteIndex index(rules);
  EXPECT_EQ(index.rules(), rules);
  EXPECT_EQ(index.winning("a." + huge + ".com"), rules[0]);
  EXPECT_EQ(index.winning(huge.substr(1) + ".com"), rules[1]);
  EXPECT_FALSE(index.winning(huge + "x.com"));
}

// Hosts built from few pieces so that random rules and names overlap often, with doubled,
// leading and trailing dots, capitals and empty texts.
std::string randomHost(std::mt19937& rng) {
  static const char* pieces[] = {"a", "b", "ex", "com", "", "A", "x-y"};
  std::uniform_int_distribution<int> count(0, 4);
  std::uniform_int_distribution<int> piece(0, 6);
  std::string host;
  const int n = count(rng);
  for (int i = 0; i < n; ++i) {
    if (i > 0 || rng() % 8 == 0) host += '.';
    host += pieces[piece(rng)];
  }
  if (rng() % 8 == 0) host += '.';
  return host;
}

std::vector<SiteRule> randomRules(std::mt19937& rng, std::size_t count) {
  std::vector<SiteRule> rules;
  for (std::size_t i = 0; i < count; ++i) {
    if (!rules.empty() && rng() % 5 == 0) {
      rules.push_back(rules[rng() % rules.size()]);  // a duplicate
      continue;
    }
    SiteRule r{randomHost(rng), rng() % 3 != 0, SiteAction::block()};
    switch (rng() % 3) {
      case 0:
        r.action = SiteAction::block();
        break;
      case 1:
        r.action = SiteAction::allow();
        break;
      default:
        r.action = SiteAction::limit(static_cast<int64_t>(rng() % 3));
        break;
    }
    rules.push_back(std::move(r));
  }
  return rules;
}

std::string randomName(std::mt19937& rng, const std::vector<SiteRule>& rules) {
  std::string name = randomHost(rng);
  if (!rules.empty() && rng() % 2 == 0) {
    const std::string& host = rules[rng() % rules.size()].host;
    name = rng() % 2 ? host : name + "." + host;
  }
  switch (rng() % 6) {
    case 0:
      name += ":443";
      break;
    case 1:
      name += "/p";
      break;
    case 2:
      name = "." + name;
      break;
    default:
      break;
  }
  return name;
}

TEST(SiteIndex, GivesTheLinearWinnerOnRandomRuleLists) {
  std::mt19937 rng(20260314);
  std::size_t compared = 0;
  std::size_t found = 0;
  for (int list = 0; list < 3000; ++list) {
    const auto rules = randomRules(rng, rng() % 24);
    const SiteIndex index(rules);
    ASSERT_EQ(index.rules(), rules);
    for (int n = 0; n < 40; ++n) {
      const std::string name = randomName(rng, rules);
      const auto expected = SiteMatch::winning(name, rules);
      const auto position = index.winningPosition(name);
      ASSERT_EQ(position.has_value(), expected.has_value()) << name;
      if (position) {
        ASSERT_EQ(rules[*position], *expected) << name;
        ++found;
      }
      ++compared;
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
  for (int list = 0; list < 400; ++list) {
    std::vector<SiteRule> rules;
    const std::size_t count = 1 + rng() % 400;
    for (std::size_t i = 0; i < count; ++i) {
      if (!rules.empty() && rng() % 5 == 0) {
        rules.push_back(rules[rng() % rules.size()]);  // a duplicate
        continue;
      }
      const SiteAction action = rng() % 2 ? SiteAction::block() : SiteAction::allow();
      rules.push_back({randomText(18 + rng() % 11), rng() % 3 != 0, action});
    }
    const SiteIndex index(rules);
    ASSERT_EQ(index.rules(), rules);
    for (int n = 0; n < 40; ++n) {
      const std::string& host = rules[rng() % rules.size()].host;
      std::string name;
      switch (rng() % 5) {
        case 0:
          name = host;
          break;
        case 1:
          name = randomText(1 + rng() % 3) + "." + host;
          break;
        case 2:
          name = host.substr(rng() % host.size());  // a suffix, often under a shorter host
          break;
        case 3:
          for (int label = 0; label < 33; ++label) name += "x.";  // more suffixes than usual
          name += host;
          break;
        default:
          name = randomText(18 + rng() % 11);
          break;
      }
      const auto expected = SiteMatch::winning(name, rules);
      const auto position = index.winningPosition(name);
      ASSERT_EQ(position.has_value(), expected.has_value()) << name;
      if (position) {
        ASSERT_EQ(rules[*position], *expected) << name;
      }
    }
  }
}

TEST(SiteIndex, GivesTheLinearWinnerOnALargeList) {
  std::mt19937 rng(7);
  std::vector<SiteRule> rules;
  for (int i = 0; i < 20000; ++i) {
    std::string host = "h" + std::to_string(rng() % 5000) + ".t" + std::to_string(rng() % 7);
    rules.push_back(
        {std::move(host), rng() % 4 != 0, rng() % 2 ? SiteAction::block() : SiteAction::allow()});
  }
  const SiteIndex index(rules);
  for (int n = 0; n < 300; ++n) {
    const std::string name = (n % 2 ? "w." : "") + rules[rng() % rules.size()].host;
    ASSERT_EQ(index.winning(name), SiteMatch::winning(name, rules)) << name;
    const std::string miss = "h" + std::to_string(5000 + n) + ".t1";
    ASSERT_FALSE(index.winning(miss));
  }
}

}  // namespace
}  // namespace tether
