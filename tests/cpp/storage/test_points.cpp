#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <utility>
#include <vector>

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

TEST(BitmapPoints, FlipOnePositionCreatesTheEntriesOfItsRangeForm) {
    // The last low part of a key flips through [p, p + 1), whose end lies in
    // the next key: that entry is created too, as for the range form.
    Bitmap bitmap = Bitmap::of({});
    bitmap.flip(kKey - 1);
    EXPECT_EQ(membersOf(bitmap), (std::vector<uint64_t>{kKey - 1}));
    EXPECT_EQ(keysOf(bitmap), (std::vector<uint32_t>{0, 1}));
    bitmap.flip(kKey - 1);
    EXPECT_TRUE(bitmap.isEmpty());
    // 2^64 - 1 has no exclusive end: it is added and removed as a point.
    bitmap.flip(UINT64_MAX);
    EXPECT_EQ(bitmap.last(), UINT64_MAX);
    EXPECT_EQ(keysOf(bitmap), (std::vector<uint32_t>{0, 1, UINT32_MAX}));
    bitmap.flip(UINT64_MAX);
    EXPECT_TRUE(bitmap.isEmpty());
    EXPECT_EQ(keysOf(bitmap).size(), 3u);
}

TEST(BitmapChanges, EveryChangingCallAdvancesTheGenerationAndReadsDoNot) {
    Bitmap bitmap = Bitmap::of({5, kKey + 7});
    const std::vector<std::pair<const char *, std::function<void(Bitmap &)>>> changes = {
        {"add", [](Bitmap &b) { b.add(9); }},
        {"remove absent", [](Bitmap &b) { b.remove(4 * kKey); }},
        {"flip one", [](Bitmap &b) { b.flip(uint64_t{3}); }},
        {"reversed range", [](Bitmap &b) { b.removeRange(3 * kKey, 5); }},
        {"expand above the last", [](Bitmap &b) { b.expand(9 * kKey, 3); }},
        {"contract above the last", [](Bitmap &b) { b.contract(9 * kKey, 3); }},
        {"difference with nothing", [](Bitmap &b) { b -= Bitmap(0, nullptr); }},
        {"recompress", [](Bitmap &b) { b.persistedSize(true, true, true); }},
        {"self or next", [](Bitmap &b) { b.selfOrNext(0); }},
    };
    for (const auto &[name, change] : changes) {
        const uint64_t before = bitmap.generation();
        change(bitmap);
        EXPECT_GT(bitmap.generation(), before) << name;
    }
    const uint64_t before = bitmap.generation();
    const Bitmap &reader = bitmap;
    reader.contains(5), reader.cardinality(), reader.nth(0), reader.lowerCardinality(kKey);
    reader.persistedSize(true), reader.inMemorySize(), Bitmap(reader), reader | reader;
    EXPECT_EQ(bitmap.generation(), before);
    // A refusal throws before anything changes.
    EXPECT_THROW(bitmap.expand(0, kKey), std::invalid_argument);
    EXPECT_EQ(bitmap.generation(), before);
}

TEST(BitmapChanges, RecompressionKeepsCountsAndLeavesTheSameMembers) {
    Bitmap bitmap;
    bitmap.addRange(10, 200000);
    bitmap.add(kKey + 3);
    const uint64_t rankBefore = bitmap.lowerCardinality(kKey + 4);
    const size_t containers = bitmap.inMemorySize();
    bitmap.persistedSize(true, true, true);
    EXPECT_EQ(bitmap.lowerCardinality(kKey + 4), rankBefore);
    EXPECT_EQ(bitmap.nth(rankBefore - 1), kKey + 3);
    EXPECT_EQ(bitmap.inMemorySize(), containers);
}
