#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace tether {

// Raised while decoding a record; the message names the offending key path.
struct DecodeError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Strict field access for the JSON records: required keys must be present and not null, and a
// value of the wrong JSON type fails the whole decode. Numbers that hold integers accept 15 and
// 15.0 but not 15.5.
namespace JsonFields {

using json = nlohmann::json;

// Bounds on what parse() accepts: nesting depth, and elements in all arrays and objects together
// (a policy of a million domains has about a million).
inline constexpr std::size_t kMaxDepth = 64;
inline constexpr std::size_t kMaxElements = 4'000'000;

// Parses text; invalid JSON (a NUL byte anywhere included), or a document beyond the bounds
// above, becomes a DecodeError.
json parse(std::string_view text);
// The same, with each value offered to callback as it is parsed; a value the callback declines
// (returns false for) is left out of the document.
json parse(std::string_view text, const json::parser_callback_t& callback);
// The bounds above and the absence of NUL bytes, checked on text before it is parsed in another
// way (event by event); throws DecodeError.
void checkShape(std::string_view text);

const json& requireObject(const json& value, const std::string& path);

// The value at key, or nullptr when the key is absent or holds null.
const json* find(const json& object, const std::string& key);
const json& require(const json& object, const std::string& key, const std::string& path);

std::string asString(const json& value, const std::string& path);
// An array whose every element is a string; the path of an element that is not names it.
std::vector<std::string> asStringArray(const json& value, const std::string& path);
double asNumber(const json& value, const std::string& path);
int64_t asInteger(const json& value, const std::string& path);
bool asBool(const json& value, const std::string& path);

// "a" + "b" -> "a.b"; "" + "b" -> "b"
std::string join(const std::string& path, const std::string& key);

}  // namespace JsonFields
}  // namespace tether
