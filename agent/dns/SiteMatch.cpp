#include "SiteMatch.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

#include "Utf8.h"

namespace tether::SiteMatch {

namespace {

// The Unicode default lower-case mapping (Unicode 14.0) of every code point above U+007F whose
// lower-case form is one other code point, as runs: from `first` to `last`, every `stride`-th
// code point maps to itself plus `delta`. The one code point whose lower-case form is two code
// points, U+0130, is handled apart. The table makes lower-casing independent of the C library's
// locale: the agent runs in the "C" locale, where towlower() knows only ASCII.
struct LowerRun {
  char32_t first;
  char32_t last;
  int32_t delta;
  uint8_t stride;
};

constexpr LowerRun kLowerRuns[] = {
    {0x000C0, 0x000D6, 32, 1},     {0x000D8, 0x000DE, 32, 1},     {0x00100, 0x0012E, 1, 2},
    {0x00132, 0x00136, 1, 2},      {0x00139, 0x00147, 1, 2},      {0x0014A, 0x00176, 1, 2},
    {0x00178, 0x00178, -121, 1},   {0x00179, 0x0017D, 1, 2},      {0x00181, 0x00181, 210, 1},
    {0x00182, 0x00184, 1, 2},      {0x00186, 0x00186, 206, 1},    {0x00187, 0x00187, 1, 1},
    {0x00189, 0x0018A, 205, 1},    {0x0018B, 0x0018B, 1, 1},      {0x0018E, 0x0018E, 79, 1},
    {0x0018F, 0x0018F, 202, 1},    {0x00190, 0x00190, 203, 1},    {0x00191, 0x00191, 1, 1},
    {0x00193, 0x00193, 205, 1},    {0x00194, 0x00194, 207, 1},    {0x00196, 0x00196, 211, 1},
    {0x00197, 0x00197, 209, 1},    {0x00198, 0x00198, 1, 1},      {0x0019C, 0x0019C, 211, 1},
    {0x0019D, 0x0019D, 213, 1},    {0x0019F, 0x0019F, 214, 1},    {0x001A0, 0x001A4, 1, 2},
    {0x001A6, 0x001A6, 218, 1},    {0x001A7, 0x001A7, 1, 1},      {0x001A9, 0x001A9, 218, 1},
    {0x001AC, 0x001AC, 1, 1},      {0x001AE, 0x001AE, 218, 1},    {0x001AF, 0x001AF, 1, 1},
    {0x001B1, 0x001B2, 217, 1},    {0x001B3, 0x001B5, 1, 2},      {0x001B7, 0x001B7, 219, 1},
    {0x001B8, 0x001B8, 1, 1},      {0x001BC, 0x001BC, 1, 1},      {0x001C4, 0x001C4, 2, 1},
    {0x001C5, 0x001C5, 1, 1},      {0x001C7, 0x001C7, 2, 1},      {0x001C8, 0x001C8, 1, 1},
    {0x001CA, 0x001CA, 2, 1},      {0x001CB, 0x001DB, 1, 2},      {0x001DE, 0x001EE, 1, 2},
    {0x001F1, 0x001F1, 2, 1},      {0x001F2, 0x001F4, 1, 2},      {0x001F6, 0x001F6, -97, 1},
    {0x001F7, 0x001F7, -56, 1},    {0x001F8, 0x0021E, 1, 2},      {0x00220, 0x00220, -130, 1},
    {0x00222, 0x00232, 1, 2},      {0x0023A, 0x0023A, 10795, 1},  {0x0023B, 0x0023B, 1, 1},
    {0x0023D, 0x0023D, -163, 1},   {0x0023E, 0x0023E, 10792, 1},  {0x00241, 0x00241, 1, 1},
    {0x00243, 0x00243, -195, 1},   {0x00244, 0x00244, 69, 1},     {0x00245, 0x00245, 71, 1},
    {0x00246, 0x0024E, 1, 2},      {0x00370, 0x00372, 1, 2},      {0x00376, 0x00376, 1, 1},
    {0x0037F, 0x0037F, 116, 1},    {0x00386, 0x00386, 38, 1},     {0x00388, 0x0038A, 37, 1},
    {0x0038C, 0x0038C, 64, 1},     {0x0038E, 0x0038F, 63, 1},     {0x00391, 0x003A1, 32, 1},
    {0x003A3, 0x003AB, 32, 1},     {0x003CF, 0x003CF, 8, 1},      {0x003D8, 0x003EE, 1, 2},
    {0x003F4, 0x003F4, -60, 1},    {0x003F7, 0x003F7, 1, 1},      {0x003F9, 0x003F9, -7, 1},
    {0x003FA, 0x003FA, 1, 1},      {0x003FD, 0x003FF, -130, 1},   {0x00400, 0x0040F, 80, 1},
    {0x00410, 0x0042F, 32, 1},     {0x00460, 0x00480, 1, 2},      {0x0048A, 0x004BE, 1, 2},
    {0x004C0, 0x004C0, 15, 1},     {0x004C1, 0x004CD, 1, 2},      {0x004D0, 0x0052E, 1, 2},
    {0x00531, 0x00556, 48, 1},     {0x010A0, 0x010C5, 7264, 1},   {0x010C7, 0x010C7, 7264, 1},
    {0x010CD, 0x010CD, 7264, 1},   {0x013A0, 0x013EF, 38864, 1},  {0x013F0, 0x013F5, 8, 1},
    {0x01C90, 0x01CBA, -3008, 1},  {0x01CBD, 0x01CBF, -3008, 1},  {0x01E00, 0x01E94, 1, 2},
    {0x01E9E, 0x01E9E, -7615, 1},  {0x01EA0, 0x01EFE, 1, 2},      {0x01F08, 0x01F0F, -8, 1},
    {0x01F18, 0x01F1D, -8, 1},     {0x01F28, 0x01F2F, -8, 1},     {0x01F38, 0x01F3F, -8, 1},
    {0x01F48, 0x01F4D, -8, 1},     {0x01F59, 0x01F5F, -8, 2},     {0x01F68, 0x01F6F, -8, 1},
    {0x01F88, 0x01F8F, -8, 1},     {0x01F98, 0x01F9F, -8, 1},     {0x01FA8, 0x01FAF, -8, 1},
    {0x01FB8, 0x01FB9, -8, 1},     {0x01FBA, 0x01FBB, -74, 1},    {0x01FBC, 0x01FBC, -9, 1},
    {0x01FC8, 0x01FCB, -86, 1},    {0x01FCC, 0x01FCC, -9, 1},     {0x01FD8, 0x01FD9, -8, 1},
    {0x01FDA, 0x01FDB, -100, 1},   {0x01FE8, 0x01FE9, -8, 1},     {0x01FEA, 0x01FEB, -112, 1},
    {0x01FEC, 0x01FEC, -7, 1},     {0x01FF8, 0x01FF9, -128, 1},   {0x01FFA, 0x01FFB, -126, 1},
    {0x01FFC, 0x01FFC, -9, 1},     {0x02126, 0x02126, -7517, 1},  {0x0212A, 0x0212A, -8383, 1},
    {0x0212B, 0x0212B, -8262, 1},  {0x02132, 0x02132, 28, 1},     {0x02160, 0x0216F, 16, 1},
    {0x02183, 0x02183, 1, 1},      {0x024B6, 0x024CF, 26, 1},     {0x02C00, 0x02C2F, 48, 1},
    {0x02C60, 0x02C60, 1, 1},      {0x02C62, 0x02C62, -10743, 1}, {0x02C63, 0x02C63, -3814, 1},
    {0x02C64, 0x02C64, -10727, 1}, {0x02C67, 0x02C6B, 1, 2},      {0x02C6D, 0x02C6D, -10780, 1},
    {0x02C6E, 0x02C6E, -10749, 1}, {0x02C6F, 0x02C6F, -10783, 1}, {0x02C70, 0x02C70, -10782, 1},
    {0x02C72, 0x02C72, 1, 1},      {0x02C75, 0x02C75, 1, 1},      {0x02C7E, 0x02C7F, -10815, 1},
    {0x02C80, 0x02CE2, 1, 2},      {0x02CEB, 0x02CED, 1, 2},      {0x02CF2, 0x02CF2, 1, 1},
    {0x0A640, 0x0A66C, 1, 2},      {0x0A680, 0x0A69A, 1, 2},      {0x0A722, 0x0A72E, 1, 2},
    {0x0A732, 0x0A76E, 1, 2},      {0x0A779, 0x0A77B, 1, 2},      {0x0A77D, 0x0A77D, -35332, 1},
    {0x0A77E, 0x0A786, 1, 2},      {0x0A78B, 0x0A78B, 1, 1},      {0x0A78D, 0x0A78D, -42280, 1},
    {0x0A790, 0x0A792, 1, 2},      {0x0A796, 0x0A7A8, 1, 2},      {0x0A7AA, 0x0A7AA, -42308, 1},
    {0x0A7AB, 0x0A7AB, -42319, 1}, {0x0A7AC, 0x0A7AC, -42315, 1}, {0x0A7AD, 0x0A7AD, -42305, 1},
    {0x0A7AE, 0x0A7AE, -42308, 1}, {0x0A7B0, 0x0A7B0, -42258, 1}, {0x0A7B1, 0x0A7B1, -42282, 1},
    {0x0A7B2, 0x0A7B2, -42261, 1}, {0x0A7B3, 0x0A7B3, 928, 1},    {0x0A7B4, 0x0A7C2, 1, 2},
    {0x0A7C4, 0x0A7C4, -48, 1},    {0x0A7C5, 0x0A7C5, -42307, 1}, {0x0A7C6, 0x0A7C6, -35384, 1},
    {0x0A7C7, 0x0A7C9, 1, 2},      {0x0A7D0, 0x0A7D0, 1, 1},      {0x0A7D6, 0x0A7D8, 1, 2},
    {0x0A7F5, 0x0A7F5, 1, 1},      {0x0FF21, 0x0FF3A, 32, 1},     {0x10400, 0x10427, 40, 1},
    {0x104B0, 0x104D3, 40, 1},     {0x10570, 0x1057A, 39, 1},     {0x1057C, 0x1058A, 39, 1},
    {0x1058C, 0x10592, 39, 1},     {0x10594, 0x10595, 39, 1},     {0x10C80, 0x10CB2, 64, 1},
    {0x118A0, 0x118BF, 32, 1},     {0x16E40, 0x16E5F, 32, 1},     {0x1E900, 0x1E921, 34, 1},
};

char32_t lowerCodePoint(char32_t cp) {
  const auto* end = std::end(kLowerRuns);
  const auto* it = std::upper_bound(std::begin(kLowerRuns), end, cp,
                                    [](char32_t c, const LowerRun& run) { return c < run.first; });
  if (it == std::begin(kLowerRuns)) return cp;
  const LowerRun& run = *(it - 1);
  if (cp > run.last || (cp - run.first) % run.stride != 0) return cp;
  return static_cast<char32_t>(static_cast<int32_t>(cp) + run.delta);
}

void lowerCaseInto(std::string_view text, std::string& out) {
  out.clear();
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      out += (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : static_cast<char>(c);
      ++i;
      continue;
    }
    char32_t cp = 0;
    const std::size_t len = Utf8::decode(text, i, cp);
    if (len == 0) {
      out += static_cast<char>(c);
      ++i;
      continue;
    }
    if (cp == 0x130) {
      // LATIN CAPITAL LETTER I WITH DOT ABOVE lower-cases to "i" and COMBINING DOT ABOVE.
      out += 'i';
      Utf8::append(out, 0x307);
    } else {
      Utf8::append(out, lowerCodePoint(cp));
    }
    i += len;
  }
}

}  // namespace

void normalizeInto(std::string_view host, std::string& out) {
  lowerCaseInto(host, out);
  const auto first = out.find_first_not_of('.');
  if (first == std::string::npos) {
    out.clear();
    return;
  }
  out.erase(out.find_last_not_of('.') + 1);
  out.erase(0, first);
  if (const auto slash = out.find('/'); slash != std::string::npos) out.resize(slash);
  if (const auto colon = out.find(':');
      colon != std::string::npos && out.find(']') == std::string::npos) {
    out.resize(colon);
  }
}

std::string normalize(std::string_view host) {
  std::string out;
  normalizeInto(host, out);
  return out;
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

bool covers(const SiteRule& rule, std::string_view h) {
  if (h == rule.host) return true;
  if (!rule.includeSubtree) return false;
  return h.size() > rule.host.size() && h.ends_with(rule.host) &&
         h[h.size() - rule.host.size() - 1] == '.';
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
