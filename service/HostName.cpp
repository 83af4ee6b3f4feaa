#include "HostName.h"

#include <idn2.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace tether::HostName {

namespace {

constexpr std::size_t kMaxLabel = 63;
constexpr std::size_t kMaxName = 253;

bool isAscii(std::string_view text) {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

// The length of a label separator at text[i]: "." (1 byte), or U+3002, U+FF0E or U+FF61 (3
// bytes), which UTS #46 maps to "."; 0 for anything else.
std::size_t separatorAt(std::string_view text, std::size_t i) {
  if (text[i] == '.') return 1;
  const std::string_view rest = text.substr(i, 3);
  return rest == "\xE3\x80\x82" || rest == "\xEF\xBC\x8E" || rest == "\xEF\xBD\xA1" ? 3 : 0;
}

// The ASCII form of one label written with other letters.
Result<std::string> internationalLabel(std::string_view label) {
  const std::string text(label);
  char* out = nullptr;
  const int rc =
      idn2_lookup_u8(reinterpret_cast<const uint8_t*>(text.c_str()),
                     reinterpret_cast<uint8_t**>(&out), IDN2_NFC_INPUT | IDN2_NONTRANSITIONAL);
  const std::unique_ptr<char, decltype(&std::free)> owned(out, &std::free);
  if (rc != IDN2_OK) return Result<std::string>::failure(idn2_strerror(rc));
  return std::string(out);
}

std::string describe(char c) {
  if (c > ' ' && c < 0x7F) return std::string("\"") + c + "\"";
  char code[16];
  std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(static_cast<unsigned char>(c)));
  return code;
}

}  // namespace

Result<std::string> stored(std::string_view host) {
  using R = Result<std::string>;
  if (host.starts_with("*.")) host.remove_prefix(2);
  if (host.empty()) return R::failure("is empty");
  // Four bytes a character at most: longer text cannot become a name of 253 bytes.
  if (host.size() > 4 * kMaxName) return R::failure("is longer than 253 bytes");
  // Control characters first: libidn2 reads C strings, and would stop at a NUL.
  for (const char c : host) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
      return R::failure("contains " + describe(c) + ", which no DNS host name can hold");
    }
  }

  // Label by label, so that an ASCII label is kept as DNS has it ("r3---sn" is a real one, which
  // IDNA2008 would refuse) and only labels with other letters are mapped.
  std::string out;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= host.size();) {
    const std::size_t separator = i < host.size() ? separatorAt(host, i) : 1;
    if (separator == 0) {
      ++i;
      continue;
    }
    const std::string_view label = host.substr(start, i - start);
    if (isAscii(label)) {
      for (const char c : label) out += c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    } else {
      auto mapped = internationalLabel(label);
      if (!mapped) return R::failure("is not a valid international name (" + mapped.error() + ")");
      out += *mapped;
    }
    if (i < host.size()) out += '.';
    i += separator;
    start = i;
  }

  if (out.empty()) return R::failure("is empty");  // only characters that map to nothing
  if (out.front() == '.' || out.back() == '.') return R::failure("begins or ends with a dot");
  std::size_t labelLength = 0;
  for (const char c : out) {
    if (c == '.') {
      if (labelLength == 0) return R::failure("has an empty label");
      labelLength = 0;
      continue;
    }
    if (++labelLength > kMaxLabel) return R::failure("has a label longer than 63 bytes");
    if (c == ' ') return R::failure("contains a space");
    const bool fits = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
    if (!fits) return R::failure("contains " + describe(c) + ", which no DNS host name can hold");
  }
  if (out.size() > kMaxName) return R::failure("is longer than 253 bytes");
  return out;
}

}  // namespace tether::HostName
