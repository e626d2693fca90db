// Queries over many positions or ordinals at once. They are answered in
// ascending order (sorted with their indices when they do not come sorted),
// so the walk goes through the entries and their containers front to back,
// from cache, instead of descending from the top for each one.
#include <algorithm>
#include <array>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "storage/bitmap.hpp"

namespace morvane::storage {

namespace {

struct Probe {
    uint64_t value;
    uint64_t index;
};

// The values with their indices, in ascending order of value: a radix sort,
// 8 bits a pass (few enough buckets to write in cache), over the bits in use.
std::vector<Probe> ascending(const uint64_t *values, size_t count) {
    std::vector<Probe> probes(count);
    uint64_t largest = 0;
    for (size_t i = 0; i < count; ++i) {
        probes[i] = {values[i], i};
        largest |= values[i];
    }
    if (std::is_sorted(values, values + count)) return probes;
    constexpr size_t kSmall = 1024;
    if (count < kSmall) {
        std::sort(probes.begin(), probes.end(),
                  [](const Probe &a, const Probe &b) { return a.value < b.value; });
        return probes;
    }
    constexpr unsigned kDigitBits = 8;
    constexpr uint64_t kDigitMask = (uint64_t{1} << kDigitBits) - 1;
    std::vector<Probe> scratch(count);
    const auto bits = static_cast<unsigned>(64 - __builtin_clzll(largest | 1));
    for (unsigned shift = 0; shift < bits; shift += kDigitBits) {
        std::array<size_t, kDigitMask + 2> starts{};
        for (const Probe &probe : probes) ++starts[((probe.value >> shift) & kDigitMask) + 1];
        for (size_t d = 1; d < starts.size(); ++d) starts[d] += starts[d - 1];
        for (const Probe &probe : probes) scratch[starts[(probe.value >> shift) & kDigitMask]++] = probe;
        probes.swap(scratch);
    }
    return probes;
}

// Below this many probes per entry, a walk over every entry costs more than a lookup each.
bool fewProbes(size_t count, size_t entries) { return count * 32 < entries; }

}  // namespace

void Bitmap::containsMany(const uint64_t *positions, size_t count, bool *out) const {
    if (fewProbes(count, slots.size())) {
        for (size_t i = 0; i < count; ++i) out[i] = contains(positions[i]);
        return;
    }
    auto entry = slots.begin();
    std::optional<SlotBitmap::Cursor> cursor;
    for (const Probe &probe : ascending(positions, count)) {
        const uint32_t key = highKey(probe.value);
        for (; entry != slots.end() && entry->first < key; ++entry) cursor.reset();
        if (entry == slots.end() || entry->first != key) {
            out[probe.index] = false;
            continue;
        }
        if (!cursor) cursor.emplace(entry->second);
        out[probe.index] = cursor->contains(lowPart(probe.value));
    }
}

void Bitmap::lowerCardinalityMany(const uint64_t *positions, size_t count, uint64_t *out) const {
    if (fewProbes(count, slots.size())) {
        for (size_t i = 0; i < count; ++i) out[i] = lowerCardinality(positions[i]);
        return;
    }
    auto entry = slots.begin();
    uint64_t before = 0;  // members of the entries before `entry`, modulo 2^64 as for one position
    std::optional<SlotBitmap::Cursor> cursor;
    for (const Probe &probe : ascending(positions, count)) {
        const uint32_t key = highKey(probe.value);
        for (; entry != slots.end() && entry->first < key; ++entry) {
            before += entry->second.cardinality();
            cursor.reset();
        }
        if (entry == slots.end() || entry->first != key) {
            out[probe.index] = before;
            continue;
        }
        if (!cursor) cursor.emplace(entry->second);
        out[probe.index] = before + cursor->lowerCardinality(lowPart(probe.value));
    }
}

void Bitmap::nthMany(const uint64_t *ordinals, size_t count, uint64_t *out) const {
    if (fewProbes(count, slots.size())) {
        for (size_t i = 0; i < count; ++i) out[i] = nth(ordinals[i]);
        return;
    }
    auto entry = slots.begin();
    uint64_t before = 0;  // members of the entries before `entry`
    std::optional<SlotBitmap::Cursor> cursor;
    for (const Probe &probe : ascending(ordinals, count)) {
        for (; entry != slots.end() && probe.value - before >= entry->second.cardinality(); ++entry) {
            before += entry->second.cardinality();
            cursor.reset();
        }
        if (entry == slots.end()) {
            throw std::runtime_error("The ordinal value [ " + std::to_string(probe.value) +
                                     "] is greater than the total cardinality");
        }
        if (!cursor) cursor.emplace(entry->second);
        out[probe.index] = join(entry->first, cursor->select(probe.value - before));
    }
}

}  // namespace morvane::storage
