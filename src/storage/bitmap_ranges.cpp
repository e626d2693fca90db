// Operations on the half-open range [start, end), split at key boundaries into
// the start key's part, whole keys in between and the end key's part.
#include "storage/bitmap.hpp"

namespace morvane::storage {

namespace {

// Calls visit(key, slot) for every key of [firstKey, lastKey] in ascending
// order, creating missing entries. Walks the map in step instead of searching
// it once per key.
template <typename Visit>
void visitKeysCreating(Bitmap::Slots &slots, uint32_t firstKey, uint32_t lastKey, Visit visit) {
    auto it = slots.lower_bound(firstKey);
    for (uint64_t key = firstKey; key <= lastKey; ++key, ++it) {
        if (it == slots.end() || it->first != key) {
            it = slots.emplace_hint(it, static_cast<uint32_t>(key), SlotBitmap{});
        }
        visit(static_cast<uint32_t>(key), it->second);
    }
}

}  // namespace

void Bitmap::addRange(uint64_t start, uint64_t end) {
    const uint32_t sh = highKey(start), sl = lowPart(start);
    const uint32_t eh = highKey(end), el = lowPart(end);
    if (sh == eh) {
        SlotBitmap &slot = findOrCreate(sh);
        if (sl < el) slot.addRangeClosed(sl, el - 1);
        return;
    }
    if (eh < sh) return slots.markChanged();
    visitKeysCreating(slots, sh, eh, [&](uint32_t key, SlotBitmap &slot) {
        if (key == sh) {
            slot.addRangeClosed(sl, kLargestLow);
        } else if (key < eh) {
            slot.addRangeClosed(0, kLargestLow);
        } else if (el != 0) {
            slot.addRangeClosed(0, el - 1);
        }
    });
}

void Bitmap::removeRange(uint64_t start, uint64_t end) {
    const uint32_t sh = highKey(start), sl = lowPart(start);
    const uint32_t eh = highKey(end), el = lowPart(end);
    if (eh < sh) return slots.markChanged();
    visitKeysCreating(slots, sh, eh, [&](uint32_t key, SlotBitmap &slot) {
        if (key == sh && key == eh) {
            if (sl < el) slot.removeRangeClosed(sl, el - 1);
        } else if (key == sh) {
            slot.removeRangeClosed(sl, kLargestLow);
        } else if (key < eh) {
            slot.clear();
        } else if (el != 0) {
            slot.removeRangeClosed(0, el - 1);
        }
    });
}

void Bitmap::flip(uint64_t start, uint64_t end) {
    const uint32_t sh = highKey(start), sl = lowPart(start);
    const uint32_t eh = highKey(end), el = lowPart(end);
    // A range reversed across keys changes nothing, as for addRange/removeRange.
    if (eh < sh) return slots.markChanged();
    visitKeysCreating(slots, sh, eh, [&](uint32_t key, SlotBitmap &slot) {
        const uint64_t from = key == sh ? sl : 0;
        const uint64_t to = key == eh ? el : kKeySpan;
        if (from < to) slot.flip(from, to);
    });
}

bool Bitmap::all(uint64_t start, uint64_t end) const {
    const uint32_t sh = highKey(start), sl = lowPart(start);
    const uint32_t eh = highKey(end), el = lowPart(end);
    if (slots.empty()) return false;
    if (sh == eh) {
        const SlotBitmap *slot = find(sh);
        if (slot == nullptr) return false;
        return sl >= el || slot->containsRange(sl, el);
    }
    if (eh < sh) return true;
    // Every key of the range needs an entry, so the map is walked in step.
    auto it = slots.lower_bound(sh);
    for (uint64_t key = sh; key <= eh; ++key, ++it) {
        if (it == slots.end() || it->first != key) return false;
        const uint64_t from = key == sh ? sl : 0;
        const uint64_t to = key == eh ? el : kKeySpan;
        if (from < to && !it->second.containsRange(from, to)) return false;
    }
    return true;
}

bool Bitmap::any(uint64_t start, uint64_t end) const {
    const uint32_t sh = highKey(start), sl = lowPart(start);
    const uint32_t eh = highKey(end), el = lowPart(end);
    if (sh == eh) {
        const SlotBitmap *slot = find(sh);
        return slot != nullptr && sl < el && slot->intersectsRange(sl, el);
    }
    if (eh < sh) return false;
    // Keys without an entry hold nothing, so only existing entries are visited.
    for (auto it = slots.lower_bound(sh); it != slots.end() && it->first <= eh; ++it) {
        const uint32_t key = it->first;
        const uint64_t from = key == sh ? sl : 0;
        const uint64_t to = key == eh ? el : kKeySpan;
        if (key != sh && key != eh) {
            if (!it->second.isEmpty()) return true;
        } else if (from < to && it->second.intersectsRange(from, to)) {
            return true;
        }
    }
    return false;
}

}  // namespace morvane::storage
