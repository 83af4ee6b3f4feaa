#include "TabState.h"

#include <system_error>

#include "JsonFields.h"
#include "SafeFile.h"

namespace tether::TabState {

namespace {

using JsonFields::json;

// Creates the folder if needed (a failure is ignored), then replaces the file atomically.
bool writeFile(const std::filesystem::path& file, const std::string& bytes,
               std::string* failure = nullptr) {
  std::error_code ec;
  std::filesystem::create_directories(file.parent_path(), ec);
  return SafeFile::writeAtomically(file, bytes, 0644, failure);
}

template <class T, class F>
Result<T> decodeWith(std::string_view text, F&& decode) {
  try {
    const json doc = JsonFields::parse(text);
    JsonFields::requireObject(doc, "");
    return decode(doc);
  } catch (const DecodeError& e) {
    return Result<T>::failure(e.what());
  }
}

}  // namespace

std::string encode(const TabSnapshot& s) {
  json j = {{"ts", s.ts},
            {"bundleId", s.bundleId},
            {"privateBrowsing", s.privateBrowsing},
            {"idleSeconds", s.idleSeconds},
            {"locked", s.locked}};
  if (s.host) j["host"] = *s.host;
  return j.dump();
}

std::string encode(const TabEnforce& r) {
  return json{{"ts", r.ts}, {"evict", r.evict}, {"closePrivate", r.closePrivate}}.dump();
}

Result<TabSnapshot> decodeSnapshot(std::string_view text) {
  return decodeWith<TabSnapshot>(text, [](const json& doc) {
    using namespace JsonFields;
    TabSnapshot s;
    s.ts = asNumber(require(doc, "ts", ""), "ts");
    s.bundleId = asString(require(doc, "bundleId", ""), "bundleId");
    if (const json* host = find(doc, "host")) s.host = asString(*host, "host");
    s.privateBrowsing = asBool(require(doc, "privateBrowsing", ""), "privateBrowsing");
    s.idleSeconds = asNumber(require(doc, "idleSeconds", ""), "idleSeconds");
    s.locked = asBool(require(doc, "locked", ""), "locked");
    return s;
  });
}

Result<TabEnforce> decodeEnforce(std::string_view text) {
  return decodeWith<TabEnforce>(text, [](const json& doc) {
    using namespace JsonFields;
    TabEnforce r;
    r.ts = asNumber(require(doc, "ts", ""), "ts");
    r.evict = asBool(require(doc, "evict", ""), "evict");
    r.closePrivate = asBool(require(doc, "closePrivate", ""), "closePrivate");
    return r;
  });
}

std::filesystem::path snapshotPath(const std::filesystem::path& configDirectory) {
  return configDirectory / kFolder / kSnapshotFile;
}

std::filesystem::path enforcePath(const std::filesystem::path& configDirectory) {
  return configDirectory / kFolder / kEnforceFile;
}

std::optional<TabSnapshot> readSnapshot(const std::filesystem::path& configDirectory) {
  auto bytes =
      SafeFile::read(snapshotPath(configDirectory), kMaxFileBytes, SafeFile::Links::Refuse);
  if (!bytes) return std::nullopt;
  auto snapshot = decodeSnapshot(*bytes);
  if (!snapshot) return std::nullopt;
  return *snapshot;
}

bool isFresh(const TabSnapshot& snapshot, double now) {
  // Bounded on both sides: a time stamp far in the future would otherwise stay fresh for ever,
  // and one forged file could switch crediting off without any program keeping it up.
  const double age = now - snapshot.ts;
  return age < kSnapshotFreshSeconds && age > -kSnapshotFreshSeconds;
}

bool writeEnforce(const TabEnforce& request, const std::filesystem::path& configDirectory,
                  std::string* failure) {
  return writeFile(enforcePath(configDirectory), encode(request), failure);
}

void writeSnapshot(const TabSnapshot& snapshot, const std::filesystem::path& file) {
  writeFile(file, encode(snapshot));
}

std::optional<TabEnforce> readEnforce(const std::filesystem::path& file) {
  auto bytes = SafeFile::read(file, kMaxFileBytes, SafeFile::Links::Refuse);
  if (!bytes) return std::nullopt;
  auto request = decodeEnforce(*bytes);
  if (!request) return std::nullopt;
  return *request;
}

bool isObeyable(const TabEnforce& request, double now) {
  const double age = now - request.ts;
  return age <= kEnforceFreshSeconds && age >= -kEnforceFreshSeconds;
}

}  // namespace tether::TabState
