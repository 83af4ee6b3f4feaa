#include "Inventory.h"

#include <algorithm>
#include <map>
#include <string>
#include <system_error>

#include "BundleInfo.h"
#include "Log.h"
#include "Utf8.h"

namespace tether::Inventory {

namespace {

namespace fs = std::filesystem;

// The entries of a folder in the order the system lists them, hidden ones included. A folder
// that cannot be listed gives nothing; one that fails part way gives what was read.
std::vector<fs::path> entries(const fs::path& folder) {
  std::vector<fs::path> out;
  std::error_code ec;
  fs::directory_iterator it(folder, ec);
  for (; !ec && it != fs::directory_iterator(); it.increment(ec)) out.push_back(it->path());
  return out;
}

// A folder to scan, and whether its users may write to it.
struct Folder {
  fs::path path;
  bool usersOwn = false;
};

std::vector<Folder> foldersToScan(const fs::path& root) {
  std::vector<Folder> folders{{root / "Applications"}, {root / "System" / "Applications"}};
  for (const auto& user : entries(root / "Users")) {
    if (user.filename().string().starts_with('.')) continue;
    folders.push_back({user / "Applications", true});
  }
  return folders;
}

// One code point from UTF-8 at text[i], advancing i. A byte that opens no well-formed sequence
// becomes a value no character has (0xDC00 + byte), so broken names still order consistently.
char32_t nextCodePoint(std::string_view text, std::size_t& i) {
  char32_t cp = 0;
  const std::size_t length = Utf8::decode(text, i, cp);
  if (length == 0) return 0xDC00 + static_cast<unsigned char>(text[i++]);
  i += length;
  return cp;
}

// The base letters of U+00C0..U+00FF and U+0100..U+017F, lower case, accents removed; '.' keeps
// the character as it is. Æ, æ and ß are expanded separately.
constexpr std::string_view kLatin1 =
    "aaaaaa.ceeeeiiii"
    "dnooooo.ouuuuy.."
    "aaaaaa.ceeeeiiii"
    "dnooooo.ouuuuy.y";
constexpr std::string_view kLatinExtendedA =
    "aaaaaa"        // U+0100
    "cccccccc"      // U+0106
    "dddd"          // U+010E
    "eeeeeeeeee"    // U+0112
    "gggggggg"      // U+011C
    "hhhh"          // U+0124
    "iiiiiiiiii"    // U+0128
    "ii"            // U+0132 (ligature ij)
    "jj"            // U+0134
    "kkk"           // U+0136
    "llllllllll"    // U+0139
    "nnnnnnnnn"     // U+0143
    "oooooo"        // U+014C
    "oo"            // U+0152 (ligature oe)
    "rrrrrr"        // U+0154
    "ssssssss"      // U+015A
    "tttttt"        // U+0162
    "uuuuuuuuuuuu"  // U+0168
    "ww"            // U+0174
    "yyy"           // U+0176
    "zzzzzz"        // U+0179
    "s";            // U+017F (long s)
static_assert(kLatin1.size() == 64 && kLatinExtendedA.size() == 128);

// Appends the comparison form of one character: lower case, and Latin letters without accents.
void appendFolded(char32_t cp, std::u32string& key) {
  if (cp >= 'A' && cp <= 'Z') {
    key += cp + 0x20;
  } else if (cp == 0xC6 || cp == 0xE6) {
    key += U"ae";
  } else if (cp == 0xDF) {
    key += U"ss";
  } else if (cp >= 0xC0 && cp <= 0xFF && kLatin1[cp - 0xC0] != '.') {
    key += static_cast<char32_t>(kLatin1[cp - 0xC0]);
  } else if (cp == 0xDE) {
    key += 0xFE;  // thorn
  } else if (cp >= 0x100 && cp <= 0x17F) {
    key += static_cast<char32_t>(kLatinExtendedA[cp - 0x100]);
  } else if ((cp >= 0x391 && cp <= 0x3A9) || (cp >= 0x410 && cp <= 0x42F)) {
    key += cp + 0x20;  // Greek and Cyrillic capitals
  } else if (cp >= 0x400 && cp <= 0x40F) {
    key += cp + 0x50;
  } else {
    key += cp;
  }
}

std::u32string foldedKey(std::string_view text) {
  std::u32string key;
  key.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) appendFolded(nextCodePoint(text, i), key);
  return key;
}

}  // namespace

int compareNames(std::string_view a, std::string_view b) {
  const int folded = foldedKey(a).compare(foldedKey(b));
  if (folded != 0) return folded;
  return a.compare(b);
}

std::vector<InstalledApp> scan(const std::filesystem::path& root,
                               const std::atomic<bool>* cancelled) {
  const auto stop = [cancelled] { return cancelled && cancelled->load(std::memory_order_relaxed); };
  std::map<std::string, std::string> names;  // bundle identifier -> name; the last one wins
  for (const auto& folder : foldersToScan(root)) {
    std::size_t bundles = 0;
    std::error_code ec;
    fs::directory_iterator it(folder.path, ec);
    for (; !ec && it != fs::directory_iterator() && !stop(); it.increment(ec)) {
      const fs::path& entry = it->path();
      if (entry.extension() != ".app") continue;
      if (++bundles > kMaxBundlesPerFolder) {
        log("inventory: more than " + std::to_string(kMaxBundlesPerFolder) + " bundles in " +
            folder.path.string() + ", the rest not scanned");
        break;
      }
      // The entry's type comes with the listing; only a folder can be a bundle.
      std::error_code typeError;
      if (folder.usersOwn && it->is_symlink(typeError)) continue;
      if (!it->is_directory(typeError)) continue;
      auto info = BundleInfo::load(entry / "Contents" / "Info.plist",
                                   folder.usersOwn ? SafeFile::Links::RefuseAny
                                                   : SafeFile::Links::Refuse);
      if (!info) continue;
      std::string name = info->displayName ? *info->displayName
                         : info->name      ? *info->name
                                           : entry.stem().string();
      names.insert_or_assign(std::move(info->identifier), std::move(name));
    }
  }
  std::vector<InstalledApp> apps;
  apps.reserve(names.size());
  for (auto& [bundleId, name] : names) apps.push_back({std::move(name), bundleId});
  std::stable_sort(apps.begin(), apps.end(), [](const InstalledApp& x, const InstalledApp& y) {
    return compareNames(x.name, y.name) < 0;
  });
  return apps;
}

}  // namespace tether::Inventory
