#include "JsonFields.h"

#include <cmath>
#include <limits>

namespace tether::JsonFields {

namespace {

std::string where(const std::string& path) { return path.empty() ? "document" : "key \"" + path + "\""; }

[[noreturn]] void wrongType(const json& value, const std::string& path, const char* expected) {
  throw DecodeError(where(path) + ": expected " + expected + ", found " + value.type_name());
}

}  // namespace

// A parsed document costs many times its text in memory: a deeply nested or very long document
// could make a small body fill the memory of the process that decodes it. The shape is checked on
// the bytes first, outside strings (and no NUL byte anywhere).
void checkShape(std::string_view text) {
  std::size_t depth = 0;
  std::size_t separators = 0;
  bool inString = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    // JSON text never holds a NUL byte (not even in a string, where it must be escaped), and the
    // parser would take one for the end of the text and ignore whatever follows.
    if (c == '\0') throw DecodeError("invalid JSON: NUL byte at offset " + std::to_string(i));
    if (inString) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        inString = false;
      }
      continue;
    }
    switch (c) {
      case '"':
        inString = true;
        break;
      case '[':
      case '{':
        if (++depth > kMaxDepth) {
          throw DecodeError("document nested deeper than " + std::to_string(kMaxDepth) + " levels");
        }
        ++separators;
        break;
      case ']':
      case '}':
        if (depth > 0) --depth;
        break;
      case ',':
        if (++separators > kMaxElements) {
          throw DecodeError("document has more than " + std::to_string(kMaxElements) + " elements");
        }
        break;
      default:
        break;
    }
  }
}

json parse(std::string_view text) {
  return parse(text, nullptr);
}

json parse(std::string_view text, const json::parser_callback_t& callback) {
  checkShape(text);
  try {
    return json::parse(text.begin(), text.end(), callback);
  } catch (const json::exception& e) {
    throw DecodeError(std::string("invalid JSON: ") + e.what());
  }
}

std::string join(const std::string& path, const std::string& key) {
  return path.empty() ? key : path + "." + key;
}

const json& requireObject(const json& value, const std::string& path) {
  if (!value.is_object()) wrongType(value, path, "an object");
  return value;
}

const json* find(const json& object, const std::string& key) {
  auto it = object.find(key);
  if (it == object.end() || it->is_null()) return nullptr;
  return &*it;
}

const json& require(const json& object, const std::string& key, const std::string& path) {
  auto it = object.find(key);
  const std::string full = join(path, key);
  if (it == object.end()) throw DecodeError("key \"" + full + "\" is missing");
  if (it->is_null()) throw DecodeError("key \"" + full + "\" is null");
  return *it;
}

std::string asString(const json& value, const std::string& path) {
  if (!value.is_string()) wrongType(value, path, "a string");
  return value.get<std::string>();
}

std::vector<std::string> asStringArray(const json& value, const std::string& path) {
  if (!value.is_array()) wrongType(value, path, "an array");
  std::vector<std::string> out;
  out.reserve(value.size());
  std::size_t i = 0;
  for (const json& item : value) out.push_back(asString(item, path + "[" + std::to_string(i++) + "]"));
  return out;
}

double asNumber(const json& value, const std::string& path) {
  if (!value.is_number()) wrongType(value, path, "a number");
  return value.get<double>();
}

int64_t asInteger(const json& value, const std::string& path) {
  if (value.is_number_integer()) {
    if (value.is_number_unsigned() &&
        value.get<uint64_t>() > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
      throw DecodeError(where(path) + ": integer out of range");
    }
    return value.get<int64_t>();
  }
  if (value.is_number_float()) {
    const double d = value.get<double>();
    // 2^63 is exactly representable; anything at or above it does not fit.
    if (std::isfinite(d) && std::trunc(d) == d && d >= -9223372036854775808.0 &&
        d < 9223372036854775808.0) {
      return static_cast<int64_t>(d);
    }
    throw DecodeError(where(path) + ": expected an integer, found " + value.dump());
  }
  wrongType(value, path, "an integer");
}

bool asBool(const json& value, const std::string& path) {
  if (!value.is_boolean()) wrongType(value, path, "a boolean");
  return value.get<bool>();
}

}  // namespace tether::JsonFields
