// The standard portable 64-bit format that other 64-bit Roaring sets and the
// table formats' deletion vectors exchange. Unlike our own frame it carries
// no image lengths, so a reader must trust each image's own headers; every
// bound is checked against the input before CRoaring sees it.
#include <stdexcept>
#include <string>

#include "storage/bitmap.hpp"
#include "storage/little_endian.hpp"

namespace morvane::storage {

namespace {

constexpr size_t kCountBytes = 8;
constexpr size_t kKeyBytes = 4;
constexpr uint64_t kMaxBuckets = 0xFFFFFFFFu;

[[noreturn]] void refuse(const std::string &what, size_t offset) {
    throw std::invalid_argument("portable 64-bit form: " + what + " at byte " + std::to_string(offset));
}

}  // namespace

size_t Bitmap::portable64Size() const {
    size_t bytes = kCountBytes;
    for (const auto &[key, slot] : slots) {
        if (!slot.isEmpty()) bytes += kKeyBytes + slot.serializedSize(true);
    }
    return bytes;
}

char *Bitmap::writePortable64(char *out) const {
    char *countAt = out;
    out += kCountBytes;
    uint64_t buckets = 0;
    for (const auto &[key, slot] : slots) {
        if (slot.isEmpty()) continue;
        storeLittleEndian<uint32_t>(out, key);
        out += kKeyBytes;
        out += slot.serialize(out, true);
        ++buckets;
    }
    storeLittleEndian<uint64_t>(countAt, buckets);
    return out;
}

Bitmap Bitmap::readPortable64(const char *in, size_t length) {
    if (length < kCountBytes) refuse("truncated bucket count (" + std::to_string(length) + " bytes)", 0);
    const uint64_t count = loadLittleEndian<uint64_t>(in);
    if (count > kMaxBuckets) refuse("bucket count " + std::to_string(count) + " above 2^32 - 1", 0);
    Bitmap result(0, nullptr);
    size_t offset = kCountBytes;
    uint32_t previousKey = 0;
    for (uint64_t bucket = 0; bucket < count; ++bucket) {
        const std::string which = "bucket " + std::to_string(bucket);
        if (length - offset < kKeyBytes) refuse("truncated key of " + which, offset);
        const uint32_t key = loadLittleEndian<uint32_t>(in + offset);
        // A repeated key would silently replace a bucket: refused like a smaller one.
        if (bucket > 0 && key <= previousKey) {
            refuse("key " + std::to_string(key) + " of " + which + " not above the previous key " +
                       std::to_string(previousKey),
                   offset);
        }
        offset += kKeyBytes;
        size_t consumed = 0;
        SlotBitmap slot;
        try {
            slot = SlotBitmap::deserialize(in + offset, length - offset, true, consumed);
        } catch (const std::runtime_error &) {
            // Allocation failures are not runtime errors and pass through.
            refuse("invalid or truncated 32-bit image of " + which + " (key " + std::to_string(key) + ")",
                   offset);
        }
        result.slots.assign(key, std::move(slot));
        previousKey = key;
        offset += consumed;
    }
    if (offset != length)
        refuse(std::to_string(length - offset) + " trailing bytes after the last bucket", offset);
    return result;
}

}  // namespace morvane::storage
