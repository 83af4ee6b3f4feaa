#include "Utf8.h"

namespace tether::Utf8 {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Length of the well-formed sequence a lead byte opens (0 for a byte that opens none), and the
// range its second byte must lie in; every later byte lies in 80..BF.
struct Lead {
  int length;
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

}  // namespace

std::string repaired(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    const auto b = static_cast<unsigned char>(bytes[i]);
    const Lead lead = leadOf(b);
    if (lead.length == 1) {
      out += static_cast<char>(b);
      ++i;
      continue;
    }
    if (lead.length == 0) {
      out += kReplacement;
      ++i;
      continue;
    }
    // Take continuation bytes while they fit; a sequence cut short is replaced as a whole.
    int taken = 1;
    while (taken < lead.length && i + static_cast<std::size_t>(taken) < bytes.size()) {
      const auto c = static_cast<unsigned char>(bytes[i + static_cast<std::size_t>(taken)]);
      const unsigned char low = taken == 1 ? lead.low : 0x80;
      const unsigned char high = taken == 1 ? lead.high : 0xBF;
      if (c < low || c > high) break;
      ++taken;
    }
    if (taken == lead.length) {
      out.append(bytes.substr(i, static_cast<std::size_t>(taken)));
    } else {
      out += kReplacement;
    }
    i += static_cast<std::size_t>(taken);
  }
  return out;
}

}  // namespace tether::Utf8
