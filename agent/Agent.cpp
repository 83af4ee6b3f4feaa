#include "Agent.h"

#include <cmath>
#include <limits>

#include "Clock.h"
#include "HttpClient.h"
#include "Inventory.h"
#include "InventoryScan.h"
#include "Log.h"
#include "SafeFile.h"
#include "TabState.h"
#include "dns/DNSConfigurator.h"
#include "dns/DNSProxy.h"
#include "dns/SiteIndex.h"
#include "platform/ProcessTable.h"

namespace tether {

AgentEnvironment AgentEnvironment::system() {
  AgentEnvironment env;
  env.now = [] { return std::chrono::system_clock::now(); };
  env.monotonic = [] { return std::chrono::steady_clock::now(); };
  env.processes = ProcessTable::system();
  env.pause = [](const WakeSignal& stop, std::chrono::microseconds d) { stop.waitFor(d); };
  env.inventory = [](const std::atomic<bool>& cancelled) {
    return Inventory::scan("/", &cancelled);
  };
  return env;
}

Agent::Agent(AgentConfig config, const std::string& configPath, AgentEnvironment environment)
    : config_(std::move(config)),
      configURL_(std::filesystem::path(configPath).parent_path()),
      env_(std::move(environment)) {
  if (configURL_.empty()) configURL_ = ".";
  session_ = std::make_unique<HttpClient>(stop_.fd());
  inventoryScan_ = std::make_unique<InventoryScan>(
      [this](const std::atomic<bool>& cancelled) { return env_.inventory(cancelled); });
  siteIndex_ = std::make_shared<const SiteIndex>(policy_);
  lastSample_ = env_.monotonic();
  dns_ = std::make_unique<DNSProxy>(config_.upstreamDNS, env_.dnsListenPort, env_.dnsUpstreamPort);
  // The agent's own requests go through its proxy: the service stays reachable whatever the
  // policy blocks, or no policy that lifts the block could ever arrive.
  if (auto host = HttpClient::hostOf(config_.serverURL)) dns_->setAlwaysForwarded(*host);

  // Take up the usage file: today's is kept, another day's keeps only its epoch, and a missing
  // or damaged file counts as absent (it stays on disk until the first write replaces it).
  // A write cut short by a crash leaves only its temporary file behind; nothing writes now.
  SafeFile::removeStaleTemporaries(configURL_ / UsageState::kFileName);
  SafeFile::removeStaleTemporaries(TabState::enforcePath(configURL_));
  SafeFile::removeStaleTemporaries(configURL_ / DNSConfigurator::kBackupFile);
  SafeFile::removeStaleTemporaries(configURL_ / kPolicyFile);
  const std::string today = Clock::todayStamp(env_.now());
  usage_ = UsageState{today, {}, 0};
  auto bytes = SafeFile::read(configURL_ / UsageState::kFileName, UsageState::kMaxFileBytes,
                              SafeFile::Links::Refuse);
  if (!bytes) return;
  auto stored = UsageState::decode(*bytes);
  if (!stored) return;
  if (stored->date == today) {
    usage_ = std::move(*stored);
  } else {
    usage_.epoch = stored->epoch;
  }
}

Agent::~Agent() = default;

void Agent::requestStop() { stop_.raise(); }

std::chrono::nanoseconds Agent::sleepDuration(double sampleIntervalSeconds) {
  const double seconds = std::max(1.0, sampleIntervalSeconds);
  const double ns = seconds * 1e9;
  // Beyond the largest count of nanoseconds (about 292 years) the sleep is clamped.
  if (!(ns < static_cast<double>(std::numeric_limits<int64_t>::max()))) {
    return std::chrono::nanoseconds(std::numeric_limits<int64_t>::max());
  }
  return std::chrono::nanoseconds(static_cast<int64_t>(ns));
}

double Agent::wallSeconds() const {
  return std::chrono::duration<double>(env_.now().time_since_epoch()).count();
}

void Agent::dayRolloverCheck() {
  const std::string today = Clock::todayStamp(env_.now());
  if (usage_.date == today) return;
  usage_.date = today;
  usage_.minutes.clear();
  persistUsage();
}

void Agent::persistUsage() {
  // A failed write leaves the previous file in place; the next cycle tries again.
  const std::filesystem::path file = configURL_ / UsageState::kFileName;
  std::string failure;
  noteWrite(usageWriteFailing_, file,
            SafeFile::writeAtomically(file, usage_.encode(), 0644, &failure), failure);
}

void Agent::noteWrite(bool& failing, const std::filesystem::path& file, bool written,
                      const std::string& failure) {
  if (written == !failing) return;
  failing = !written;
  log(written ? "wrote " + file.string() + " again"
              : "could not write " + file.string() + ": " + failure);
}

void Agent::run() {
  using namespace std::chrono;
  // The first inventory runs meanwhile: the first upload carries it when it is done in time.
  inventoryScan_->start();
  dayRolloverCheck();
  // The policy last in force holds from the start, whether or not the service answers.
  loadSavedPolicy();
  if (config_.enableDNS) {
    startDNS();
  } else {
    restoreSystemDNS();  // servers left pointing at a proxy by an earlier run with filtering on
  }
  lastSample_ = env_.monotonic();
  if (stopRequested()) return;
  poll();
  if (stopRequested()) return;
  postUsage(true);

  auto lastPoll = env_.monotonic();
  auto lastUpload = env_.monotonic();
  auto lastInventory = env_.monotonic();
  const duration<double> pollInterval(config_.pollIntervalSeconds);
  const auto pause = sleepDuration(config_.sampleIntervalSeconds);

  while (!stopRequested()) {
    dayRolloverCheck();
    sampleAndEnforce();
    if (stopRequested()) return;

    const auto now = env_.monotonic();
    if (now - lastPoll >= pollInterval) {
      poll();
      lastPoll = env_.monotonic();
      if (stopRequested()) return;
    }
    if (now - lastUpload >= pollInterval) {
      const bool forceInventory = now - lastInventory >= seconds(300);
      if (forceInventory) lastInventory = now;
      postUsage(forceInventory);
      lastUpload = env_.monotonic();
      if (stopRequested()) return;
    }
    if (stop_.waitFor(pause)) return;
  }
}

void Agent::shutdown() {
  inventoryScan_->cancel();
  persistUsage();
  if (dnsApplied_) restoreSystemDNS();
  dns_->shutdown();
}

}  // namespace tether
