// Lifecycle and single-position operations.
#include <algorithm>
#include <stdexcept>
#include <vector>

#include "storage/bitmap.hpp"
#include "storage/key_partition.hpp"

namespace morvane::storage {

Bitmap::Bitmap() { slots.findOrCreate(0); }

Bitmap::Bitmap(size_t count, const uint64_t *values) { addMany(count, values); }

// The slot map leaves a moved-from source without entries.
Bitmap::Bitmap(Bitmap &&other) noexcept : slots(std::move(other.slots)) {}

Bitmap &Bitmap::operator=(const Bitmap &other) {
    if (this == &other) return *this;
    slots.clear();
    try {
        slots = other.slots;
    } catch (...) {
        slots.clear();
        throw;
    }
    return *this;
}

Bitmap &Bitmap::operator=(Bitmap &&other) noexcept {
    slots = std::move(other.slots);
    return *this;
}

Bitmap Bitmap::of(std::initializer_list<uint64_t> positions) {
    Bitmap result;
    for (uint64_t position : positions) result.add(position);
    return result;
}

void Bitmap::add(uint64_t position) {
    slots.changePoint(highKey(position), lowPart(position), true,
                      [&](SlotBitmap &slot) { return slot.add(lowPart(position)); });
}

void Bitmap::addMany(size_t count, const uint64_t *values) {
    // Inserts in random order keep shifting each slot's sorted array of
    // containers; sorted input gives the same members and entries far faster.
    if (!std::is_sorted(values, values + count)) {
        const bool grouped =
            forEachKeyGroup(count, values, [this](uint32_t key, const uint32_t *lows, size_t length) {
                findOrCreate(key).addSortedLowParts(lows, length);
            });
        if (grouped) return;
        // Too many keys for the partition to pay: sort a copy.
        std::vector<uint64_t> sorted(values, values + count);
        std::sort(sorted.begin(), sorted.end());
        addRuns(count, sorted.data());
        return;
    }
    addRuns(count, values);
}

void Bitmap::addRuns(size_t count, const uint64_t *values) {
    // One map lookup per stretch of values sharing a key.
    size_t runStart = 0;
    while (runStart < count) {
        const uint32_t key = highKey(values[runStart]);
        size_t runEnd = runStart + 1;
        while (runEnd < count && highKey(values[runEnd]) == key) ++runEnd;
        findOrCreate(key).addSortedLowParts(values + runStart, runEnd - runStart);
        runStart = runEnd;
    }
}

void Bitmap::remove(uint64_t position) {
    slots.changePoint(highKey(position), lowPart(position), false,
                      [&](SlotBitmap &slot) { return slot.remove(lowPart(position)); });
}

void Bitmap::flip(uint64_t position) {
    // Through the range form, so that the entries it creates are the same.
    if (position != UINT64_MAX) {
        flip(position, position + 1);
    } else if (contains(position)) {
        remove(position);
    } else {
        add(position);
    }
}

bool Bitmap::contains(uint64_t position) const {
    const SlotBitmap *slot = slots.findSlotHolding(highKey(position), lowPart(position));
    return slot != nullptr && slot->contains(lowPart(position));
}

bool Bitmap::isEmpty() const {
    for (const auto &[key, slot] : slots) {
        if (!slot.isEmpty()) return false;
    }
    return true;
}

bool Bitmap::isFull() const {
    if (slots.size() != kKeySpan) return false;
    for (const auto &[key, slot] : slots) {
        if (slot.cardinality() != kKeySpan) return false;
    }
    return true;
}

uint64_t Bitmap::cardinality() const {
    if (isFull()) {
        throw std::length_error(
            "bitmap is full, cardinality is 2^64, unable to represent in a 64-bit integer");
    }
    return slots.members();
}

std::optional<uint64_t> Bitmap::first() const {
    for (const auto &[key, slot] : slots) {
        if (!slot.isEmpty()) return join(key, slot.minimum());
    }
    return std::nullopt;
}

std::optional<uint64_t> Bitmap::last() const {
    for (auto it = slots.rbegin(); it != slots.rend(); ++it) {
        if (!it->second.isEmpty()) return join(it->first, it->second.maximum());
    }
    return std::nullopt;
}

}  // namespace morvane::storage
