#include "PolicyDocument.h"

#include <sodium.h>

#include <array>
#include <set>
#include <stdexcept>
#include <string_view>
#include <type_traits>
#include <unordered_set>
#include <vector>

#include "HostName.h"
#include "JsonFields.h"

namespace tether::PolicyDocument {

namespace {

using JsonFields::json;

const std::string kEmptyKept =
    R"({"apps":{},"domainAllow":[],"domainExact":[],"domainLimits":{},"domains":[]})";

// Text in double quotes with JSON's escapes, so that a control character in a key or a host shows
// (and a NUL does not cut the message short).
std::string quoted(const std::string& text) {
  return json(text).dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string at(const std::string& path) {
  return "key " + quoted(path);
}

std::string indexed(const std::string& path, std::size_t i) {
  return path + "[" + std::to_string(i) + "]";
}

void refuseUnknownKeys(const json& object, const std::string& path,
                       std::initializer_list<std::string_view> known) {
  for (const auto& [key, value] : object.items()) {
    bool found = false;
    for (std::string_view k : known) found = found || k == key;
    if (!found) {
      throw DecodeError(path.empty() ? "unknown key \"" + key + "\""
                                     : at(path) + ": unknown key \"" + key + "\"");
    }
  }
}

// H:MM or HH:MM, 00:00 to 23:59, and 24:00 for the end of the day.
bool isTime(const std::string& text) {
  const auto colon = text.find(':');
  if (colon == std::string::npos || colon < 1 || colon > 2 || text.size() != colon + 3)
    return false;
  int hours = 0;
  for (std::size_t i = 0; i < colon; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    hours = hours * 10 + (text[i] - '0');
  }
  if (text[colon + 1] < '0' || text[colon + 1] > '5' || text[colon + 2] < '0' ||
      text[colon + 2] > '9') {
    return false;
  }
  const bool zeroMinutes = text[colon + 1] == '0' && text[colon + 2] == '0';
  return hours < 24 || (hours == 24 && zeroMinutes);
}

// The host as it is stored and enforced (HostName::stored), or a refusal that names it.
std::string storedHost(const std::string& host, const std::string& path, bool exact) {
  if (exact && host.starts_with("*.")) {
    throw DecodeError(at(path) + ": host name " + quoted(host) +
                      " is a wildcard; an exact rule covers one name, so list the name itself");
  }
  auto stored = HostName::stored(host);
  if (!stored) {
    const std::string shown = host.size() > 100 ? host.substr(0, 100) + "..." : host;
    throw DecodeError(at(path) + ": host name " + quoted(shown) + " " + stored.error());
  }
  return std::move(*stored);
}

json hostList(const json& doc, const char* key) {
  json out = json::array();
  const json* list = JsonFields::find(doc, key);
  if (!list) return out;
  if (!list->is_array()) {
    throw DecodeError(at(key) + ": expected an array, found " + list->type_name());
  }
  const bool exact = std::string_view(key) == "domainExact";
  for (std::size_t i = 0; i < list->size(); ++i) {
    const std::string path = indexed(key, i);
    out.push_back(storedHost(JsonFields::asString((*list)[i], path), path, exact));
  }
  return out;
}

json window(const json& j, const std::string& path) {
  using namespace JsonFields;
  requireObject(j, path);
  refuseUnknownKeys(j, path, {"days", "start", "end", "mode"});
  const json& days = require(j, "days", path);
  const std::string daysPath = join(path, "days");
  if (!days.is_array())
    throw DecodeError(at(daysPath) + ": expected an array, found " + days.type_name());
  if (days.empty()) throw DecodeError(at(daysPath) + ": lists no day");
  json outDays = json::array();
  for (std::size_t i = 0; i < days.size(); ++i) {
    const int64_t day = asInteger(days[i], indexed(daysPath, i));
    if (day < 1 || day > 7) {
      throw DecodeError(at(indexed(daysPath, i)) + ": days run from 1 (Monday) to 7 (Sunday)");
    }
    outDays.push_back(day);
  }
  json out = {{"days", std::move(outDays)}};
  for (const char* key : {"start", "end"}) {
    const std::string keyPath = join(path, key);
    const std::string time = asString(require(j, key, path), keyPath);
    if (!isTime(time)) {
      throw DecodeError(at(keyPath) + ": \"" + time + "\" is not a time of the form HH:MM");
    }
    out[key] = time;
  }
  std::string mode = "block";
  if (const json* m = find(j, "mode")) mode = asString(*m, join(path, "mode"));
  if (mode != "block") throw DecodeError(at(join(path, "mode")) + ": the only mode is \"block\"");
  out["mode"] = mode;
  return out;
}

json appRule(const json& j, const std::string& path) {
  using namespace JsonFields;
  requireObject(j, path);
  refuseUnknownKeys(j, path, {"windows", "dailyLimitMinutes"});
  json out = {{"windows", json::array()}};
  if (const json* windows = find(j, "windows")) {
    const std::string windowsPath = join(path, "windows");
    if (!windows->is_array()) {
      throw DecodeError(at(windowsPath) + ": expected an array, found " + windows->type_name());
    }
    for (std::size_t i = 0; i < windows->size(); ++i) {
      out["windows"].push_back(window((*windows)[i], indexed(windowsPath, i)));
    }
  }
  if (const json* limit = find(j, "dailyLimitMinutes")) {
    const int64_t minutes = asInteger(*limit, join(path, "dailyLimitMinutes"));
    if (minutes < 0)
      throw DecodeError(at(join(path, "dailyLimitMinutes")) + ": must not be negative");
    out["dailyLimitMinutes"] = minutes;
  }
  return out;
}

}  // namespace

namespace {

// The blocked names of a policy as its text holds them, gathered by DomainsApart, and then checked
// into the text of the kept list.
struct ListedNames {
  bool listed = false;  // "domains" held a list
  std::string names;    // one after another
  std::vector<std::size_t> ends;
  std::size_t entries = 0;
  // The first entry that is not a string: its place and type.
  std::optional<std::pair<std::size_t, std::string>> notString;
  // The checked names, quoted and separated by commas.
  std::string stored;

