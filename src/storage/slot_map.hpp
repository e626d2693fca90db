#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "storage/counting_index.hpp"
#include "storage/node_pool.hpp"
#include "storage/slot_bitmap.hpp"

namespace morvane::storage {

// The ordered map from high key to slot, with the std::map interface that the
// set's operations use. Every change of structure goes through the members
// below, which lets the map keep a second view for point lookups: a sorted
// array of keys beside pointers to their slots. A search in that array stays
// in cache where a walk down thousands of scattered tree nodes does not.
//
// The view is built on demand, once enough lookups have come since the last
// change to pay for it, and dropped by the next change. The map also keeps
// the counting index of its slots (CountingIndex), told of every change here:
// a non-const slot reference for one key narrows it to that key, a non-const
// iterator may reach any slot. Const members may be called from several
// threads at once, as with std::map.
class SlotMap {
    using Map = SlotTree;

public:
    using key_type = Map::key_type;
    using mapped_type = Map::mapped_type;
    using value_type = Map::value_type;
    using size_type = Map::size_type;
    using iterator = Map::iterator;
    using const_iterator = Map::const_iterator;
    using reverse_iterator = Map::reverse_iterator;
    using const_reverse_iterator = Map::const_reverse_iterator;

    SlotMap() = default;
    // Deep copies; throw std::runtime_error "failed roaring_bitmap_overwrite in constructor".
    SlotMap(const SlotMap &other) : map_(other.map_) {}
    SlotMap &operator=(const SlotMap &other);
    // The source is left with no entries.
    SlotMap(SlotMap &&other) noexcept;
    SlotMap &operator=(SlotMap &&other) noexcept;
    ~SlotMap() = default;

    // Reading and changing slots in place; keys stay as they are. Non-const
    // iterators may change any slot.
    iterator begin() noexcept { return mutableTree().begin(); }
    iterator end() noexcept { return mutableTree().end(); }
    const_iterator begin() const noexcept { return map_.begin(); }
    const_iterator end() const noexcept { return map_.end(); }
    reverse_iterator rbegin() noexcept { return mutableTree().rbegin(); }
    reverse_iterator rend() noexcept { return mutableTree().rend(); }
    const_reverse_iterator rbegin() const noexcept { return map_.rbegin(); }
    const_reverse_iterator rend() const noexcept { return map_.rend(); }
    size_type size() const noexcept { return map_.size(); }
    bool empty() const noexcept { return map_.empty(); }
    iterator find(uint32_t key) { return mutableTree().find(key); }
    const_iterator find(uint32_t key) const { return map_.find(key); }
    iterator lower_bound(uint32_t key) { return mutableTree().lower_bound(key); }
    const_iterator lower_bound(uint32_t key) const { return map_.lower_bound(key); }
    iterator upper_bound(uint32_t key) { return mutableTree().upper_bound(key); }
    const_iterator upper_bound(uint32_t key) const { return map_.upper_bound(key); }

    // The slot of `key`, or null; through the sorted view when it is built.
    const SlotBitmap *findSlot(uint32_t key) const { return locate(key); }
    SlotBitmap *findSlot(uint32_t key) {
        counts_.slotChanged(key);
        return locate(key);
    }
    // The slot of `key`, created empty when missing.
    SlotBitmap &findOrCreate(uint32_t key);

    // Changes of structure.
    template <typename... Args>
    std::pair<iterator, bool> try_emplace(uint32_t key, Args &&...args) {
        counts_.allSlotsChanged();
        auto result = map_.try_emplace(key, std::forward<Args>(args)...);
        if (result.second) changed();
        return result;
    }
    template <typename Slot>
    iterator emplace_hint(const_iterator hint, uint32_t key, Slot &&slot) {
        changed();
        return map_.emplace_hint(hint, key, std::forward<Slot>(slot));
    }
    template <typename Slot>
    std::pair<iterator, bool> insert_or_assign(uint32_t key, Slot &&slot) {
        counts_.allSlotsChanged();
        auto result = map_.insert_or_assign(key, std::forward<Slot>(slot));
        if (result.second) changed();
        return result;
    }
    iterator erase(iterator position) {
        changed();
        return map_.erase(position);
    }
    void clear() noexcept {
        changed();
        map_.clear();
    }

    // Counting queries through the index (CountingIndex documents them).
    uint64_t membersBelow(uint32_t key, const_iterator &at) const {
        return counts_.membersBelow(map_, key, at);
    }
    uint64_t members() const { return counts_.members(map_); }
    const_iterator entryOf(uint64_t ordinal, uint64_t &rankInSlot) const {
        return counts_.entryOf(map_, ordinal, rankInSlot);
    }
    uint64_t rank(const_iterator entry, uint32_t value) const {
        return counts_.rank(entry->second, entry->first, value);
    }
    bool select(const_iterator entry, uint64_t rank, uint32_t &value) const {
        return counts_.select(entry->second, entry->first, rank, value);
    }
    size_t countingIndexBytes() const { return counts_.bytes(); }

private:
    // The view is built once the lookups since the last change reach an
    // eighth of the entries, so that building costs at most eight copied
    // entries per lookup; small maps are walked directly.
    static constexpr size_t kSmallestIndexed = 64;
    static constexpr size_t kEntriesPerLookup = 8;

    void changed() noexcept;
    Map &mutableTree() noexcept {
        counts_.allSlotsChanged();
        return map_;
    }
    // Whether lookups may go through the view; counts the lookup and builds
    // the view when its time has come.
    bool viewUsable() const;
    SlotBitmap *viewLookup(uint32_t key) const;
    SlotBitmap *locate(uint32_t key) const;
    void buildView() const;

    Map map_;
    // The sorted view; valid while `viewReady_` is set.
    mutable std::vector<uint32_t> viewKeys_;
    mutable std::vector<SlotBitmap *> viewSlots_;
    mutable std::atomic<bool> viewReady_{false};
    // Counted loosely: racing readers may lose increments, which only delays the build.
    mutable std::atomic<size_t> lookupsSinceChange_{0};
    mutable std::mutex viewBuild_;
    CountingIndex counts_;
};

}  // namespace morvane::storage
