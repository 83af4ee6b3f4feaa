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

}  // namespace

double Agent::minutesUsed(const std::string& key) const {
  const auto it = usage_.minutes.find(key);
  return it == usage_.minutes.end() ? 0.0 : it->second;
}

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

  // 2. Running applications: the cycle's one listing, which the termination below starts from.
  std::vector<RunningProc> processes = runningApps();
  std::set<std::string> running;
  for (const RunningProc& p : processes) running.insert(p.bundleId);

  // 3. The tab helper's snapshot, read once per cycle (the domain limits below use it too); an
  //    unusable or stale one counts as none.
  snapshot_ = TabState::readSnapshot(configURL_);
  const TabSnapshot* tab =
      snapshot_ && TabState::isFresh(*snapshot_, wallSeconds()) ? &*snapshot_ : nullptr;

  // 4. Application time.
  const bool userPresent =
      tab && (isBrowser(tab->bundleId) || tab->idleSeconds < kIdleLimitSeconds);
  if (tab) {
    if (!tab->locked && userPresent && policy_.apps.contains(tab->bundleId)) {
      usage_.minutes[tab->bundleId] += credit;
    }
  } else {
    for (const std::string& id : running) {
      if (policy_.apps.contains(id)) usage_.minutes[id] += credit;
    }
  }

  // The rule that governs the front tab's host, looked up once for steps 5 and 6.
  const std::optional<SiteRule> frontRule =
      tab && tab->host ? siteIndex_->winning(*tab->host) : std::nullopt;

  // 5. Web time, under the host of the limit rule that governs the front tab.
  if (frontRule && !tab->locked && userPresent && !tab->privateBrowsing &&
      frontRule->action.kind == SiteAction::Kind::limit && frontRule->action.minutes > 0) {
    usage_.minutes[frontRule->host] += credit;
  }

  // 6. The request to the tab helper, written every cycle: leave the page when its rule blocks
  //    now. Nothing of a limit of 0 minutes or fewer can be used.
  const bool evict =
      frontRule && frontRule->action.blocksNow(SiteAction::NonPositiveLimit::zeroOrBelowBlocks, [&] {
        return frontRule->action.spentBy(minutesUsed(frontRule->host));
      });
  std::string failure;
  noteWrite(requestWriteFailing_, TabState::enforcePath(configURL_),
            TabState::writeEnforce(TabEnforce{cycleStartWall, evict, true}, configURL_, &failure),
            failure);

  // 7-8. Applications outside their rules, running or not, and their termination: SIGTERM to
  //    every process of the application, a pause, then SIGKILL to whatever is still listed. The
  //    listing taken after each pause serves the next application's SIGTERM as well. Only an
  //    application that had a process to signal costs the pause (a bedtime window over a hundred
  //    applications, none running, would otherwise hold the cycle for twenty seconds and lose
  //    the time of the limited ones past the credit cap). A stop ends the pause and abandons the
  //    pass, so the shutdown is never kept waiting.
  for (const std::string& id : blockedApps()) {
    if (stopRequested()) break;
    if (NeverKill::bundleIDs().contains(id)) continue;
    bool signalled = false;
    for (const RunningProc& p : processes) {
      if (p.bundleId != id) continue;
      env_.processes->signal(p.pid, SIGTERM);
      signalled = true;
    }
    if (!signalled) continue;
    env_.pause(stop_, kTerminationPause);
    if (stopRequested()) break;
    processes = runningApps();
    for (const RunningProc& p : processes) {
      if (p.bundleId == id) env_.processes->signal(p.pid, SIGKILL);
    }
  }

  // 9-10. (And the system's DNS servers pointed at the proxy, when that failed so far.)
  applyDNS();
  if (dnsSwitchPending_) switchSystemDNS();
  persistUsage();
}

}  // namespace tether
