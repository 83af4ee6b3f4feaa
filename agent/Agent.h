#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "AgentConfig.h"
#include "AgentError.h"
#include "Digest.h"
#include "Policy.h"
#include "Result.h"
#include "TabState.h"
#include "UsageReport.h"
#include "UsageState.h"
#include "WakeSignal.h"

namespace tether {

class DNSProxy;
class HttpClient;
class InventoryScan;
struct HttpRequest;
struct HttpResponse;
class ProcessTable;
class SiteIndex;

// One running process that lies in an application bundle.
struct RunningProc {
  std::string bundleId;
  int32_t pid = 0;

  bool operator==(const RunningProc&) const = default;
};

// What the agent takes from the machine. The binary uses system(); tests replace parts of it.
struct AgentEnvironment {
  std::function<std::chrono::system_clock::time_point()> now;  // wall clock and local time
  std::function<std::chrono::steady_clock::time_point()> monotonic;  // elapsed time, loop clocks
  std::shared_ptr<ProcessTable> processes;
  // The pause between SIGTERM and SIGKILL; it ends early once the stop is raised.
  std::function<void(const WakeSignal& stop, std::chrono::microseconds)> pause;
  std::filesystem::path networkSetupTool = "/usr/sbin/networksetup";
  // The installed applications (Inventory::scan of "/"); run off the loop's thread, it ends early
  // once `cancelled` is set.
  std::function<std::vector<InstalledApp>(const std::atomic<bool>& cancelled)> inventory;
  uint16_t dnsListenPort = 53;
  uint16_t dnsUpstreamPort = 53;

  static AgentEnvironment system();
};

// The agent: owns the configuration, the policy in force, the day's usage and the DNS proxy, and
// runs the one timed loop. All of its state belongs to the thread that calls run(); other threads
// only call requestStop().
class Agent {
 public:
  Agent(AgentConfig config, const std::string& configPath,
        AgentEnvironment environment = AgentEnvironment::system());
  ~Agent();
  Agent(const Agent&) = delete;
  Agent& operator=(const Agent&) = delete;

  // Start-up, then the loop. Returns once a stop has been requested, between two steps.
  void run();
  // From any thread (the signal thread): wakes the loop's sleep and interrupts a request.
  void requestStop();
  // Writes the usage, restores the system DNS servers if they were changed, closes the proxy.
  void shutdown();

  // The loop's steps, each of which tests also take one at a time.
  void dayRolloverCheck();
  void sampleAndEnforce();
  void startDNS();
  void poll();
  void postUsage(bool forceInventory);
  void persistUsage();
  // A fetched policy: the parent's usage reset, then the change of revision.
  void applyPolicy(Policy fetched);

  // The policy in force is kept here (its body as the service sent it, readable by root only),
  // so that it is enforced from the start even while the service cannot be reached.
  static constexpr const char* kPolicyFile = "policy.json";
  // Beyond this many hosts of plain block rules, the usage report leaves them out (the service
  // knows them: they are the policy) and gives their number instead.
  static constexpr std::size_t kReportedBlockHosts = 1000;

  // What the agent sees and holds.
  std::vector<std::string> currentlyBlocked() const;
  std::vector<RunningProc> runningApps() const;
  static std::optional<std::string> bundleID(const std::string& executablePath);
  // The policy in force. Its host lists (domains, domainAllow, domainExact) are emptied once its
  // site rules are indexed: the index holds them from then on, and a million names held twice
  // would double the agent's memory.
  const Policy& policy() const { return policy_; }
  const SiteIndex& siteIndex() const { return *siteIndex_; }
  const UsageState& usage() const { return usage_; }
  DNSProxy& dns() { return *dns_; }

  // How long the loop sleeps after each pass: max(1, sampleIntervalSeconds), bounded.
  static std::chrono::nanoseconds sleepDuration(double sampleIntervalSeconds);

 private:
  // Hands the rules and the hosts over their limit (as the latest cycle's snapshot has them) to
  // the proxy.
  void applyDNS();
  // How long the first upload waits for the first inventory, which runs off the loop's thread.
  static constexpr std::chrono::seconds kFirstInventoryWait{2};

