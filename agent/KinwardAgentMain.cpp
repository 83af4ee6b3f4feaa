#include "KinwardAgentMain.h"

#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <thread>

#include "Agent.h"
#include "AgentConfig.h"
#include "Log.h"

namespace tether::KinwardAgentMain {

std::string parseConfigPath(int argc, const char* const* argv) {
  std::string path = kDefaultConfigPath;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--config") {
      if (i + 1 < argc) path = argv[++i];
    } else if (arg.starts_with("--config=")) {
      path = std::string(arg.substr(9));
    }
  }
  return path;
}

namespace {

// launchd gives a daemon 256 descriptors unless told otherwise; the agent takes what the hard
// limit allows (macOS refuses more than OPEN_MAX, and may report the hard limit as unlimited).
void raiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
  rlimit raised = limit;
  raised.rlim_cur = limit.rlim_max;
  if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) return;
#ifdef OPEN_MAX
  raised.rlim_cur = std::min<rlim_t>(limit.rlim_max, OPEN_MAX);
  ::setrlimit(RLIMIT_NOFILE, &raised);
#endif
}

}  // namespace

int main(int argc, const char* const* argv) {
  raiseDescriptorLimit();
  const std::string path = parseConfigPath(argc, argv);
  auto config = AgentConfig::load(path);
  if (!config) {
    log("fatal: " + config.error());
    return 1;
  }
  log("starting with " + path + " -> " + config->serverURL);
  Agent agent(std::move(*config), path);

  // SIGINT and SIGTERM no longer end the process by themselves: they are blocked in every thread
  // (threads started from here on inherit the mask) and a dedicated thread waits for them and
  // asks the agent to stop. The agent's own thread then shuts down between two steps.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  std::thread([&agent, stopSignals] {
    int received = 0;
    while (sigwait(&stopSignals, &received) != 0) {
    }
    agent.requestStop();
  }).detach();

  agent.run();
  agent.shutdown();
  return 0;
}

}  // namespace tether::KinwardAgentMain
