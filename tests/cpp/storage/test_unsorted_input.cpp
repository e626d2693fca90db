// Unsorted input is partitioned instead of sorted; it must give exactly what
// the same values in order give: members, entries and container layout.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <string>

#include "bitmap_test_support.hpp"
#include "storage/key_partition.hpp"

namespace morvane::storage::testing {
namespace {

std::string bytesOf(const Bitmap &bitmap) {
    std::string bytes(bitmap.persistedSize(true), '\0');
    bitmap.write(bytes.data(), true);
    return bytes;
}

// Large keys (scattered per container), dense containers (bitset), small
// keys (sorted), the extreme key and container edges, all with repeats.
std::vector<uint64_t> mixedValues(std::mt19937_64 &rng) {
    std::vector<uint64_t> values;
    for (int i = 0; i < 400000; ++i) values.push_back(7 * kKey + (rng() & 0xFFFFFFFFu));
    for (int i = 0; i < 300000; ++i) values.push_back(8 * kKey + rng() % (1 << 21));
    for (uint64_t v = 0; v < 70000; ++v) values.push_back(8 * kKey + (uint64_t{5} << 24) + v);
    for (int i = 0; i < 3000; ++i) values.push_back((rng() % 50) * kKey + rng() % 100000);
    for (uint64_t edge : {uint64_t{0}, uint64_t{0xFFFF}, uint64_t{0x10000}, kMax, kMax - 0x10000, 7 * kKey,
                          7 * kKey + 0xFFFFFFFFu, 8 * kKey + 0x1FFFF}) {
        values.push_back(edge);
        values.push_back(edge);
    }
    std::shuffle(values.begin(), values.end(), rng);
    return values;
}

TEST(UnsortedInput, GroupsByKeyAscendingSortedAndUnique) {
    std::mt19937_64 rng(11);
    const std::vector<uint64_t> values = mixedValues(rng);
    std::map<uint32_t, std::set<uint32_t>> model;
    for (uint64_t v : values) model[uint32_t(v >> 32)].insert(uint32_t(v));
    auto expected = model.begin();
    const bool grouped =
        forEachKeyGroup(values.size(), values.data(), [&](uint32_t key, const uint32_t *lows, size_t count) {
            ASSERT_NE(expected, model.end());
            EXPECT_EQ(key, expected->first);
            EXPECT_TRUE(std::equal(lows, lows + count, expected->second.begin(), expected->second.end()))
                << key;
            ++expected;
        });
    EXPECT_TRUE(grouped);
    EXPECT_EQ(expected, model.end());
}

TEST(UnsortedInput, TooManyKeysCallsNothing) {
    std::vector<uint64_t> values;
    for (uint64_t k = 0; k < 1000; ++k) values.push_back(((k * 7919) % 1000) * kKey + k);
    int calls = 0;
    EXPECT_FALSE(
        forEachKeyGroup(values.size(), values.data(), [&](uint32_t, const uint32_t *, size_t) { ++calls; }));
    EXPECT_EQ(calls, 0);
}

TEST(UnsortedInput, SameMembersEntriesAndBytesAsSortedInput) {
    std::mt19937_64 rng(12);
    std::vector<std::vector<uint64_t>> inputs = {mixedValues(rng)};
    std::vector<uint64_t> sparse;  // too many keys: the sorting path
    for (int i = 0; i < 20000; ++i) sparse.push_back(rng());
    inputs.push_back(sparse);
    for (const auto &shuffled : inputs) {
        std::vector<uint64_t> sorted(shuffled);
        std::sort(sorted.begin(), sorted.end());
        const Bitmap fromShuffled = fromValues(shuffled);
        const Bitmap fromSorted = fromValues(sorted);
        EXPECT_EQ(keysOf(fromShuffled), keysOf(fromSorted));
        EXPECT_EQ(bytesOf(fromShuffled), bytesOf(fromSorted));
        EXPECT_EQ(fromShuffled.cardinality(), std::set<uint64_t>(sorted.begin(), sorted.end()).size());

        // Into a set that already holds members and an emptied entry.
        Bitmap updated = Bitmap::of({3, 7 * kKey + 9, 40 * kKey});
        updated.remove(40 * kKey);
        Bitmap reference(updated);
        updated.addMany(shuffled.size(), shuffled.data());
        reference.addMany(sorted.size(), sorted.data());
        EXPECT_EQ(keysOf(updated), keysOf(reference));
        EXPECT_EQ(bytesOf(updated), bytesOf(reference));
    }
}

}  // namespace
}  // namespace morvane::storage::testing
