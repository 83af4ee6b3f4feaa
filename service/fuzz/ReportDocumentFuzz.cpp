// Fuzz target: the check of a usage report an agent uploads. A report kept must check again to
// itself.
#include <cstdint>
#include <string_view>

#include "FuzzCheck.h"
#include "ReportDocument.h"

using namespace tether;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  if (auto checked = ReportDocument::check(input)) {
    FUZZ_CHECK(checked->date.size() == 10);
    auto again = ReportDocument::check(checked->report);
    FUZZ_CHECK(again && again->report == checked->report && again->date == checked->date);
    FUZZ_CHECK(again->apps == checked->apps);
  }
  return 0;
}
