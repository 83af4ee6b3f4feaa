#include "UsageState.h"

#include "JsonFields.h"

namespace tether {

Result<UsageState> UsageState::decode(std::string_view text) {
  using namespace JsonFields;
  try {
    const json doc = parse(text);
    requireObject(doc, "");
    UsageState u;
    u.date = asString(require(doc, "date", ""), "date");
    if (const json* minutes = find(doc, "minutes")) {
      requireObject(*minutes, "minutes");
      for (const auto& [key, value] : minutes->items()) {
        u.minutes.emplace(key, asNumber(value, "minutes." + key));
      }
    }
    if (const json* epoch = find(doc, "epoch")) u.epoch = asInteger(*epoch, "epoch");
    return u;
  } catch (const DecodeError& e) {
    return Result<UsageState>::failure(e.what());
  }
}

std::string UsageState::encode() const {
  using JsonFields::json;
  return json{{"date", date}, {"minutes", minutes}, {"epoch", epoch}}.dump(
      -1, ' ', false, json::error_handler_t::replace);
}

}  // namespace tether
