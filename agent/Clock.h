#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "Policy.h"

namespace tether {

// Every time rule of the agent, in local time (the process's time zone). The operations without
// an instant read the system clock; the others take the instant so that tests can fix it.
namespace Clock {

using Instant = std::chrono::system_clock::time_point;

// The local date as "yyyy-MM-dd".
std::string todayStamp();
std::string todayStamp(Instant when);

// "HH:MM" -> hours * 60 + minutes. Pieces are split at ":" with empty pieces dropped; each piece
// is an optional sign and ASCII digits; no range check. Nothing when the form does not fit or
// the result leaves the 64-bit range.
std::optional<int64_t> parseHHMM(std::string_view text);

// hour * 60 + minute of the local day.
int64_t minutesNow();
int64_t minutesAt(Instant when);

// 1 = Monday ... 7 = Sunday in local time.
int dayNumber(Instant when);

// True when the application must not run: its daily limit is reached (at equality), or a
// "block" window listed for today covers the current minute.
bool shouldBlock(const AppRule& rule, double minutesUsed);
bool shouldBlock(const AppRule& rule, double minutesUsed, Instant when);

}  // namespace Clock
}  // namespace tether
