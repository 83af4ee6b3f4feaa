#include "Clock.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

namespace tether::Clock {

namespace {

std::tm localTime(Instant when) {
  const std::time_t t = std::chrono::system_clock::to_time_t(when);
  std::tm local{};
  localtime_r(&t, &local);
  return local;
}

std::optional<int64_t> parsePiece(std::string_view piece) {
  std::size_t i = 0;
  bool negative = false;
  if (i < piece.size() && (piece[i] == '+' || piece[i] == '-')) {
    negative = piece[i] == '-';
    ++i;
  }
  if (i == piece.size()) return std::nullopt;
  int64_t value = 0;
  for (; i < piece.size(); ++i) {
    const char c = piece[i];
    if (c < '0' || c > '9') return std::nullopt;
    const int digit = c - '0';
    // Accumulate towards the sign so that the most negative value still fits.
    if (negative) {
      if (__builtin_mul_overflow(value, 10, &value) ||
          __builtin_sub_overflow(value, digit, &value)) {
        return std::nullopt;
      }
    } else if (__builtin_mul_overflow(value, 10, &value) ||
               __builtin_add_overflow(value, digit, &value)) {
      return std::nullopt;
    }
  }
  return value;
}

}  // namespace

std::string todayStamp() {
  return todayStamp(std::chrono::system_clock::now());
}

std::string todayStamp(Instant when) {
  const std::tm local = localTime(when);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", local.tm_year + 1900, local.tm_mon + 1,
                local.tm_mday);
  return buf;
}

std::optional<int64_t> parseHHMM(std::string_view text) {
  std::vector<std::string_view> pieces;
  std::size_t from = 0;
  while (from <= text.size()) {
    std::size_t colon = text.find(':', from);
    if (colon == std::string_view::npos) colon = text.size();
    if (colon > from) pieces.push_back(text.substr(from, colon - from));
    if (pieces.size() > 2) return std::nullopt;
    from = colon + 1;
  }
  if (pieces.size() != 2) return std::nullopt;
  const auto hours = parsePiece(pieces[0]);
  const auto minutes = parsePiece(pieces[1]);
  if (!hours || !minutes) return std::nullopt;
  int64_t result = 0;
  if (__builtin_mul_overflow(*hours, 60, &result) ||
      __builtin_add_overflow(result, *minutes, &result)) {
    return std::nullopt;
  }
  return result;
}

int64_t minutesNow() {
  return minutesAt(std::chrono::system_clock::now());
}

int64_t minutesAt(Instant when) {
  const std::tm local = localTime(when);
  return static_cast<int64_t>(local.tm_hour) * 60 + local.tm_min;
}

int dayNumber(Instant when) {
  const int weekday = localTime(when).tm_wday;  // 0 = Sunday
  return weekday == 0 ? 7 : weekday;
}

bool shouldBlock(const AppRule& rule, double minutesUsed) {
  return shouldBlock(rule, minutesUsed, std::chrono::system_clock::now());
}

bool shouldBlock(const AppRule& rule, double minutesUsed, Instant when) {
  if (rule.dailyLimitMinutes && minutesUsed >= static_cast<double>(*rule.dailyLimitMinutes)) {
    return true;
  }
  if (rule.windows.empty()) return false;
  const int today = dayNumber(when);
  const int64_t now = minutesAt(when);
  for (const TimeWindow& w : rule.windows) {
    if (w.mode != "block") continue;
    if (std::find(w.days.begin(), w.days.end(), today) == w.days.end()) continue;
    const auto start = parseHHMM(w.start);
    const auto end = parseHHMM(w.end);
    if (!start || !end) continue;
    if (*start == *end) return true;
    if (*start < *end) {
      if (*start <= now && now < *end) return true;
    } else if (now >= *start || now < *end) {
      return true;
    }
  }
  return false;
}

}  // namespace tether::Clock
