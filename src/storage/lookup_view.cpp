#include "storage/lookup_view.hpp"

#include <new>

namespace morvane::storage {

bool LookupView::usable(SlotTree &tree, uint64_t entriesGeneration) const {
    if (for_.load(std::memory_order_acquire) == entriesGeneration) return true;
    if (tree.size() < kSmallestIndexed) return false;
    const size_t lookups = lookups_.load(std::memory_order_relaxed) + 1;
    lookups_.store(lookups, std::memory_order_relaxed);
    if (lookups * kEntriesPerLookup < tree.size()) return false;
    build(tree, entriesGeneration);
    return for_.load(std::memory_order_acquire) == entriesGeneration;
}

size_t LookupView::indexOf(uint32_t key) const {
    if (size_ == 0) return kAbsent;
    // The directory narrows a large view to the few keys of `key`'s bucket,
    // so the search reads a cache line or two instead of halving a large
    // array from its middle, a cache miss per step.
    const Entry *entries = entries_.get();
    size_t begin = 0, end = size_;
    if (!directory_.empty()) {
        if (key < directoryBase_) return kAbsent;
        const size_t bucket = (key - directoryBase_) >> directoryShift_;
        if (bucket + 1 >= directory_.size()) return kAbsent;
        begin = directory_[bucket];
        end = directory_[bucket + 1];
        if (begin == end) return kAbsent;
    }
    // Halving without branches: the comparisons of random lookups mispredict,
    // a conditional move does not. Ends on the first key not below `key`, or
    // on the last key of the stretch.
    const Entry *first = entries + begin;
    for (size_t length = end - begin; length > 1;) {
        const size_t half = length / 2;
        first = first[half].key < key ? first + half : first;
        length -= half;
    }
    first += first->key < key && first + 1 < entries + end;
    return first->key == key ? static_cast<size_t>(first - entries) : kAbsent;
}

void LookupView::build(SlotTree &tree, uint64_t entriesGeneration) const {
    std::lock_guard<std::mutex> lock(build_);
    if (for_.load(std::memory_order_relaxed) == entriesGeneration) return;
    try {
        summarised_.store(false, std::memory_order_relaxed);
        size_ = 0;
        entries_.reset();
        entries_.reset(new Entry[tree.size()]);
        for (auto &[key, slot] : tree) {
            entries_[size_].key = key;
            entries_[size_++].slot = &slot;
        }
        directory_.clear();
        if (size_ >= kDirectedFrom) {
            // Buckets of 2^shift keys, no more buckets than keys: at most as
            // large as the key array, whatever the keys' spread.
            const uint32_t base = entries_[0].key;
            const uint64_t span = uint64_t{entries_[size_ - 1].key} - base + 1;
            unsigned shift = 0;
            while ((span >> shift) > size_) ++shift;
            const size_t buckets = static_cast<size_t>((span - 1) >> shift) + 1;
            directory_.resize(buckets + 1);
            size_t index = 0;
            for (size_t bucket = 0; bucket <= buckets; ++bucket) {
                while (index < size_ && ((entries_[index].key - base) >> shift) < bucket) ++index;
                directory_[bucket] = static_cast<uint32_t>(index);
            }
            directoryBase_ = base;
            directoryShift_ = shift;
        }
    } catch (const std::bad_alloc &) {
        return;  // lookups keep walking the tree
    }
    summarised_.store(true, std::memory_order_relaxed);
    for_.store(entriesGeneration, std::memory_order_release);
}

}  // namespace morvane::storage
