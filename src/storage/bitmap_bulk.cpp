// Queries over many positions or ordinals at once. They are answered in
// ascending order (radix-sorted with their indices when they do not come
// sorted; positions only as far as their container),
// so the walk goes through the entries and their containers front to back,
// from cache, instead of descending from the top for each one.
#include <algorithm>
#include <array>
#include <memory>
#include <optional>
#include <vector>

#include "storage/bitmap.hpp"
#include "storage/slot_readers.hpp"

namespace morvane::storage {

namespace {

struct Probe {
    uint64_t value;
    uint64_t index;
};

// Sorts items by the bits [fromBit, toBit) of key(item), 8 bits a pass (few
// enough buckets to write in cache); items equal in those bits keep their order.
template <typename Item, typename Key>
void radixSort(Item *items, size_t count, unsigned fromBit, unsigned toBit, Key key) {
    constexpr unsigned kDigitBits = 8;
    constexpr uint64_t kDigitMask = (uint64_t{1} << kDigitBits) - 1;
    std::unique_ptr<Item[]> scratch(new Item[count]);  // overwritten before it is read
    Item *from = items, *to = scratch.get();
    for (unsigned shift = fromBit; shift < toBit; shift += kDigitBits) {
        std::array<size_t, kDigitMask + 2> starts{};
        for (size_t i = 0; i < count; ++i) ++starts[((key(from[i]) >> shift) & kDigitMask) + 1];
        for (size_t d = 1; d < starts.size(); ++d) starts[d] += starts[d - 1];
        for (size_t i = 0; i < count; ++i) to[starts[(key(from[i]) >> shift) & kDigitMask]++] = from[i];
        std::swap(from, to);
    }
    if (from != items) std::copy(from, from + count, items);
}

// Calls visit(value, index) for each value in ascending order of value >>
// ignoredBits (the order within a group of equal high bits is left as it is).
// Values and indices below 2^32 are sorted packed in one word.
template <typename Visit>
void forEachAscending(const uint64_t *values, size_t count, unsigned ignoredBits, Visit visit) {
    if (std::is_sorted(values, values + count)) {
        for (size_t i = 0; i < count; ++i) visit(values[i], i);
        return;
    }
    uint64_t largest = 0;
    for (size_t i = 0; i < count; ++i) largest |= values[i];
    const auto bits = static_cast<unsigned>(64 - __builtin_clzll(largest | 1));
    if (bits <= 32 && count <= UINT32_MAX) {
        std::unique_ptr<uint64_t[]> packed(new uint64_t[count]);
        for (size_t i = 0; i < count; ++i) packed[i] = values[i] << 32 | i;
        radixSort(packed.get(), count, 32 + ignoredBits, 32 + bits, [](uint64_t item) { return item; });
        for (size_t i = 0; i < count; ++i) visit(packed[i] >> 32, packed[i] & UINT32_MAX);
        return;
    }
    std::unique_ptr<Probe[]> probes(new Probe[count]);
    for (size_t i = 0; i < count; ++i) probes[i] = {values[i], i};
    radixSort(probes.get(), count, ignoredBits, bits, [](const Probe &item) { return item.value; });
    for (size_t i = 0; i < count; ++i) visit(probes[i].value, probes[i].index);
}

// Membership and counts need the positions ordered by container only.
constexpr unsigned kContainerBits = 16;

// Below this many probes per entry, a walk over every entry costs more than a lookup each.
bool fewProbes(size_t count, size_t entries) { return count * 32 < entries; }

}  // namespace

void Bitmap::containsMany(const uint64_t *positions, size_t count, bool *out) const {
    if (fewProbes(count, slots.size())) {
        for (size_t i = 0; i < count; ++i) out[i] = contains(positions[i]);
        return;
    }
    auto entry = slots.begin();
    std::optional<SlotCursor> cursor;
    forEachAscending(positions, count, kContainerBits, [&](uint64_t position, size_t index) {
        const uint32_t key = highKey(position);
        for (; entry != slots.end() && entry->first < key; ++entry) cursor.reset();
        if (entry == slots.end() || entry->first != key) {
            out[index] = false;
            return;
        }
        if (!cursor) cursor.emplace(entry->second);
        out[index] = cursor->contains(lowPart(position));
    });
}

void Bitmap::lowerCardinalityMany(const uint64_t *positions, size_t count, uint64_t *out) const {
    if (fewProbes(count, slots.size())) {
        for (size_t i = 0; i < count; ++i) out[i] = lowerCardinality(positions[i]);
        return;
    }
    auto entry = slots.begin();
    uint64_t before = 0;  // members of the entries before `entry`, modulo 2^64 as for one position
    std::optional<SlotCursor> cursor;
    forEachAscending(positions, count, kContainerBits, [&](uint64_t position, size_t index) {
        const uint32_t key = highKey(position);
        for (; entry != slots.end() && entry->first < key; ++entry) {
            before += entry->second.cardinality();
            cursor.reset();
        }
        if (entry == slots.end() || entry->first != key) {
            out[index] = before;
            return;
        }
        if (!cursor) cursor.emplace(entry->second);
        out[index] = before + cursor->lowerCardinality(lowPart(position));
    });
}

void Bitmap::nthMany(const uint64_t *ordinals, size_t count, uint64_t *out) const {
    if (fewProbes(count, slots.size())) {
        for (size_t i = 0; i < count; ++i) out[i] = nth(ordinals[i]);
        return;
    }
    // Ordinals at least half as many as the members: copying every member out
    // and indexing costs less than sorting the ordinals, in no more memory.
    const uint64_t members = cardinality();
    if (members != 0 && members / 2 <= count) {
        std::unique_ptr<uint64_t[]> all(new uint64_t[members]);
        copyPositions(all.get());
        // nth() refuses an ordinal past the end with its own message.
        for (size_t i = 0; i < count; ++i)
            out[i] = ordinals[i] < members ? all[ordinals[i]] : nth(ordinals[i]);
        return;
    }
    auto entry = slots.begin();
    uint64_t before = 0;  // members of the entries before `entry`
    std::optional<SlotCursor> cursor;
    // The cursor's select moves forward only: ordinals are sorted in full.
    forEachAscending(ordinals, count, 0, [&](uint64_t ordinal, size_t index) {
        for (; entry != slots.end() && ordinal - before >= entry->second.cardinality(); ++entry) {
            before += entry->second.cardinality();
            cursor.reset();
        }
        if (entry == slots.end()) {
            out[index] = nth(ordinal);  // throws: past the end
            return;
        }
        if (!cursor) cursor.emplace(entry->second);
        out[index] = join(entry->first, cursor->select(ordinal - before));
    });
}

void Bitmap::runs(std::vector<uint64_t> &firsts, std::vector<uint64_t> &lasts) const {
    for (const auto &[key, slot] : slots) appendRuns(slot, joinPosition(key, 0), firsts, lasts);
}

}  // namespace morvane::storage
