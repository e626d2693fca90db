#include <gtest/gtest.h>

#include "storage/bitmap_test_support.hpp"

using namespace morvane::storage;
using namespace morvane::storage::testing;
using Keys = std::vector<uint32_t>;
using Members = std::vector<uint64_t>;

TEST(BitmapRanges, EmptyRangeCreatesStartKeyReversedAcrossKeysCreatesNothing) {
    Bitmap bitmap(0, nullptr);
    bitmap.addRange(5, 5);
    EXPECT_EQ(keysOf(bitmap), Keys{0});
    EXPECT_TRUE(bitmap.isEmpty());

    Bitmap other(0, nullptr);
    other.addRange(kKey + 5, 5);
    other.removeRange(kKey + 5, 5);
    other.flip(kKey + 5, 5);
    EXPECT_TRUE(keysOf(other).empty());
}

TEST(BitmapRanges, AddRangeSplitsAtKeyBoundary) {
    Bitmap bitmap;
    bitmap.addRange(kKey - 6, kKey + 10);
    EXPECT_EQ(bitmap.cardinality(), 16u);
    EXPECT_TRUE(bitmap.contains(kKey - 1));
    EXPECT_FALSE(bitmap.contains(kKey + 10));
    EXPECT_TRUE(bitmap.all(kKey - 6, kKey + 10));
    EXPECT_EQ(bitmap.first(), kKey - 6);
    EXPECT_EQ(bitmap.last(), kKey + 9);
}

TEST(BitmapRanges, WholeKeysAndEmptyEndPart) {
    Bitmap bitmap;
    bitmap.addRange(0, 2 * kKey);
    EXPECT_EQ(bitmap.cardinality(), 2 * kKey);
    EXPECT_EQ(keysOf(bitmap), (Keys{0, 1, 2}));  // the end key's entry exists, empty
    EXPECT_TRUE(bitmap.all(0, 2 * kKey));
}

TEST(BitmapRanges, TopKeysStopAfterTheLastKey) {
    Bitmap bitmap(0, nullptr);
    bitmap.addRange(4294967294ull * kKey, kMax);
    EXPECT_EQ(keysOf(bitmap), (Keys{4294967294u, 4294967295u}));
    EXPECT_EQ(bitmap.cardinality(), 2 * kKey - 1);
    EXPECT_FALSE(bitmap.contains(kMax));
    EXPECT_EQ(bitmap.last(), kMax - 1);

    bitmap.removeRange(kMax - 10, kMax);
    EXPECT_EQ(bitmap.last(), kMax - 11);
    bitmap.flip(kMax - 3, kMax);
    EXPECT_EQ(bitmap.last(), kMax - 1);
}

TEST(BitmapRanges, RemoveRangeInsideOneKey) {
    Bitmap bitmap;
    bitmap.addRange(0, 101);
    bitmap.removeRange(10, 20);
    EXPECT_EQ(bitmap.cardinality(), 91u);
    EXPECT_TRUE(bitmap.contains(9));
    EXPECT_FALSE(bitmap.contains(10));
    EXPECT_FALSE(bitmap.contains(19));
    EXPECT_TRUE(bitmap.contains(20));
}

TEST(BitmapRanges, RemoveRangeKeepsMiddleEntryAndCreatesEndKey) {
    Bitmap bitmap = fromValues({5, kKey + 5, 2 * kKey + 5});
    bitmap.removeRange(3, 3 * kKey);
    EXPECT_TRUE(bitmap.isEmpty());
    EXPECT_EQ(keysOf(bitmap), (Keys{0, 1, 2, 3}));
}

TEST(BitmapRanges, FlipTwiceRestores) {
    Bitmap bitmap;
    bitmap.flip(kKey - 6, kKey + 4);
    EXPECT_EQ(bitmap.cardinality(), 10u);
    EXPECT_EQ(bitmap.first(), kKey - 6);
    EXPECT_EQ(bitmap.last(), kKey + 3);
    bitmap.flip(kKey - 6, kKey + 4);
    EXPECT_TRUE(bitmap.isEmpty());
    EXPECT_EQ(keysOf(bitmap), (Keys{0, 1}));
}

TEST(BitmapRanges, AllNeedsEntriesForEveryKey) {
    Bitmap none(0, nullptr);
    EXPECT_FALSE(none.all(5, 5));
    Bitmap bitmap;
    EXPECT_TRUE(bitmap.all(5, 5));
    EXPECT_TRUE(bitmap.all(10, 5));
    EXPECT_TRUE(bitmap.all(kKey + 1, 5));  // reversed across keys

    Bitmap ranged;
    ranged.addRange(0, kKey);
    EXPECT_TRUE(ranged.all(0, kKey));
    Bitmap added;
    for (uint64_t v = 0; v < 100; ++v) added.add(v);
    added.addRange(100, kKey - 1);
    added.add(kKey - 1);
    EXPECT_EQ(added.cardinality(), kKey);
    EXPECT_FALSE(added.all(0, kKey));  // key 1 has no entry
}

TEST(BitmapRanges, AnyLooksOnlyAtMembersInTheRange) {
    Bitmap bitmap = Bitmap::of({kKey + 100});
    EXPECT_FALSE(bitmap.any(kKey + 5, kKey + 7));
    EXPECT_FALSE(bitmap.any(5, 5));
    EXPECT_TRUE(bitmap.any(0, 5 * kKey));
    EXPECT_FALSE(bitmap.any(kKey + 101, kMax));
    EXPECT_FALSE(bitmap.any(kKey + 200, kKey + 100));

    Bitmap emptied = fromValues({1, kKey + 1, 2 * kKey + 1});
    emptied.removeRange(0, 3 * kKey);
    EXPECT_FALSE(emptied.any(0, 3 * kKey));
}
