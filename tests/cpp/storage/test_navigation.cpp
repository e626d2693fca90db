#include <gtest/gtest.h>

#include <stdexcept>

#include "storage/bitmap_test_support.hpp"

using namespace morvane::storage;
using namespace morvane::storage::testing;
using Keys = std::vector<uint32_t>;
using Members = std::vector<uint64_t>;

TEST(BitmapRank, EmptySet) {
    Bitmap bitmap;
    EXPECT_EQ(bitmap.lowerCardinality(kMax), 0u);
    EXPECT_EQ(bitmap.upperCardinality(0), 0u);
    try {
        bitmap.nth(0);
        FAIL() << "nth(0) of an empty set";
    } catch (const std::runtime_error &error) {
        EXPECT_STREQ(error.what(), "The ordinal value [ 0] is greater than the total cardinality");
    }
    EXPECT_EQ(bitmap.selfOrNext(77), 0u);
    EXPECT_EQ(bitmap.selfOrPrevious(77), kMax);
    EXPECT_TRUE(bitmap.begin() == bitmap.end());
}

TEST(BitmapRank, CountsAreStrict) {
    Bitmap bitmap = Bitmap::of({5});
    EXPECT_EQ(bitmap.lowerCardinality(5), 0u);
    EXPECT_EQ(bitmap.upperCardinality(5), 0u);
    EXPECT_EQ(bitmap.lowerCardinality(6), 1u);
    EXPECT_EQ(bitmap.upperCardinality(4), 1u);
    EXPECT_EQ(bitmap.upperCardinality(kMax), 0u);

    Bitmap spread = fromValues({3, kKey + 10, kKey + 11, kMax});
    for (uint64_t p : {uint64_t{0}, uint64_t{3}, kKey, kKey + 10, kKey + 12, kMax}) {
        EXPECT_EQ(spread.lowerCardinality(p) + spread.upperCardinality(p) + spread.contains(p), 4u);
    }
}

TEST(BitmapRank, NthAcrossSlotsAndItsMessage) {
    Bitmap bitmap = fromValues({3, kKey + 10, kMax});
    EXPECT_EQ(bitmap.nth(0), 3u);
    EXPECT_EQ(bitmap.nth(1), kKey + 10);
    EXPECT_EQ(bitmap.nth(2), kMax);
    try {
        bitmap.nth(3);
        FAIL();
    } catch (const std::runtime_error &error) {
        EXPECT_STREQ(error.what(), "The ordinal value [ 3] is greater than the total cardinality");
    }

    Bitmap full;
    full.addRange(0, kKey);
    EXPECT_EQ(full.nth(4294967295u), 4294967295u);
}

TEST(BitmapNavigation, NearestMembers) {
    Bitmap bitmap = Bitmap::of({3, kKey + 10});
    EXPECT_EQ(bitmap.selfOrNext(4), kKey + 10);
    EXPECT_EQ(bitmap.selfOrNext(3), 3u);
    EXPECT_EQ(bitmap.selfOrPrevious(kKey + 5), 3u);
    EXPECT_EQ(bitmap.selfOrPrevious(kKey + 10), kKey + 10);
    EXPECT_EQ(bitmap.selfOrPrevious(2), kMax);
    EXPECT_EQ(bitmap.selfOrNext(kKey + 11), 0u);
    EXPECT_EQ(bitmap.selfOrPrevious(kKey + 100), kKey + 10);
}

TEST(BitmapNavigation, ProbeLeavesEmptyEntryUnderItsKey) {
    Bitmap bitmap = Bitmap::of({3});
    const Bitmap before = bitmap;
    EXPECT_EQ(bitmap.selfOrNext(2 * kKey), 0u);
    EXPECT_EQ(keysOf(bitmap), (Keys{0, 2}));
    EXPECT_EQ(bitmap, before);
    EXPECT_GT(bitmap.persistedSize(true), before.persistedSize(true));
    bitmap.selfOrPrevious(5 * kKey);
    EXPECT_EQ(keysOf(bitmap), (Keys{0, 2, 5}));
}

TEST(BitmapIterator, WalksAcrossEmptySlots) {
    Bitmap bitmap = Bitmap::of({0, kKey, kMax});
    bitmap.add(3 * kKey);
    bitmap.remove(3 * kKey);
    bitmap.addRange(7 * kKey, 7 * kKey);  // empty entry
    EXPECT_EQ(membersOf(bitmap), (Members{0, kKey, kMax}));
}

TEST(BitmapIterator, ComparisonsPutEndAfterEveryMember) {
    Bitmap emptySlots;
    emptySlots.selfOrNext(kKey);
    EXPECT_TRUE(emptySlots.begin() == emptySlots.end());
    EXPECT_FALSE(emptySlots.begin() < emptySlots.end());
    EXPECT_TRUE(emptySlots.begin() <= emptySlots.end());

    Bitmap bitmap = Bitmap::of({4, 9});
    EXPECT_TRUE(bitmap.begin() < bitmap.end());
    EXPECT_TRUE(bitmap.end() > bitmap.begin());
    EXPECT_TRUE(bitmap.end() >= bitmap.end());
    EXPECT_TRUE(bitmap.end() == bitmap.end());
    auto second = bitmap.begin();
    ++second;
    EXPECT_TRUE(bitmap.begin() < second);
    EXPECT_TRUE(second != bitmap.begin());
    EXPECT_EQ(*second, 9u);
}

TEST(BitmapIterator, DecrementFromEndSkipsTrailingEmptySlots) {
    Bitmap bitmap = Bitmap::of({4, kKey + 9});
    bitmap.selfOrNext(6 * kKey);  // empty last slot
    bitmap.selfOrNext(5 * kKey);
    auto it = bitmap.end();
    --it;
    EXPECT_EQ(*it, kKey + 9);
    auto post = bitmap.end();
    post--;
    EXPECT_EQ(*post, kKey + 9);
    --it;
    EXPECT_EQ(*it, 4u);
    auto back = it++;
    EXPECT_EQ(*back, 4u);
    EXPECT_EQ(*it, kKey + 9);
}

TEST(BitmapIterator, CopyPositionsMatchesTheWalk) {
    Bitmap bitmap;
    bitmap.addRange(kKey - 3000, kKey + 3000);
    bitmap.add(kMax);
    std::vector<uint64_t> out(bitmap.cardinality());
    bitmap.copyPositions(out.data());
    EXPECT_EQ(out, membersOf(bitmap));
}

TEST(BitmapIteration, ReadInBlocksGivesTheMembersInOrderAcrossEmptySlots) {
    Bitmap bitmap = fromValues({0, 1, kKey - 1, 3 * kKey, 3 * kKey + 65536, UINT64_MAX});
    bitmap.addRange(7 * kKey, 7 * kKey + 1000);
    bitmap.remove(3 * kKey);
    bitmap.remove(3 * kKey + 65536);  // an emptied slot between others
    const std::vector<uint64_t> expected = membersOf(bitmap);
    for (size_t capacity : {size_t{1}, size_t{3}, size_t{255}, size_t{256}, size_t{257}, size_t{5000}}) {
        auto cursor = bitmap.begin();
        std::vector<uint64_t> read(capacity);
        std::vector<uint64_t> members;
        while (size_t got = cursor.read(read.data(), capacity))
            members.insert(members.end(), read.begin(), read.begin() + got);
        EXPECT_EQ(members, expected) << capacity;
        EXPECT_EQ(cursor.read(read.data(), capacity), 0u);
    }
}
