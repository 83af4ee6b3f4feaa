#include "LoginThrottle.h"

#include <algorithm>

namespace tether {

std::optional<LoginThrottle::Clock::duration> LoginThrottle::waitFor(Attempts& attempts,
                                                                    std::string_view key,
                                                                    std::size_t limit,
                                                                    Clock::time_point now) {
  const auto found = attempts.find(std::string(key));
  if (found == attempts.end()) return std::nullopt;
  auto& times = found->second;
  while (!times.empty() && times.front() + limits_.window <= now) times.pop_front();
  if (times.empty()) {
    attempts.erase(found);
    return std::nullopt;
  }
  if (times.size() < limit) return std::nullopt;
  // The oldest attempt that keeps the count at the limit leaves the window first.
  return times[times.size() - limit] + limits_.window - now;
}

void LoginThrottle::record(Attempts& attempts, std::string_view key, Clock::time_point now) {
  if (key.empty()) return;
  auto found = attempts.find(std::string(key));
  if (found == attempts.end()) {
    if (attempts.size() >= kMaxKeys) prune(attempts, now);
    if (attempts.size() >= kMaxKeys) return;
    found = attempts.emplace(std::string(key), std::deque<Clock::time_point>{}).first;
  }
  found->second.push_back(now);
}

void LoginThrottle::prune(Attempts& attempts, Clock::time_point now) {
  std::erase_if(attempts, [&](const auto& entry) {
    return entry.second.empty() || entry.second.back() + limits_.window <= now;
  });
}

std::optional<std::chrono::seconds> LoginThrottle::admit(std::string_view address,
                                                         std::string_view account,
                                                         Clock::time_point now) {
  std::lock_guard lock(mutex_);
  std::optional<Clock::duration> wait = waitFor(byAddress_, address, limits_.perAddress, now);
  if (!account.empty()) {
    if (auto forAccount = waitFor(byAccount_, account, limits_.perAccount, now)) {
      wait = std::max(wait.value_or(Clock::duration::zero()), *forAccount);
    }
  }
  if (wait) {
    const auto seconds = std::chrono::ceil<std::chrono::seconds>(*wait);
    return std::max(seconds, std::chrono::seconds(1));
  }
  record(byAddress_, address, now);
  record(byAccount_, account, now);
  return std::nullopt;
}

void LoginThrottle::succeeded(std::string_view account) {
  std::lock_guard lock(mutex_);
  const auto found = byAccount_.find(std::string(account));
  if (found == byAccount_.end() || found->second.empty()) return;
  found->second.pop_back();
  if (found->second.empty()) byAccount_.erase(found);
}

}  // namespace tether
