#include "SiteMatch.h"

#include <cwctype>

namespace tether::SiteMatch {

namespace {

// Lower-cases UTF-8 text code point by code point; invalid bytes are kept as they are.
std::string lowerCase(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      out += (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : static_cast<char>(c);
      ++i;
      continue;
    }
    std::size_t len = (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
    bool valid = len > 0 && i + len <= text.size();
    char32_t cp = 0;
    if (valid) {
      cp = len == 2 ? (c & 0x1F) : len == 3 ? (c & 0x0F) : (c & 0x07);
      for (std::size_t k = 1; k < len; ++k) {
        const unsigned char cc = static_cast<unsigned char>(text[i + k]);
        if ((cc & 0xC0) != 0x80) {
          valid = false;
          break;
        }
        cp = (cp << 6) | (cc & 0x3F);
      }
    }
    if (!valid) {
      out += static_cast<char>(c);
      ++i;
      continue;
    }
    const char32_t lower = static_cast<char32_t>(std::towlower(static_cast<wint_t>(cp)));
    if (lower < 0x80) {
      out += static_cast<char>(lower);
    } else if (lower < 0x800) {
      out += static_cast<char>(0xC0 | (lower >> 6));
      out += static_cast<char>(0x80 | (lower & 0x3F));
    } else if (lower < 0x10000) {
      out += static_cast<char>(0xE0 | (lower >> 12));
      out += static_cast<char>(0x80 | ((lower >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (lower & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (lower >> 18));
      out += static_cast<char>(0x80 | ((lower >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((lower >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (lower & 0x3F));
    }
    i += len;
  }
  return out;
}

bool covers(const SiteRule& rule, std::string_view h) {
  if (h == rule.host) return true;
  if (!rule.includeSubtree) return false;
  return h.size() > rule.host.size() && h.ends_with(rule.host) &&
         h[h.size() - rule.host.size() - 1] == '.';
}

}  // namespace

std::string normalize(std::string_view host) {
  std::string h = lowerCase(host);
  const auto first = h.find_first_not_of('.');
  if (first == std::string::npos) return {};
  h = h.substr(first, h.find_last_not_of('.') - first + 1);
  if (const auto slash = h.find('/'); slash != std::string::npos) h.resize(slash);
  if (h.find(':') != std::string::npos && h.find(']') == std::string::npos) h.resize(h.find(':'));
  return h;
}

std::size_t labelCount(std::string_view host) {
  std::size_t count = 0;
  bool inLabel = false;
  for (char c : host) {
    if (c == '.') {
      inLabel = false;
    } else if (!inLabel) {
      inLabel = true;
      ++count;
    }
  }
  return count;
}

std::optional<SiteRule> winning(std::string_view host, const std::vector<SiteRule>& rules) {
  const std::string h = normalize(host);
  if (h.empty()) return std::nullopt;
  const SiteRule* best = nullptr;
  std::size_t bestLabels = 0;
  for (const SiteRule& rule : rules) {
    if (!covers(rule, h)) continue;
    const std::size_t labels = labelCount(rule.host);
    if (!best || labels > bestLabels ||
        (labels == bestLabels && !rule.includeSubtree && best->includeSubtree)) {
      best = &rule;
      bestLabels = labels;
    }
  }
  if (!best) return std::nullopt;
  return *best;
}

}  // namespace tether::SiteMatch
