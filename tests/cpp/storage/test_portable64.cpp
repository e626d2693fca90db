#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

#include "storage/bitmap_test_support.hpp"
#include "storage/little_endian.hpp"

using namespace morvane::storage;
using namespace morvane::storage::testing;
using Bytes = std::vector<char>;

namespace {

Bytes portable64(const Bitmap &bitmap) {
    Bytes out(bitmap.portable64Size());
    EXPECT_EQ(bitmap.writePortable64(out.data()), out.data() + out.size());
    return out;
}

// Reads from an exactly sized heap copy, so that a read past the end is caught
// by the sanitizer build.
Bitmap readExact(const Bytes &bytes) {
    std::unique_ptr<char[]> copy(new char[bytes.size() + !bytes.size()]);
    if (!bytes.empty()) std::memcpy(copy.get(), bytes.data(), bytes.size());
    return Bitmap::readPortable64(copy.get(), bytes.size());
}

std::string refusal(const Bytes &bytes) {
    try {
        readExact(bytes);
    } catch (const std::invalid_argument &error) {
        return error.what();
    }
    return "accepted";
}

// One slot of each container kind under keys 0, 2^31 - 1 and 2^32 - 1.
Bitmap everyContainerKind() {
    Bitmap bitmap(0, nullptr);
    for (uint64_t key : {uint64_t{0}, uint64_t{0x7FFFFFFF}, uint64_t{0xFFFFFFFF}}) {
        const uint64_t base = key << 32;
        for (uint64_t i = 0; i < 100; ++i) bitmap.add(base + 3 * i);            // array
        for (uint64_t i = 0; i < 10000; ++i) bitmap.add(base + 65536 + 2 * i);  // bitset
        bitmap.addRange(base + 3 * 65536, base + 4 * 65536 + 17);               // run after optimize
    }
    bitmap.persistedSize(true, true, false);
    return bitmap;
}

}  // namespace

TEST(BitmapPortable64, RoundTripsEveryContainerKindAndExtremeKeys) {
    const Bitmap bitmap = everyContainerKind();
    const Bytes bytes = portable64(bitmap);
    EXPECT_EQ(loadLittleEndian<uint64_t>(bytes.data()), 3u);
    EXPECT_EQ(loadLittleEndian<uint32_t>(bytes.data() + 8), 0u);
    const Bitmap back = readExact(bytes);
    EXPECT_EQ(back, bitmap);
    EXPECT_EQ(keysOf(back), (std::vector<uint32_t>{0, 0x7FFFFFFF, 0xFFFFFFFF}));
    EXPECT_EQ(portable64(back), bytes);
    EXPECT_EQ(back.last(), std::optional<uint64_t>((uint64_t{0xFFFFFFFF} << 32) + 4 * 65536 + 16));
}

TEST(BitmapPortable64, EmptyEntriesAreNotWrittenAndEmptyBucketsAreRead) {
    Bitmap bitmap;  // an empty entry for key 0
    bitmap.add(5 * kKey + 1);
    bitmap.remove(5 * kKey + 1);
    bitmap.add(7 * kKey);
    const Bytes bytes = portable64(bitmap);
    EXPECT_EQ(bytes.size(), 8u + 4u + bitmap.entries().findSlot(7)->serializedSize(true));
    EXPECT_EQ(keysOf(readExact(bytes)), (std::vector<uint32_t>{7}));

    // A bucket holding an empty image is accepted and kept as an empty entry.
    Bytes withEmpty(8, 0);
    withEmpty[0] = 1;
    Bytes empty = portable64(Bitmap(0, nullptr));        // count 0 ...
    const Bytes image = {0x3A, 0x30, 0, 0, 0, 0, 0, 0};  // ... and a 32-bit image with no container
    withEmpty.insert(withEmpty.end(), {9, 0, 0, 0});
    withEmpty.insert(withEmpty.end(), image.begin(), image.end());
    const Bitmap read = readExact(withEmpty);
    EXPECT_TRUE(read.isEmpty());
    EXPECT_EQ(keysOf(read), (std::vector<uint32_t>{9}));
    EXPECT_EQ(portable64(read), empty);
    EXPECT_EQ(keysOf(readExact(empty)), (std::vector<uint32_t>{}));
}

TEST(BitmapPortable64, RefusesEachMalformedInputNamingWhereItIs) {
    const Bytes good = portable64(fromValues({1, 2, 3, 5 * kKey}));
    const size_t secondKeyAt = 8 + 4 + fromValues({1, 2, 3}).entries().findSlot(0)->serializedSize(true);

    EXPECT_EQ(refusal({}), "portable 64-bit form: truncated bucket count (0 bytes) at byte 0");
    EXPECT_EQ(refusal(Bytes(good.begin(), good.begin() + 5)),
              "portable 64-bit form: truncated bucket count (5 bytes) at byte 0");

    Bytes tooMany = good;
    storeLittleEndian<uint64_t>(tooMany.data(), uint64_t{1} << 32);
    EXPECT_EQ(refusal(tooMany), "portable 64-bit form: bucket count 4294967296 above 2^32 - 1 at byte 0");

    Bytes countAboveBytes = good;
    storeLittleEndian<uint64_t>(countAboveBytes.data(), 3);
    EXPECT_EQ(refusal(countAboveBytes),
              "portable 64-bit form: truncated key of bucket 2 at byte " + std::to_string(good.size()));

    Bytes duplicate = good;
    storeLittleEndian<uint32_t>(duplicate.data() + secondKeyAt, 0);
    EXPECT_EQ(refusal(duplicate),
              "portable 64-bit form: key 0 of bucket 1 not above the previous key 0 at byte " +
                  std::to_string(secondKeyAt));

    Bytes badImage = good;
    badImage[12] = 0x11;  // the first image's cookie
    EXPECT_EQ(refusal(badImage),
              "portable 64-bit form: invalid or truncated 32-bit image of bucket 0 (key 0) at byte 12");

    Bytes trailing = good;
    trailing.push_back(0);
    EXPECT_EQ(refusal(trailing), "portable 64-bit form: 1 trailing bytes after the last bucket at byte " +
                                     std::to_string(good.size()));
}

TEST(BitmapPortable64, EveryCutOfAValidFormIsRefused) {
    const Bytes bytes = portable64(everyContainerKind());
    for (size_t cut = 0; cut < bytes.size(); ++cut) {
        EXPECT_NE(refusal(Bytes(bytes.begin(), bytes.begin() + cut)), "accepted") << "cut at " << cut;
    }
}
