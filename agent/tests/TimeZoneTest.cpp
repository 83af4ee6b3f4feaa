// The time zone identifier the usage report carries, from a TZ value or the path of a zone file
// (the identifier of the zone in force is checked where the report is sent, ServiceSyncTest).
#include "platform/TimeZone.h"

#include <gtest/gtest.h>

namespace tether {
namespace {

TEST(TimeZone, ZoneNameFromATzValueOrAZoneFilePath) {
  EXPECT_EQ(TimeZone::nameFrom(":America/Argentina/Buenos_Aires"),
            "America/Argentina/Buenos_Aires");
  EXPECT_EQ(TimeZone::nameFrom("/usr/share/zoneinfo/Etc/GMT+5"), "Etc/GMT+5");
  EXPECT_EQ(TimeZone::nameFrom("/var/db/timezone/zoneinfo/Asia/Tokyo"), "Asia/Tokyo");
  for (const char* bad : {"", ":", "/etc/localtime", "../../etc/passwd", "Europe/../x",
                          "CET-1CEST,M3.5.0,M10.5.0/3", "Europe/Berlin ", "/usr/share/zoneinfo/"}) {
    EXPECT_EQ(TimeZone::nameFrom(bad), std::nullopt) << bad;
  }
}

}  // namespace
}  // namespace tether
