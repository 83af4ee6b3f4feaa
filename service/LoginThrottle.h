#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace tether {

// Limits sign-in attempts, so that nobody can try passwords at the speed of the network: each
// client address may make a few attempts a window (sign-ins and registrations), and each
// account may be tried a few times a window from anywhere (a successful sign-in gives its attempt
// back). Safe to use from several threads.
//
// Memory stays bounded: at most kMaxKeys addresses and as many accounts are tracked; when that
// many are being tracked within one window, a new address or account is not limited (the ones
// already tracked still are).
class LoginThrottle {
 public:
  using Clock = std::chrono::steady_clock;

  struct Limits {
    std::size_t perAddress = 10;
    std::size_t perAccount = 5;
    std::chrono::seconds window{60};
  };

  static constexpr std::size_t kMaxKeys = 100'000;

  explicit LoginThrottle(Limits limits) : limits_(limits) {}

  // Counts one attempt by address for account (an empty account for a registration, which only
  // the address limit covers). Nothing when the attempt may go ahead; otherwise the whole seconds
  // until it may (at least 1), and the attempt is not counted.
  std::optional<std::chrono::seconds> admit(std::string_view address, std::string_view account,
                                            Clock::time_point now);
  // The account's sign-in succeeded: its attempt is not held against it.
  void succeeded(std::string_view account);

 private:
  using Attempts = std::unordered_map<std::string, std::deque<Clock::time_point>>;

  // The wait before key may try again, with its attempts older than the window dropped.
  std::optional<Clock::duration> waitFor(Attempts& attempts, std::string_view key,
                                         std::size_t limit, Clock::time_point now);
  void record(Attempts& attempts, std::string_view key, Clock::time_point now);
  void prune(Attempts& attempts, Clock::time_point now);

  Limits limits_;
  std::mutex mutex_;
  Attempts byAddress_;
  Attempts byAccount_;
};

}  // namespace tether
