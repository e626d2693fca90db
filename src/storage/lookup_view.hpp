#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
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
// lookup that pays for it rebuilds it. Beside each slot pointer it keeps a
// summary of the slot's container keys (containers::keySummary) and where
// those keys were, taken by the first call that reads the slot: later
// lookups of a position the slot cannot hold end here, in the cache line they
// read anyway, and the others ask for the keys with the slot. A point
// change summarises its slot again (slotChangedAt), a slot handed out to be
// changed loses its summary (slotToChangeAt); any other change of slots
// drops every summary (slotsChanged) until the next build. Its const members
// may run in several threads at once: a build is made under a lock and
// published with release, and a valid view is never rebuilt, since the
// entries cannot change while queries run. An owner reports entriesChanged()
// outside queries.
class LookupView {
public:
    LookupView() = default;
    // A view belongs to one tree: copies start empty, and an assigned view
    // is stale until its next build.
    LookupView(const LookupView &) noexcept {}
    LookupView &operator=(const LookupView &other) noexcept {
        if (this != &other) {
            for_.store(kNone, std::memory_order_relaxed);
            lookups_.store(0, std::memory_order_relaxed);
        }
        return *this;
    }
    ~LookupView() = default;

    void entriesChanged() noexcept { lookups_.store(0, std::memory_order_relaxed); }
    void slotsChanged() noexcept { summarised_.store(false, std::memory_order_relaxed); }
    // Whether lookups may go through the view of `tree` at `entriesGeneration`;
    // counts the lookup and builds the view when its time has come. `tree` is
    // mutable only so that the view may hand out its slots to the owner.
    bool usable(SlotTree &tree, uint64_t entriesGeneration) const;
    // Lookups, only while usable. The index of `key` in the view, or kAbsent.
    size_t indexOf(uint32_t key) const;
    SlotBitmap *find(uint32_t key) const {
        const size_t index = indexOf(key);
        return index == kAbsent ? nullptr : entries_[index].slot;
    }
    // Whether the slot at `index` may hold `value` (a low part): false only
    // where its summary shows that it cannot. The first call that reads a
    // slot takes its summary; racing readers store the same value.
    // Where it may, the slot's container keys are asked for (see keysHint).
    bool mayHold(size_t index, uint32_t value) const {
        if (!summarised_.load(std::memory_order_relaxed)) return true;
        const Entry &entry = entries_[index];
        const uint32_t summary = entry.summary.load(std::memory_order_relaxed);
        if (summary == kUnknown) {
            summarise(entry);
            return true;
        }
        if ((summary & containers::keySummaryBit(value)) == 0) return false;
        prefetchKeys(entry);
        return true;
    }
    // Before a call reads the slot at `index`.
    void prefetchKeysAt(size_t index) const noexcept {
        if (summarised_.load(std::memory_order_relaxed)) prefetchKeys(entries_[index]);
    }
    // After a call that read the slot at `index` and left it as it was: its
    // summary is taken where it is not known.
    void slotReadAt(size_t index) const noexcept {
        if (!summarised_.load(std::memory_order_relaxed)) return;
        const Entry &entry = entries_[index];
        if (entry.summary.load(std::memory_order_relaxed) == kUnknown) summarise(entry);
    }
    // After a point change of the slot at `index`, which is in cache: its
    // summary is taken again at once.
    void slotChangedAt(size_t index) noexcept {
        if (summarised_.load(std::memory_order_relaxed)) summarise(entries_[index]);
    }
    // Before the slot at `index` is handed out to be changed in any way.
    void slotToChangeAt(size_t index) noexcept {
        entries_[index].summary.store(kUnknown, std::memory_order_relaxed);
    }
    static constexpr size_t kAbsent = SIZE_MAX;
    size_t size() const noexcept { return size_; }
    uint32_t keyAt(size_t index) const noexcept { return entries_[index].key; }
    SlotBitmap *slotAt(size_t index) const noexcept { return entries_[index].slot; }

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
    // under `build_`. The key sits beside its slot, so that a search ends on
    // the cache line the lookup reads next.
    struct Entry {
        uint32_t key = 0;
        // kUnknown (every bit set: may hold anything) until a lookup reads
        // the slot; a superset of the truth.
        mutable std::atomic<uint32_t> summary{kUnknown};
        SlotBitmap *slot = nullptr;
        // Where the slot's container keys were when its summary was taken: a
        // lookup asks for them at once, so that their cache miss overlaps the
        // slot's instead of following it. Only ever prefetched, never read
        // through: it may be out of date (a stale address costs a wasted
        // fetch, nothing else).
        mutable std::atomic<const void *> keysHint{nullptr};
    };
    static void prefetchKeys(const Entry &entry) noexcept {
        if (const void *keys = entry.keysHint.load(std::memory_order_relaxed)) __builtin_prefetch(keys);
    }
    // Takes the summary and the hint of a slot that is in cache.
    // Stores only what differs: readers of one slot do not write its line over and over.
    static void summarise(const Entry &entry) {
        const uint32_t summary = summaryOf(*entry.slot);
        if (entry.summary.load(std::memory_order_relaxed) != summary) {
            entry.summary.store(summary, std::memory_order_relaxed);
        }
        const void *keys = entry.slot->keyArray();
        if (entry.keysHint.load(std::memory_order_relaxed) != keys) {
            entry.keysHint.store(keys, std::memory_order_relaxed);
        }
    }
    // Slots of more containers than this keep kUnknown: nearly every bit
    // would be set, and taking it costs a read of each.
    static constexpr int32_t kSummarisedUpTo = 32;
    static constexpr uint32_t kUnknown = UINT32_MAX;
    static uint32_t summaryOf(const SlotBitmap &slot) {
        return slot.containerCount() > kSummarisedUpTo ? kUnknown : slot.keySummary();
    }

    mutable std::unique_ptr<Entry[]> entries_;
    mutable size_t size_ = 0;
    // Whether the summaries may be used; set by builds under `build_` before
    // they publish, cleared by changes, which no query overlaps.
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
