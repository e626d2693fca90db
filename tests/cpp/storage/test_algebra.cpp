#include <gtest/gtest.h>

#include "storage/bitmap_test_support.hpp"

using namespace morvane::storage;
using namespace morvane::storage::testing;
using Keys = std::vector<uint32_t>;
using Members = std::vector<uint64_t>;

TEST(BitmapAlgebra, IntersectionEmptiesEntriesMissingInOther) {
    Bitmap bitmap = Bitmap::of({1, kKey + 1, 2 * kKey + 1});
    bitmap &= Bitmap(0, nullptr);
    EXPECT_TRUE(bitmap.isEmpty());
    EXPECT_EQ(keysOf(bitmap), (Keys{0, 1, 2}));

    Bitmap kept = Bitmap::of({1, 2, kKey + 1});
    kept &= fromValues({2, 7 * kKey});
    EXPECT_EQ(membersOf(kept), Members{2});
    EXPECT_EQ(keysOf(kept), (Keys{0, 1}));
}

TEST(BitmapAlgebra, DifferenceWithNoEntriesChangesNothing) {
    Bitmap bitmap = Bitmap::of({1, kKey + 1});
    bitmap -= Bitmap(0, nullptr);
    EXPECT_EQ(membersOf(bitmap), (Members{1, kKey + 1}));
    bitmap -= fromValues({kKey + 1, 3 * kKey});
    EXPECT_EQ(membersOf(bitmap), Members{1});
    EXPECT_EQ(keysOf(bitmap), (Keys{0, 1}));
}

TEST(BitmapAlgebra, UnionAndXorCreateEveryKeyOfOther) {
    Bitmap bitmap(0, nullptr);
    bitmap |= Bitmap();
    EXPECT_EQ(keysOf(bitmap), Keys{0});
    EXPECT_TRUE(bitmap.isEmpty());

    Bitmap emptied = fromValues({4 * kKey});
    emptied.remove(4 * kKey);
    Bitmap left = fromValues({1, kKey});
    left ^= emptied;
    EXPECT_EQ(keysOf(left), (Keys{0, 1, 4}));
    left ^= fromValues({1, 9});
    EXPECT_EQ(membersOf(left), (Members{9, kKey}));
    left |= fromValues({kMax});
    EXPECT_EQ(membersOf(left), (Members{9, kKey, kMax}));
}

TEST(BitmapAlgebra, SelfOperands) {
    Bitmap bitmap = Bitmap::of({1, kKey + 1});
    bitmap |= bitmap;
    EXPECT_EQ(membersOf(bitmap), (Members{1, kKey + 1}));
    bitmap &= bitmap;
    EXPECT_EQ(membersOf(bitmap), (Members{1, kKey + 1}));
    EXPECT_EQ(bitmap ^ bitmap, Bitmap(0, nullptr));
    Bitmap copy = bitmap;
    copy ^= copy;
    EXPECT_TRUE(copy.isEmpty());
    EXPECT_EQ(keysOf(copy), (Keys{0, 1}));
    bitmap -= bitmap;
    EXPECT_TRUE(bitmap.isEmpty());
    EXPECT_EQ(keysOf(bitmap), (Keys{0, 1}));
}

TEST(BitmapAlgebra, ByValueLeavesReceiverAndKeepsTheInPlaceEntries) {
    const Bitmap a = Bitmap::of({1, kKey});
    const Bitmap b = fromValues({2, 3 * kKey});
    EXPECT_EQ(keysOf(a | b), (Keys{0, 1, 3}));
    EXPECT_EQ(keysOf(a & b), (Keys{0, 1}));
    EXPECT_EQ(membersOf(a - b), (Members{1, kKey}));
    EXPECT_EQ(membersOf(a ^ b), (Members{1, 2, kKey, 3 * kKey}));
    EXPECT_EQ(membersOf(a), (Members{1, kKey}));
}

TEST(BitmapComparison, EqualityIgnoresEmptyEntries) {
    Bitmap emptied = fromValues({5, kKey + 5});
    emptied.remove(5);
    emptied.remove(kKey + 5);
    EXPECT_EQ(Bitmap(), Bitmap(0, nullptr));
    EXPECT_EQ(Bitmap(), emptied);
    EXPECT_EQ(Bitmap::of({kKey + 5}), fromValues({kKey + 5}));
    EXPECT_NE(Bitmap::of({5}), fromValues({kKey + 5}));
    EXPECT_NE(Bitmap::of({5}), Bitmap::of({5, 6}));
}

TEST(BitmapComparison, SubsetNeedsMatchingEntries) {
    EXPECT_FALSE(Bitmap().isSubset(Bitmap(0, nullptr)));
    EXPECT_TRUE(Bitmap(0, nullptr).isSubset(Bitmap()));
    const Bitmap a = Bitmap::of({1, kKey + 2});
    EXPECT_TRUE(a.isSubset(a));
    EXPECT_FALSE(a.isStrictSubset(a));
    EXPECT_TRUE(a.isStrictSubset(Bitmap::of({1, 3, kKey + 2})));
    EXPECT_FALSE(a.isSubset(Bitmap::of({1, 3})));
}

TEST(BitmapComparison, SharedKeysLookAtKeysOnly) {
    EXPECT_TRUE(Bitmap().sharesKeysWith(Bitmap()));
    EXPECT_FALSE(Bitmap(0, nullptr).sharesKeysWith(Bitmap()));
    EXPECT_TRUE(fromValues({5}).sharesKeysWith(fromValues({6})));
    EXPECT_FALSE(fromValues({5}).sharesKeysWith(fromValues({kKey + 5})));
}
