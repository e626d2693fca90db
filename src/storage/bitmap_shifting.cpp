// slice, expand and contract. A shift inside one key is two offset operations
// on its slot: the members that stay in the key, and the carry that crosses
// into the neighbouring key. Only keys that have entries, and keys that
// receive a carry, are visited.
#include <stdexcept>
#include <string>

#include "storage/bitmap.hpp"

namespace morvane::storage {

namespace {

// The walks carry members across one key boundary, so a width must stay below a key.
void requireWidthBelowKey(uint64_t by) {
    if (by >= kKeySpan) throw std::invalid_argument("Shift width must be below 2^32");
}

}  // namespace

Bitmap Bitmap::slice(uint64_t start, uint64_t end) const {
    const uint32_t h = highKey(start), sl = lowPart(start);
    const uint32_t H = highKey(end), el = lowPart(end);
    if (H < h) {
        throw std::runtime_error("Invalid range" + std::to_string(start) + ".." + std::to_string(end));
    }
    Bitmap result;
    if (h == H) {
        SlotBitmap &slot = result.findOrCreate(h);
        const SlotBitmap *source = find(h);
        if (source != nullptr && sl < el) slot = source->clipped(sl, el - 1);
        return result;
    }
    for (auto it = slots.lower_bound(h); it != slots.end() && it->first <= H; ++it) {
        const uint32_t key = it->first;
        SlotBitmap &slot = result.findOrCreate(key);
        if (key == h) {
            slot = it->second.clipped(sl, kLargestLow);
        } else if (key < H) {
            slot = it->second;
        } else if (el != 0) {
            slot = it->second.clipped(0, el - 1);
        }
    }
    return result;
}

void Bitmap::expand(uint64_t position, uint64_t by) {
    const std::optional<uint64_t> largest = last();
    if (!largest || *largest < position) return slots.markChanged();
    requireWidthBelowKey(by);
    if (*largest > UINT64_MAX - by) {
        throw std::invalid_argument("expand would move members past 18446744073709551615");
    }
    const uint32_t h = highKey(position), l = lowPart(position);
    const uint32_t H = highKey(*largest);
    const SlotBitmap *own = find(h);
    if (own == nullptr || own->isEmpty()) {
        // The refusal leaves the entry of h, as it always has; its message is
        // allocated first, so that a failed allocation leaves no entry.
        std::runtime_error impossible("Impossible!");
        findOrCreate(h);
        throw impossible;
    }

    // Every new slot is made before any entry changes, and committed together.
    const auto carryOffset = static_cast<int64_t>(by) - static_cast<int64_t>(kKeySpan);
    SlotMap::Changes changes(slots);
    SlotBitmap carry;
    uint64_t carryKey = 0;  // the key that `carry` belongs to
    for (auto it = slots.find(h); it != slots.end() && it->first <= H; ++it) {
        const uint32_t key = it->first;
        if (!carry.isEmpty() && carryKey != key) {
            // The carry's key has no entry: it gets one holding just the carry.
            changes.assign(static_cast<uint32_t>(carryKey), std::move(carry));
            carry = SlotBitmap{};
        }
        const SlotBitmap &slot = it->second;
        if (slot.isEmpty()) {
            changes.assign(key, std::move(carry));
            carry = SlotBitmap{};
        } else {
            SlotBitmap moved = slot.addOffset(static_cast<int64_t>(by));
            SlotBitmap next = slot.addOffset(carryOffset);
            if (key == h) {
                // Members below the position stay; only those at or above it move.
                if (uint64_t{l} + by >= kKeySpan) {
                    moved = SlotBitmap{};
                } else if (l + by > 0) {
                    moved.removeRangeClosed(0, static_cast<uint32_t>(l + by - 1));
                }
                if (uint64_t{l} + by > kKeySpan) {
                    next.removeRangeClosed(0, static_cast<uint32_t>(l + by - kKeySpan - 1));
                }
                if (l != 0) moved |= slot.clipped(0, l - 1);
            }
            moved |= carry;
            changes.assign(key, std::move(moved));
            carry = std::move(next);
        }
        carryKey = uint64_t{key} + 1;
    }
    if (!carry.isEmpty()) changes.assign(static_cast<uint32_t>(carryKey), std::move(carry));
    changes.commit();
}

void Bitmap::contract(uint64_t position, uint64_t by) {
    const std::optional<uint64_t> largest = last();
    if (!largest || *largest < position) return slots.markChanged();
    const uint32_t h = highKey(position), l = lowPart(position);
    const uint32_t H = highKey(*largest);
    const SlotBitmap *own = find(h);
    if (own != nullptr && !own->isEmpty() && l <= by) {
        throw std::invalid_argument("Range Out of Bounds");
    }
    requireWidthBelowKey(by);

    // Every new slot is made before any entry changes, and committed together.
    const auto downOffset = static_cast<int64_t>(kKeySpan - by);
    SlotMap::Changes changes(slots);
    SlotBitmap carry;
    uint64_t carryKey = 0;  // the key that `carry` belongs to
    for (auto it = slots.upper_bound(H); it != slots.begin();) {
        auto entry = std::prev(it);
        const uint32_t key = entry->first;
        if (key <= h) break;
        if (!carry.isEmpty() && carryKey != key) {
            changes.assign(static_cast<uint32_t>(carryKey), std::move(carry));
            carry = SlotBitmap{};
        }
        const SlotBitmap &slot = entry->second;
        if (slot.isEmpty()) {
            changes.assign(key, std::move(carry));
            carry = SlotBitmap{};
        } else {
            SlotBitmap stay = slot.addOffset(-static_cast<int64_t>(by));
            SlotBitmap down = slot.addOffset(downOffset);
            stay |= carry;
            if (stay.isEmpty()) {
                changes.erase(key);
            } else {
                changes.assign(key, std::move(stay));
            }
            carry = std::move(down);
        }
        carryKey = uint64_t{key} - 1;
        it = entry;
    }
    if (!carry.isEmpty() && carryKey != h) {
        changes.assign(static_cast<uint32_t>(carryKey), std::move(carry));
        carry = SlotBitmap{};
    }

    if (own == nullptr || own->isEmpty()) {
        changes.assign(h, std::move(carry));
    } else {
        // Keep v <= l - by, move v > l down by `by`, drop the rest.
        const uint64_t keepMax = uint64_t{l} - by;  // l > by here
        SlotBitmap moved = own->addOffset(-static_cast<int64_t>(by));
        moved.removeRangeClosed(0, static_cast<uint32_t>(keepMax));
        SlotBitmap kept(*own);
        if (keepMax < kLargestLow) kept.removeRangeClosed(static_cast<uint32_t>(keepMax + 1), kLargestLow);
        kept |= moved;
        kept |= carry;
        changes.assign(h, std::move(kept));
    }
    changes.commit();
}

}  // namespace morvane::storage
