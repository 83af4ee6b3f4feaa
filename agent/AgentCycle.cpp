// The sample-and-enforce cycle: credit the time since the last cycle, ask the tab helper to leave
// blocked pages, terminate applications outside their rules, refresh the DNS blocks, save usage.
#include "Agent.h"

#include <signal.h>

#include <algorithm>
#include <set>

#include "Clock.h"
#include "NeverKill.h"
#include "TabState.h"
#include "dns/SiteIndex.h"
#include "platform/ProcessTable.h"

namespace tether {

namespace {

constexpr double kIdleLimitSeconds = 600;
constexpr double kCreditCapFloorSeconds = 15;
constexpr std::chrono::milliseconds kTerminationPause{200};

bool isBrowser(const std::string& bundleId) {
  return bundleId == "com.apple.Safari" || bundleId == "com.google.Chrome";
}

double minutesOf(const UsageState& usage, const std::string& key) {
  const auto it = usage.minutes.find(key);
  return it == usage.minutes.end() ? 0.0 : it->second;
}

}  // namespace

void Agent::sampleAndEnforce() {
  // 1. Elapsed time, from the monotonic clock so that a clock set back never credits negative
  //    time, capped so that a long gap (sleep, a slow request) credits at most the cap.
  const auto cycleStart = env_.monotonic();
  const double cycleStartWall = wallSeconds();
  const double elapsed =
      std::max(0.0, std::chrono::duration<double>(cycleStart - lastSample_).count());
  const double cap = std::max(kCreditCapFloorSeconds, 3 * config_.sampleIntervalSeconds);
  const double credit = std::min(elapsed, cap) / 60.0;
  lastSample_ = cycleStart;

  // 2. Running applications.
  std::set<std::string> running;
  for (const RunningProc& p : runningApps()) running.insert(p.bundleId);

  // 3. The tab helper's snapshot; an unusable or stale one counts as none.
  const std::optional<TabSnapshot> snapshot = TabState::readSnapshot(configURL_);
  const bool fresh = snapshot && TabState::isFresh(*snapshot, wallSeconds());

  // 4. Application time.
  const bool userPresent =
      fresh && (isBrowser(snapshot->bundleId) || snapshot->idleSeconds < kIdleLimitSeconds);
  if (fresh) {
    if (!snapshot->locked && userPresent && policy_.apps.contains(snapshot->bundleId)) {
      usage_.minutes[snapshot->bundleId] += credit;
    }
  } else {
    for (const std::string& id : running) {
      if (policy_.apps.contains(id)) usage_.minutes[id] += credit;
    }
  }

  // 5. Web time, under the host of the limit rule that governs the front tab.
  const SiteIndex& rules = *siteIndex_;
  if (fresh && !snapshot->locked && userPresent && !snapshot->privateBrowsing && snapshot->host) {
    const std::optional<SiteRule> rule = rules.winning(*snapshot->host);
    if (rule && rule->action.kind == SiteAction::Kind::limit && rule->action.minutes > 0) {
      usage_.minutes[rule->host] += credit;
    }
  }

  // 6. The request to the tab helper, written every cycle.
  bool evict = false;
  if (fresh && snapshot->host) {
    if (const std::optional<SiteRule> rule = rules.winning(*snapshot->host)) {
      const SiteAction& action = rule->action;
      evict = action.kind == SiteAction::Kind::block ||
              (action.kind == SiteAction::Kind::limit &&
               (action.minutes <= 0 ||
                minutesOf(usage_, rule->host) >= static_cast<double>(action.minutes)));
    }
  }
  std::string failure;
  noteWrite(requestWriteFailing_, TabState::enforcePath(configURL_),
            TabState::writeEnforce(TabEnforce{cycleStartWall, evict, true}, configURL_, &failure),
            failure);

  // 7. Applications outside their rules, running or not.
  const auto now = env_.now();
  std::vector<std::string> blocked;
  for (const auto& [id, rule] : policy_.apps) {
    if (Clock::shouldBlock(rule, minutesOf(usage_, id), now)) blocked.push_back(id);
  }

  // 8. Termination: SIGTERM to every process of the application, a pause, then SIGKILL to
  //    whatever is still listed. Only an application that had a process to signal costs the
  //    pause (a bedtime window over a hundred applications, none running, would otherwise hold
  //    the cycle for twenty seconds and lose the time of the limited ones past the credit cap).
  //    A stop ends the pause and abandons the pass, so the shutdown is never kept waiting.
  for (const std::string& id : blocked) {
    if (stopRequested()) break;
    if (NeverKill::bundleIDs().contains(id)) continue;
    bool signalled = false;
    for (const RunningProc& p : runningApps()) {
      if (p.bundleId != id) continue;
      env_.processes->signal(p.pid, SIGTERM);
      signalled = true;
    }
    if (!signalled) continue;
    env_.pause(stop_, kTerminationPause);
    if (stopRequested()) break;
    for (const RunningProc& p : runningApps()) {
      if (p.bundleId == id) env_.processes->signal(p.pid, SIGKILL);
    }
  }

  // 9-10. (And the system's DNS servers pointed at the proxy, when that failed so far.)
  applyDNS();
  if (dnsSwitchPending_) switchSystemDNS();
  persistUsage();
}

}  // namespace tether