  void name(std::string_view n) {
    ++entries;
    names += n;
    ends.push_back(names.size());
  }
  void other(const char* type) {
    if (!notString) notString.emplace(entries, type);
    ++entries;
  }
  void reset() { *this = ListedNames(); }
  void open() { listed = true; }
};

void appendQuoted(std::string& out, std::string_view name);

// The names checked and stored as hostList() does, in the same order and with the same refusals.
void checkListedNames(ListedNames& list) {
  const auto notString = [&] {
    throw DecodeError(at(indexed("domains", list.notString->first)) + ": expected a string, found " +
                      list.notString->second);
  };
  list.stored.reserve(list.names.size() + 3 * list.ends.size());
  for (std::size_t i = 0, start = 0; i < list.ends.size(); start = list.ends[i++]) {
    // Strings before the first other entry have the places of their own count.
    if (list.notString && i >= list.notString->first) notString();
    const std::string path = indexed("domains", i);
    const std::string name(list.names, start, list.ends[i] - start);
    if (i > 0) list.stored += ',';
    appendQuoted(list.stored, storedHost(name, path, false));
  }
  if (list.notString) notString();
}

// The kept form of a policy document (see normalize); throws DecodeError. With names, the blocked
// names come from there, and the document's "domains" stays an empty list, for the caller to
// fill in with names->stored.
json normalized(const json& doc, ListedNames* names = nullptr) {
  using namespace JsonFields;
  {
    requireObject(doc, "");
    refuseUnknownKeys(
        doc, "",
        {"rev", "usageEpoch", "apps", "domains", "domainLimits", "domainAllow", "domainExact"});
    json out = json::object();
    out["apps"] = json::object();
    if (const json* apps = find(doc, "apps")) {
      requireObject(*apps, "apps");
      for (const auto& [bundleId, rule] : apps->items()) {
        if (bundleId.empty()) throw DecodeError("key \"apps\": empty bundle identifier");
        out["apps"][bundleId] = appRule(rule, "apps." + bundleId);
      }
    }
    if (names && names->listed) {
      checkListedNames(*names);
      out["domains"] = json::array();
    } else {
      out["domains"] = hostList(doc, "domains");
      if (names) names->stored.clear();
    }
    out["domainAllow"] = hostList(doc, "domainAllow");
    out["domainExact"] = hostList(doc, "domainExact");
    out["domainLimits"] = json::object();
    if (const json* limits = find(doc, "domainLimits")) {
      requireObject(*limits, "domainLimits");
      for (const auto& [host, minutes] : limits->items()) {
        const std::string path = "domainLimits." + host;
        const std::string stored = storedHost(host, path, false);
        const int64_t m = asInteger(minutes, path);
        if (m < 0) throw DecodeError(at(path) + ": must not be negative");
        if (out["domainLimits"].contains(stored)) {
          throw DecodeError(at(path) + ": host name " + quoted(host) + " is stored as \"" + stored +
                            "\", which another limit already names");
        }
        out["domainLimits"][stored] = m;
      }
    }
    return out;
  }
}

}  // namespace

std::string serve(int64_t rev, int64_t usageEpoch, const std::optional<std::string>& kept) {
  // The kept part is a non-empty JSON object, so splicing the two service keys in front of its
  // members yields one valid object without decoding a document that may be megabytes long.
  const std::string& body = kept && kept->size() > 2 ? *kept : kEmptyKept;
  std::string out;
  out.reserve(body.size() + 64);
  out += "{\"rev\":";
  out += std::to_string(rev);
  out += ",\"usageEpoch\":";
  out += std::to_string(usageEpoch);
  out += ',';
  out.append(body, 1, std::string::npos);
  return out;
}

std::string tag(int64_t rev, int64_t usageEpoch, std::string_view keptDigest) {
  const std::string input =
      std::to_string(rev) + "/" + std::to_string(usageEpoch) + "/" + std::string(keptDigest);
  std::array<unsigned char, 16> out{};
  crypto_generichash(out.data(), out.size(), reinterpret_cast<const unsigned char*>(input.data()),
                     input.size(), nullptr, 0);
  char hex[2 * 16 + 1];
  sodium_bin2hex(hex, sizeof hex, out.data(), out.size());
  return hex;
}

namespace {

// The events of a document's parse, passed on to a document builder, except for the entries of
// its top-level "domains" list: each name is handed to sink.name() straight from the parser's
// buffer, so a list of a million names costs no value per name, and any other entry is told to
// sink.other() by its type. The builder gets "domains": null for the list.
template <class Sink>
class DomainsApart {
 public:
  DomainsApart(json& rest, Sink& sink) : dom_(rest), sink_(sink) {}

