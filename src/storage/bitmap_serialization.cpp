// The serialized form: an 8-byte entry count, then per entry its 4-byte key,
// the 8-byte length L of its slot image and the image itself. Little-endian,
// unaligned, no padding, no header.
#include <cstring>
#include <stdexcept>

#include "storage/bitmap.hpp"
#include "storage/little_endian.hpp"

namespace morvane::storage {

namespace {

constexpr size_t kCountBytes = 8;
constexpr size_t kRecordHeaderBytes = 12;

[[noreturn]] void truncated() { throw std::runtime_error("serialized form is truncated"); }

}  // namespace

size_t Bitmap::persistedSize(bool portable, bool optimize, bool shrink) {
    if (optimize || shrink) {
        slots.recompressSlots([&](SlotBitmap &slot) {
            if (optimize) slot.runOptimize();
            if (shrink) slot.shrinkToFit();
        });
    }
    return persistedSize(portable);
}

size_t Bitmap::persistedSize(bool portable) const {
    size_t images = 0;
    for (const auto &[key, slot] : slots) images += slot.serializedSize(portable);
    return kCountBytes + kRecordHeaderBytes * slots.size() + images;
}

char *Bitmap::write(char *out, bool portable) const {
    storeLittleEndian<uint64_t>(out, slots.size());
    out += kCountBytes;
    for (const auto &[key, slot] : slots) {
        storeLittleEndian<uint32_t>(out, key);
        const size_t length = slot.serialize(out + kRecordHeaderBytes, portable);
        storeLittleEndian<uint64_t>(out + 4, length);
        out += kRecordHeaderBytes + length;
    }
    return out;
}

Bitmap Bitmap::read(const char *in, size_t length, bool portable) {
    if (length < kCountBytes) truncated();
    const uint64_t count = loadLittleEndian<uint64_t>(in);
    size_t offset = kCountBytes;
    Bitmap result;
    for (uint64_t record = 0; record < count; ++record) {
        if (length - offset < kRecordHeaderBytes) truncated();
        const uint32_t key = loadLittleEndian<uint32_t>(in + offset);
        const uint64_t imageBytes = loadLittleEndian<uint64_t>(in + offset + 4);
        offset += kRecordHeaderBytes;
        if (imageBytes > length - offset) truncated();
        size_t consumed = 0;
        // The image may use fewer bytes than its record holds: the next record
        // starts after the stored length all the same.
        SlotBitmap slot = SlotBitmap::deserialize(in + offset, imageBytes, portable, consumed);
        result.findOrCreate(key) = std::move(slot);
        offset += imageBytes;
    }
    return result;
}

size_t Bitmap::inMemorySize() const {
    // Run optimisation converts containers and never drops one, so the
    // optimised slots have as many containers as the slots themselves.
    size_t containers = 0;
    for (const auto &[key, slot] : slots) containers += static_cast<size_t>(slot.containerCount());
    return containers;
}

}  // namespace morvane::storage
