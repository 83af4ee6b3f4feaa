#pragma once

namespace tether {

// The folder the installation gives the agent: its configuration file, its own files, and the
// "state" folder it shares with the tab helper.
namespace SupportFolder {

inline constexpr const char* kPath = "/Library/Application Support/VorozuzIrovidar";

}  // namespace SupportFolder
}  // namespace tether