  bool null() { return entry("null") || dom_.null(); }
  bool boolean(bool v) { return entry("boolean") || dom_.boolean(v); }
  bool number_integer(json::number_integer_t v) {
    return entry("number") || dom_.number_integer(v);
  }
  bool number_unsigned(json::number_unsigned_t v) {
    return entry("number") || dom_.number_unsigned(v);
  }
  bool number_float(json::number_float_t v, const json::string_t& s) {
    return entry("number") || dom_.number_float(v, s);
  }
  bool binary(json::binary_t& v) { return entry("binary") || dom_.binary(v); }
  bool string(json::string_t& v) {
    if (!inDomains_) return dom_.string(v);
    if (depth_ == 2) sink_.name(std::string_view(v));
    return true;
  }
  bool key(json::string_t& k) {
    if (depth_ == 1) {
      domainsNext_ = k == "domains";
      // A key given twice keeps its last value, as in a parsed document.
      if (domainsNext_) sink_.reset();
    }
    return inDomains_ || dom_.key(k);
  }
  bool start_object(std::size_t n) {
    const bool skip = entry("object");
    ++depth_;
    return skip || dom_.start_object(n);
  }
  bool end_object() {
    --depth_;
    return inDomains_ || dom_.end_object();
  }
  bool start_array(std::size_t n) {
    const bool skip = entry("array");
    ++depth_;
    if (depth_ == 2 && domainsNext_) {
      inDomains_ = true;
      sink_.open();
      return dom_.null();
    }
    return skip || dom_.start_array(n);
  }
  bool end_array() {
    const bool skip = inDomains_;
    if (depth_ == 2) inDomains_ = false;
    --depth_;
    return skip || dom_.end_array();
  }
  bool parse_error(std::size_t at, const std::string& token,
                   const nlohmann::detail::exception& e) {
    return dom_.parse_error(at, token, e);
  }

 private:
  // Whether the value that begins here is inside the list (and so not the builder's); an entry of
  // the list itself is told to the sink.
  bool entry(const char* type) {
    if (inDomains_ && depth_ == 2) sink_.other(type);
    return inDomains_;
  }

