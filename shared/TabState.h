#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "Result.h"

namespace tether {

// What the tab helper saw in the user's session: the front application and its front tab.
struct TabSnapshot {
  double ts = 0;                    // seconds since 1970, with fraction
  std::string bundleId;             // empty when there is no front application
  std::optional<std::string> host;  // lower-case host of the front browser tab
  bool privateBrowsing = false;
  double idleSeconds = 0;
  bool locked = false;
};

// What the agent asks of the tab helper.
struct TabEnforce {
  double ts = 0;
  bool evict = false;
  bool closePrivate = true;
};

// The two files the agent and the tab helper share in the "state" folder.
namespace TabState {

inline constexpr const char* kFolder = "state";
inline constexpr const char* kSnapshotFile = "tab.json";
inline constexpr const char* kEnforceFile = "enforce.json";
// The snapshot is written by the logged-in user; anything larger is not a snapshot.
inline constexpr std::size_t kMaxFileBytes = 64 * 1024;
inline constexpr double kSnapshotFreshSeconds = 45;
inline constexpr double kEnforceFreshSeconds = 60;

std::string encode(const TabSnapshot& snapshot);
std::string encode(const TabEnforce& request);
// Every key is required except "host" (absent or null means no host).
Result<TabSnapshot> decodeSnapshot(std::string_view text);
Result<TabEnforce> decodeEnforce(std::string_view text);

std::filesystem::path snapshotPath(const std::filesystem::path& configDirectory);
std::filesystem::path enforcePath(const std::filesystem::path& configDirectory);

// Agent side. The snapshot is untrusted: a symbolic link, a non-regular file, an oversized or
// undecodable file all read as no snapshot.
std::optional<TabSnapshot> readSnapshot(const std::filesystem::path& configDirectory);
// Fresh only while -45 < now - ts < 45 (seconds): neither old nor far in the future.
bool isFresh(const TabSnapshot& snapshot, double now);
// False (with the reason in *failure when given) when the request could not be written.
bool writeEnforce(const TabEnforce& request, const std::filesystem::path& configDirectory,
                  std::string* failure = nullptr);

// Tab helper side.
void writeSnapshot(const TabSnapshot& snapshot, const std::filesystem::path& file);
std::optional<TabEnforce> readEnforce(const std::filesystem::path& file);
// Obeyed while at most 60 seconds old, and at most 60 seconds ahead of this clock.
bool isObeyable(const TabEnforce& request, double now);

}  // namespace TabState
}  // namespace tether
