// Operations on the half-open range [start, end), split at key boundaries into
// the start key's part, whole keys in between and the end key's part. A
// change across keys ends with an entry for every key of the range, as ranges
// have always left them, and is committed whole or not at all.
#include "storage/bitmap.hpp"

namespace morvane::storage {

void Bitmap::addRange(uint64_t start, uint64_t end) {
    const uint32_t sh = highKey(start), sl = lowPart(start);
    const uint32_t eh = highKey(end), el = lowPart(end);
    if (sh == eh) {
        slots.changeOrCreate(sh, [&](SlotBitmap &slot) {
            if (sl < el) slot.addRangeClosed(sl, el - 1);
        });
        return;
    }
    if (eh < sh) return slots.markChanged();
    slots.changeKeys(sh, eh, [&](uint32_t key, SlotBitmap *slot, SlotMap::Changes &changes) {
        if (key == eh && el == 0) {
            if (slot == nullptr) changes.assign(key, SlotBitmap{});
            return;
        }
        const uint32_t first = key == sh ? sl : 0;
        const uint32_t last = key == eh ? el - 1 : kLargestLow;
        if (slot == nullptr) {
            changes.assign(key, SlotBitmap::ofRange(first, last));
        } else {
            changes.edit(SlotEdit::addRange(*slot, first, last));
        }
    });
}

void Bitmap::removeRange(uint64_t start, uint64_t end) {
    const uint32_t sh = highKey(start), sl = lowPart(start);
    const uint32_t eh = highKey(end), el = lowPart(end);
    if (eh < sh) return slots.markChanged();
    slots.changeKeys(sh, eh, [&](uint32_t key, SlotBitmap *slot, SlotMap::Changes &changes) {
        const uint64_t from = key == sh ? sl : 0;
        const uint64_t to = key == eh ? el : kKeySpan;
        if (slot == nullptr || (from == 0 && to == kKeySpan)) {
            changes.assign(key, SlotBitmap{});
        } else if (from < to) {
            changes.edit(
                SlotEdit::removeRange(*slot, static_cast<uint32_t>(from), static_cast<uint32_t>(to - 1)));
        }
    });
}

void Bitmap::flip(uint64_t start, uint64_t end) {
    const uint32_t sh = highKey(start), sl = lowPart(start);
    const uint32_t eh = highKey(end), el = lowPart(end);
    // A range reversed across keys changes nothing, as for addRange/removeRange.
    if (eh < sh) return slots.markChanged();
    slots.changeKeys(sh, eh, [&](uint32_t key, SlotBitmap *slot, SlotMap::Changes &changes) {
        const uint64_t from = key == sh ? sl : 0;
        const uint64_t to = key == eh ? el : kKeySpan;
        const auto first = static_cast<uint32_t>(from);
        const auto last = static_cast<uint32_t>(to - 1);
        if (from >= to) {
            if (slot == nullptr) changes.assign(key, SlotBitmap{});
        } else if (slot == nullptr) {
            changes.assign(key, SlotBitmap::ofRange(first, last));
        } else {
            changes.edit(SlotEdit::flip(*slot, first, last));
        }
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
