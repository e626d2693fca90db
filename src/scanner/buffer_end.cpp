#include "scanner/buffer_end.hpp"

namespace morvane::scanner {

namespace {

// Bytes a sequence led by `lead` takes, or 0 when `lead` begins none.
size_t sequenceLength(uint8_t lead) {
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    return 0;
}

// Whether `second` may follow `lead`: the lead bytes E0, ED, F0 and F4 narrow
// it to exclude overlong forms, surrogates and values past U+10FFFF.
bool validSecondByte(uint8_t lead, uint8_t second) {
    switch (lead) {
        case 0xE0: return second >= 0xA0 && second <= 0xBF;
        case 0xED: return second >= 0x80 && second <= 0x9F;
        case 0xF0: return second >= 0x90 && second <= 0xBF;
        case 0xF4: return second >= 0x80 && second <= 0x8F;
        default: return second >= 0x80 && second <= 0xBF;
    }
}

bool isContinuation(uint8_t byte) { return (byte & 0xC0) == 0x80; }

}  // namespace

size_t incompleteCharacterLength(const uint8_t *data, size_t length) {
    // The lead byte sits at most three bytes from the end, followed only by
    // continuation bytes.
    for (size_t back = 1; back <= 3 && back <= length; ++back) {
        const uint8_t byte = data[length - back];
        if (isContinuation(byte)) continue;
        const size_t needed = sequenceLength(byte);
        if (needed <= back) return 0;  // complete, or no lead byte at all
        if (back >= 2 && !validSecondByte(byte, data[length - back + 1])) return 0;
        return back;
    }
    return 0;
}

size_t indexedLength(const uint8_t *data, size_t length) {
    if (length >= 1 && data[length - 1] >= 0xC0) return length - 1;
    if (length >= 2 && data[length - 2] >= 0xE0) return length - 2;
    if (length >= 3 && data[length - 3] >= 0xF0) return length - 3;
    return length;
}

}  // namespace morvane::scanner
