#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

#include "storage/counting_index.hpp"
#include "storage/lookup_view.hpp"
#include "storage/slot_bitmap.hpp"
#include "storage/slot_edit.hpp"
#include "storage/slot_tree.hpp"

namespace morvane::storage {

// The ordered map from high key to slot and the one place where a set
// changes: readers get the const std::map interface, changes go through the
// named operations below.
//
// Kept state and its rule: every non-const member is a change member. Each
// advances `generation()` before it changes anything or hands out a slot to
// change, and tells the state kept beside the map what the change may touch:
// - the lookup view (LookupView) is valid for one generation of the
//   entries; a change of entries makes it stale, and the next lookup that
//   pays for it rebuilds it;
// - the counting index (CountingIndex) is told the key of a changed slot, or
//   that any slot or the entries changed, and recounts what that touched;
// - recompressing slots (`recompressSlots`) changes neither members nor
//   entries: counts and view stay, only the generation advances, so that
//   iterators, which hold pointers into containers, still see it.
// Const members may build kept state on first use and may be called from
// several threads at once, as with std::map; they never discard state that
// another reader may be using. Changes must not overlap any other call.
class SlotMap {
    using Map = SlotTree;

public:
    using key_type = Map::key_type;
    using mapped_type = Map::mapped_type;
    using value_type = Map::value_type;
    using size_type = Map::size_type;
    using iterator = Map::iterator;
    using const_iterator = Map::const_iterator;
    using const_reverse_iterator = Map::const_reverse_iterator;

    SlotMap() = default;
    // Deep copies.
    SlotMap(const SlotMap &other) : map_(other.map_) {}
    SlotMap &operator=(const SlotMap &other);
    // The source is left with no entries.
    SlotMap(SlotMap &&other) noexcept;
    SlotMap &operator=(SlotMap &&other) noexcept;
    ~SlotMap() = default;

    // Reading.
    const_iterator begin() const noexcept { return map_.begin(); }
    const_iterator end() const noexcept { return map_.end(); }
    const_reverse_iterator rbegin() const noexcept { return map_.rbegin(); }
    const_reverse_iterator rend() const noexcept { return map_.rend(); }
    size_type size() const noexcept { return map_.size(); }
    // Advanced by every change member; equal generations mean no change between.
    uint64_t generation() const noexcept { return generation_; }
    bool empty() const noexcept { return map_.empty(); }
    const_iterator find(uint32_t key) const { return map_.find(key); }
    const_iterator lower_bound(uint32_t key) const { return map_.lower_bound(key); }
    const_iterator upper_bound(uint32_t key) const { return map_.upper_bound(key); }

    // The slot of `key`, or null; through the sorted view when it is built.
    const SlotBitmap *findSlot(uint32_t key) const { return locate(key); }
    // The same, or null where the view's summary shows that the slot cannot
    // hold `value` (a low part).
    const SlotBitmap *findSlotHolding(uint32_t key, uint32_t value) const {
        return locateHolding(key, value);
    }
    // The slot of `key`, created empty when missing.
    SlotBitmap &findOrCreate(uint32_t key) { return findOrCreate(key, nullptr); }
    // Calls change(slot) on the slot of `key`, created empty when missing; an
    // entry created for a change that throws is erased again.
    template <typename Change>
    void changeOrCreate(uint32_t key, Change change) {
        iterator created = map_.end();
        SlotBitmap &slot = findOrCreate(key, &created);
        try {
            change(slot);
        } catch (...) {
            if (created != map_.end()) {
                entriesChanged();
                map_.erase(created);
            }
            throw;
        }
    }

    // A change of `value` (a low part) in the slot of `key`: an add when
    // `adding`, which creates the entry when missing, a removal otherwise,
    // which is skipped where the slot cannot hold `value`. change(slot)
    // returns whether it changed the slot, and the kept state hears of it only
    // then, so that a call that changes nothing keeps all of it. The
    // generation advances either way (an iterator ends at any call of a
    // changing operation).
    template <typename Change>
    void changePoint(uint32_t key, uint32_t value, bool adding, Change change) {
        ++generation_;
        if (viewUsable()) {
            const size_t index = view_.indexOf(key);
            if (index != LookupView::kAbsent) {
                if (adding) {
                    view_.prefetchKeysAt(index);
                } else if (!view_.mayHold(index, value)) {
                    return;
                }
                if (change(*view_.slotAt(index))) {
                    counts_.slotChanged(key);
                    view_.slotChangedAt(index);
                } else {
                    view_.slotReadAt(index);
                }
                return;
            }
        } else if (SlotBitmap *slot = treeFind(key)) {
            if (change(*slot)) counts_.slotChanged(key);
            return;
        }
        if (adding) changeOrCreate(key, change);
    }

    // Changes of several entries, prepared out of place and committed
    // together, so that a failed allocation leaves the map as it was.
    class Changes;
    // Prepares the change of every key of [firstKey, lastKey] in ascending
    // order and commits them together: change(key, slot, changes) gets the
    // key's slot, or null where it has no entry yet.
    template <typename Change>
    void changeKeys(uint32_t firstKey, uint32_t lastKey, Change change);

