#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tether {

// Points every enabled network service at the local proxy through the system's networksetup
// tool, keeping the previous servers in "dns-backup.json" in the configuration folder until they
// are restored. Holds no state of its own; the tool runs as a child process, one run at a time.
namespace DNSConfigurator {

inline constexpr const char* kTool = "/usr/sbin/networksetup";
inline constexpr const char* kBackupFile = "dns-backup.json";

// Service name -> its own DNS servers (empty when it has none).
using Backup = std::map<std::string, std::vector<std::string>>;

// Backs up the current servers of every enabled service that the backup does not hold yet (an
// existing entry is never replaced: it holds the servers from before the first change), then
// sets 127.0.0.1 on every enabled service and logs "set DNS to 127.0.0.1 on N service(s)".
// When the services cannot be listed, a service's servers cannot be read or the backup cannot
// be written, nothing is changed and the reason is returned: servers switched without their
// backup could never be put back.
std::optional<std::string> apply(const std::filesystem::path& configDirectory,
                                 const std::filesystem::path& tool = kTool);
// Puts back the servers of the backup, removes it and logs "restored previous DNS servers".
// Without a readable backup nothing happens. Never fails.
void restore(const std::filesystem::path& configDirectory,
             const std::filesystem::path& tool = kTool);

// Runs the tool with the arguments (no shell), standard output and error on one pipe, and
// returns what it wrote; nothing when it cannot be started, does not finish within 30 seconds,
// or writes text that is not UTF-8. The exit status is not looked at.
std::optional<std::string> runNetworkSetup(const std::filesystem::path& tool,
                                           const std::vector<std::string>& arguments);

// The non-empty lines of the tool's output, split at every kind of line break.
std::vector<std::string> lines(std::string_view text);
// The enabled services in a "-listallnetworkservices" listing: neither the explanatory line
// ("An asterisk ...") nor a disabled service ("*...").
std::vector<std::string> servicesFromListing(std::string_view text);
// The servers in a "-getdnsservers" answer; empty when the tool says there are none.
std::vector<std::string> serversFromAnswer(std::string_view text);

}  // namespace DNSConfigurator
}  // namespace tether
