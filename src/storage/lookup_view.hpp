#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "storage/slot_bitmap.hpp"
#include "storage/slot_tree.hpp"

namespace morvane::storage {

// A sorted array of a tree's keys beside pointers to their slots: point
// lookups stay in cache where a walk down scattered tree nodes does not, and
// the counting walks read a block of entries in order.
//
// It is valid for one generation of the tree's entries, which its owner
// counts and passes in: when entries come or go it is stale, and the next
// lookup that pays for it rebuilds it. Beside each key it keeps a summary of
// the slot's container keys (containers::keySummary), so that most lookups of
// a position the slot cannot hold end here, without reading the slot: the
// summaries hold while slots only gain members through point changes that
// report them (noteMember); any other change of a slot drops them
// (slotsChanged) until the next build. Its const members may run in several
// threads at once: a build is made under a lock and published with release,
// and a valid view is never rebuilt, since the entries cannot change while
// queries run. An owner reports entriesChanged() outside queries.
class LookupView {
public:
    LookupView() = default;
    // A view belongs to one tree: copies start empty.
    LookupView(const LookupView &) noexcept {}
    LookupView &operator=(const LookupView &) noexcept { return *this; }
    ~LookupView() = default;

    void entriesChanged() noexcept { lookups_.store(0, std::memory_order_relaxed); }
    void slotsChanged() noexcept { summarised_.store(false, std::memory_order_relaxed); }

    // Whether lookups may go through the view of `tree` at `entriesGeneration`;
    // counts the lookup and builds the view when its time has come. `tree` is
    // mutable only so that the view may hand out its slots to the owner.
    bool usable(SlotTree &tree, uint64_t entriesGeneration) const;
    // The slot of `key`, or null; only while usable.
    SlotBitmap *find(uint32_t key) const {
        const size_t index = indexOf(key);
        return index == kAbsent ? nullptr : slots_[index];
    }
    // The slot of `key` where it may hold `value` (in the container key
    // summary; every slot while there are no summaries), or null.
    SlotBitmap *findHolding(uint32_t key, uint32_t value) const {
        const size_t index = indexOf(key);
        if (index == kAbsent) return nullptr;
        if (summarised_.load(std::memory_order_relaxed) &&
            (summaries_[index] & containers::keySummaryBit(value)) == 0) {
            return nullptr;
        }
        return slots_[index];
    }
    // After `value` was added to the slot of `key`, which has an entry.
    void noteMember(uint32_t key, uint32_t value) noexcept {
        if (!summarised_.load(std::memory_order_relaxed)) return;
        const size_t index = indexOf(key);
        if (index != kAbsent) summaries_[index] |= containers::keySummaryBit(value);
    }
    // After the slot of `key` lost a container: its summary is taken again
    // where that costs a few reads of memory just used (a slot of many
    // containers keeps its bits, a superset).
    void noteContainerGone(uint32_t key, const SlotBitmap &slot) noexcept {
        constexpr int32_t kRetakenUpTo = 64;
        if (!summarised_.load(std::memory_order_relaxed) || slot.containerCount() > kRetakenUpTo) return;
        const size_t index = indexOf(key);
        if (index != kAbsent) summaries_[index] = slot.keySummary();
    }
    static constexpr size_t kAbsent = SIZE_MAX;
    // The index of `key` in the view, or kAbsent.
    size_t indexOf(uint32_t key) const;
    size_t size() const noexcept { return keys_.size(); }
    uint32_t keyAt(size_t index) const noexcept { return keys_[index]; }
    SlotBitmap *slotAt(size_t index) const noexcept { return slots_[index]; }

private:
    // The view is built once the lookups since the last change reach 1/64 of
    // the entries: building costs at most 64 copied entries (a few ns each,
    // in sequence) per lookup, where one walk down a large tree costs a cache
    // miss per level. Small trees are walked directly.
    static constexpr size_t kSmallestIndexed = 64;
    static constexpr size_t kEntriesPerLookup = 64;
    // Views of this many keys or more get a directory: the span from their
    // first to their last key cut into about as many buckets as keys.
    static constexpr size_t kDirectedFrom = size_t{1} << 10;
    static constexpr uint64_t kNone = UINT64_MAX;

    void build(SlotTree &tree, uint64_t entriesGeneration) const;

    // Valid when `for_` equals the owner's entries generation; written only
    // under `build_`.
    mutable std::vector<uint32_t> keys_;
    mutable std::vector<SlotBitmap *> slots_;
    mutable std::vector<uint64_t> summaries_;
    // Whether summaries_ holds for every slot; written by builds under
    // `build_` before they publish, and by changes, which no query overlaps.
    mutable std::atomic<bool> summarised_{false};
    // directory_[b]: the index of the first key at or above bucket b, that is
    // at or above directoryBase_ + (b << directoryShift_).
    mutable std::vector<uint32_t> directory_;
    mutable uint32_t directoryBase_ = 0;
    mutable unsigned directoryShift_ = 0;
    mutable std::atomic<uint64_t> for_{kNone};
    // Counted loosely: racing readers may lose increments, which only delays the build.
    mutable std::atomic<size_t> lookups_{0};
    mutable std::mutex build_;
};

}  // namespace morvane::storage