  bool stopRequested() const { return stop_.raised(); }
  // serverURL + path as plain text with the device token, or "bad serverURL".
  Result<HttpRequest> authorizedRequest(const std::string& path) const;
  // The error for a status of 400 or more.
  static std::optional<AgentError> throwIfNeeded(const HttpResponse& response);
  // What the usage report lists as blocked now: currentlyBlocked(), except that the hosts of
  // plain block rules are left out when there are more than kReportedBlockHosts of them; their
  // number then comes as well.
  struct ReportedBlocked {
    std::vector<std::string> list;
    std::optional<int64_t> leftOutHosts;
  };
  ReportedBlocked reportedBlocked() const;

  // Points the system's DNS servers at the proxy; on failure tried again every cycle.
  void switchSystemDNS();
  // Logs the first failed write of a file and the first success after it, one line each.
  static void noteWrite(bool& failing, const std::filesystem::path& file, bool written,
                        const std::string& failure);
  void restoreSystemDNS();
  enum class PolicyOrigin { service, disk };
  void applyPolicy(Policy fetched, PolicyOrigin origin);
  // Takes up the policy kept on disk; a damaged or oversized file is ignored with one line.
  void loadSavedPolicy();
  void savePolicy(std::string_view body);
  // The applications blocked now, sorted.
  std::vector<std::string> blockedApps() const;
  // The day's minutes under a key (a bundle identifier or a rule's host); 0 when there are none.
  double minutesUsed(const std::string& key) const;
  double wallSeconds() const;

  AgentConfig config_;
  std::filesystem::path configURL_;
  AgentEnvironment env_;
  WakeSignal stop_;
  std::unique_ptr<HttpClient> session_;
  std::unique_ptr<InventoryScan> inventoryScan_;
  bool firstInventoryDue_ = true;
  // The digest of the last policy body that decoded, with its rev and usageEpoch: the same bytes
  // again change nothing while the policy in force has that rev and the usage epoch is not below
  // it. (A body can be tens of megabytes; its digest is all that is kept.)
  std::optional<Digest::Value> lastPolicyDigest_;
  int64_t lastPolicyRev_ = 0;
  int64_t lastPolicyEpoch_ = 0;
  // The service's tag for that body (its ETag), sent back as If-None-Match while the same holds:
  // an answer 304 then means that nothing changed, and no body comes at all.
  std::optional<std::string> lastPolicyTag_;
  // Whether the service has shown that it takes gzip (it sent a policy in gzip): reports then go
  // compressed.
  bool serviceTakesGzip_ = false;
  std::unique_ptr<DNSProxy> dns_;
  Policy policy_;
  // The policy's site rules, rebuilt only when the policy changes.
  std::shared_ptr<const SiteIndex> siteIndex_;
  // The positions of the proxy's rules in the order of their hosts, and the rules they belong to
  // (not kept alive for this).
  mutable std::vector<uint32_t> hostOrder_;
  mutable std::weak_ptr<const SiteIndex> hostOrderRules_;
  // The number of their block rules, likewise.
  mutable std::size_t blockRuleCount_ = 0;
  mutable std::weak_ptr<const SiteIndex> blockRuleCountRules_;
  UsageState usage_;
  // The tab helper's snapshot as the latest cycle read it.
  std::optional<TabSnapshot> snapshot_;
  // The bundle identifiers of running executables by Info.plist path, each with the identity of
  // the file it was read from (device, inode, size, modification and change times): a file is
  // parsed again only once it changed. Entries not seen in the latest listing are dropped.
  struct CachedIdentifier {
    std::array<int64_t, 7> file{};
    std::optional<std::string> identifier;
    uint64_t listing = 0;
  };
  mutable std::unordered_map<std::string, CachedIdentifier> identifiers_;
  mutable uint64_t listings_ = 0;
  std::chrono::steady_clock::time_point lastSample_;
  bool dnsApplied_ = false;
  bool dnsSwitchPending_ = false;
  bool usageWriteFailing_ = false;
  bool requestWriteFailing_ = false;
  bool policyWriteFailing_ = false;
};

}  // namespace tether
