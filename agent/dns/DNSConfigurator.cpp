#include "DNSConfigurator.h"

namespace tether::DNSConfigurator {

// Placeholder until the networksetup exchange lands.
void apply(const std::filesystem::path&, const std::filesystem::path&) {}
void restore(const std::filesystem::path&, const std::filesystem::path&) {}

}  // namespace tether::DNSConfigurator
