// Rank, select and nearest-member queries. Each answers from the slots'
// cardinality, rank and select without copying a slot.
#include <stdexcept>
#include <string>

#include "storage/bitmap.hpp"

namespace morvane::storage {

uint64_t Bitmap::lowerCardinality(uint64_t position) const {
    const uint32_t h = highKey(position), l = lowPart(position);
    const SlotBitmap *slot = nullptr;
    uint64_t sum = slots.membersBelow(h, slot);
    if (slot != nullptr && l != 0) sum += slots.rank(*slot, h, l - 1);
    return sum;
}

uint64_t Bitmap::upperCardinality(uint64_t position) const {
    // Members that are not at or below the position. For a full set the
    // total wraps to 0 and the difference is still exact modulo 2^64.
    const uint32_t h = highKey(position), l = lowPart(position);
    const SlotBitmap *slot = nullptr;
    uint64_t atOrBelow = slots.membersBelow(h, slot);
    if (slot != nullptr) atOrBelow += slots.rank(*slot, h, l);
    return slots.members() - atOrBelow;
}

uint64_t Bitmap::nth(uint64_t ordinal) const {
    uint32_t key = 0, low = 0;
    uint64_t rankInSlot = 0;
    const SlotBitmap *slot = slots.slotOf(ordinal, key, rankInSlot);
    if (slot == nullptr || !slots.select(*slot, key, rankInSlot, low)) {
        throw std::runtime_error("The ordinal value [ " + std::to_string(ordinal) +
                                 "] is greater than the total cardinality");
    }
    return join(key, low);
}

std::optional<uint64_t> Bitmap::selfOrNext(uint64_t position) {
    const uint32_t h = highKey(position), l = lowPart(position);
    const SlotBitmap &slot = findOrCreateQuietly(h);
    if (slot.contains(l)) return position;
    const uint64_t atOrBelow = slot.rank(l);
    uint32_t low = 0;
    if (atOrBelow < slot.cardinality() && slot.select(static_cast<uint32_t>(atOrBelow), low)) {
        return join(h, low);
    }
    const Slots &entries = slots;
    for (auto it = entries.upper_bound(h); it != entries.end(); ++it) {
        if (!it->second.isEmpty()) return join(it->first, it->second.minimum());
    }
    return 0;
}

std::optional<uint64_t> Bitmap::selfOrPrevious(uint64_t position) {
    const uint32_t h = highKey(position), l = lowPart(position);
    const SlotBitmap &slot = findOrCreateQuietly(h);
    if (slot.contains(l)) return position;
    const uint64_t below = slot.rank(l);  // l is no member, so these are all below it
    uint32_t low = 0;
    if (below > 0 && slot.select(static_cast<uint32_t>(below - 1), low)) return join(h, low);
    const Slots &entries = slots;
    for (auto it = std::make_reverse_iterator(entries.lower_bound(h)); it != entries.rend(); ++it) {
        if (!it->second.isEmpty()) return join(it->first, it->second.maximum());
    }
    return UINT64_MAX;
}

}  // namespace morvane::storage
