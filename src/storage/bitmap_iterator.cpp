#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "storage/bitmap.hpp"

namespace morvane::storage {

Bitmap::Iterator Bitmap::begin() const { return Iterator(*this, false); }
Bitmap::Iterator Bitmap::end() const { return Iterator(*this, true); }

void Bitmap::copyPositions(uint64_t *out) const {
    // Each slot's low parts are extracted in bulk, then widened. Small slots go
    // through a buffer that stays in cache. Large ones are extracted into the
    // upper half of their own stretch of the output and widened in place from
    // the front: element j's write ends at byte 8j + 8, before the next unread
    // low part at byte 4c + 4j + 4. memcpy keeps the two views of the bytes apart.
    constexpr uint64_t kBufferedValues = 1 << 16;
    // Grown as needed and left uninitialised: it is overwritten before it is read.
    std::unique_ptr<uint32_t[]> buffer;
    uint64_t bufferCapacity = 0;
    auto *bytes = reinterpret_cast<unsigned char *>(out);
    for (const auto &[key, slot] : slots) {
        const uint64_t count = slot.cardinality();
        if (count == 0) continue;
        const uint64_t high = uint64_t{key} << 32;
        if (count <= kBufferedValues) {
            if (bufferCapacity < count) {
                bufferCapacity = std::min(kBufferedValues, std::max(count, 2 * bufferCapacity));
                buffer.reset(new uint32_t[bufferCapacity]);
            }
            slot.copyLowParts(buffer.get());
            for (uint64_t j = 0; j < count; ++j) {
                const uint64_t position = high | buffer[j];
                std::memcpy(bytes + 8 * j, &position, sizeof position);
            }
        } else {
            unsigned char *lows = bytes + 4 * count;
            slot.copyLowParts(reinterpret_cast<uint32_t *>(lows));
            for (uint64_t j = 0; j < count; ++j) {
                uint32_t low;
                std::memcpy(&low, lows + 4 * j, sizeof low);
                const uint64_t position = high | low;
                std::memcpy(bytes + 8 * j, &position, sizeof position);
            }
        }
        bytes += 8 * count;
    }
}

Bitmap::Iterator::Iterator(const Bitmap &bitmap, bool atEnd)
    : current(bitmap.slots.begin()), mapEnd(bitmap.slots.end()), mapBegin(bitmap.slots.begin()) {
    if (atEnd || current == mapEnd) {
        current = mapEnd;
        return;
    }
    roaring_iterator_init(current->second.raw(), &cursor);
    settleForward();
}

void Bitmap::Iterator::settleForward() {
    while (!cursor.has_value) {
        if (++current == mapEnd) return;
        roaring_iterator_init(current->second.raw(), &cursor);
    }
}

Bitmap::Iterator &Bitmap::Iterator::operator++() {
    if (cursor.has_value) roaring_uint32_iterator_advance(&cursor);
    settleForward();
    return *this;
}

size_t Bitmap::Iterator::read(uint64_t *out, size_t capacity) {
    // The dependency's bulk read fills a small buffer of low parts per slot.
    constexpr uint32_t kBlock = 256;
    uint32_t lows[kBlock];
    size_t filled = 0;
    while (filled < capacity && current != mapEnd) {
        const auto wanted = static_cast<uint32_t>(std::min<size_t>(kBlock, capacity - filled));
        const uint32_t got = roaring_uint32_iterator_read(&cursor, lows, wanted);
        const uint64_t high = uint64_t{current->first} << 32;
        for (uint32_t i = 0; i < got; ++i) out[filled + i] = high | lows[i];
        filled += got;
        settleForward();
    }
    return filled;
}

Bitmap::Iterator Bitmap::Iterator::operator++(int) {
    Iterator before = *this;
    ++*this;
    return before;
}

Bitmap::Iterator &Bitmap::Iterator::operator--() {
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

Bitmap::Iterator Bitmap::Iterator::operator--(int) {
    Iterator before = *this;
    --*this;
    return before;
}

bool Bitmap::Iterator::operator==(const Iterator &other) const {
    if (atEnd() || other.atEnd()) return atEnd() == other.atEnd();
    return **this == *other;
}

bool Bitmap::Iterator::operator<(const Iterator &other) const {
    if (atEnd()) return false;
    if (other.atEnd()) return true;
    return **this < *other;
}

}  // namespace morvane::storage
