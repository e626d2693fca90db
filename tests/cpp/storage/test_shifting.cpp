#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <stdexcept>

#include "storage/bitmap_test_support.hpp"

using namespace morvane::storage;
using namespace morvane::storage::testing;
using Keys = std::vector<uint32_t>;
using Members = std::vector<uint64_t>;

TEST(BitmapSlice, KeepsPositionsAndEndIsExclusive) {
    const Bitmap bitmap = Bitmap::of({5, 10, 19, 20});
    EXPECT_EQ(membersOf(bitmap.slice(10, 20)), (Members{10, 19}));
    EXPECT_TRUE(bitmap.slice(7, 7).isEmpty());
    EXPECT_TRUE(bitmap.slice(20, 10).isEmpty());
    const Bitmap spread = Bitmap::of({4294967289, 4294967290, kKey, 2 * kKey + 4, 2 * kKey + 5});
    EXPECT_EQ(membersOf(spread.slice(4294967290, 2 * kKey + 5)), (Members{4294967290, kKey, 2 * kKey + 4}));
}

// Slices of a few-container slot intersect with the range; slices of a
// many-container slot copy and trim it. Both must give the same members.
TEST(BitmapSlice, ClipsSmallAndLargeSlotsAlike) {
    Bitmap few = Bitmap::of({3, 70000, 4000000000});
    EXPECT_EQ(membersOf(few.slice(4, 4000000001)), (Members{70000, 4000000000}));
    Bitmap many;
    for (uint64_t chunk = 0; chunk < 300; ++chunk) many.add(chunk << 16 | 7);
    const Bitmap clipped = many.slice((5 << 16) + 8, (299 << 16) + 7);
    EXPECT_EQ(clipped.cardinality(), 293u);
    EXPECT_EQ(clipped.first(), uint64_t{6 << 16 | 7});
    EXPECT_EQ(clipped.last(), uint64_t{298 << 16 | 7});
}

TEST(BitmapSlice, ReversedKeysThrowWithBothEnds) {
    try {
        Bitmap().slice(kKey, 5);
        FAIL();
    } catch (const std::runtime_error &error) {
        EXPECT_STREQ(error.what(), "Invalid range4294967296..5");
    }
}

TEST(BitmapExpand, CarriesAcrossKeyBoundaries) {
    Bitmap bitmap = Bitmap::of({3, 10});
    bitmap.expand(5, 4);
    EXPECT_EQ(membersOf(bitmap), (Members{3, 14}));
    bitmap.contract(8, 4);
    EXPECT_EQ(membersOf(bitmap), (Members{3, 10}));

    Bitmap top = Bitmap::of({kKey - 1, kKey});
    top.expand(kKey - 1, 1);
    EXPECT_EQ(membersOf(top), (Members{kKey, kKey + 1}));

    Bitmap below = Bitmap::of({4294967290, 4294967294});
    below.expand(4294967293, 5);
    EXPECT_EQ(membersOf(below), (Members{4294967290, 4294967299}));
}

TEST(BitmapExpand, RefusalsChangeNoMember) {
    Bitmap lone = Bitmap::of({kKey + 3});
    EXPECT_THROW(lone.expand(10, 1), std::runtime_error);
    EXPECT_EQ(membersOf(lone), Members{kKey + 3});

    Bitmap high = Bitmap::of({kMax - 2});
    EXPECT_THROW(high.expand(5, 3), std::invalid_argument);  // would pass 2^64 - 1
    EXPECT_THROW(high.expand(0, kKey), std::invalid_argument);
    EXPECT_EQ(membersOf(high), Members{kMax - 2});
    high.expand(kMax - 1, 100);  // nothing at or above the position
    high.expand(kMax - 2, 2);
    EXPECT_EQ(membersOf(high), Members{kMax});
}

