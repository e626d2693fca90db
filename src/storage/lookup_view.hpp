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
// lookup that pays for it rebuilds it. Its const members may run in several
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

    // Whether lookups may go through the view of `tree` at `entriesGeneration`;
    // counts the lookup and builds the view when its time has come. `tree` is
    // mutable only so that the view may hand out its slots to the owner.
    bool usable(SlotTree &tree, uint64_t entriesGeneration) const;
    // The slot of `key`, or null; only while usable.
    SlotBitmap *find(uint32_t key) const;
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
