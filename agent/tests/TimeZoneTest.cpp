// The time zone identifier the usage report carries.
#include "platform/TimeZone.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "TestSupport.h"

namespace tether {
namespace {

TEST(TimeZone, ZoneNameFromATzValueOrAZoneFilePath) {
  EXPECT_EQ(TimeZone::nameFrom("Europe/Berlin"), "Europe/Berlin");
  EXPECT_EQ(TimeZone::nameFrom(":America/Argentina/Buenos_Aires"),
            "America/Argentina/Buenos_Aires");
  EXPECT_EQ(TimeZone::nameFrom("/usr/share/zoneinfo/Etc/GMT+5"), "Etc/GMT+5");
  EXPECT_EQ(TimeZone::nameFrom("/var/db/timezone/zoneinfo/Asia/Tokyo"), "Asia/Tokyo");
  for (const char* bad : {"", ":", "/etc/localtime", "../../etc/passwd", "Europe/../x",
                          "CET-1CEST,M3.5.0,M10.5.0/3", "Europe/Berlin ", "/usr/share/zoneinfo/"}) {
    EXPECT_EQ(TimeZone::nameFrom(bad), std::nullopt) << bad;
  }
}

TEST(TimeZone, FollowsTheZoneLocalTimeFollows) {
  if (!std::filesystem::exists("/usr/share/zoneinfo/Europe/Berlin")) GTEST_SKIP() << "no tzdata";
  {
    test::ScopedTimeZone zone("Europe/Berlin");
    EXPECT_EQ(TimeZone::currentIdentifier(), "Europe/Berlin");
  }
  {
    test::ScopedTimeZone zone(":Asia/Tokyo");
    EXPECT_EQ(TimeZone::currentIdentifier(), "Asia/Tokyo");
  }
  {
    test::ScopedTimeZone zone("");
    EXPECT_EQ(TimeZone::currentIdentifier(), "UTC");
  }
  // A rule rather than a zone name: the system's zone, which always has some name.
  test::ScopedTimeZone zone("CET-1CEST,M3.5.0,M10.5.0/3");
  EXPECT_FALSE(TimeZone::currentIdentifier().empty());
}

}  // namespace
}  // namespace tether
