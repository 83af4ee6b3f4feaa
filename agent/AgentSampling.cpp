// The running applications, by bundle identifier, from the process table.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <exception>
#include <string_view>

#include "Agent.h"
#include "AppBundle.h"
#include "BundleInfo.h"
#include "Utf8.h"
#include "platform/ProcessTable.h"

namespace tether {

namespace {

std::optional<std::string> identifierIn(const std::string& infoPlist) {
  auto info = BundleInfo::load(infoPlist);
  if (!info) return std::nullopt;
  return std::move(info->identifier);
}

// What tells one version of a file from another without reading it; all zero when it cannot be
// examined.
std::array<int64_t, 7> identityOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return {};
#ifdef __APPLE__
  const timespec& modified = st.st_mtimespec;
  const timespec& changed = st.st_ctimespec;
#else
  const timespec& modified = st.st_mtim;
  const timespec& changed = st.st_ctim;
#endif
  return {static_cast<int64_t>(st.st_dev), static_cast<int64_t>(st.st_ino),
          static_cast<int64_t>(st.st_size), modified.tv_sec, modified.tv_nsec,
          changed.tv_sec, changed.tv_nsec};
}

}  // namespace

std::vector<RunningProc> Agent::runningApps() const {
  std::vector<RunningProc> apps;
  if (!env_.processes) return apps;
  try {
    ProcessTable& table = *env_.processes;
    const pid_t self = ::getpid();
    std::vector<pid_t> pids = table.listPids();
    if (pids.size() > ProcessTable::kMaxProcesses) pids.resize(ProcessTable::kMaxProcesses);
    // Every Info.plist is parsed once per change, however many processes its application runs
    // and however many listings a cycle takes; a look at the file's identity tells whether it
    // changed.
    const uint64_t listing = ++listings_;
    for (const pid_t pid : pids) {
      if (pid <= 0 || pid == self) continue;
      const auto path = table.executablePath(pid);
      if (!path) continue;  // ended meanwhile, or not ours to examine
      const std::string_view bytes(path->data(), std::min(path->find('\0'), path->size()));
      const auto infoPlist = AppBundle::infoPlistPath(Utf8::repaired(bytes));
      if (!infoPlist) continue;
      CachedIdentifier& cached = identifiers_[*infoPlist];
      if (cached.listing != listing) {
        const auto file = identityOf(*infoPlist);
        if (cached.listing == 0 || cached.file != file) {
          cached.identifier = identifierIn(*infoPlist);
          cached.file = file;
        }
        cached.listing = listing;
      }
      if (cached.identifier) {
        apps.push_back(RunningProc{*cached.identifier, static_cast<int32_t>(pid)});
      }
    }
    std::erase_if(identifiers_, [listing](const auto& entry) {
      return entry.second.listing != listing;
    });
  } catch (const std::exception&) {
    // Only an exhausted memory lands here; an empty list credits and signals nothing.
    apps.clear();
    identifiers_.clear();
  }
  return apps;
}

std::optional<std::string> Agent::bundleID(const std::string& executablePath) {
  try {
    const auto infoPlist = AppBundle::infoPlistPath(executablePath);
    if (!infoPlist) return std::nullopt;
    return identifierIn(*infoPlist);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

}  // namespace tether
