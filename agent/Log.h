#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace tether {

// The agent's one logging function: "[" + UTC time + "] " + message + "\n", written to standard
// error in a single write. Safe from any thread; keeps no state.
void log(std::string_view message);

// The line that log() writes for the given instant, e.g. "[2026-03-14T09:26:53Z] hello\n".
std::string formatLogLine(std::chrono::system_clock::time_point when, std::string_view message);

}  // namespace tether
