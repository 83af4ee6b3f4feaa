#include "Policy.h"

#include <unordered_set>

#include "JsonFields.h"

namespace tether {

namespace {

using JsonFields::json;

std::vector<std::string> stringList(const json& parent, const char* key) {
  const json* list = JsonFields::find(parent, key);
  return list ? JsonFields::asStringArray(*list, key) : std::vector<std::string>();
}

// The three host lists of a policy can hold a million names. Parsed into a document, each name
// would cost a node and a copy on top of its text, several times the body; instead the names are
// moved straight into vectors as the parser meets them, and the document keeps empty lists.
// Any element that is not a string spoils this: the caller then decodes the whole document the
// plain way, whose error names the element.
class HostListCollector {
 public:
  static constexpr const char* kKeys[] = {"domains", "domainAllow", "domainExact"};

  json parse(std::string_view text) {
    return JsonFields::parse(text, [this](int depth, json::parse_event_t event, json& parsed) {
      return offer(depth, event, parsed);
    });
  }
  bool spoiled() const { return spoiled_; }

  // The list under key: what was collected when the document holds an array there; otherwise
  // as stringList decides (absent or null: empty; another type: the error).
  std::vector<std::string> take(const json& doc, std::size_t which) {
    const json* list = JsonFields::find(doc, kKeys[which]);
    if (list && list->is_array()) return std::move(lists_[which]);
    return stringList(doc, kKeys[which]);
  }

 private:
  static constexpr std::size_t kNone = 3;

  // Depth 1 holds the keys of the outer object and their values; depth 2 the elements of those
  // values.
  bool offer(int depth, json::parse_event_t event, json& parsed) {
    using Event = json::parse_event_t;
    if (depth == 1) {
      if (event == Event::key) {
        keyAt1_ = kNone;
        const auto& key = parsed.get_ref<const std::string&>();
        for (std::size_t k = 0; k < kNone; ++k) {
          if (key == kKeys[k]) keyAt1_ = k;
        }
        // A repeated key: the last one counts, as in the document.
        if (keyAt1_ != kNone) lists_[keyAt1_].clear();
      } else if (event == Event::array_start) {
        collecting_ = keyAt1_;
      } else if (event == Event::array_end) {
        collecting_ = kNone;
      }
      return true;
    }
    if (depth != 2 || collecting_ == kNone) return true;
    if (event == Event::value && parsed.is_string() && !spoiled_) {
      lists_[collecting_].push_back(std::move(parsed.get_ref<std::string&>()));
      return false;
    }
    spoiled_ = true;
    return true;
  }

  std::vector<std::string> lists_[kNone];
  std::size_t keyAt1_ = kNone;
  std::size_t collecting_ = kNone;
  bool spoiled_ = false;
};

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

Result<Policy> Policy::decode(std::string_view text, HostLists hostLists) {
  using namespace JsonFields;
  try {
    HostListCollector hosts;
    bool plain = hostLists == HostLists::fromDocument;
    json doc = plain ? JsonFields::parse(text) : hosts.parse(text);
    if (!plain && hosts.spoiled()) {
      plain = true;
      doc = JsonFields::parse(text);
    }
    requireObject(doc, "");
    Policy p;
    p.rev = asInteger(require(doc, "rev", ""), "rev");
    if (const json* apps = find(doc, "apps")) {
      requireObject(*apps, "apps");
      for (const auto& [id, rule] : apps->items()) {
        p.apps.emplace(id, decodeAppRule(rule, "apps." + id));
      }
    }
    p.domains = plain ? stringList(doc, "domains") : hosts.take(doc, 0);
    if (const json* limits = find(doc, "domainLimits")) {
      requireObject(*limits, "domainLimits");
      for (const auto& [host, minutes] : limits->items()) {
        p.domainLimits.emplace(host, asInteger(minutes, "domainLimits." + host));
      }
    }
    p.domainAllow = plain ? stringList(doc, "domainAllow") : hosts.take(doc, 1);
    p.domainExact = plain ? stringList(doc, "domainExact") : hosts.take(doc, 2);
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
