#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <stdexcept>

#include "storage/bitmap_test_support.hpp"

using namespace morvane::storage;
using namespace morvane::storage::testing;
using Keys = std::vector<uint32_t>;
using Bytes = std::vector<char>;

namespace {

Bytes serialize(Bitmap &bitmap, bool portable) {
    Bytes out(bitmap.persistedSize(portable, false, false));
    EXPECT_EQ(bitmap.write(out.data(), portable), out.data() + out.size());
    return out;
}

uint64_t u64(const Bytes &bytes, size_t at) {
    uint64_t value;
    std::memcpy(&value, bytes.data() + at, sizeof value);
    return value;
}

uint32_t u32(const Bytes &bytes, size_t at) {
    uint32_t value;
    std::memcpy(&value, bytes.data() + at, sizeof value);
    return value;
}

}  // namespace

TEST(BitmapSerialization, NoEntriesIsTheCountAlone) {
    Bitmap bitmap(0, nullptr);
    EXPECT_EQ(bitmap.persistedSize(true, true, true), 8u);
    Bytes bytes = serialize(bitmap, true);
    EXPECT_EQ(u64(bytes, 0), 0u);
    Bitmap back = Bitmap::read(bytes.data(), bytes.size(), true);
    EXPECT_EQ(keysOf(back), Keys{0});
    EXPECT_TRUE(back.isEmpty());
}

TEST(BitmapSerialization, FrameHoldsKeysInOrderWithLengths) {
    for (bool portable : {true, false}) {
        Bitmap bitmap = Bitmap::of({7 * kKey + 1, 3});
        Bytes bytes = serialize(bitmap, portable);
        ASSERT_EQ(u64(bytes, 0), 2u);
        EXPECT_EQ(u32(bytes, 8), 0u);
        const uint64_t first = u64(bytes, 12);
        EXPECT_EQ(u32(bytes, 20 + first), 7u);
        const uint64_t second = u64(bytes, 24 + first);
        EXPECT_EQ(bytes.size(), 8 + 12 + first + 12 + second);
        EXPECT_EQ(Bitmap::read(bytes.data(), bytes.size(), portable), bitmap);
    }
}

TEST(BitmapSerialization, OptimizeCompactsTheReceiver) {
    Bitmap bitmap;
    for (uint64_t v = 0; v < 100000; ++v) bitmap.add(v);
    const size_t plain = bitmap.persistedSize(true, false, false);
    const size_t optimized = bitmap.persistedSize(true, true, false);
    EXPECT_LT(optimized, plain);
    EXPECT_EQ(bitmap.persistedSize(true, false, false), optimized);
    EXPECT_EQ(bitmap.cardinality(), 100000u);
}

// A compacted slot is not scanned again until it changes; every kind of change
// must bring the pass back, or the frame keeps a stale container choice.
TEST(BitmapSerialization, OptimizeRedoesSlotsChangedSinceTheLastPass) {
    Bitmap evens(0, nullptr), odds(0, nullptr);
    for (uint64_t v = 0; v < 3000; v += 2) {
        evens.add(v);
        odds.add(v + 1);
    }
    Bitmap run(0, nullptr), tail(0, nullptr);
    run.addRange(0, 3000);
    tail.addRange(3000, 9000);
    Bitmap bitset = run;  // 6,000 members in 3,001 runs
    for (uint64_t v = 3000; v < 9000; v += 2) bitset.add(v);
    struct Change {
        const char *name;
        const Bitmap &start;  // compacted before the change
        std::function<void(Bitmap &)> apply;
    };
    const Change changes[] = {
        {"add", evens,
         [](Bitmap &b) {
             for (uint64_t v = 1; v < 3000; v += 2) b.add(v);
         }},
        {"addRange", evens,
         [](Bitmap &b) {
             for (uint64_t v = 1; v < 3000; v += 2) b.addRange(v, v + 1);
         }},
        {"remove", run,
         [](Bitmap &b) {
             for (uint64_t v = 1; v < 3000; v += 2) b.remove(v);
         }},
        {"removeRange", bitset, [](Bitmap &b) { b.removeRange(3000, 9000); }},
        {"flip", evens,
         [](Bitmap &b) {
             for (uint64_t v = 1; v < 3000; v += 2) b.flip(v, v + 1);
         }},
        {"|=", evens, [&](Bitmap &b) { b |= odds; }},
        {"^=", evens, [&](Bitmap &b) { b ^= odds; }},
        {"&=", bitset, [&](Bitmap &b) { b &= run; }},
        {"-=", bitset, [&](Bitmap &b) { b -= tail; }},
    };
    for (const Change &change : changes) {
        Bitmap bitmap = change.start;
        bitmap.persistedSize(true, true, true);
        change.apply(bitmap);
        Bitmap fresh = bitmap;  // a copy has never been compacted
        const size_t expected = fresh.persistedSize(true, true, true);
        // The change left a container that a pass converts, so skipping it would show.
        EXPECT_NE(bitmap.persistedSize(true, false, false), expected) << change.name;
        EXPECT_EQ(bitmap.persistedSize(true, true, true), expected) << change.name;
        EXPECT_EQ(bitmap.persistedSize(true, true, true), expected) << change.name;
    }
}

