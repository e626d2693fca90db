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

SlotBitmap *SlotMap::treeFind(uint32_t key) const {
    // The map is ours; constness is the caller's, restored by the public overloads.
    auto &map = const_cast<Map &>(map_);
    const auto found = map.find(key);
    return found == map.end() ? nullptr : &found->second;
}

SlotBitmap *SlotMap::locate(uint32_t key) const { return viewUsable() ? view_.find(key) : treeFind(key); }

SlotBitmap *SlotMap::locateHolding(uint32_t key, uint32_t value) const {
    if (!viewUsable()) return treeFind(key);
    const size_t index = view_.indexOf(key);
    return index != LookupView::kAbsent && view_.mayHold(index, value) ? view_.slotAt(index) : nullptr;
}

SlotBitmap &SlotMap::findOrCreate(uint32_t key, iterator *created) {
    ++generation_;
    counts_.slotChanged(key);
    if (viewUsable()) {
        const size_t index = view_.indexOf(key);
        if (index != LookupView::kAbsent) {
            view_.slotToChangeAt(index);  // it may gain any member through the reference
            return *view_.slotAt(index);
        }
    }
    // A view that is not usable is stale: it is summarised anew when rebuilt.
    auto [entry, inserted] = map_.try_emplace(key);
    if (inserted) {
        entriesChanged();
        if (created != nullptr) *created = entry;
    }
    return entry->second;
}

void SlotMap::Changes::commit() {
    Map &tree = map_.map_;
    map_.slotsChanged();
    std::vector<iterator> targets;
    std::vector<iterator> created;
    targets.reserve(assigned_.size());
    created.reserve(assigned_.size());
    try {
        for (const auto &[key, slot] : assigned_) {
            auto [entry, inserted] = tree.try_emplace(key);
            targets.push_back(entry);
            if (inserted) created.push_back(entry);
        }
    } catch (...) {
        for (const iterator entry : created) tree.erase(entry);
        throw;
    }
    if (!created.empty() || !erased_.empty()) map_.entriesChanged();
    // Nothing below allocates.
    for (size_t i = 0; i < targets.size(); ++i) targets[i]->second = std::move(assigned_[i].second);
    for (const uint32_t key : erased_) tree.erase(tree.find(key));
    for (SlotEdit &edit : edits_) edit.commit();
}

}  // namespace morvane::storage
