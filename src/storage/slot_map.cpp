#include "storage/slot_map.hpp"

#include <algorithm>
#include <new>

namespace morvane::storage {

SlotMap &SlotMap::operator=(const SlotMap &other) {
    entriesChanged();
    map_ = other.map_;
    return *this;
}

SlotMap::SlotMap(SlotMap &&other) noexcept : map_(std::move(other.map_)) { other.clear(); }

SlotMap &SlotMap::operator=(SlotMap &&other) noexcept {
    if (this == &other) return *this;
    entriesChanged();
    map_ = std::move(other.map_);
    other.clear();
    return *this;
}

void SlotMap::entriesChanged() noexcept {
    ++generation_;
    ++entriesGeneration_;
    counts_.entriesChanged();
    view_.entriesChanged();
}

SlotBitmap *SlotMap::locate(uint32_t key) const {
    // The map is ours; constness is the caller's, restored by the public overloads.
    if (viewUsable()) return view_.find(key);
    auto &map = const_cast<Map &>(map_);
    const auto found = map.find(key);
    return found == map.end() ? nullptr : &found->second;
}

template <typename Visit>
void SlotMap::walk(const CountingIndex::BlockStart &start, Visit visit) const {
    if (viewUsable()) {
        // The view lists the entries in key order, as the blocks count them.
        // Its slot pointers are known up front, so the counts ahead are asked
        // for at once, where the tree gives one node per cache miss.
        constexpr size_t kAhead = 8;
        const size_t entries = view_.size();
        for (size_t i = start.entryIndex; i < std::min(entries, start.entryIndex + kAhead); ++i) {
            view_.slotAt(i)->prefetchCount();
        }
        for (size_t i = start.entryIndex; i < entries; ++i) {
            if (i + kAhead < entries) view_.slotAt(i + kAhead)->prefetchCount();
            if (visit(view_.keyAt(i), *view_.slotAt(i))) return;
        }
        return;
    }
    for (auto it = start.entry; it != map_.end(); ++it) {
        if (visit(it->first, it->second)) return;
    }
}

const SlotBitmap *SlotMap::slotOf(uint64_t ordinal, uint32_t &key, uint64_t &rankInSlot) const {
    const auto start = counts_.blockOf(map_, ordinal);
    if (!start) return nullptr;
    uint64_t remaining = ordinal - start->membersBefore;
    const SlotBitmap *found = nullptr;
    walk(*start, [&](uint32_t entryKey, const SlotBitmap &slot) {
        const uint64_t count = slot.cardinality();
        if (remaining >= count) {
            remaining -= count;
            return false;
        }
        key = entryKey;
        rankInSlot = remaining;
        found = &slot;
        return true;
    });
    return found;
}

uint64_t SlotMap::membersBelow(uint32_t key, const SlotBitmap *&slotOfKey) const {
    const auto start = counts_.blockBelow(map_, key);
    uint64_t sum = start.membersBefore;
    slotOfKey = nullptr;
    walk(start, [&](uint32_t entryKey, const SlotBitmap &slot) {
        if (entryKey >= key) {
            if (entryKey == key) slotOfKey = &slot;
            return true;
        }
        sum += slot.cardinality();
        return false;
    });
    return sum;
}

SlotBitmap &SlotMap::findOrCreate(uint32_t key, iterator *created) {
    ++generation_;
    counts_.slotChanged(key);
    if (viewUsable()) {
        if (SlotBitmap *slot = view_.find(key)) return *slot;
    }
    auto [entry, inserted] = map_.try_emplace(key);
    if (inserted) {
        entriesChanged();
        if (created != nullptr) *created = entry;
    }
    return entry->second;
}

void SlotMap::Changes::commit() {
    std::vector<iterator> targets;
    std::vector<iterator> created;
    targets.reserve(assigned_.size());
    created.reserve(assigned_.size());
    try {
        for (const auto &[key, slot] : assigned_) {
            auto [entry, inserted] = map_.try_emplace(key);
            targets.push_back(entry);
            if (inserted) created.push_back(entry);
        }
    } catch (...) {
        for (const iterator entry : created) map_.erase(entry);
        throw;
    }
    // Nothing below allocates.
    for (size_t i = 0; i < targets.size(); ++i) targets[i]->second = std::move(assigned_[i].second);
    for (const uint32_t key : erased_) map_.erase(map_.find(key));
    for (SlotEdit &edit : edits_) edit.commit();
}

}  // namespace morvane::storage
