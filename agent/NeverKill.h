#pragma once

#include <string>
#include <unordered_set>

namespace tether {

// System applications the agent never terminates, whatever the policy says.
namespace NeverKill {
const std::unordered_set<std::string>& bundleIDs();
}

}  // namespace tether