TEST(BitmapSerialization, RepeatedKeyKeepsTheLastRecord) {
    Bitmap a = Bitmap::of({1}), b = Bitmap::of({2});
    Bytes first = serialize(a, true), second = serialize(b, true);
    Bytes joined = first;
    joined.insert(joined.end(), second.begin() + 8, second.end());
    const uint64_t two = 2;
    std::memcpy(joined.data(), &two, sizeof two);
    Bitmap back = Bitmap::read(joined.data(), joined.size(), true);
    EXPECT_EQ(back, Bitmap::of({2}));
}

TEST(BitmapSerialization, TruncatedFormsAreRefusedAtEveryLength) {
    for (bool portable : {true, false}) {
        Bitmap bitmap = Bitmap::of({1, 70000, kKey + 5, kMax});
        Bytes bytes = serialize(bitmap, portable);
        for (size_t length = 0; length < bytes.size(); ++length) {
            Bytes cut(bytes.begin(), bytes.begin() + length);  // exact-size heap block
            EXPECT_THROW(Bitmap::read(cut.data(), cut.size(), portable), std::runtime_error) << length;
        }
    }
}

// Regression: a record whose stored length exceeds what its image uses was
// refused; the next record starts after the stored length.
TEST(BitmapSerialization, ImageShorterThanItsLengthReads) {
    for (const bool portable : {true, false}) {
        Bitmap bitmap = Bitmap::of({1, 7, (uint64_t{3} << 32) | 9});
        Bytes bytes = serialize(bitmap, portable);
        const uint64_t firstLength = u64(bytes, 12);
        // Pad the first record's image with three bytes and say so in its length.
        bytes.insert(bytes.begin() + 20 + static_cast<long>(firstLength), 3, 0x55);
        const uint64_t longer = firstLength + 3;
        std::memcpy(bytes.data() + 12, &longer, sizeof longer);
        const Bitmap back = Bitmap::read(bytes.data(), bytes.size(), portable);
        EXPECT_TRUE(back == bitmap);
        // An image that needs more than its stored length is still refused.
        const uint64_t shorter = firstLength - 1;
        std::memcpy(bytes.data() + 12, &shorter, sizeof shorter);
        EXPECT_THROW(Bitmap::read(bytes.data(), bytes.size(), portable), std::runtime_error);
    }
}

TEST(BitmapSerialization, MutatedFormsNeverCrash) {
    std::mt19937_64 rng(7);
    Bitmap bitmap = Bitmap::of({1, 2, 3, 70000, kKey + 5, 9 * kKey});
    bitmap.addRange(1000, 5000);
    for (bool portable : {true, false}) {
        const Bytes original = serialize(bitmap, portable);
        for (int round = 0; round < 3000; ++round) {
            Bytes bytes = original;
            for (int flips = 1 + rng() % 4; flips > 0; --flips) {
                bytes[rng() % bytes.size()] = static_cast<char>(rng());
            }
            bytes.resize(rng() % 8 == 0 ? rng() % bytes.size() : bytes.size());
            try {
                Bitmap back = Bitmap::read(bytes.data(), bytes.size(), portable);
                back.cardinality();
                membersOf(back);
            } catch (const std::runtime_error &) {}
        }
    }
}

TEST(BitmapSizes, InMemorySizeCountsContainers) {
    Bitmap emptied = Bitmap::of({1, kKey});
    emptied.remove(1);
    emptied.remove(kKey);
    EXPECT_EQ(emptied.inMemorySize(), 0u);
    EXPECT_EQ(Bitmap::of({0, 65536}).inMemorySize(), 2u);
}

TEST(BitmapText, OneLinePerEntry) {
    EXPECT_EQ(Bitmap(0, nullptr).toString(), "");
    EXPECT_EQ(Bitmap().toString(), "h: 0 {}\n");
    EXPECT_EQ(Bitmap::of({1, 2, 3}).toString(), "h: 0 {1,2,3}\n");
    EXPECT_EQ(Bitmap::of({kKey + 1, 5, kKey}).toString(), "h: 0 {5}\nh: 1 {0,1}\n");
    Bitmap top = Bitmap::of({kMax});
    EXPECT_EQ(top.toString(), "h: 0 {}\nh: 4294967295 {4294967295}\n");
    top.clear();
    top.add(kMax);
    EXPECT_EQ(top.toString(), "h: 4294967295 {4294967295}\n");
}
