#include "Policy.h"

#include <unordered_set>

#include "JsonFields.h"

namespace tether {

namespace {

using JsonFields::json;

std::vector<std::string> stringList(const json& parent, const char* key) {
  using namespace JsonFields;
  std::vector<std::string> out;
  const json* list = find(parent, key);
  if (!list) return out;
  if (!list->is_array()) throw DecodeError(std::string("key \"") + key + "\": expected an array, found " + list->type_name());
  out.reserve(list->size());
  std::size_t i = 0;
  for (const json& item : *list) {
    out.push_back(asString(item, std::string(key) + "[" + std::to_string(i++) + "]"));
  }
  return out;
}

TimeWindow decodeWindow(const json& j, const std::string& path) {
  using namespace JsonFields;
  requireObject(j, path);
  TimeWindow w;
  const json& days = require(j, "days", path);
  if (!days.is_array()) throw DecodeError("key \"" + join(path, "days") + "\": expected an array, found " + days.type_name());
  std::size_t i = 0;
  for (const json& d : days) {
    w.days.push_back(asInteger(d, join(path, "days") + "[" + std::to_string(i++) + "]"));
  }
  w.start = asString(require(j, "start", path), join(path, "start"));
  w.end = asString(require(j, "end", path), join(path, "end"));
  if (const json* mode = find(j, "mode")) w.mode = asString(*mode, join(path, "mode"));
  return w;
}

AppRule decodeAppRule(const json& j, const std::string& path) {
  using namespace JsonFields;
  requireObject(j, path);
  AppRule rule;
  if (const json* windows = find(j, "windows")) {
    if (!windows->is_array()) throw DecodeError("key \"" + join(path, "windows") + "\": expected an array, found " + windows->type_name());
    std::size_t i = 0;
    for (const json& w : *windows) {
      rule.windows.push_back(decodeWindow(w, join(path, "windows") + "[" + std::to_string(i++) + "]"));
    }
  }
  if (const json* limit = find(j, "dailyLimitMinutes")) {
    rule.dailyLimitMinutes = asInteger(*limit, join(path, "dailyLimitMinutes"));
  }
  return rule;
}

}  // namespace

Result<Policy> Policy::decode(std::string_view text) {
  using namespace JsonFields;
  try {
    const json doc = parse(text);
    requireObject(doc, "");
    Policy p;
    p.rev = asInteger(require(doc, "rev", ""), "rev");
    if (const json* apps = find(doc, "apps")) {
      requireObject(*apps, "apps");
      for (const auto& [id, rule] : apps->items()) {
        p.apps.emplace(id, decodeAppRule(rule, "apps." + id));
      }
    }
    p.domains = stringList(doc, "domains");
    if (const json* limits = find(doc, "domainLimits")) {
      requireObject(*limits, "domainLimits");
      for (const auto& [host, minutes] : limits->items()) {
        p.domainLimits.emplace(host, asInteger(minutes, "domainLimits." + host));
      }
    }
    p.domainAllow = stringList(doc, "domainAllow");
    p.domainExact = stringList(doc, "domainExact");
    if (const json* epoch = find(doc, "usageEpoch")) p.usageEpoch = asInteger(*epoch, "usageEpoch");
    return p;
  } catch (const DecodeError& e) {
    return Result<Policy>::failure(e.what());
  }
}

std::vector<SiteRule> Policy::siteRules() const {
  const std::unordered_set<std::string_view> exact(domainExact.begin(), domainExact.end());
  std::vector<SiteRule> rules;
  rules.reserve(domains.size() + domainLimits.size() + domainAllow.size());
  for (const auto& host : domains) {
    rules.push_back({host, !exact.contains(host), SiteAction::block()});
  }
  for (const auto& [host, minutes] : domainLimits) {
    rules.push_back({host, !exact.contains(host), SiteAction::limit(minutes)});
  }
  for (const auto& host : domainAllow) {
    rules.push_back({host, !exact.contains(host), SiteAction::allow()});
  }
  return rules;
}

}  // namespace tether
