#include "Log.h"

#include <unistd.h>

#include <cerrno>
#include <ctime>

namespace tether {

std::string formatLogLine(std::chrono::system_clock::time_point when, std::string_view message) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(
      std::chrono::floor<std::chrono::seconds>(when));
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc);
  std::string line;
  line.reserve(message.size() + 25);
  line += '[';
  line += stamp;
  line += "] ";
  line += message;
  line += '\n';
  return line;
}

void log(std::string_view message) {
  const std::string line = formatLogLine(std::chrono::system_clock::now(), message);
  // One write call per line so that lines from several threads never interleave; a short write
  // (a full pipe) carries on with the rest.
  const char* p = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    ssize_t n = ::write(STDERR_FILENO, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

}  // namespace tether
