// The running applications, by bundle identifier, from the process table.
#include "Agent.h"

#include "platform/ProcessTable.h"

namespace tether {

std::vector<RunningProc> Agent::runningApps() const { return {}; }

std::optional<std::string> Agent::bundleID(const std::string&) { return std::nullopt; }

}  // namespace tether