  nlohmann::detail::json_sax_dom_parser<json> dom_;
  Sink& sink_;
  int depth_ = 0;
  bool domainsNext_ = false;
  bool inDomains_ = false;
};

template <class Each>
struct NamesOnly {
  Each& each;
  void name(std::string_view n) { each(n); }
  void other(const char*) {}
  void reset() {}
  void open() {}
};

// Calls each(name) for every blocked name of a kept part (in list order) and returns the rest of
// the document, without "domains". Entries of the list that are not strings are passed over.
template <class Each>
json withoutDomains(const std::optional<std::string>& kept, Each&& each) {
  const std::string& text = kept && kept->size() > 2 ? *kept : kEmptyKept;
  json doc;
  NamesOnly<std::remove_reference_t<Each>> sink{each};
  DomainsApart sax(doc, sink);
  json::sax_parse(text, &sax);
  if (doc.is_object()) doc.erase("domains");
  return doc;
}

// A JSON string holding name: as it is when it needs no escape (stored host names never do).
void appendQuoted(std::string& out, std::string_view name) {
  bool plain = true;
  for (const char c : name) {
    plain = plain && c >= 0x20 && c != '"' && c != '\\' && c != 0x7F;
  }
  if (!plain) {
    out += quoted(std::string(name));
    return;
  }
  out += '"';
  out += name;
  out += '"';
}

// The text of a kept part whose "domains" is an empty list, with names put into that list.
std::string withNames(const json& out, std::string_view names) {
  std::string text = out.dump(-1, ' ', false, json::error_handler_t::replace);
  // The keys are in order, and "domains" comes last.
  constexpr std::string_view kTail = R"("domains":[]})";
  if (!text.ends_with(kTail)) throw std::logic_error("policy keys out of order");
  text.resize(text.size() - 2);
  text.reserve(text.size() + names.size() + 2);
  text += names;
  text += "]}";
  return text;
}

}  // namespace

Result<std::string> normalize(std::string_view body) {
  try {
    JsonFields::checkShape(body);
    json doc;
    ListedNames names;
    DomainsApart sax(doc, names);
    try {
      json::sax_parse(body, &sax);
    } catch (const json::exception& e) {
      throw DecodeError(std::string("invalid JSON: ") + e.what());
    }
    json out = normalized(doc, &names);
    return withNames(out, names.stored);
  } catch (const DecodeError& e) {
    return Result<std::string>::failure(e.what());
  }
}

std::string outline(int64_t rev, int64_t usageEpoch, const std::optional<std::string>& kept) {
  std::size_t count = 0;
  json doc = withoutDomains(kept, [&](std::string_view) { ++count; });
  doc["rev"] = rev;
  doc["usageEpoch"] = usageEpoch;
  doc["domainCount"] = count;
  return doc.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string searchDomains(const std::optional<std::string>& kept, std::string_view text,
                          std::size_t limit) {
  std::size_t total = 0, matches = 0;
  json found = json::array();
  withoutDomains(kept, [&](std::string_view name) {
    ++total;
    if (name.find(text) == std::string_view::npos) return;
    if (++matches <= limit) found.push_back(std::string(name));
  });
  return json{{"total", total}, {"matches", matches}, {"domains", std::move(found)}}.dump(
      -1, ' ', false, json::error_handler_t::replace);
}

Result<std::string> edit(const std::optional<std::string>& kept, const json& body) {
  using namespace JsonFields;
  try {
    requireObject(body, "");
    refuseUnknownKeys(body, "",
                      {"rev", "apps", "domainLimits", "domainAllow", "domainExact",
                       "domainsAdded", "domainsRemoved", "domainsCleared"});
    bool cleared = false;
    if (const json* c = find(body, "domainsCleared")) {
      if (!c->is_boolean() && !c->is_null())
        throw DecodeError(at("domainsCleared") + ": expected a boolean, found " + c->type_name());
      cleared = c->is_boolean() && c->get<bool>();
    }
    // The blocked names, one after another in one buffer: a list emptied anyway is not kept.
    std::string names;
    std::vector<std::size_t> ends;
    json base = withoutDomains(kept, [&](std::string_view name) {
      if (cleared) return;
      names += name;
      ends.push_back(names.size());
    });
    // Everything but the blocked list, checked as a whole policy with the added names as its
    // blocked list.
    json draft = json::object();
    for (const char* key : {"apps", "domainLimits", "domainAllow", "domainExact"}) {
      const json* given = find(body, key);
      draft[key] = given ? *given : base[key];
    }
    if (const json* added = find(body, "domainsAdded")) draft["domains"] = *added;
    json out;
    try {
      out = normalized(draft);
    } catch (const DecodeError& e) {
      std::string message = e.what();
      // The added names were checked as "domains".
      const std::string prefix = "key \"domains";
      if (message.starts_with(prefix)) message.insert(prefix.size(), "Added");
      return Result<std::string>::failure(message);
    }

    std::set<std::string, std::less<>> removed;
    if (const json* list = find(body, "domainsRemoved")) {
      if (!list->is_array()) {
        throw DecodeError(at("domainsRemoved") + ": expected an array, found " +
                          list->type_name());
      }
      for (std::size_t i = 0; i < list->size(); ++i) {
        const std::string path = indexed("domainsRemoved", i);
        removed.insert(storedHost(asString((*list)[i], path), path, false));
      }
    }
    // The list is written straight into the text, each name once.
    const json added = std::move(out["domains"]);
    out["domains"] = json::array();
    std::string list;
    list.reserve(names.size() + 3 * ends.size() + 16 * added.size());
    std::unordered_set<std::string_view> seen;
    seen.reserve(ends.size() + added.size());
    const auto keep = [&](std::string_view name) {
      if (!seen.insert(name).second) return;
      if (!list.empty()) list += ',';
      appendQuoted(list, name);
    };
    for (std::size_t i = 0, start = 0; i < ends.size(); start = ends[i++]) {
      const std::string_view name(names.data() + start, ends[i] - start);
      if (!removed.contains(name)) keep(name);
    }
    for (const json& name : added) keep(name.get_ref<const std::string&>());
    return withNames(out, list);
  } catch (const DecodeError& e) {
    return Result<std::string>::failure(e.what());
  }
}

}  // namespace tether::PolicyDocument
