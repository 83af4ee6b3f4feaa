// Fuzz target: the shape check in front of every JSON document the agent parses. The oracle is
// the parser's own view of the document: it is accepted exactly when it is valid JSON nested at
// most 64 deep with at most 4 000 000 separators (opening brackets and commas). (The parser takes
// a NUL byte for the end of the text; JSON has none, so any NUL byte refuses the text.)
#include <algorithm>
#include <cstdint>
#include <string_view>
#include <vector>

#include "FuzzCheck.h"
#include "JsonFields.h"

namespace {

using tether::JsonFields::json;

// Counts nesting and separators as the parser meets the values.
struct Shape : nlohmann::json_sax<json> {
  std::size_t depth = 0, deepest = 0, containers = 0, items = 0, nonEmpty = 0;
  std::vector<bool> filled;

  void item() {
    if (filled.empty()) return;
    ++items;
    if (!filled.back()) ++nonEmpty;
    filled.back() = true;
  }
  bool open() {
    item();
    ++containers;
    deepest = std::max(deepest, ++depth);
    filled.push_back(false);
    return true;
  }
  bool close() {
    --depth;
    filled.pop_back();
    return true;
  }
  bool null() override { return item(), true; }
  bool boolean(bool) override { return item(), true; }
  bool number_integer(number_integer_t) override { return item(), true; }
  bool number_unsigned(number_unsigned_t) override { return item(), true; }
  bool number_float(number_float_t, const string_t&) override { return item(), true; }
  bool string(string_t&) override { return item(), true; }
  bool binary(binary_t&) override { return item(), true; }
  bool start_object(std::size_t) override { return open(); }
  bool key(string_t&) override { return true; }
  bool end_object() override { return close(); }
  bool start_array(std::size_t) override { return open(); }
  bool end_array() override { return close(); }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    return false;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tether;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  Shape shape;
  const bool valid = json::sax_parse(text.begin(), text.end(), &shape);
  // A separator opens a container or stands between two of its items.
  const std::size_t separators = shape.containers + shape.items - shape.nonEmpty;
  const bool expected = valid && text.find('\0') == std::string_view::npos &&
                        shape.deepest <= JsonFields::kMaxDepth &&
                        separators <= JsonFields::kMaxElements;
  bool accepted = true;
  try {
    (void)JsonFields::parse(text);
  } catch (const DecodeError&) {
    accepted = false;
  }
  FUZZ_CHECK(accepted == expected);
  return 0;
}
