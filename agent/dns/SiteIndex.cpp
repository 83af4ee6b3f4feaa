#include "SiteIndex.h"

#include <sys/mman.h>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <unordered_set>

#include "Policy.h"
#include "SiteMatch.h"

namespace tether {

namespace {

// FNV-1a taken over the text from its last byte to its first, so that walking a name from the
// right gives the hash of every suffix on the way; a final mix spreads it over the table.
constexpr uint64_t kHashStart = 0xcbf29ce484222325ULL;

uint64_t hashStep(uint64_t h, char c) {
  return (h ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
}

uint64_t hashMix(uint64_t h) {
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdULL;
  h ^= h >> 33;
  h *= 0xc4ceb9fe1a85ec53ULL;
  h ^= h >> 33;
  return h;
}

uint64_t hashOf(std::string_view text) {
  uint64_t h = kHashStart;
  for (auto it = text.rbegin(); it != text.rend(); ++it) h = hashStep(h, *it);
  return hashMix(h);
}

constexpr std::size_t kHugePage = 2 * 1024 * 1024;

}  // namespace

template <class T>
T* SiteIndex::LargeAllocator<T>::allocate(std::size_t n) {
  const std::size_t bytes = n * sizeof(T);
  if (bytes < kHugePage) return std::allocator<T>().allocate(n);
  const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
  void* p = std::aligned_alloc(kHugePage, rounded);
  if (!p) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
  ::madvise(p, rounded, MADV_HUGEPAGE);
#endif
  return static_cast<T*>(p);
}

template <class T>
void SiteIndex::LargeAllocator<T>::deallocate(T* p, std::size_t n) {
  if (n * sizeof(T) < kHugePage) {
    std::allocator<T>().deallocate(p, n);
  } else {
    std::free(p);
  }
}

template struct SiteIndex::LargeAllocator<uint8_t>;
template struct SiteIndex::LargeAllocator<SiteIndex::Slot>;

namespace {

// The 8 bits of a hash kept in its tag byte; never 0, which marks a free slot.
uint8_t tagOf(uint64_t hash) {
  const auto tag = static_cast<uint8_t>(hash);
  return tag == 0 ? 1 : tag;
}

#ifndef __SSE2__
// Bit k set for every byte k of the eight in word that equals tag: a byte is zero after the
// exclusive or exactly where it matched, its top bit is then set alone, and one multiplication
// gathers the eight top bits. Byte k of the word is the k-th in memory on the machines the
// agent runs on.
static_assert(std::endian::native == std::endian::little);
uint32_t byteMatches(uint64_t word, uint8_t tag) {
  constexpr uint64_t kOnes = 0x0101010101010101ULL;
  constexpr uint64_t kLow7 = 0x7f7f7f7f7f7f7f7fULL;
  const uint64_t x = word ^ (kOnes * tag);
  const uint64_t zero = ~(((x & kLow7) + kLow7) | x | kLow7);
  return static_cast<uint32_t>(((zero >> 7) * 0x0102040810204080ULL) >> 56);
}
#endif

}  // namespace

SiteIndex::SiteIndex() {
  reserve(0, 0);
}

SiteIndex::SiteIndex(const std::vector<SiteRule>& rules) {
  std::size_t longChars = 0;
  for (const SiteRule& r : rules) longChars += longTextSize(r.host);
  reserve(rules.size(), longChars);
  for (const SiteRule& r : rules) add(r.host, r.includeSubtree, r.action);
}

SiteIndex::SiteIndex(const Policy& policy) {
  const std::unordered_set<std::string_view> exact(policy.domainExact.begin(),
                                                   policy.domainExact.end());
  std::size_t longChars = 0;
  for (const auto& host : policy.domains) longChars += longTextSize(host);
  for (const auto& entry : policy.domainLimits) longChars += longTextSize(entry.first);
  for (const auto& host : policy.domainAllow) longChars += longTextSize(host);
  reserve(policy.domains.size() + policy.domainLimits.size() + policy.domainAllow.size(),
          longChars);
  // The order of Policy::siteRules(): every block rule, then every limit rule, then every allow.
  for (const auto& host : policy.domains) add(host, !exact.contains(host), SiteAction::block());
  for (const auto& [host, minutes] : policy.domainLimits) {
    add(host, !exact.contains(host), SiteAction::limit(minutes));
  }
  for (const auto& host : policy.domainAllow) add(host, !exact.contains(host), SiteAction::allow());
}

void SiteIndex::reserve(std::size_t rules, std::size_t longChars) {
  // Positions, slot numbers and offsets into the long texts are 32-bit; a policy body large
  // enough to exceed them could not be received in the first place.
  if (rules >= kNone / 2 || longChars >= kNone / 2) {
    throw std::length_error("site rules beyond 2 GiB");
  }
  longText_.reserve(longChars);
  // At most seven eighths of the slots in use, counting every rule as a distinct host.
  groupCount_ = rules * 8 / 7 / kGroupSlots + 1;
  tags_.assign(groupCount_ * kGroupSlots, 0);
  slots_.assign(groupCount_ * kGroupSlots, Slot{});
  ruleSlot_.reserve(rules);
  ruleFlags_.reserve(rules);
}

// The high bits of hash * count: a group number below the count, for any count.
std::size_t SiteIndex::home(uint64_t hash) const {
  __extension__ using Wide = unsigned __int128;
  return static_cast<std::size_t>((static_cast<Wide>(hash) * groupCount_) >> 64);
}

// The bytes a host text takes in longText_: none when its slot holds it.
std::size_t SiteIndex::longTextSize(std::string_view text) {
  return text.size() > kInlineText ? text.size() : 0;
}

uint32_t SiteIndex::tagMatches(std::size_t group, uint8_t tag) const {
  const uint8_t* tags = tags_.data() + group * kGroupSlots;
#ifdef __SSE2__
  const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(tags));
  const __m128i equal = _mm_cmpeq_epi8(bytes, _mm_set1_epi8(static_cast<char>(tag)));
  return static_cast<uint32_t>(_mm_movemask_epi8(equal));
#else
  uint64_t low = 0;
  uint64_t high = 0;
  std::memcpy(&low, tags, sizeof low);
  std::memcpy(&high, tags + sizeof low, sizeof high);
  return byteMatches(low, tag) | (byteMatches(high, tag) << 8);
#endif
}

std::string_view SiteIndex::slotText(uint32_t slot) const {
  const Slot& s = slots_[slot];
  if (s.length != kLongText) return std::string_view(s.text, s.length);
  uint32_t offset = 0;
  uint32_t length = 0;
  std::memcpy(&offset, s.text, sizeof offset);
  std::memcpy(&length, s.text + sizeof offset, sizeof length);
  return std::string_view(longText_.data() + offset, length);
}

uint32_t SiteIndex::findHost(std::string_view text, uint8_t tag, std::size_t group,
                             uint32_t matches) const {
  for (;;) {
    for (; matches != 0; matches &= matches - 1) {
      const auto slot = static_cast<uint32_t>(group * kGroupSlots + std::countr_zero(matches));
      if (slotText(slot) == text) return slot;
    }
    if (tags_[group * kGroupSlots + kGroupSlots - 1] == 0) return kNone;
    group = nextGroup(group);
    matches = tagMatches(group, tag);
  }
}

void SiteIndex::take(uint32_t slot, std::string_view text) {
  Slot& s = slots_[slot];
  if (text.size() <= kInlineText) {
    s.length = static_cast<uint8_t>(text.size());
    if (!text.empty()) std::memcpy(s.text, text.data(), text.size());
  } else {
    const auto offset = static_cast<uint32_t>(longText_.size());
    const auto length = static_cast<uint32_t>(text.size());
    s.length = kLongText;
    std::memcpy(s.text, &offset, sizeof offset);
    std::memcpy(s.text + sizeof offset, &length, sizeof length);
    longText_.insert(longText_.end(), text.begin(), text.end());
  }
}

void SiteIndex::add(std::string_view text, bool includeSubtree, SiteAction action) {
  const auto position = static_cast<uint32_t>(ruleSlot_.size());
  const uint64_t hash = hashOf(text);
  const uint8_t tag = tagOf(hash);
  uint32_t slot = kNone;
  bool known = false;
  for (std::size_t g = home(hash); slot == kNone; g = nextGroup(g)) {
    for (uint32_t m = tagMatches(g, tag); m != 0 && slot == kNone; m &= m - 1) {
      const auto candidate = static_cast<uint32_t>(g * kGroupSlots + std::countr_zero(m));
      if (slotText(candidate) == text) {
        slot = candidate;
        known = true;
      }
    }
    if (slot == kNone && tags_[g * kGroupSlots + kGroupSlots - 1] == 0) {
      slot = static_cast<uint32_t>(g * kGroupSlots + std::countr_zero(tagMatches(g, 0)));
      tags_[slot] = tag;
      take(slot, text);
    }
  }
  // A new host's slot is only written here, never read back: with a million hosts it is rarely
  // in the cache yet, and the build need not wait for it.
  Slot& s = slots_[slot];
  uint32_t& first = includeSubtree ? s.firstSubtree : s.firstExact;
  if (!known || first == kNone) first = position;
  ruleSlot_.push_back(slot);
  ruleFlags_.push_back(
      static_cast<uint8_t>(static_cast<uint8_t>(action.kind) | (includeSubtree ? kSubtree : 0)));
  if (action.kind == SiteAction::Kind::limit) {
    limitPositions_.push_back(position);
    limitMinutes_.push_back(action.minutes);
  }
}

SiteAction SiteIndex::action(std::size_t position) const {
  switch (kind(position)) {
    case SiteAction::Kind::block:
      return SiteAction::block();
    case SiteAction::Kind::allow:
      return SiteAction::allow();
    case SiteAction::Kind::limit:
      break;
  }
  const auto it = std::lower_bound(limitPositions_.begin(), limitPositions_.end(), position);
  return SiteAction::limit(limitMinutes_[static_cast<std::size_t>(it - limitPositions_.begin())]);
}

SiteRule SiteIndex::rule(std::size_t position) const {
  return SiteRule{std::string(host(position)), includeSubtree(position), action(position)};
}

std::vector<SiteRule> SiteIndex::rules() const {
  std::vector<SiteRule> out;
  out.reserve(size());
  for (std::size_t i = 0; i < size(); ++i) out.push_back(rule(i));
  return out;
}

std::optional<SiteRule> SiteIndex::winning(std::string_view host) const {
  const auto position = winningPosition(host);
  if (!position) return std::nullopt;
  return rule(*position);
}

std::optional<std::size_t> SiteIndex::winningPosition(std::string_view host) const {
  thread_local std::string normalized;
  SiteMatch::normalizeInto(host, normalized);
  return winningPositionNormalized(normalized);
}

namespace {

// The covering rules seen so far with the most labels: the earliest exact one and the earliest
// one of any kind.
struct Best {
  int64_t labels = -1;
  uint32_t exact = UINT32_MAX;
  uint32_t any = UINT32_MAX;

