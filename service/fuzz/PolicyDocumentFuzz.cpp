// Fuzz target: the check of a policy a parent sends, a console's change to a stored policy, and
// the stored form of host names. What is kept must be kept again unchanged, and what is served
// must be the agent's JSON document.
#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "FuzzCheck.h"
#include "HostName.h"
#include "PolicyDocument.h"

using namespace tether;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  if (auto kept = PolicyDocument::normalize(input)) {
    auto again = PolicyDocument::normalize(*kept);
    FUZZ_CHECK(again && *again == *kept);
    const auto served = nlohmann::json::parse(PolicyDocument::serve(7, 3, *kept), nullptr, false);
    FUZZ_CHECK(served.is_object() && served["rev"] == 7 && served["usageEpoch"] == 3);
    FUZZ_CHECK(served.size() == 7);
  }

  // The bytes as a console's change to a small stored policy: the result is kept as it is.
  static const std::string stored =
      *PolicyDocument::normalize(R"({"domains":["a.test","b.test"],"domainAllow":["x.a.test"]})");
  if (const auto change = nlohmann::json::parse(input, nullptr, false); change.is_object()) {
    if (auto edited = PolicyDocument::edit(stored, change)) {
      auto again = PolicyDocument::normalize(*edited);
      FUZZ_CHECK(again && *again == *edited);
    }
  }

  // The bytes as one host: a stored form is plain lower-case ASCII and stores as itself.
  if (auto host = HostName::stored(input)) {
    FUZZ_CHECK(!host->empty() && host->size() <= 253);
    for (const char c : *host)
      FUZZ_CHECK(c == '.' || c == '-' || c == '_' || (c >= 'a' && c <= 'z') ||
                 (c >= '0' && c <= '9'));
    auto again = HostName::stored(*host);
    FUZZ_CHECK(again && *again == *host);
  }
  return 0;
}
