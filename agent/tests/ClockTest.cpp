// Time rules: HH:MM parsing, the local day, and the blocking decision for one application rule.
#include "Clock.h"

#include <gtest/gtest.h>

#include <ctime>

#include "TestSupport.h"

namespace tether {
namespace {

using Clock::Instant;

// The instant of a local wall-clock time in the time zone in force.
Instant localTime(int year, int month, int day, int hour, int minute) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_isdst = -1;
  return std::chrono::system_clock::from_time_t(std::mktime(&tm));
}

// Days of the week in March 2026.
constexpr int kMonday = 9, kThursday = 12, kFriday = 13, kSaturday = 14, kSunday = 15;

Instant march(int day, int hour, int minute) {
  return localTime(2026, 3, day, hour, minute);
}

TimeWindow window(std::vector<int64_t> days, std::string start, std::string end,
                  std::string mode = "block") {
  return TimeWindow{std::move(days), std::move(start), std::move(end), std::move(mode)};
}

const std::vector<int64_t> kEveryDay = {1, 2, 3, 4, 5, 6, 7};

TEST(ParseHHMM, SplitsAtColonsDropsEmptyPiecesAndMakesNoRangeCheck) {
  EXPECT_EQ(Clock::parseHHMM("08:30"), 510);
  EXPECT_EQ(Clock::parseHHMM("8:30"), 510);
  EXPECT_EQ(Clock::parseHHMM("24:00"), 1440);
  EXPECT_EQ(Clock::parseHHMM("12::30"), 750);
  EXPECT_EQ(Clock::parseHHMM(":12:30"), 750);
  EXPECT_EQ(Clock::parseHHMM("12:30:"), 750);
  EXPECT_EQ(Clock::parseHHMM("25:99"), 1599);
  EXPECT_EQ(Clock::parseHHMM("-1:30"), -30);
  EXPECT_EQ(Clock::parseHHMM("7:5"), 425);
  EXPECT_EQ(Clock::parseHHMM("+7:-5"), 415);
  EXPECT_EQ(Clock::parseHHMM("0007:0005"), 425);
}

TEST(ParseHHMM, AnythingElseIsNotATime) {
  for (const char* text :
       {"12", "12:30:45", "", ":", "::", "ab:cd", " 8:30", "8:30 ", "8 :30", "8:3a", "+:30", "-:30",
        "+-8:30", "0x1:00", "1e2:00", "9h:00", "8:30\n", "\xd9\xa3:00"}) {
    EXPECT_EQ(Clock::parseHHMM(text), std::nullopt) << '"' << text << '"';
  }
  EXPECT_EQ(Clock::parseHHMM(std::string_view("8:3\0"
                                              "0",
                                              5)),
            std::nullopt);
}

TEST(ParseHHMM, ResultsBeyondTheSixtyFourBitRangeAreNotATime) {
  EXPECT_EQ(Clock::parseHHMM("153722867280912930:7"), INT64_MAX);
  EXPECT_EQ(Clock::parseHHMM("153722867280912930:8"), std::nullopt);
  EXPECT_EQ(Clock::parseHHMM("-153722867280912930:-8"), INT64_MIN);
  EXPECT_EQ(Clock::parseHHMM("-153722867280912930:-9"), std::nullopt);
  EXPECT_EQ(Clock::parseHHMM("9223372036854775808:0"), std::nullopt);
  EXPECT_EQ(Clock::parseHHMM("0:9223372036854775807"), INT64_MAX);
  EXPECT_EQ(Clock::parseHHMM("0:-9223372036854775808"), INT64_MIN);
  EXPECT_EQ(Clock::parseHHMM("1:9223372036854775807"), std::nullopt);
  EXPECT_EQ(Clock::parseHHMM("99999999999999999999999:00"), std::nullopt);
}

TEST(LocalDay, StampMinuteAndWeekdayFollowTheProcessTimeZone) {
  test::ScopedTimeZone zone("Europe/Berlin");
  const Instant lastMinute = march(kSaturday, 23, 59);
  EXPECT_EQ(Clock::todayStamp(lastMinute), "2026-03-14");
  EXPECT_EQ(Clock::minutesAt(lastMinute), 1439);
  EXPECT_EQ(Clock::dayNumber(lastMinute), 6);
  const Instant midnight = lastMinute + std::chrono::minutes(1);
  EXPECT_EQ(Clock::todayStamp(midnight), "2026-03-15");
  EXPECT_EQ(Clock::minutesAt(midnight), 0);
  EXPECT_EQ(Clock::dayNumber(midnight), 7);  // Sunday
  EXPECT_EQ(Clock::dayNumber(march(kMonday, 12, 0)), 1);

  // The same instant is still Saturday afternoon on the American west coast.
  test::ScopedTimeZone west("America/Los_Angeles");
  EXPECT_EQ(Clock::todayStamp(midnight), "2026-03-14");
  EXPECT_EQ(Clock::minutesAt(midnight), 16 * 60);
  EXPECT_EQ(Clock::dayNumber(midnight), 6);
}

class ShouldBlock : public testing::Test {
 protected:
  test::ScopedTimeZone zone{"Europe/Berlin"};
};

TEST_F(ShouldBlock, DailyLimitIsReachedAtEqualityAndComesBeforeAnyWindow) {
  AppRule rule;
  rule.dailyLimitMinutes = 60;
  const Instant noon = march(kMonday, 12, 0);
  EXPECT_TRUE(Clock::shouldBlock(rule, 60.0, noon));
  EXPECT_TRUE(Clock::shouldBlock(rule, 75.5, noon));
  EXPECT_FALSE(Clock::shouldBlock(rule, 59.9, noon));

  rule.dailyLimitMinutes = 0;
  EXPECT_TRUE(Clock::shouldBlock(rule, 0.0, noon));

  // Windows that do not cover the moment do not lift a reached limit.
  rule.dailyLimitMinutes = 30;
  rule.windows = {window(kEveryDay, "20:00", "21:00"),
                  window(kEveryDay, "00:00", "00:00", "allow")};
  EXPECT_TRUE(Clock::shouldBlock(rule, 30.0, noon));
  EXPECT_FALSE(Clock::shouldBlock(rule, 29.0, noon));

  // Without limit and without windows nothing is ever blocked.
  EXPECT_FALSE(Clock::shouldBlock(AppRule{}, 1e9, noon));
}

TEST_F(ShouldBlock, WindowStartIsInclusiveAndEndExclusive) {
  const AppRule rule{{window(kEveryDay, "10:00", "12:00")}, std::nullopt};
  EXPECT_FALSE(Clock::shouldBlock(rule, 0, march(kMonday, 9, 59)));
  EXPECT_TRUE(Clock::shouldBlock(rule, 0, march(kMonday, 10, 0)));
  EXPECT_TRUE(Clock::shouldBlock(rule, 0, march(kMonday, 11, 59)));
  EXPECT_FALSE(Clock::shouldBlock(rule, 0, march(kMonday, 12, 0)));
}

TEST_F(ShouldBlock, WindowCrossingMidnightCoversBothEndsOfItsListedDaysOnly) {
  const AppRule daily{{window(kEveryDay, "21:00", "07:00")}, std::nullopt};
  for (auto [hour, minute] :
       std::initializer_list<std::pair<int, int>>{{21, 0}, {23, 59}, {0, 0}, {6, 59}}) {
    EXPECT_TRUE(Clock::shouldBlock(daily, 0, march(kThursday, hour, minute)))
        << hour << ':' << minute;
  }
  EXPECT_FALSE(Clock::shouldBlock(daily, 0, march(kThursday, 7, 0)));
  EXPECT_FALSE(Clock::shouldBlock(daily, 0, march(kThursday, 20, 59)));

  // Listed for Friday (5) only: Friday morning and evening, not Saturday morning.
  const AppRule friday{{window({5}, "21:00", "07:00")}, std::nullopt};
  EXPECT_TRUE(Clock::shouldBlock(friday, 0, march(kFriday, 6, 0)));
  EXPECT_TRUE(Clock::shouldBlock(friday, 0, march(kFriday, 22, 0)));
  EXPECT_FALSE(Clock::shouldBlock(friday, 0, march(kSaturday, 6, 0)));
  EXPECT_FALSE(Clock::shouldBlock(friday, 0, march(kThursday, 22, 0)));
}

TEST_F(ShouldBlock, EqualStartAndEndCoverTheWholeListedDay) {
  const AppRule rule{{window({1}, "09:00", "09:00")}, std::nullopt};
  EXPECT_TRUE(Clock::shouldBlock(rule, 0, march(kMonday, 0, 0)));
  EXPECT_TRUE(Clock::shouldBlock(rule, 0, march(kMonday, 23, 59)));
  EXPECT_FALSE(Clock::shouldBlock(rule, 0, march(kMonday + 1, 9, 0)));
  EXPECT_FALSE(Clock::shouldBlock(rule, 0, march(kSunday, 9, 0)));
}

TEST_F(ShouldBlock, SundayIsDaySevenAndOtherNumbersNeverMatch) {
  const Instant sundayNoon = march(kSunday, 12, 0);
  EXPECT_TRUE(Clock::shouldBlock(AppRule{{window({7}, "00:00", "00:00")}, {}}, 0, sundayNoon));
  EXPECT_FALSE(Clock::shouldBlock(AppRule{{window({0}, "00:00", "00:00")}, {}}, 0, sundayNoon));
  EXPECT_FALSE(Clock::shouldBlock(AppRule{{window({6}, "00:00", "00:00")}, {}}, 0, sundayNoon));
  EXPECT_FALSE(Clock::shouldBlock(AppRule{{window({}, "00:00", "00:00")}, {}}, 0, sundayNoon));
  EXPECT_FALSE(Clock::shouldBlock(AppRule{{window({8, -1}, "00:00", "00:00")}, {}}, 0, sundayNoon));
  EXPECT_TRUE(
      Clock::shouldBlock(AppRule{{window({6}, "00:00", "00:00")}, {}}, 0, march(kSaturday, 12, 0)));
}

TEST_F(ShouldBlock, OnlyModeBlockTakesPartAndOtherModesNeverLiftABlock) {
  const Instant eleven = march(kMonday, 11, 0);
  for (const char* mode : {"allow", "Block", "BLOCK", "block ", ""}) {
    EXPECT_FALSE(
        Clock::shouldBlock(AppRule{{window(kEveryDay, "00:00", "00:00", mode)}, {}}, 0, eleven))
        << mode;
    // Listed before a blocking window, it lifts nothing.
    const AppRule rule{
        {window(kEveryDay, "00:00", "00:00", mode), window(kEveryDay, "10:00", "12:00")},
        std::nullopt};
    EXPECT_TRUE(Clock::shouldBlock(rule, 0, eleven)) << mode;
  }
}

TEST_F(ShouldBlock, AnUnparseableTimeSkipsOnlyItsOwnWindow) {
  const AppRule rule{{window(kEveryDay, "08:00", "9h"), window(kEveryDay, "ab", "12:00"),
                      window(kEveryDay, "10:00", "12:00")},
                     std::nullopt};
  EXPECT_FALSE(Clock::shouldBlock(rule, 0, march(kMonday, 8, 30)));
  EXPECT_TRUE(Clock::shouldBlock(rule, 0, march(kMonday, 11, 0)));
}

TEST_F(ShouldBlock, OutOfRangeTimesAreComparedAsTheyAre) {
  // 22:00 to 25:00 is 1320..1500: it does not wrap round to the early morning.
  const AppRule late{{window(kEveryDay, "22:00", "25:00")}, std::nullopt};
  EXPECT_TRUE(Clock::shouldBlock(late, 0, march(kMonday, 23, 0)));
  EXPECT_FALSE(Clock::shouldBlock(late, 0, march(kMonday, 0, 30)));
  // 23:00 to -1:00 crosses: from 23:00 to midnight, and never in the morning.
  const AppRule negative{{window(kEveryDay, "23:00", "-1:00")}, std::nullopt};
  EXPECT_TRUE(Clock::shouldBlock(negative, 0, march(kMonday, 23, 30)));
  EXPECT_FALSE(Clock::shouldBlock(negative, 0, march(kMonday, 0, 0)));
}

}  // namespace
}  // namespace tether
