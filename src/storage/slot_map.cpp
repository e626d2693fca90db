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
    lookupsSinceChange_.store(0, std::memory_order_relaxed);
}

bool SlotMap::viewUsable() const {
    if (viewFor_.load(std::memory_order_acquire) == entriesGeneration_) return true;
    if (map_.size() < kSmallestIndexed) return false;
    const size_t lookups = lookupsSinceChange_.load(std::memory_order_relaxed) + 1;
    lookupsSinceChange_.store(lookups, std::memory_order_relaxed);
    if (lookups * kEntriesPerLookup < map_.size()) return false;
    buildView();
    return viewFor_.load(std::memory_order_acquire) == entriesGeneration_;
}

SlotBitmap *SlotMap::viewLookup(uint32_t key) const {
    if (viewKeys_.empty()) return nullptr;
    // The directory narrows a large view to the keys that share the top bits
    // of `key`, so the search starts in a few cache lines instead of the top
    // of a large array.
    const uint32_t *keys = viewKeys_.data();
    size_t begin = 0, end = viewKeys_.size();
    if (!viewDirectory_.empty()) {
        begin = viewDirectory_[key >> kDirectoryShift];
        end = viewDirectory_[(key >> kDirectoryShift) + 1];
        if (begin == end) return nullptr;
    }
    // Halving without branches: the comparisons of random lookups mispredict,
    // a conditional move does not. Ends on the first key not below `key`, or
    // on the last key of the stretch.
    const uint32_t *first = keys + begin;
    for (size_t length = end - begin; length > 1;) {
        const size_t half = length / 2;
        first = first[half] < key ? first + half : first;
        length -= half;
    }
    first += *first < key && first + 1 < keys + end;
    if (*first != key) return nullptr;
    return viewSlots_[static_cast<size_t>(first - keys)];
}

SlotBitmap *SlotMap::locate(uint32_t key) const {
    if (viewUsable()) return viewLookup(key);
    // The map is ours; constness is the caller's, restored by the public overloads.
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
        const size_t entries = viewSlots_.size();
        for (size_t i = start.entryIndex; i < std::min(entries, start.entryIndex + kAhead); ++i) {
            viewSlots_[i]->prefetchCount();
        }
        for (size_t i = start.entryIndex; i < entries; ++i) {
            if (i + kAhead < entries) viewSlots_[i + kAhead]->prefetchCount();
            if (visit(viewKeys_[i], *viewSlots_[i])) return;
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
        if (SlotBitmap *slot = viewLookup(key)) return *slot;
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
    for (SlotBitmap::Edit &edit : edits_) edit.commit();
}

void SlotMap::buildView() const {
    std::lock_guard<std::mutex> lock(viewBuild_);
    if (viewFor_.load(std::memory_order_relaxed) == entriesGeneration_) return;
    try {
        viewKeys_.clear();
        viewSlots_.clear();
        viewKeys_.reserve(map_.size());
        viewSlots_.reserve(map_.size());
        for (auto &[key, slot] : const_cast<Map &>(map_)) {  // see locate()
            viewKeys_.push_back(key);
            viewSlots_.push_back(&slot);
        }
        viewDirectory_.clear();
        if (viewKeys_.size() >= kDirectedFrom) {
            // viewDirectory_[t] is the index of the first key whose top bits are t or more.
            viewDirectory_.resize((size_t{1} << (32 - kDirectoryShift)) + 1);
            size_t index = 0;
            for (size_t top = 0; top < viewDirectory_.size(); ++top) {
                while (index < viewKeys_.size() && (viewKeys_[index] >> kDirectoryShift) < top) ++index;
                viewDirectory_[top] = static_cast<uint32_t>(index);
            }
        }
    } catch (const std::bad_alloc &) {
        return;  // lookups keep walking the tree
    }
    viewFor_.store(entriesGeneration_, std::memory_order_release);
}

}  // namespace morvane::storage
