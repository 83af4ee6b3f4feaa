#include "TestSupport.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace tether::test {

std::string configJson(const std::string& serverURL, double sampleIntervalSeconds,
                       double pollIntervalSeconds, bool enableDNS) {
  return nlohmann::json{{"serverURL", serverURL},
                        {"deviceToken", "device-token"},
                        {"pollIntervalSeconds", pollIntervalSeconds},
                        {"sampleIntervalSeconds", sampleIntervalSeconds},
                        {"upstreamDNS", "127.0.0.1"},
                        {"enableDNS", enableDNS}}
      .dump();
}

std::unique_ptr<Agent> makeAgent(const std::filesystem::path& folder, AgentEnvironment env,
                                 const std::string& config) {
  auto decoded = AgentConfig::decode(config);
  if (!decoded) throw std::runtime_error("test configuration: " + decoded.error());
  return std::make_unique<Agent>(*decoded, (folder / "config.json").string(), std::move(env));
}

std::unique_ptr<ChildProcess> startApp(const std::filesystem::path& executable) {
  auto child = std::make_unique<ChildProcess>(std::vector<std::string>{executable.string(), "60"});
  const std::string expected = std::filesystem::canonical(executable).string();
  const auto table = ProcessTable::system();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (table->executablePath(child->pid()) != expected) {
    if (std::chrono::steady_clock::now() > deadline) {
      ADD_FAILURE() << executable << " did not start";
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return child;
}

FakeNetworkSetup::FakeNetworkSetup(std::filesystem::path state, const std::string& listing)
    : state_(std::move(state)) {
  std::filesystem::create_directories(state_);
  writeFile(state_ / "services", listing);
}

void FakeNetworkSetup::install(const std::filesystem::path& tool) const {
  std::string script = readFile(FAKE_NETWORKSETUP);
  const auto at = script.find("@STATE@");
  if (at == std::string::npos) throw std::runtime_error("the stand-in networksetup has no @STATE@");
  script.replace(at, 7, state_.string());
  writeFile(tool, script);
  std::filesystem::permissions(tool, std::filesystem::perms(0755));
}

std::filesystem::path FakeNetworkSetup::serversFile(const std::string& service) const {
  std::string name = "dns-";
  for (const unsigned char c : service) {
    name += "0123456789abcdef"[c >> 4];
    name += "0123456789abcdef"[c & 15];
  }
  return state_ / name;
}

}  // namespace tether::test
