// The time zone as the C library resolves local time: the TZ value when it names a zone file,
// otherwise the zone that /etc/localtime links to (or /etc/timezone names).
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/TimeZone.h"

namespace tether::TimeZone {

namespace {

constexpr const char* kZoneFolder = "/usr/share/zoneinfo/";

bool zoneFileExists(const std::string& name) {
  std::error_code ec;
  return std::filesystem::is_regular_file(std::string(kZoneFolder) + name, ec);
}

}  // namespace

std::string currentIdentifier() {
  // The C library reads TZ itself; the report follows the same choice so that its zone and the
  // day stamp agree. An empty TZ means UTC to the library.
  if (const char* tz = std::getenv("TZ")) {
    if (*tz == '\0') return "UTC";
    if (auto name = nameFrom(tz); name && zoneFileExists(*name)) return *name;
  }
  std::error_code ec;
  const auto target = std::filesystem::read_symlink("/etc/localtime", ec);
  if (!ec) {
    if (auto name = nameFrom(target.string())) return *name;
  }
  std::ifstream file("/etc/timezone");
  std::string line;
  if (file && std::getline(file, line)) {
    if (auto name = nameFrom(line)) return *name;
  }
  return "UTC";
}

}  // namespace tether::TimeZone
