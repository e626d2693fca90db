#include "storage/counting_index.hpp"

#include <algorithm>
#include <new>

namespace morvane::storage {

bool CountingIndex::ensureLayout(const SlotTree &tree) const {
    if (layoutReady_.load(std::memory_order_acquire)) return true;
    // Only a tree of 2^32 entries can hold 2^64 members, more than the
    // counts represent; it is walked.
    if (tree.size() >= kKeySpan) return false;
    std::lock_guard<std::mutex> hold(lock_);
    if (layoutReady_.load(std::memory_order_relaxed)) return true;
    try {
        const size_t finest = (tree.size() + kFewestBlockEntries - 1) / kFewestBlockEntries;
        firstKeys_.clear();
        firstEntries_.clear();
        firstKeys_.reserve(finest);
        firstEntries_.reserve(finest);
        size_t index = 0;
        double serialized = 0;  // a lower bound of the serialized form's bytes
        for (auto it = tree.begin(); it != tree.end(); ++it, ++index) {
            // 12 bytes of record, 8 of image header, per container 4 of
            // header, at least 2 of data and, from 4 containers, 4 of offset.
            const double containers = it->second.containerCount();
            serialized += 20.0 + containers * (containers >= 4 ? 10.0 : 6.0);
            if (index % kFewestBlockEntries != 0) continue;
            firstKeys_.push_back(it->first);
            firstEntries_.push_back(it);
        }
        // Each block costs 20 bytes: keep that under 1% of its entries' bytes.
        const double perEntry = serialized / static_cast<double>(std::max<size_t>(1, tree.size()));
        size_t stride = 1;
        while (stride * kFewestBlockEntries < kMostBlockEntries &&
               static_cast<double>(stride * kFewestBlockEntries) * perEntry < 2000.0) {
            stride *= 2;
        }
        entriesPerBlock_ = stride * kFewestBlockEntries;
        size_t kept = 0;
        for (size_t b = 0; b < firstKeys_.size(); b += stride, ++kept) {
            firstKeys_[kept] = firstKeys_[b];
            firstEntries_[kept] = firstEntries_[b];
        }
        firstKeys_.resize(kept);
        firstEntries_.resize(kept);
        firstKeys_.shrink_to_fit();
        firstEntries_.shrink_to_fit();
        before_.assign(kept + 1, 0);
        before_.shrink_to_fit();
    } catch (const std::bad_alloc &) {
        return false;
    }
    state_.store(pack(1, kKeySpan), std::memory_order_relaxed);
    layoutReady_.store(true, std::memory_order_release);
    return true;
}

void CountingIndex::ensureCounted(const SlotTree &tree, size_t block) const {
    if (counted(block, state_.load(std::memory_order_acquire))) return;
    std::lock_guard<std::mutex> hold(lock_);
    const uint64_t state = state_.load(std::memory_order_relaxed);
    if (counted(block, state)) return;
    // Counts that still hold are never rewritten: other queries may be reading them.
    const uint64_t clean = cleanOf(state);
    const size_t counted = countedOf(state);
    const uint64_t dirtyHigh = dirtyHigh_.load(std::memory_order_relaxed);
    size_t from = static_cast<size_t>(std::upper_bound(firstKeys_.begin(), firstKeys_.end(), clean) -
                                      firstKeys_.begin());
    from = std::max<size_t>(1, std::min<size_t>(from, counted));
    // Everything counted before is brought up to date, so that a change costs
    // its own blocks plus one addition per later block, never a recount of them.
    const size_t last = std::max(block, counted - 1);
    uint64_t oldBefore = before_[from - 1];
    for (size_t b = from; b <= last; ++b) {
        const uint64_t oldNext = before_[b];
        uint64_t sum = before_[b - 1];
        if (b < counted && !mayHaveChanged(b - 1, dirtyHigh)) {
            sum += oldNext - oldBefore;  // unchanged since it was counted
        } else {
            const auto end = b < firstEntries_.size() ? firstEntries_[b] : tree.end();
            for (auto it = firstEntries_[b - 1]; it != end; ++it) sum += it->second.cardinality();
        }
        before_[b] = sum;
        oldBefore = oldNext;
    }
    dirtyHigh_.store(0, std::memory_order_relaxed);
    changedCount_ = 0;
    state_.store(pack(last + 1, kKeySpan), std::memory_order_release);
}

bool CountingIndex::mayHaveChanged(size_t block, uint64_t dirtyHigh) const {
    const uint64_t first = blockKey(block), end = blockKey(block + 1);
    if (first > dirtyHigh) return false;
    if (changedCount_ > kTrackedKeys) return true;
    for (uint32_t i = 0; i < changedCount_; ++i) {
        if (changedKeys_[i] >= first && changedKeys_[i] < end) return true;
    }
    return false;
}

CountingIndex::BlockStart CountingIndex::blockBelow(const SlotTree &tree, uint32_t key) const {
    if (!ensureLayout(tree)) return BlockStart{tree.begin(), 0, 0};
    size_t block =
        static_cast<size_t>(std::upper_bound(firstKeys_.begin(), firstKeys_.end(), key) - firstKeys_.begin());
    if (block == 0) return BlockStart{tree.begin(), 0, 0};
    --block;
    ensureCounted(tree, block);
    return BlockStart{firstEntries_[block], block * entriesPerBlock_, before_[block]};
}

uint64_t CountingIndex::members(const SlotTree &tree) const {
    if (ensureLayout(tree)) {
        ensureCounted(tree, firstKeys_.size());
        return before_[firstKeys_.size()];
    }
    uint64_t sum = 0;
    for (const auto &entry : tree) sum += entry.second.cardinality();
    return sum;
}

std::optional<CountingIndex::BlockStart> CountingIndex::blockOf(const SlotTree &tree,
                                                                uint64_t ordinal) const {
    if (!ensureLayout(tree)) return BlockStart{tree.begin(), 0, 0};
    const size_t blocks = firstKeys_.size();
    ensureCounted(tree, blocks);
    if (ordinal >= before_[blocks]) return std::nullopt;
    const size_t block =
        static_cast<size_t>(std::upper_bound(before_.begin(), before_.begin() + blocks + 1, ordinal) -
                            before_.begin()) -
        1;
    return BlockStart{firstEntries_[block], block * entriesPerBlock_, before_[block]};
}

const std::vector<uint32_t> *CountingIndex::containerStarts(const SlotBitmap &slot, uint32_t key) const {
    std::lock_guard<std::mutex> hold(lock_);
    try {
        std::vector<uint32_t> &starts = containerStarts_[key];
        if (starts.empty() || !slot.blocksCounted()) {
            slot.countBlocks(starts);
            slot.noteBlocksCounted();
        }
        return &starts;
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

uint64_t CountingIndex::rank(const SlotBitmap &slot, uint32_t key, uint32_t value) const {
    if (slot.containerCount() >= SlotBitmap::kIndexedContainers) {
        if (const auto *starts = containerStarts(slot, key)) return slot.rank(value, *starts);
    }
    return slot.rank(value);
}

bool CountingIndex::select(const SlotBitmap &slot, uint32_t key, uint64_t rank, uint32_t &value) const {
    if (slot.containerCount() >= SlotBitmap::kIndexedContainers) {
        if (const auto *starts = containerStarts(slot, key)) return slot.select(rank, value, *starts);
    }
    return rank < slot.cardinality() && slot.select(static_cast<uint32_t>(rank), value);
}

template <typename Visit>
void CountingIndex::walk(const SlotTree &tree, const LookupView *view, const BlockStart &start, Visit visit) {
    if (view != nullptr) {
        // The view lists the entries in key order, as the blocks count them.
        // Its slot pointers are known up front, so the counts ahead are asked
        // for at once, where the tree gives one node per cache miss; with
        // them the container keys, which the walk's caller reads next in the
        // slot it stops at.
        constexpr size_t kAhead = 8;
        const size_t entries = view->size();
        for (size_t i = start.entryIndex; i < std::min(entries, start.entryIndex + kAhead); ++i) {
            view->slotAt(i)->prefetchCount();
            view->prefetchKeysAt(i);
        }
        for (size_t i = start.entryIndex; i < entries; ++i) {
            if (i + kAhead < entries) {
                view->slotAt(i + kAhead)->prefetchCount();
                view->prefetchKeysAt(i + kAhead);
            }
            const WalkStep step = visit(view->keyAt(i), *view->slotAt(i));
            if (step == WalkStep::Found) view->slotReadAt(i);
            if (step != WalkStep::Next) return;
        }
        return;
    }
    for (auto it = start.entry; it != tree.end(); ++it) {
        if (visit(it->first, it->second) != WalkStep::Next) return;
    }
}

const SlotBitmap *CountingIndex::slotOf(const SlotTree &tree, const LookupView *view, uint64_t ordinal,
                                        uint32_t &key, uint64_t &rankInSlot) const {
    const auto start = blockOf(tree, ordinal);
    if (!start) return nullptr;
    uint64_t remaining = ordinal - start->membersBefore;
    const SlotBitmap *found = nullptr;
    walk(tree, view, *start, [&](uint32_t entryKey, const SlotBitmap &slot) {
        const uint64_t count = slot.cardinality();
        if (remaining >= count) {
            remaining -= count;
            return WalkStep::Next;
        }
        key = entryKey;
        rankInSlot = remaining;
        found = &slot;
        return WalkStep::Found;
    });
    return found;
}

uint64_t CountingIndex::membersBelow(const SlotTree &tree, const LookupView *view, uint32_t key,
                                     const SlotBitmap *&slotOfKey) const {
    const auto start = blockBelow(tree, key);
    uint64_t sum = start.membersBefore;
    slotOfKey = nullptr;
    walk(tree, view, start, [&](uint32_t entryKey, const SlotBitmap &slot) {
        if (entryKey > key) return WalkStep::Stop;
        if (entryKey == key) {
            slotOfKey = &slot;
            return WalkStep::Found;
        }
        sum += slot.cardinality();
        return WalkStep::Next;
    });
    return sum;
}

}  // namespace morvane::storage
