// Rank, select and nearest-member queries. Each answers from the slots'
// cardinality, rank and select without copying a slot.
#include <stdexcept>
#include <string>

#include "storage/bitmap.hpp"

namespace morvane::storage {

uint64_t Bitmap::lowerCardinality(uint64_t position) const {
    const uint32_t h = highKey(position), l = lowPart(position);
    uint64_t sum = 0;
    for (const auto &[key, slot] : slots) {
        if (key > h) break;  // later keys add nothing
        if (key < h) {
            sum += slot.cardinality();
        } else if (l != 0) {
            sum += slot.rank(l - 1);
        }
    }
    return sum;
}

uint64_t Bitmap::upperCardinality(uint64_t position) const {
    const uint32_t h = highKey(position), l = lowPart(position);
    uint64_t sum = 0;
    for (auto it = slots.lower_bound(h); it != slots.end(); ++it) {
        const uint64_t count = it->second.cardinality();
        sum += it->first == h ? count - it->second.rank(l) : count;
    }
    return sum;
}

uint64_t Bitmap::nth(uint64_t ordinal) const {
    uint64_t remaining = ordinal;
    for (const auto &[key, slot] : slots) {
        const uint64_t count = slot.cardinality();
        if (remaining < count) {
            uint32_t low = 0;
            slot.select(static_cast<uint32_t>(remaining), low);
            return join(key, low);
        }
        remaining -= count;
    }
    throw std::runtime_error("The ordinal value [ " + std::to_string(ordinal) +
                             "] is greater than the total cardinality");
}

std::optional<uint64_t> Bitmap::selfOrNext(uint64_t position) {
    const uint32_t h = highKey(position), l = lowPart(position);
    const SlotBitmap &slot = findOrCreate(h);
    if (slot.contains(l)) return position;
    const uint64_t atOrBelow = slot.rank(l);
    uint32_t low = 0;
    if (atOrBelow < slot.cardinality() && slot.select(static_cast<uint32_t>(atOrBelow), low)) {
        return join(h, low);
    }
    for (auto it = slots.upper_bound(h); it != slots.end(); ++it) {
        if (!it->second.isEmpty()) return join(it->first, it->second.minimum());
    }
    return 0;
}

std::optional<uint64_t> Bitmap::selfOrPrevious(uint64_t position) {
    const uint32_t h = highKey(position), l = lowPart(position);
    const SlotBitmap &slot = findOrCreate(h);
    if (slot.contains(l)) return position;
    const uint64_t below = slot.rank(l);  // l is no member, so these are all below it
    uint32_t low = 0;
    if (below > 0 && slot.select(static_cast<uint32_t>(below - 1), low)) return join(h, low);
    for (auto it = std::make_reverse_iterator(slots.lower_bound(h)); it != slots.rend(); ++it) {
        if (!it->second.isEmpty()) return join(it->first, it->second.maximum());
    }
    return UINT64_MAX;
}

}  // namespace morvane::storage
