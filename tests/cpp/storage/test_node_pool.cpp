#include <gtest/gtest.h>

#include <map>
#include <random>

#include "storage/bitmap.hpp"
#include "storage/node_pool.hpp"

using namespace morvane::storage;

namespace {

using PooledMap =
    std::map<uint32_t, uint64_t, std::less<uint32_t>, PoolAllocator<std::pair<const uint32_t, uint64_t>>>;

PooledMap filled(uint32_t count) {
    PooledMap map;
    for (uint32_t key = 0; key < count; ++key) map.emplace(key, uint64_t{key} * 3);
    return map;
}

void expectFilled(const PooledMap &map, uint32_t count) {
    ASSERT_EQ(map.size(), count);
    uint32_t expected = 0;
    for (const auto &[key, value] : map) {
        EXPECT_EQ(key, expected);
        EXPECT_EQ(value, uint64_t{key} * 3);
        ++expected;
    }
}

}  // namespace

TEST(NodePool, FreedNodesAreReusedBeforeNewOnes) {
    NodePool pool;
    void *first = pool.allocate(48);
    void *second = pool.allocate(48);
    EXPECT_NE(first, second);
    pool.deallocate(first, 48);
    EXPECT_EQ(pool.allocate(48), first);
    pool.deallocate(first, 48);
    pool.deallocate(second, 48);
}

// Copies get their own pool, moves and swaps take it along, and a moved-from
// map keeps working; a node freed through the wrong pool would show under the
// address sanitizer.
TEST(NodePool, MapsOwnTheirNodesThroughCopyMoveAndSwap) {
    PooledMap original = filled(5000);
    PooledMap copy = original;
    for (uint32_t key = 0; key < 5000; key += 2) copy.erase(key);
    expectFilled(original, 5000);
    EXPECT_EQ(copy.size(), 2500u);

    PooledMap moved = std::move(original);
    expectFilled(moved, 5000);
    original.emplace(7, 21);  // NOLINT: reused after the move on purpose
    EXPECT_EQ(original.size(), 1u);

    PooledMap assigned = filled(10);
    assigned = moved;  // copy assignment keeps the receiver's pool
    moved.clear();
    expectFilled(assigned, 5000);
    assigned = std::move(original);
    EXPECT_EQ(assigned.size(), 1u);
    std::swap(assigned, copy);
    EXPECT_EQ(assigned.size(), 2500u);
    EXPECT_EQ(copy.size(), 1u);
}

TEST(NodePool, RandomChurnMatchesAPlainMap) {
    std::mt19937 random(11);
    PooledMap pooled;
    std::map<uint32_t, uint64_t> plain;
    for (int step = 0; step < 200000; ++step) {
        const uint32_t key = random() % 3000;
        if (random() % 3 == 0) {
            EXPECT_EQ(pooled.erase(key), plain.erase(key));
        } else {
            pooled[key] = step;
            plain[key] = step;
        }
        if (step % 50000 == 0) {
            pooled.clear();
            plain.clear();
        }
    }
    ASSERT_EQ(pooled.size(), plain.size());
    EXPECT_TRUE(std::equal(pooled.begin(), pooled.end(), plain.begin(), plain.end()));
}

// The inline empty state must be the one CRoaring's own initialiser makes.
TEST(SlotBitmap, EmptyStateMatchesTheLibraryInitialiser) {
    roaring_bitmap_t initialised;
    roaring_bitmap_init_cleared(&initialised);
    const roaring_bitmap_t zeroed{};
    const roaring_array_t &a = initialised.high_low_container, &b = zeroed.high_low_container;
    EXPECT_EQ(a.size, b.size);
    EXPECT_EQ(a.allocation_size, b.allocation_size);
    EXPECT_EQ(a.containers, b.containers);
    EXPECT_EQ(a.keys, b.keys);
    EXPECT_EQ(a.typecodes, b.typecodes);
    EXPECT_EQ(a.flags, b.flags);

    SlotBitmap moved;
    moved.add(5);
    SlotBitmap target(std::move(moved));
    EXPECT_TRUE(moved.isEmpty());  // NOLINT: the moved-from state is specified
    moved.add(9);
    EXPECT_TRUE(moved.contains(9) && target.contains(5) && !target.contains(9));
}
