// The sample-and-enforce cycle.
#include "Agent.h"


namespace tether {

void Agent::sampleAndEnforce() {
  // Placeholder until crediting and enforcement arrive: keep the sample clock and the file.
  lastSample_ = env_.monotonic();
  persistUsage();
}


}  // namespace tether
