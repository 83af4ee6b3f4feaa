#include "ReportDocument.h"

#include "JsonFields.h"

namespace tether::ReportDocument {

namespace {

using JsonFields::json;

bool isLeapYear(int year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

bool isDayStamp(const std::string& text) {
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') return false;
  for (std::size_t i : {0, 1, 2, 3, 5, 6, 8, 9}) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  const int year = std::stoi(text.substr(0, 4));
  const int month = std::stoi(text.substr(5, 2));
  const int day = std::stoi(text.substr(8, 2));
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12 || day < 1) return false;
  const int last = kDays[month - 1] + (month == 2 && isLeapYear(year) ? 1 : 0);
  return day <= last;
}

json stringList(const json& doc, const char* key) {
  json out = json::array();
  const json* list = JsonFields::find(doc, key);
  if (!list) return out;
  if (!list->is_array()) {
    throw DecodeError(std::string("key \"") + key + "\": expected an array, found " +
                      list->type_name());
  }
  for (std::size_t i = 0; i < list->size(); ++i) {
    out.push_back(
        JsonFields::asString((*list)[i], std::string(key) + "[" + std::to_string(i) + "]"));
  }
  return out;
}

}  // namespace

Result<Checked> check(std::string_view body) {
  using namespace JsonFields;
  try {
    const json doc = parse(body);
    requireObject(doc, "");
    Checked checked;
    checked.date = asString(require(doc, "date", ""), "date");
    if (!isDayStamp(checked.date)) {
      throw DecodeError("key \"date\": \"" + checked.date +
                        "\" is not a date of the form yyyy-MM-dd");
    }
    json minutes = json::object();
    if (const json* m = find(doc, "minutes")) {
      requireObject(*m, "minutes");
      for (const auto& [key, value] : m->items()) {
        const double v = asNumber(value, "minutes." + key);
        if (v < 0) throw DecodeError("key \"minutes." + key + "\": must not be negative");
        minutes[key] = value;
      }
    }
    json apps = json::array();
    if (const json* list = find(doc, "apps")) {
      if (!list->is_array())
        throw DecodeError(std::string("key \"apps\": expected an array, found ") +
                          list->type_name());
      for (std::size_t i = 0; i < list->size(); ++i) {
        const std::string path = "apps[" + std::to_string(i) + "]";
        const json& app = requireObject((*list)[i], path);
        apps.push_back(
            {{"name", asString(require(app, "name", path), join(path, "name"))},
             {"bundleId", asString(require(app, "bundleId", path), join(path, "bundleId"))}});
      }
    }
    std::string timeZone;
    if (const json* tz = find(doc, "timeZone")) timeZone = asString(*tz, "timeZone");
    int64_t usageEpoch = 0;
    if (const json* e = find(doc, "usageEpoch")) usageEpoch = asInteger(*e, "usageEpoch");
    std::optional<int64_t> blockedDomainCount;
    if (const json* count = find(doc, "blockedDomainCount")) {
      blockedDomainCount = asInteger(*count, "blockedDomainCount");
      if (*blockedDomainCount < 0)
        throw DecodeError("key \"blockedDomainCount\": must not be negative");
    }

    if (!apps.empty()) checked.apps = apps.dump(-1, ' ', false, json::error_handler_t::replace);
    json report = {{"date", checked.date},    {"minutes", std::move(minutes)},
                   {"apps", std::move(apps)}, {"blockedNow", stringList(doc, "blockedNow")},
                   {"timeZone", timeZone},    {"usageEpoch", usageEpoch}};
    if (blockedDomainCount) report["blockedDomainCount"] = *blockedDomainCount;
    checked.report = report.dump(-1, ' ', false, json::error_handler_t::replace);
    return checked;
  } catch (const DecodeError& e) {
    return Result<Checked>::failure(e.what());
  }
}

}  // namespace tether::ReportDocument