  void offer(int64_t suffixLabels, uint32_t exactRule, uint32_t anyRule) {
    if (anyRule == UINT32_MAX) return;
    if (suffixLabels > labels) {
      labels = suffixLabels;
      exact = exactRule;
      any = anyRule;
    } else if (suffixLabels == labels) {
      exact = std::min(exact, exactRule);
      any = std::min(any, anyRule);
    }
  }
  std::optional<std::size_t> result() const {
    if (exact != UINT32_MAX) return exact;
    if (any != UINT32_MAX) return any;
    return std::nullopt;
  }
};

}  // namespace

// A rule covers h when its host equals h, or when it covers a subtree and its host equals a
// suffix of h that follows a ".". Every such suffix is probed. Among the covering rules with the
// most labels, the earliest exact rule wins if there is one, else the earliest rule: the outcome
// of the linear walk in SiteMatch::winning. Rules that share a host text share its label count,
// so per host the first exact and the first subtree rule stand for all of its rules. The order
// of the probes does not matter.
//
// The suffixes' hashes come from one walk from the right, and the tags of all of a name's groups
// are fetched at once before any is looked at. Most suffixes are not listed: their probes end in
// the tag table, and only a tag that matches leads to a slot.
std::optional<std::size_t> SiteIndex::winningPositionNormalized(std::string_view h) const {
  if (h.empty() || empty()) return std::nullopt;
  constexpr std::size_t kMaxProbes = 32;
  struct Probe {
    std::size_t start;
    int64_t labels;
    uint64_t hash;
    std::size_t group;  // its first group
    uint32_t matches;   // the slots of that group whose tag matches
  };
  Probe probes[kMaxProbes];
  std::size_t count = 0;
  Best best;
  // Looks at the probes gathered so far: first the slots whose tag matches are fetched, then the
  // texts compared. A name of more than 32 labels is looked at in several rounds.
  const auto settle = [&] {
    for (std::size_t k = 0; k < count; ++k) {
      Probe& p = probes[k];
      p.matches = tagMatches(p.group, tagOf(p.hash));
      for (uint32_t m = p.matches; m != 0; m &= m - 1) {
        __builtin_prefetch(&slots_[p.group * kGroupSlots + std::countr_zero(m)]);
      }
    }
    for (std::size_t k = 0; k < count; ++k) {
      const Probe& p = probes[k];
      const uint32_t slot = findHost(h.substr(p.start), tagOf(p.hash), p.group, p.matches);
      if (slot == kNone) continue;
      const uint32_t exact = p.start == 0 ? slots_[slot].firstExact : kNone;
      best.offer(p.labels, exact, std::min(exact, slots_[slot].firstSubtree));
    }
    count = 0;
  };
  uint64_t hash = kHashStart;
  int64_t labels = 0;  // labels of h[i:]
  for (std::size_t i = h.size();; --i) {
    if (i == 0 || h[i - 1] == '.') {
      if (count == kMaxProbes) settle();
      const uint64_t mixed = hashMix(hash);
      const std::size_t group = home(mixed);
      __builtin_prefetch(&tags_[group * kGroupSlots]);
      probes[count++] = Probe{i, labels, mixed, group, 0};
    }
    if (i == 0) break;
    const char c = h[i - 1];
    hash = hashStep(hash, c);
    if (c != '.' && (i == h.size() || h[i] == '.')) ++labels;
  }
  settle();
  return best.result();
}

}  // namespace tether
