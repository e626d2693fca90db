#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "storage/keys.hpp"
#include "storage/lookup_view.hpp"
#include "storage/slot_bitmap.hpp"
#include "storage/slot_tree.hpp"

namespace morvane::storage {

// Cumulative member counts of a slot tree, so that cardinality, rank and
// select need not walk every slot and container below the answer.
//
// The entries are cut into blocks of 16 to 128 (fewer where slots are small,
// so that the index stays under a percent of the serialized form); for each block the index
// keeps its first entry and the members of all entries before it. Those
// counts are extended on demand, from the first block that a change may have
// touched: a change to one slot costs the blocks from its own onwards, summed
// from the slots' own cached cardinalities. Slots of many containers also get
// counts per block of containers (SlotBitmap::countBlocks), rebuilt only for
// a slot that changed.
//
// The owner reports every change before it happens (or before handing out a
// reference through which it may happen): `entriesChanged` when entries come
// or go, `slotChanged` for the slot of one key, `allSlotsChanged` otherwise.
// Those calls must not overlap queries. Queries are const and may run in
// several threads at once: extensions are made under a lock and published
// with release/acquire, and never touch counts that another query may be
// reading. An index that cannot get memory answers by walking, as without it.
class CountingIndex {
public:
    using const_iterator = SlotTree::const_iterator;

    CountingIndex() = default;
    // An index belongs to one tree: copies and moves start empty.
    CountingIndex(const CountingIndex &) noexcept {}
    CountingIndex &operator=(const CountingIndex &other) noexcept {
        if (this != &other) entriesChanged();
        return *this;
    }

    void entriesChanged() noexcept {
        layoutReady_.store(false, std::memory_order_relaxed);
        containerStarts_.clear();
    }
    void slotChanged(uint32_t key) noexcept {
        const uint64_t state = state_.load(std::memory_order_relaxed);
        if (key < cleanOf(state)) state_.store(pack(countedOf(state), key), std::memory_order_relaxed);
        if (key > dirtyHigh_.load(std::memory_order_relaxed)) {
            dirtyHigh_.store(key, std::memory_order_relaxed);
        }
        if (changedCount_ > kTrackedKeys) return;  // too many: the whole range is recounted
        if (changedCount_ > 0 && changedKeys_[changedCount_ - 1] == key) return;
        if (changedCount_ < kTrackedKeys) changedKeys_[changedCount_] = key;
        ++changedCount_;
    }
    void allSlotsChanged() noexcept {
        state_.store(pack(countedOf(state_.load(std::memory_order_relaxed)), 0), std::memory_order_relaxed);
        dirtyHigh_.store(UINT32_MAX, std::memory_order_relaxed);
        changedCount_ = kTrackedKeys + 1;
    }

    // Members of every slot (modulo 2^64: a full set counts as 0).
    uint64_t members(const SlotTree &tree) const;
    // The walks below read the entries through `view` where the owner says it
    // is usable (null otherwise), through the tree where not.
    // Members of the slots whose keys lie below `key`; `slotOfKey` is set to
    // the slot of `key`, or null.
    uint64_t membersBelow(const SlotTree &tree, const LookupView *view, uint32_t key,
                          const SlotBitmap *&slotOfKey) const;
    // The slot holding the member of 0-based rank `ordinal`, with its key and
    // that member's rank inside it; null when there is none.
    const SlotBitmap *slotOf(const SlotTree &tree, const LookupView *view, uint64_t ordinal, uint32_t &key,
                             uint64_t &rankInSlot) const;
    // Members of `slot` (the slot of `key`) at or below `value`.
    uint64_t rank(const SlotBitmap &slot, uint32_t key, uint32_t value) const;
    // Member of 0-based rank `rank` inside `slot`; false when there is none.
    bool select(const SlotBitmap &slot, uint32_t key, uint64_t rank, uint32_t &value) const;

private:
    // Where a walk for the member of 0-based rank `ordinal` starts: the first
    // entry of its block, that entry's place in key order and the members of
    // the entries before it (the first entry when there are no blocks);
    // nullopt when there is no such member.
    struct BlockStart {
        const_iterator entry;
        size_t entryIndex;
        uint64_t membersBefore;
    };
    std::optional<BlockStart> blockOf(const SlotTree &tree, uint64_t ordinal) const;
    // Where a walk for the entries below `key` starts: the block holding the
    // last of them (the first entry when there is none).
    BlockStart blockBelow(const SlotTree &tree, uint32_t key) const;
    // Calls visit(key, slot) on the entries in key order from `start` on,
    // until it returns Stop, or Found: it stops at a slot its caller reads.
    enum class WalkStep { Next, Stop, Found };
    template <typename Visit>
    static void walk(const SlotTree &tree, const LookupView *view, const BlockStart &start, Visit visit);

    static constexpr size_t kFewestBlockEntries = 16;
    static constexpr size_t kMostBlockEntries = 128;

    // One word, so that a query reads both halves of the state together:
    // before_[b] holds for b below `counted` whose first key is at most
    // `clean` (no slot with a key below `clean` changed since; kKeySpan when
    // none did).
    static uint64_t pack(uint64_t counted, uint64_t clean) { return counted << 33 | clean; }
    static uint64_t countedOf(uint64_t state) { return state >> 33; }
    static uint64_t cleanOf(uint64_t state) { return state & ((uint64_t{1} << 33) - 1); }

    // Builds the blocks when they are missing; false when that is not possible.
    bool ensureLayout(const SlotTree &tree) const;
    // Makes before_[0..block] hold.
    void ensureCounted(const SlotTree &tree, size_t block) const;
    // Whether block `block` may hold a slot changed since it was counted.
    bool mayHaveChanged(size_t block, uint64_t dirtyHigh) const;
    bool counted(size_t block, uint64_t state) const {
        return block < countedOf(state) && blockKey(block) <= cleanOf(state);
    }
    // First key of a block; kKeySpan for the end.
    uint64_t blockKey(size_t block) const { return block < firstKeys_.size() ? firstKeys_[block] : kKeySpan; }
    const std::vector<uint32_t> *containerStarts(const SlotBitmap &slot, uint32_t key) const;

    // The layout, valid while layoutReady_ is set.
    mutable std::vector<uint32_t> firstKeys_;
    mutable std::vector<const_iterator> firstEntries_;
    mutable size_t entriesPerBlock_ = kFewestBlockEntries;
    // before_[b]: members of the entries before block b; before_[blocks] is the total.
    mutable std::vector<uint64_t> before_;
    mutable std::atomic<bool> layoutReady_{false};
    mutable std::atomic<uint64_t> state_{0};
    // The highest key changed since the last count: blocks above it and
    // above the clean bound keep their old totals (differences of before_).
    mutable std::atomic<uint32_t> dirtyHigh_{0};
    // The keys changed since then, while they are few (changes and queries
    // alternating): only their blocks are recounted. Written by changes and
    // under the lock.
    static constexpr uint32_t kTrackedKeys = 8;
    mutable uint32_t changedKeys_[kTrackedKeys] = {};
    mutable uint32_t changedCount_ = 0;
    // Per-container-block counts of the large slots, by key.
    mutable std::map<uint32_t, std::vector<uint32_t>> containerStarts_;
    mutable std::mutex lock_;
};

}  // namespace morvane::storage
