#pragma once

#include <string>

#include "SupportFolder.h"

namespace tether {

// The process entry of KinwardAgent.
namespace KinwardAgentMain {

inline const std::string kDefaultConfigPath = std::string(SupportFolder::kPath) + "/config.json";

// "--config PATH" or "--config=PATH", the last one wins; every other argument is skipped.
std::string parseConfigPath(int argc, const char* const* argv);

// Reads the configuration, runs the agent until SIGINT or SIGTERM, and returns the exit status:
// 0 after a signal-driven stop, 1 after a failed start.
int main(int argc, const char* const* argv);

}  // namespace KinwardAgentMain
}  // namespace tether