    // change(key, slot) on every entry; any slot may change, entries stay.
    template <typename Change>
    void changeEach(Change change) {
        slotsChanged();
        for (auto &[key, slot] : map_) change(key, slot);
    }
    // Every key of `other` gets an entry: combine(slot, otherSlot) where the
    // key has one, a copy of the other's slot where not. `other` may be this
    // map, in which case no entry is created.
    template <typename Combine>
    void mergeFrom(const SlotMap &other, Combine combine);
    // Moves the slot of `key` out, leaving its entry empty; an empty slot
    // where there is no entry.
    SlotBitmap take(uint32_t key) {
        slotsChanged();
        SlotBitmap *slot = locate(key);
        return slot == nullptr ? SlotBitmap{} : std::move(*slot);
    }
    // The slot of `key`, created empty when missing, becomes `slot`.
    void assign(uint32_t key, SlotBitmap &&slot) { findOrCreate(key) = std::move(slot); }

    // For a changing operation that ends without touching the map (an empty
    // or reversed range, nothing at or above a shift): every call of one
    // counts as a change, as iterators have always seen it. Refusals of
    // arguments throw before any change and do not count.
    void markChanged() noexcept { ++generation_; }
    // Calls recompress(slot) on every slot; it may change how a slot stores
    // its members, never the members themselves.
    template <typename Recompress>
    void recompressSlots(Recompress recompress) {
        ++generation_;
        for (auto &entry : map_) recompress(entry.second);
    }

    // Changes of structure.
    // A new entry after every other: for building a map in key order.
    void append(uint32_t key, SlotBitmap &&slot) {
        entriesChanged();
        map_.emplace_hint(map_.end(), key, std::move(slot));
    }
    void clear() noexcept {
        entriesChanged();
        map_.clear();
    }

    // Counting queries through the index (CountingIndex documents them).
    uint64_t membersBelow(uint32_t key, const SlotBitmap *&slotOfKey) const {
        return counts_.membersBelow(map_, usableView(), key, slotOfKey);
    }
    uint64_t members() const { return counts_.members(map_); }
    const SlotBitmap *slotOf(uint64_t ordinal, uint32_t &key, uint64_t &rankInSlot) const {
        return counts_.slotOf(map_, usableView(), ordinal, key, rankInSlot);
    }
    uint64_t rank(const SlotBitmap &slot, uint32_t key, uint32_t value) const {
        return counts_.rank(slot, key, value);
    }
    bool select(const SlotBitmap &slot, uint32_t key, uint64_t rank, uint32_t &value) const {
        return counts_.select(slot, key, rank, value);
    }

private:
    // Sets `*created` to a new entry, or leaves it when the entry was there.
    SlotBitmap &findOrCreate(uint32_t key, iterator *created);
    // Entries come or go (which may also change any slot).
    void entriesChanged() noexcept;
    // Any slot may change; entries stay.
    void slotsChanged() noexcept {
        ++generation_;
        counts_.allSlotsChanged();
        view_.slotsChanged();
    }
    // Whether lookups may go through the view (see LookupView::usable).
    bool viewUsable() const { return view_.usable(const_cast<Map &>(map_), entriesGeneration_); }
    const LookupView *usableView() const { return viewUsable() ? &view_ : nullptr; }
    SlotBitmap *locate(uint32_t key) const;
    SlotBitmap *locateHolding(uint32_t key, uint32_t value) const;
    SlotBitmap *treeFind(uint32_t key) const;

    Map map_;
    uint64_t generation_ = 0;
    // Advanced when entries come or go: the view holds their pointers.
    uint64_t entriesGeneration_ = 0;
    LookupView view_;
    CountingIndex counts_;
};

// Keys given to assign and erase must differ; edits change slots that stay.
// commit() first creates the missing entries of assigned keys (and erases
// them again if one fails), then makes every change without allocating.
class SlotMap::Changes {
public:
    explicit Changes(SlotMap &map) : map_(map) {}

    // The slot of `key` becomes `slot`; its entry is created when missing.
    void assign(uint32_t key, SlotBitmap slot) { assigned_.emplace_back(key, std::move(slot)); }
    void erase(uint32_t key) { erased_.push_back(key); }
    void edit(SlotEdit edit) { edits_.push_back(std::move(edit)); }
    void commit();

private:
    SlotMap &map_;
    std::vector<std::pair<uint32_t, SlotBitmap>> assigned_;
    std::vector<uint32_t> erased_;
    std::vector<SlotEdit> edits_;
};

template <typename Change>
void SlotMap::changeKeys(uint32_t firstKey, uint32_t lastKey, Change change) {
    // Walks the map in step instead of searching it once per key.
    slotsChanged();
    Changes changes(*this);
    auto it = map_.lower_bound(firstKey);
    for (uint64_t key = firstKey; key <= lastKey; ++key) {
        const bool present = it != map_.end() && it->first == key;
        change(static_cast<uint32_t>(key), present ? &it->second : nullptr, changes);
        if (present) ++it;
    }
    changes.commit();
}

template <typename Combine>
void SlotMap::mergeFrom(const SlotMap &other, Combine combine) {
    slotsChanged();
    auto hint = map_.begin();
    for (const auto &[key, otherSlot] : other.map_) {
        while (hint != map_.end() && hint->first < key) ++hint;
        if (hint != map_.end() && hint->first == key) {
            combine(hint->second, otherSlot);
        } else {
            entriesChanged();
            hint = map_.emplace_hint(hint, key, SlotBitmap{});
            try {
                hint->second = otherSlot;
            } catch (...) {
                // No entry is left behind by a copy that failed.
                map_.erase(hint);
                throw;
            }
        }
    }
}

}  // namespace morvane::storage
