#include "storage/bitmap.hpp"

namespace morvane::storage {

Bitmap::BitmapForwardIterator Bitmap::begin() const { return BitmapForwardIterator(*this, false); }
Bitmap::BitmapForwardIterator Bitmap::end() const { return BitmapForwardIterator(*this, true); }

void Bitmap::copyPositions(uint64_t *out) const {
    // Bulk reads of each slot, not one cursor step per member.
    for (const auto &[key, slot] : slots) {
        const uint64_t high = uint64_t{key} << 32;
        slot.forEachChunk([&](const uint32_t *values, uint32_t count) {
            for (uint32_t i = 0; i < count; ++i) out[i] = high | values[i];
            out += count;
        });
    }
}

Bitmap::BitmapForwardIterator::BitmapForwardIterator(const Bitmap &bitmap, bool atEnd)
    : bitmap(&bitmap),
      current(bitmap.slots.begin()),
      mapEnd(bitmap.slots.end()),
      mapBegin(bitmap.slots.begin()) {
    if (atEnd || current == mapEnd) {
        current = mapEnd;
        return;
    }
    roaring_iterator_init(current->second.raw(), &cursor);
    settleForward();
}

void Bitmap::BitmapForwardIterator::settleForward() {
    while (!cursor.has_value) {
        if (++current == mapEnd) return;
        roaring_iterator_init(current->second.raw(), &cursor);
    }
}

Bitmap::BitmapForwardIterator &Bitmap::BitmapForwardIterator::operator++() {
    if (cursor.has_value) roaring_uint32_iterator_advance(&cursor);
    settleForward();
    return *this;
}

Bitmap::BitmapForwardIterator Bitmap::BitmapForwardIterator::operator++(int) {
    BitmapForwardIterator before = *this;
    ++*this;
    return before;
}

Bitmap::BitmapForwardIterator &Bitmap::BitmapForwardIterator::operator--() {
    if (current == mapEnd) {
        --current;
        roaring_iterator_init_last(current->second.raw(), &cursor);
        if (cursor.has_value) return *this;
    } else {
        roaring_uint32_iterator_previous(&cursor);
    }
    while (!cursor.has_value && current != mapBegin) {
        --current;
        roaring_iterator_init_last(current->second.raw(), &cursor);
    }
    return *this;
}

Bitmap::BitmapForwardIterator Bitmap::BitmapForwardIterator::operator--(int) {
    BitmapForwardIterator before = *this;
    --*this;
    return before;
}

bool Bitmap::BitmapForwardIterator::operator==(const BitmapForwardIterator &other) const {
    if (atEnd() || other.atEnd()) return atEnd() == other.atEnd();
    return **this == *other;
}

bool Bitmap::BitmapForwardIterator::operator<(const BitmapForwardIterator &other) const {
    if (atEnd()) return false;
    if (other.atEnd()) return true;
    return **this < *other;
}

}  // namespace morvane::storage
