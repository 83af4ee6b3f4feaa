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
// The rules are stored compactly, for policies of a million names. Each distinct host text has
// one slot of 32 bytes in an open-addressing hash table: the positions of its first subtree and
// first exact rule, and its text when that is 23 bytes or shorter (a longer one lies in a
// separate block). Beside the slots, a table of one byte per slot holds 8 bits of each host's
// hash. A probe for a suffix that is not listed, the common case, reads only that byte table
// (about 1.1 MB for a million names, so it mostly stays in the processor's cache); a listed
// suffix costs one slot. Per rule there are five more bytes (its host's slot and its flags):
// about 45 bytes per name in all, with the table seven eighths full. A rule is addressed by its
// position in the list; rule(), rules() and winning() give SiteRule values made on request.
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

  std::size_t size() const { return ruleSlot_.size(); }
  bool empty() const { return ruleSlot_.empty(); }
  std::string_view host(std::size_t position) const { return slotText(ruleSlot_[position]); }
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
    const SiteAction a = kind(position) == SiteAction::Kind::limit
                             ? action(position)
                             : SiteAction{kind(position), 0};
    return a.blocksNow(SiteAction::NonPositiveLimit::zeroBlocks,
                       [&] { return overCap.find(host(position)) != overCap.end(); });
  }

 private:
  static constexpr uint8_t kKindMask = 0x3;
  static constexpr uint8_t kSubtree = 0x4;
  static constexpr uint32_t kNone = UINT32_MAX;
  static constexpr std::size_t kGroupSlots = 16;
  static constexpr std::size_t kInlineText = 23;
  static constexpr uint8_t kLongText = UINT8_MAX;

  // One distinct host text; its tag byte tells whether the slot is taken.
  struct alignas(32) Slot {
    uint32_t firstSubtree = kNone;  // position of its first subtree rule, or kNone
    uint32_t firstExact = kNone;    // position of its first exact rule, or kNone
    uint8_t length = 0;             // kLongText: text holds the offset and length in longText_
    char text[kInlineText] = {};
  };
  static_assert(sizeof(Slot) == 32);

  // Sizes the tables for this many rules whose long host texts (over kInlineText bytes) take
  // longChars bytes at most.
  void reserve(std::size_t rules, std::size_t longChars);
  static std::size_t longTextSize(std::string_view text);
  void add(std::string_view host, bool includeSubtree, SiteAction action);
  // Writes a new host's text into its slot.
  void take(uint32_t slot, std::string_view text);
  std::string_view slotText(uint32_t slot) const;
  // Bit k set for every slot k of the group whose tag byte is tag.
  uint32_t tagMatches(std::size_t group, uint8_t tag) const;
  // The slot of the host text with this tag, or kNone when it is not listed: the search starts
  // at its first group, whose slots with a matching tag are given.
  uint32_t findHost(std::string_view text, uint8_t tag, std::size_t group, uint32_t matches) const;
  std::size_t home(uint64_t hash) const;
  std::size_t nextGroup(std::size_t group) const {
    return group + 1 == groupCount_ ? 0 : group + 1;
  }

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

  // Open addressing over groups of 16 slots: a host's first group comes from the high bits of
  // its hash, its tag (never 0) from the low ones. Slots of a group are taken from the front,
  // and a full group sends the search on to the next; a free slot (tag 0) ends it.
  std::size_t groupCount_ = 0;
  std::vector<uint8_t, LargeAllocator<uint8_t>> tags_;  // per slot
  std::vector<Slot, LargeAllocator<Slot>> slots_;
  std::vector<char> longText_;
  std::vector<uint32_t> ruleSlot_;  // slot of each rule's host
  std::vector<uint8_t> ruleFlags_;
  std::vector<uint32_t> limitPositions_;
  std::vector<int64_t> limitMinutes_;  // parallel to limitPositions_
};

}  // namespace tether
