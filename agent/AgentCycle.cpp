// The sample-and-enforce cycle and the running-application list.
#include "Agent.h"

#include "platform/ProcessTable.h"

namespace tether {

void Agent::sampleAndEnforce() {
  // Placeholder until crediting and enforcement arrive: keep the sample clock and the file.
  lastSample_ = env_.monotonic();
  persistUsage();
}

std::vector<RunningProc> Agent::runningApps() const { return {}; }

std::optional<std::string> Agent::bundleID(const std::string&) { return std::nullopt; }

}  // namespace tether
