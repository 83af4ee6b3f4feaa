// Time rules: HH:MM parsing and the blocking decision for one application rule, in local time.
// The local day itself is tested with the usage file (AgentTest).
#include "Clock.h"

#include <gtest/gtest.h>

#include <ctime>

#include "TestSupport.h"

namespace tether {
namespace {

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
AppRule windows(std::vector<TimeWindow> list) { return AppRule{std::move(list), std::nullopt}; }

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

class ShouldBlock : public testing::Test {
 protected:
  test::ScopedTimeZone zone{"Europe/Berlin"};

  static bool blocks(const AppRule& rule, int day, int hour, int minute, double used = 0) {
    return Clock::shouldBlock(rule, used, march(day, hour, minute));
  }
};

TEST_F(ShouldBlock, DailyLimitIsReachedAtEqualityAndComesBeforeAnyWindow) {
  AppRule rule{{}, 60};
  EXPECT_TRUE(blocks(rule, kMonday, 12, 0, 60.0));
  EXPECT_TRUE(blocks(rule, kMonday, 12, 0, 75.5));
  EXPECT_FALSE(blocks(rule, kMonday, 12, 0, 59.9));
  EXPECT_TRUE(blocks(AppRule{{}, 0}, kMonday, 12, 0, 0.0));

  // Windows that do not cover the moment do not lift a reached limit.
  rule.dailyLimitMinutes = 30;
  rule.windows = {window(kEveryDay, "20:00", "21:00"),
                  window(kEveryDay, "00:00", "00:00", "allow")};
  EXPECT_TRUE(blocks(rule, kMonday, 12, 0, 30.0));
  EXPECT_FALSE(blocks(rule, kMonday, 12, 0, 29.0));

  // Without limit and without windows nothing is ever blocked.
  EXPECT_FALSE(blocks(AppRule{}, kMonday, 12, 0, 1e9));
}

TEST_F(ShouldBlock, WindowStartIsInclusiveEndExclusiveAndACrossingWindowCoversBothEnds) {
  const AppRule rule = windows({window(kEveryDay, "10:00", "12:00")});
  const AppRule daily = windows({window(kEveryDay, "21:00", "07:00")});
  for (auto [hour, minute, blocked] :
       {std::tuple{9, 59, false}, {10, 0, true}, {11, 59, true}, {12, 0, false}}) {
    EXPECT_EQ(blocks(rule, kMonday, hour, minute), blocked) << hour << ':' << minute;
  }
  for (auto [hour, minute, blocked] : {std::tuple{21, 0, true}, {23, 59, true}, {0, 0, true},
                                       {6, 59, true}, {7, 0, false}, {20, 59, false}}) {
    EXPECT_EQ(blocks(daily, kThursday, hour, minute), blocked) << hour << ':' << minute;
  }

  // Listed for Friday (5) only: Friday morning and evening, not Saturday morning.
  const AppRule friday = windows({window({5}, "21:00", "07:00")});
  EXPECT_TRUE(blocks(friday, kFriday, 6, 0));
  EXPECT_TRUE(blocks(friday, kFriday, 22, 0));
  EXPECT_FALSE(blocks(friday, kSaturday, 6, 0));
  EXPECT_FALSE(blocks(friday, kThursday, 22, 0));
}

TEST_F(ShouldBlock, EqualStartAndEndCoverTheWholeListedDaySundayIsSevenAndNoOtherNumber) {
  const AppRule rule = windows({window({1}, "09:00", "09:00")});
  EXPECT_TRUE(blocks(rule, kMonday, 0, 0));
  EXPECT_TRUE(blocks(rule, kMonday, 23, 59));
  EXPECT_FALSE(blocks(rule, kMonday + 1, 9, 0));
  EXPECT_FALSE(blocks(rule, kSunday, 9, 0));
  EXPECT_TRUE(blocks(windows({window({7}, "00:00", "00:00")}), kSunday, 12, 0));
  EXPECT_TRUE(blocks(windows({window({6}, "00:00", "00:00")}), kSaturday, 12, 0));
  for (const std::vector<int64_t>& days : {std::vector<int64_t>{0}, {6}, {}, {8, -1}}) {
    EXPECT_FALSE(blocks(windows({window(days, "00:00", "00:00")}), kSunday, 12, 0));
  }
}

TEST_F(ShouldBlock, OnlyModeBlockTakesPartAndOtherModesNeverLiftABlock) {
  for (const char* mode : {"allow", "Block", "BLOCK", "block ", ""}) {
    EXPECT_FALSE(blocks(windows({window(kEveryDay, "00:00", "00:00", mode)}), kMonday, 11, 0))
        << mode;
    // Listed before a blocking window, it lifts nothing.
    const AppRule rule =
        windows({window(kEveryDay, "00:00", "00:00", mode), window(kEveryDay, "10:00", "12:00")});
    EXPECT_TRUE(blocks(rule, kMonday, 11, 0)) << mode;
  }
}

TEST_F(ShouldBlock, AnUnparseableTimeSkipsOnlyItsOwnWindowAndOutOfRangeTimesCountAsTheyAre) {
  const AppRule rule = windows({window(kEveryDay, "08:00", "9h"), window(kEveryDay, "ab", "12:00"),
                                window(kEveryDay, "10:00", "12:00")});
  EXPECT_FALSE(blocks(rule, kMonday, 8, 30));
  EXPECT_TRUE(blocks(rule, kMonday, 11, 0));

  // 22:00 to 25:00 is 1320..1500: it does not wrap round to the early morning.
  const AppRule late = windows({window(kEveryDay, "22:00", "25:00")});
  EXPECT_TRUE(blocks(late, kMonday, 23, 0));
  EXPECT_FALSE(blocks(late, kMonday, 0, 30));
  // 23:00 to -1:00 crosses: from 23:00 to midnight, and never in the morning.
  const AppRule negative = windows({window(kEveryDay, "23:00", "-1:00")});
  EXPECT_TRUE(blocks(negative, kMonday, 23, 30));
  EXPECT_FALSE(blocks(negative, kMonday, 0, 0));
}

}  // namespace
}  // namespace tether
