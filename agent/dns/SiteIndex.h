#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "SiteRule.h"

namespace tether {

struct Policy;

// The policy's site rules, prepared once per policy so that finding the winning rule for a name
// costs a few hash probes (one per dot in the name) instead of a walk over the list. Immutable
// once built; the agent shares one with the DNS proxy's thread.
//
// The rules are stored compactly, for policies of a million names: every distinct host text once
// in one block of characters with a 16-byte hash slot, and per rule five bytes (the slot of its
// host and its flags); about 50 bytes per name in all. A rule is addressed by its position in the
// list; rule(), rules() and winning() give SiteRule values made on request.
class SiteIndex {
 public:
  SiteIndex();
  explicit SiteIndex(const std::vector<SiteRule>& rules);
  // The rules of policy.siteRules(), in the same order, without making that list first.
  explicit SiteIndex(const Policy& policy);

  // The same rule as SiteMatch::winning(host, rules()), or nothing.
  std::optional<SiteRule> winning(std::string_view host) const;
  // Its position in the list. Copies no rule; allocates nothing once the calling thread's
  // buffer for the normalised name has grown to the longest name seen.
  std::optional<std::size_t> winningPosition(std::string_view host) const;
  // The same for a host that is already normalised (SiteMatch::normalize).
  std::optional<std::size_t> winningPositionNormalized(std::string_view host) const;

  std::size_t size() const { return ruleHost_.size(); }
  bool empty() const { return ruleHost_.empty(); }
  std::string_view host(std::size_t position) const { return hostText(ruleHost_[position]); }
  bool includeSubtree(std::size_t position) const { return ruleFlags_[position] & kSubtree; }
  SiteAction::Kind kind(std::size_t position) const {
    return static_cast<SiteAction::Kind>(ruleFlags_[position] & kKindMask);
  }
  SiteAction action(std::size_t position) const;
  SiteRule rule(std::size_t position) const;
  std::vector<SiteRule> rules() const;
  // Positions of the limit rules, in list order.
  const std::vector<uint32_t>& limitPositions() const { return limitPositions_; }
  // Whether the rule at this position blocks, given the hosts over their time limit: a block
  // rule, a limit of 0 minutes, or another limit whose host is in overCap. Set is any set of
  // texts that can be searched with a string_view.
  template <class Set>
  bool blocks(std::size_t position, const Set& overCap) const {
    switch (kind(position)) {
      case SiteAction::Kind::block:
        return true;
      case SiteAction::Kind::allow:
        return false;
      case SiteAction::Kind::limit:
        return action(position).minutes == 0 || overCap.find(host(position)) != overCap.end();
    }
    return false;
  }

 private:
  static constexpr uint8_t kKindMask = 0x3;
  static constexpr uint8_t kSubtree = 0x4;
  static constexpr uint32_t kNone = UINT32_MAX;

  // One distinct host text, kept right in its hash slot so that a probe touches one place.
  struct Slot {
    uint32_t offset = 0;            // its text in chars_
    uint32_t firstSubtree = kNone;  // position of its first subtree rule, or kNone
    uint32_t firstExact = kNone;    // position of its first exact rule, or kNone
    uint16_t length = 0;            // kLongHost: a 4-byte length precedes the text
    uint16_t tag = 0;               // 16 more bits of the hash
    bool empty() const { return firstSubtree == kNone && firstExact == kNone; }
  };
  static constexpr uint16_t kLongHost = UINT16_MAX;

  void reserve(std::size_t rules, std::size_t chars);
  void add(std::string_view host, bool includeSubtree, SiteAction action);
  void finish();
  std::string_view hostText(uint32_t slot) const;
  // The slot of the host text, starting the search at the slot the hash names; kNone when absent.
  uint32_t findHost(std::string_view text, uint64_t hash) const;
  std::optional<std::size_t> winningSlowly(std::string_view host) const;
  std::size_t home(uint64_t hash) const;
  std::size_t next(std::size_t slot) const { return slot + 1 == slots_.size() ? 0 : slot + 1; }

  // Large tables on huge pages where the system offers them: a lookup touches a few random
  // places in tens of megabytes, and with small pages each costs a page-table walk as well.
  template <class T>
  struct LargeAllocator {
    using value_type = T;
    LargeAllocator() = default;
    template <class U>
    LargeAllocator(const LargeAllocator<U>&) {}  // NOLINT: implicit, as allocators are
    T* allocate(std::size_t n);
    void deallocate(T* p, std::size_t n);
    template <class U>
    bool operator==(const LargeAllocator<U>&) const {
      return true;
    }
  };

  std::vector<char, LargeAllocator<char>> chars_;
  // Open addressing with linear probing; a host's first slot comes from the high bits of its
  // hash, its tag from the low ones.
  std::vector<Slot, LargeAllocator<Slot>> slots_;
  std::vector<uint32_t> ruleHost_;  // slot of each rule's host
  std::vector<uint8_t> ruleFlags_;
  std::vector<uint32_t> limitPositions_;
  std::vector<int64_t> limitMinutes_;  // parallel to limitPositions_
};

}  // namespace tether
