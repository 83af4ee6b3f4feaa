#include "RequestChecks.h"

#include <gtest/gtest.h>

namespace tether {
namespace {

using namespace RequestChecks;

TEST(RequestChecks, Utf8CheckRefusesMalformedSequences) {
  EXPECT_TRUE(isUtf8("plain ascii"));
  EXPECT_TRUE(isUtf8("J\xC3\xBCrgen \xF0\x9F\x98\x80"));
  EXPECT_FALSE(isUtf8("\xC0\xAF"));          // overlong "/"
  EXPECT_FALSE(isUtf8("\xED\xA0\x80"));      // surrogate
  EXPECT_FALSE(isUtf8("\xF4\x90\x80\x80"));  // beyond U+10FFFF
  EXPECT_FALSE(isUtf8("\xC3"));              // cut short
  EXPECT_EQ(characterCount("J\xC3\xBCrgen"), 6u);
}

TEST(RequestChecks, EmailAddressesAreTrimmedAndMustHaveOneAtWithTextAround) {
  EXPECT_EQ(*checkEmail("  Ann@Example.com\t"), "Ann@Example.com");
  for (const char* bad : {"", "   ", "ann", "@example.com", "ann@", "a@b@c", "an n@example.com",
                          "ann@.example.com", "ann@example.com.", "ann\x01@example.com"}) {
    EXPECT_FALSE(checkEmail(bad)) << bad;
  }
  EXPECT_FALSE(checkEmail(std::string(250, 'a') + "@b.cd"));
  EXPECT_FALSE(checkNewPassword("seven77"));
  EXPECT_TRUE(checkNewPassword("\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC"));
  EXPECT_FALSE(checkNewPassword(std::string(1025, 'x')));
}

TEST(RequestChecks, HeadersAndIdsAreReadStrictly) {
  EXPECT_EQ(bearerToken("Bearer abc"), "abc");
  EXPECT_EQ(bearerToken("bearer  abc "), "abc");
  EXPECT_EQ(bearerToken("Basic abc"), "");
  EXPECT_EQ(bearerToken("Bearer"), "");
  EXPECT_TRUE(isJsonContentType("Application/JSON; charset=utf-8"));
  EXPECT_FALSE(isJsonContentType("application/jsonx"));
  EXPECT_FALSE(isJsonContentType(""));
  EXPECT_EQ(parseId("42"), 42);
  EXPECT_FALSE(parseId("0"));
  EXPECT_FALSE(parseId("-1"));
  EXPECT_FALSE(parseId("4x"));
  EXPECT_FALSE(parseId("99999999999999999999"));
  EXPECT_EQ(formField("a=1&email=ann%40example.com+x&email=second", "email"), "ann@example.com x");
  EXPECT_EQ(formField("email=%4", "email"), "%4");
  EXPECT_EQ(formField("emailx=1&email", "email"), "");
  EXPECT_EQ(formField("", "email"), "");
}

}  // namespace
}  // namespace tether