TEST(BitmapContract, DropsTheRangeAndMovesDown) {
    Bitmap bitmap = Bitmap::of({3, 10});
    EXPECT_THROW(bitmap.contract(4, 4), std::invalid_argument);
    bitmap.contract(5, 4);
    EXPECT_EQ(membersOf(bitmap), Members{6});

    Bitmap top = Bitmap::of({kKey - 1});
    top.contract(100, 10);
    EXPECT_EQ(membersOf(top), Members{kKey - 11});

    Bitmap untouched = Bitmap::of({kKey + 4});
    untouched.contract(kKey + 5, 2);
    EXPECT_EQ(membersOf(untouched), Members{kKey + 4});
    untouched.contract(kKey + 4, 2);
    EXPECT_TRUE(untouched.isEmpty());

    Bitmap pair = Bitmap::of({kKey + 1, 2 * kKey + 1});
    pair.contract(kKey + 2, 1);
    EXPECT_EQ(membersOf(pair), (Members{kKey + 1, 2 * kKey}));
}

TEST(BitmapContract, EmptiedKeyIsRemoved) {
    Bitmap bitmap = Bitmap::of({2 * kKey});
    bitmap.contract(kKey + 4, 2);
    EXPECT_EQ(membersOf(bitmap), Members{2 * kKey - 2});
    EXPECT_EQ(keysOf(bitmap), (Keys{0, 1}));
}

TEST(BitmapContract, ZeroWidth) {
    Bitmap bitmap = Bitmap::of({7, kKey - 1});
    bitmap.contract(kKey - 1, 0);
    EXPECT_EQ(membersOf(bitmap), (Members{7, kKey - 1}));
    EXPECT_THROW(bitmap.contract(0, 0), std::invalid_argument);
    bitmap.expand(7, 0);
    EXPECT_EQ(membersOf(bitmap), (Members{7, kKey - 1}));
}

namespace {

// Positions clustered around a few key boundaries.
std::vector<uint64_t> randomPositions(std::mt19937_64 &rng, size_t count) {
    std::vector<uint64_t> values;
    for (size_t i = 0; i < count; ++i) {
        const uint64_t base = (rng() % 4) * kKey;
        const uint64_t spread = rng() % 64;
        values.push_back(rng() % 2 ? base + spread : base - 1 - spread + (base == 0 ? 64 : 0));
    }
    return values;
}

}  // namespace

TEST(BitmapShifting, RandomisedAgainstSortedReference) {
    std::mt19937_64 rng(20261207);
    for (int round = 0; round < 400; ++round) {
        const auto values = randomPositions(rng, 1 + rng() % 40);
        std::set<uint64_t> reference(values.begin(), values.end());
        Bitmap bitmap = fromValues(values);
        const uint64_t position = randomPositions(rng, 1)[0];
        const uint64_t by = rng() % 3 == 0 ? kKey - 1 - rng() % 8 : rng() % 80;

        // slice
        const uint64_t end = position + rng() % (2 * kKey);
        Members sliced;
        for (uint64_t v : reference) {
            if (v >= position && v < end) sliced.push_back(v);
        }
        if (Bitmap::highKey(end) >= Bitmap::highKey(position)) {
            EXPECT_EQ(membersOf(bitmap.slice(position, end)), sliced);
        }

        // expand then contract gives the members back
        std::set<uint64_t> expanded;
        for (uint64_t v : reference) expanded.insert(v >= position ? v + by : v);
        Bitmap shifted = bitmap;
        try {
            shifted.expand(position, by);
        } catch (const std::runtime_error &) {
            EXPECT_FALSE(bitmap.contains(position));  // "Impossible!": own slot empty
            continue;
        }
        if (reference.empty() || *reference.rbegin() < position) {
            EXPECT_EQ(membersOf(shifted), Members(reference.begin(), reference.end()));
            continue;
        }
        ASSERT_EQ(membersOf(shifted), Members(expanded.begin(), expanded.end())) << round;
        const uint64_t back = position + by - 1;
        try {
            shifted.contract(back, by);
        } catch (const std::invalid_argument &) {
            continue;
        }
        EXPECT_EQ(membersOf(shifted), Members(reference.begin(), reference.end())) << round;
    }
}
