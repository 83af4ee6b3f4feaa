#pragma once

#include <atomic>
#include <filesystem>
#include <string_view>
#include <vector>

#include "UsageReport.h"

namespace tether {

// The applications installed on the machine, by display name and bundle identifier.
namespace Inventory {

// Bundles examined per folder at most; a folder with more is scanned no further, with one log
// line.
inline constexpr std::size_t kMaxBundlesPerFolder = 10'000;

// Scans root/"Applications", root/"System/Applications" and root/"Users"/<name>/"Applications"
// for every entry of root/"Users" not beginning with ".", in that order and without descending
// into subfolders. Every entry whose extension is exactly ".app" and whose Contents/Info.plist
// carries a text CFBundleIdentifier counts; its name is CFBundleDisplayName, else CFBundleName,
// else the entry's name without ".app". A bundle identifier found again replaces the earlier
// name, so a user's copy wins. The result is sorted by compareNames. Never fails: what cannot be
// read is left out.
// The users' folders are the users' to fill: there no symbolic link is followed (neither a
// bundle that is a link nor any link inside one). Once `cancelled` is set the scan ends early
// with what it has.
std::vector<InstalledApp> scan(const std::filesystem::path& root,
                               const std::atomic<bool>* cancelled = nullptr);

// The name order of the list, the same on every platform and in every locale: names compare
// letter by letter ignoring case and, for Latin letters, accents (so "apple", "Äpfel" and
// "Apple" sort among the a's, before "banana"); other characters compare by code point.
// Names equal by that measure are put in byte order, so the result never depends on the scan.
// Negative, zero or positive like strcmp.
int compareNames(std::string_view a, std::string_view b);

}  // namespace Inventory
}  // namespace tether
