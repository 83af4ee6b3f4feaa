#include "Utf8.h"

namespace tether::Utf8 {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Length of the well-formed sequence a lead byte opens (0 for a byte that opens none), and the
// range its second byte must lie in; every later byte lies in 80..BF.
struct Lead {
  std::size_t length;
  unsigned char low;
  unsigned char high;
};

Lead leadOf(unsigned char b) {
  if (b < 0x80) return {1, 0, 0};
  if (b >= 0xC2 && b <= 0xDF) return {2, 0x80, 0xBF};
  if (b == 0xE0) return {3, 0xA0, 0xBF};
  if (b == 0xED) return {3, 0x80, 0x9F};  // no surrogates
  if (b >= 0xE1 && b <= 0xEF) return {3, 0x80, 0xBF};
  if (b == 0xF0) return {4, 0x90, 0xBF};
  if (b >= 0xF1 && b <= 0xF3) return {4, 0x80, 0xBF};
  if (b == 0xF4) return {4, 0x80, 0x8F};  // nothing above U+10FFFF
  return {0, 0, 0};
}

// The bytes at text[i] that begin a well-formed sequence: the lead byte and the continuation
// bytes that fit it, at least 1 (a byte that opens none stands alone).
std::size_t wellFormedPrefix(std::string_view text, std::size_t i, const Lead& lead) {
  std::size_t taken = 1;
  while (taken < lead.length && i + taken < text.size()) {
    const auto c = static_cast<unsigned char>(text[i + taken]);
    if (c < (taken == 1 ? lead.low : 0x80) || c > (taken == 1 ? lead.high : 0xBF)) break;
    ++taken;
  }
  return taken;
}

}  // namespace

std::size_t decode(std::string_view text, std::size_t i, char32_t& cp) {
  if (i >= text.size()) return 0;
  const auto b = static_cast<unsigned char>(text[i]);
  const Lead lead = leadOf(b);
  if (lead.length == 0 || wellFormedPrefix(text, i, lead) != lead.length) return 0;
  cp = lead.length == 1 ? b : b & (0x7F >> lead.length);
  for (std::size_t k = 1; k < lead.length; ++k) {
    cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
  }
  return lead.length;
}

void append(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

bool isValid(std::string_view bytes) {
  char32_t cp = 0;
  for (std::size_t i = 0; i < bytes.size();) {
    const std::size_t length = decode(bytes, i, cp);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

std::string repaired(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  char32_t cp = 0;
  for (std::size_t i = 0; i < bytes.size();) {
    const std::size_t length = decode(bytes, i, cp);
    if (length != 0) {
      out.append(bytes.substr(i, length));
      i += length;
    } else {
      // A maximal ill-formed subsequence (a sequence cut short included) is replaced as a whole.
      out += kReplacement;
      i += wellFormedPrefix(bytes, i, leadOf(static_cast<unsigned char>(bytes[i])));
    }
  }
  return out;
}

}  // namespace tether::Utf8
