#include "DNSConfigurator.h"

#include <chrono>

#include <nlohmann/json.hpp>

#include "JsonFields.h"
#include "Log.h"
#include "SafeFile.h"
#include "Subprocess.h"
#include "Utf8.h"

namespace tether::DNSConfigurator {

namespace {

constexpr auto kToolTimeout = std::chrono::seconds(30);
constexpr std::size_t kMaxToolOutput = 4 * 1024 * 1024;
constexpr std::size_t kMaxBackupBytes = 4 * 1024 * 1024;

Subprocess::Run runTool(const std::filesystem::path& tool,
                        const std::vector<std::string>& arguments) {
  return Subprocess::run(tool, arguments, kToolTimeout, kMaxToolOutput);
}

// The tool's output as text: none when it did not run or the output is not UTF-8.
std::optional<std::string> textOf(Subprocess::Run run) {
  if (!run.ran || !Utf8::isValid(run.output)) return std::nullopt;
  return std::move(run.output);
}

// The enabled services, or nothing when the tool could not list them.
std::optional<std::vector<std::string>> networkServices(const std::filesystem::path& tool) {
  const auto listing = runNetworkSetup(tool, {"-listallnetworkservices"});
  if (!listing) return std::nullopt;
  return servicesFromListing(*listing);
}

std::optional<std::vector<std::string>> dnsServers(const std::filesystem::path& tool,
                                                   const std::string& service) {
  const auto answer = runNetworkSetup(tool, {"-getdnsservers", service});
  if (!answer) return std::nullopt;
  return serversFromAnswer(*answer);
}

std::optional<Backup> readBackup(const std::filesystem::path& configDirectory) {
  auto bytes =
      SafeFile::read(configDirectory / kBackupFile, kMaxBackupBytes, SafeFile::Links::Refuse);
  if (!bytes) return std::nullopt;
  const auto doc = nlohmann::json::parse(*bytes, nullptr, false);
  if (!doc.is_object()) return std::nullopt;
  Backup backup;
  try {
    for (const auto& [service, servers] : doc.items()) {
      backup[service] = JsonFields::asStringArray(servers, service);
    }
  } catch (const DecodeError&) {
    return std::nullopt;
  }
  return backup;
}

bool saveBackup(const Backup& backup, const std::filesystem::path& configDirectory) {
  nlohmann::json doc = nlohmann::json::object();
  for (const auto& [service, servers] : backup) doc[service] = servers;
  std::string text;
  try {
    text = doc.dump();
  } catch (const nlohmann::json::exception&) {
    return false;  // a name that is not UTF-8 cannot be written, nor put back from JSON
  }
  return SafeFile::writeAtomically(configDirectory / kBackupFile, text);
}

bool isLineBreakAt(std::string_view text, std::size_t i, std::size_t& length) {
  const char c = text[i];
  if (c == '\n' || c == '\v' || c == '\f' || c == '\r') {
    length = 1;
    return true;
  }
  const std::string_view rest = text.substr(i);
  if (rest.starts_with("\xC2\x85")) {  // U+0085
    length = 2;
    return true;
  }
  if (rest.starts_with("\xE2\x80\xA8") || rest.starts_with("\xE2\x80\xA9")) {  // U+2028, U+2029
    length = 3;
    return true;
  }
  return false;
}

std::string asciiLower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

}  // namespace

std::optional<std::string> runNetworkSetup(const std::filesystem::path& tool,
                                           const std::vector<std::string>& arguments) {
  return textOf(runTool(tool, arguments));
}

std::vector<std::string> lines(std::string_view text) {
  std::vector<std::string> out;
  std::size_t start = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t length = 0;
    if (isLineBreakAt(text, i, length)) {
      if (i > start) out.emplace_back(text.substr(start, i - start));
      i += length;
      start = i;
    } else {
      ++i;
    }
  }
  if (start < text.size()) out.emplace_back(text.substr(start));
  return out;
}

std::vector<std::string> servicesFromListing(std::string_view text) {
  std::vector<std::string> services;
  for (auto& line : lines(text)) {
    if (line.starts_with("An asterisk") || line.starts_with('*')) continue;
    services.push_back(std::move(line));
  }
  return services;
}

std::vector<std::string> serversFromAnswer(std::string_view text) {
  auto servers = lines(text);
  for (const auto& line : servers) {
    const std::string lower = asciiLower(line);
    if (lower.find("aren't any dns") != std::string::npos ||
        lower.find("empty") != std::string::npos) {
      return {};
    }
  }
  return servers;
}

std::optional<std::string> apply(const std::filesystem::path& configDirectory,
                                 const std::filesystem::path& tool) {
  const auto services = networkServices(tool);
  if (!services) return "the network services could not be listed (" + tool.string() + ")";
  // An existing entry holds the servers from before the first change and is never replaced;
  // a service that appeared since is added before its servers change.
  const std::optional<Backup> existing = readBackup(configDirectory);
  Backup backup = existing.value_or(Backup{});
  bool added = !existing;
  for (const auto& service : *services) {
    if (backup.contains(service)) continue;
    auto servers = dnsServers(tool, service);
    if (!servers) return "the DNS servers of " + service + " could not be read";
    backup.emplace(service, std::move(*servers));
    added = true;
  }
  if (added && !saveBackup(backup, configDirectory)) {
    return (configDirectory / kBackupFile).string() + " could not be written";
  }
  for (const auto& service : *services) {
    runNetworkSetup(tool, {"-setdnsservers", service, "127.0.0.1"});
  }
  log("set DNS to 127.0.0.1 on " + std::to_string(services->size()) + " service(s)");
  return std::nullopt;
}

void restore(const std::filesystem::path& configDirectory, const std::filesystem::path& tool) {
  const auto backup = readBackup(configDirectory);
  if (!backup) return;
  std::string failure;
  for (const auto& [service, servers] : *backup) {
    std::vector<std::string> arguments{"-setdnsservers", service};
    const bool none = servers.empty() || (servers.size() == 1 && servers[0] == "Empty") ||
                      (servers.size() == 1 &&
                       servers[0] == "There aren't any DNS Servers set on " + service + ".");
    if (none) {
      arguments.emplace_back("Empty");
    } else {
      arguments.insert(arguments.end(), servers.begin(), servers.end());
    }
    const auto run = runTool(tool, arguments);
    if (!run.ran && failure.empty()) failure = run.failure;
  }
  if (!failure.empty()) {
    // The backup is the only record of the previous servers: keep it for the next restore.
    log("previous DNS servers not restored (" + failure + "); " + kBackupFile + " kept");
    return;
  }
  std::error_code ec;
  std::filesystem::remove(configDirectory / kBackupFile, ec);
  log("restored previous DNS servers");
}

}  // namespace tether::DNSConfigurator
