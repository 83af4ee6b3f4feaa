// The running applications, by bundle identifier, from the process table.
#include <unistd.h>

#include <algorithm>
#include <exception>
#include <string_view>
#include <unordered_map>

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

}  // namespace

std::vector<RunningProc> Agent::runningApps() const {
  std::vector<RunningProc> apps;
  if (!env_.processes) return apps;
  try {
    ProcessTable& table = *env_.processes;
    const pid_t self = ::getpid();
    std::vector<pid_t> pids = table.listPids();
    if (pids.size() > ProcessTable::kMaxProcesses) pids.resize(ProcessTable::kMaxProcesses);
    // Within one listing every Info.plist is read once, however many helper processes its
    // application runs; nothing is kept from one listing to the next.
    std::unordered_map<std::string, std::optional<std::string>> identifiers;
    for (const pid_t pid : pids) {
      if (pid <= 0 || pid == self) continue;
      const auto path = table.executablePath(pid);
      if (!path) continue;  // ended meanwhile, or not ours to examine
      const std::string_view bytes(path->data(), std::min(path->find('\0'), path->size()));
      const auto infoPlist = AppBundle::infoPlistPath(Utf8::repaired(bytes));
      if (!infoPlist) continue;
      auto [entry, fresh] = identifiers.try_emplace(*infoPlist);
      if (fresh) entry->second = identifierIn(*infoPlist);
      if (entry->second) apps.push_back(RunningProc{*entry->second, static_cast<int32_t>(pid)});
    }
  } catch (const std::exception&) {
    // Only an exhausted memory lands here; an empty list credits and signals nothing.
    apps.clear();
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
