#include "SiteIndex.h"

#include <sys/mman.h>
#include <algorithm>

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

template struct SiteIndex::LargeAllocator<char>;
template struct SiteIndex::LargeAllocator<SiteIndex::Slot>;

SiteIndex::SiteIndex() {
  finish();
}

SiteIndex::SiteIndex(const std::vector<SiteRule>& rules) {
  std::size_t chars = 0;
  for (const SiteRule& r : rules) chars += r.host.size();
  reserve(rules.size(), chars);
  for (const SiteRule& r : rules) add(r.host, r.includeSubtree, r.action);
  finish();
}

SiteIndex::SiteIndex(const Policy& policy) {
  const std::unordered_set<std::string_view> exact(policy.domainExact.begin(),
                                                   policy.domainExact.end());
  std::size_t chars = 0;
  for (const auto& host : policy.domains) chars += host.size();
  for (const auto& entry : policy.domainLimits) chars += entry.first.size();
  for (const auto& host : policy.domainAllow) chars += host.size();
  reserve(policy.domains.size() + policy.domainLimits.size() + policy.domainAllow.size(), chars);
  // The order of Policy::siteRules(): every block rule, then every limit rule, then every allow.
  for (const auto& host : policy.domains) add(host, !exact.contains(host), SiteAction::block());
  for (const auto& [host, minutes] : policy.domainLimits) {
    add(host, !exact.contains(host), SiteAction::limit(minutes));
  }
  for (const auto& host : policy.domainAllow) add(host, !exact.contains(host), SiteAction::allow());
  finish();
}

void SiteIndex::reserve(std::size_t rules, std::size_t chars) {
  // Positions and slot numbers are 32-bit, and so are offsets into the characters; a policy
  // body large enough to exceed them could not be received in the first place.
  if (rules >= kNone / 2 || chars >= kNone / 2) throw std::length_error("site rules beyond 2 GiB");
  chars_.reserve(chars);
  ruleHost_.reserve(rules);
  ruleFlags_.reserve(rules);
  // At most two thirds full, counting every rule as a distinct host.
  slots_.assign(16 + rules + rules / 2, Slot{});
}

// The high bits of hash * size: a slot number below the size, for any size.
std::size_t SiteIndex::home(uint64_t hash) const {
  __extension__ using Wide = unsigned __int128;
  return static_cast<std::size_t>((static_cast<Wide>(hash) * slots_.size()) >> 64);
}

std::string_view SiteIndex::hostText(uint32_t slot) const {
  const Slot& s = slots_[slot];
  std::size_t length = s.length;
  if (length == kLongHost) {
    uint32_t stored = 0;
    std::memcpy(&stored, chars_.data() + s.offset - sizeof stored, sizeof stored);
    length = stored;
  }
  return std::string_view(chars_.data() + s.offset, length);
}

uint32_t SiteIndex::findHost(std::string_view text, uint64_t hash) const {
  const auto tag = static_cast<uint16_t>(hash);
  for (std::size_t i = home(hash);; i = next(i)) {
    const Slot& slot = slots_[i];
    if (slot.empty()) return kNone;
    if (slot.tag == tag && hostText(static_cast<uint32_t>(i)) == text) {
      return static_cast<uint32_t>(i);
    }
  }
}

void SiteIndex::add(std::string_view text, bool includeSubtree, SiteAction action) {
  const auto position = static_cast<uint32_t>(ruleHost_.size());
  const uint64_t hash = hashOf(text);
  uint32_t slot = findHost(text, hash);
  if (slot == kNone) {
    std::size_t i = home(hash);
    while (!slots_[i].empty()) i = next(i);
    slot = static_cast<uint32_t>(i);
    Slot& s = slots_[i];
    if (text.size() >= kLongHost) {
      const auto length = static_cast<uint32_t>(text.size());
      const char* bytes = reinterpret_cast<const char*>(&length);
      chars_.insert(chars_.end(), bytes, bytes + sizeof length);
    }
    if (chars_.size() + text.size() >= kNone / 2)
      throw std::length_error("site rules beyond 2 GiB");
    s.offset = static_cast<uint32_t>(chars_.size());
    s.length = static_cast<uint16_t>(std::min<std::size_t>(text.size(), kLongHost));
    s.tag = static_cast<uint16_t>(hash);
    chars_.insert(chars_.end(), text.begin(), text.end());
  }
  Slot& s = slots_[slot];
  uint32_t& first = includeSubtree ? s.firstSubtree : s.firstExact;
  if (first == kNone) first = position;
  ruleHost_.push_back(slot);
  ruleFlags_.push_back(
      static_cast<uint8_t>(static_cast<uint8_t>(action.kind) | (includeSubtree ? kSubtree : 0)));
  if (action.kind == SiteAction::Kind::limit) {
    limitPositions_.push_back(position);
    limitMinutes_.push_back(action.minutes);
  }
}

void SiteIndex::finish() {
  if (slots_.empty()) slots_.assign(16, Slot{});
  // Duplicate hosts leave room in the reserved characters; give it back.
  if (chars_.capacity() > chars_.size() + chars_.size() / 8) chars_.shrink_to_fit();
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
// The suffixes' hashes come from one walk from the right. With a million hosts the slots lie
// far apart in memory, so all of a name's slots are fetched at once before any is compared.
std::optional<std::size_t> SiteIndex::winningPositionNormalized(std::string_view h) const {
  if (h.empty() || empty()) return std::nullopt;
  constexpr std::size_t kMaxProbes = 32;
  struct Probe {
    std::size_t start;
    int64_t labels;
    uint64_t hash;
  };
  Probe probes[kMaxProbes];
  std::size_t count = 0;
  uint64_t hash = kHashStart;
  int64_t labels = 0;  // labels of h[i:]
  for (std::size_t i = h.size();; --i) {
    if (i == 0 || h[i - 1] == '.') {
      if (count == kMaxProbes) return winningSlowly(h);
      const uint64_t mixed = hashMix(hash);
      __builtin_prefetch(&slots_[home(mixed)]);
      probes[count++] = Probe{i, labels, mixed};
    }
    if (i == 0) break;
    const char c = h[i - 1];
    hash = hashStep(hash, c);
    if (c != '.' && (i == h.size() || h[i] == '.')) ++labels;
  }
  Best best;
  for (std::size_t k = 0; k < count; ++k) {
    const Probe& p = probes[k];
    const uint32_t slot = findHost(h.substr(p.start), p.hash);
    if (slot == kNone) continue;
    const uint32_t exact = p.start == 0 ? slots_[slot].firstExact : kNone;
    best.offer(p.labels, exact, std::min(exact, slots_[slot].firstSubtree));
  }
  return best.result();
}

// The same for names of more than 32 labels, probing as the walk goes.
std::optional<std::size_t> SiteIndex::winningSlowly(std::string_view h) const {
  Best best;
  uint64_t hash = kHashStart;
  int64_t labels = 0;
  for (std::size_t i = h.size();; --i) {
    if (i == 0 || h[i - 1] == '.') {
      const uint32_t slot = findHost(h.substr(i), hashMix(hash));
      if (slot != kNone) {
        const uint32_t exact = i == 0 ? slots_[slot].firstExact : kNone;
        best.offer(labels, exact, std::min(exact, slots_[slot].firstSubtree));
      }
    }
    if (i == 0) break;
    const char c = h[i - 1];
    hash = hashStep(hash, c);
    if (c != '.' && (i == h.size() || h[i] == '.')) ++labels;
  }
  return best.result();
}

}  // namespace tether
