#include <gtest/gtest.h>

#include <stdexcept>

#include "storage/bitmap_test_support.hpp"

using namespace morvane::storage;
using namespace morvane::storage::testing;
using Keys = std::vector<uint32_t>;
using Members = std::vector<uint64_t>;

TEST(BitmapLifecycle, DefaultHoldsOneEmptyKeyZeroEntry) {
    Bitmap bitmap;
    EXPECT_TRUE(bitmap.isEmpty());
    EXPECT_EQ(bitmap.cardinality(), 0u);
    EXPECT_FALSE(bitmap.first().has_value());
    EXPECT_FALSE(bitmap.last().has_value());
    EXPECT_FALSE(bitmap.contains(0));
    EXPECT_EQ(keysOf(bitmap), Keys{0});
}

TEST(BitmapLifecycle, FromZeroValuesHasNoEntriesAndClearRemovesKeyZero) {
    EXPECT_TRUE(keysOf(Bitmap(0, nullptr)).empty());
    Bitmap bitmap;
    bitmap.clear();
    EXPECT_TRUE(keysOf(bitmap).empty());
    EXPECT_TRUE(bitmap.isEmpty());
}

TEST(BitmapLifecycle, CopiesAreDeepAndMovesLeaveNoEntries) {
    Bitmap source = Bitmap::of({5, kKey + 5});
    Bitmap copy(source);
    copy.add(7);
    EXPECT_FALSE(source.contains(7));
    EXPECT_EQ(keysOf(copy), (Keys{0, 1}));

    Bitmap assigned;
    assigned = source;
    EXPECT_EQ(membersOf(assigned), (Members{5, kKey + 5}));
    assigned = assigned;  // self-assignment changes nothing
    EXPECT_EQ(membersOf(assigned), (Members{5, kKey + 5}));

    Bitmap moved(std::move(source));
    EXPECT_TRUE(keysOf(source).empty());
    EXPECT_TRUE(source.isEmpty());
    EXPECT_EQ(membersOf(moved), (Members{5, kKey + 5}));
    Bitmap target;
    target = std::move(moved);
    EXPECT_TRUE(keysOf(moved).empty());
    EXPECT_EQ(keysOf(target), (Keys{0, 1}));
}

TEST(BitmapPoints, ExtremePositionsCreateTheirKeys) {
    Bitmap bitmap;
    bitmap.add(kMax);
    EXPECT_EQ(keysOf(bitmap), (Keys{0, 4294967295u}));
    EXPECT_EQ(bitmap.last(), kMax);

    Bitmap other;
    other.add(kKey);
    EXPECT_EQ(other.first(), kKey);  // the empty key-0 entry is skipped
    EXPECT_EQ(keysOf(other), (Keys{0, 1}));
}

TEST(BitmapPoints, RemoveKeepsEmptiedEntryAndCreatesNone) {
    Bitmap bitmap = Bitmap::of({kKey + 3});
    bitmap.remove(kKey + 3);
    EXPECT_TRUE(bitmap.isEmpty());
    EXPECT_FALSE(bitmap.first().has_value());
    EXPECT_EQ(keysOf(bitmap), (Keys{0, 1}));
    bitmap.remove(5 * kKey);
    EXPECT_EQ(keysOf(bitmap), (Keys{0, 1}));
}

TEST(BitmapPoints, AddManyIgnoresOrderAndRepeats) {
    Bitmap bitmap = fromValues({9, kKey + 1, 3, 9, 2 * kKey, 3, kKey + 1});
    EXPECT_EQ(membersOf(bitmap), (Members{3, 9, kKey + 1, 2 * kKey}));
    EXPECT_EQ(keysOf(bitmap), (Keys{0, 1, 2}));
}

TEST(BitmapPoints, OfStartsFromTheDefaultEntry) {
    Bitmap bitmap = Bitmap::of({5, kKey + 5, 5});
    EXPECT_EQ(membersOf(bitmap), (Members{5, kKey + 5}));
    EXPECT_EQ(keysOf(bitmap), (Keys{0, 1}));
    EXPECT_EQ(Bitmap::of({kKey}).entries().size(), 2u);
}

TEST(BitmapPoints, FullnessNeedsEveryKey) {
    Bitmap bitmap;
    bitmap.addRange(0, 3 * kKey);
    EXPECT_FALSE(bitmap.isFull());
    EXPECT_EQ(bitmap.cardinality(), 3 * kKey);
}
