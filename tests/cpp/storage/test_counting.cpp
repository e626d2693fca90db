// Counting queries answer from counts kept between calls; these tests hold
// them to a std::set model across changes and to a walk under concurrent reads.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <random>
#include <set>
#include <thread>

#include "bitmap_test_support.hpp"

namespace morvane::storage::testing {
namespace {

// Many entries (several blocks of them, walked through the lookup view once
// nth has been asked often enough) and one slot of many containers.
std::vector<uint64_t> layeredValues(std::mt19937_64 &rng) {
    std::vector<uint64_t> values;
    for (int i = 0; i < 4000; ++i) values.push_back((rng() % 700) * kKey + rng() % (1 << 20));
    for (uint64_t c = 0; c < 2000; ++c) values.push_back(900 * kKey + (c << 16) + rng() % 7);
    for (uint64_t v = 0; v < 100000; ++v) values.push_back(900 * kKey + (uint64_t{3} << 30) + v);
    return values;
}

void expectCountsOf(const Bitmap &bitmap, const std::set<uint64_t> &model, std::mt19937_64 &rng) {
    const std::vector<uint64_t> ordered(model.begin(), model.end());
    ASSERT_EQ(bitmap.cardinality(), ordered.size());
    for (int i = 0; i < 200 && !ordered.empty(); ++i) {
        const uint64_t pick = ordered[rng() % ordered.size()];
        for (const uint64_t p : {pick - 1, pick, pick + 1}) {
            const auto below = std::lower_bound(ordered.begin(), ordered.end(), p) - ordered.begin();
            const auto above = ordered.end() - std::upper_bound(ordered.begin(), ordered.end(), p);
            ASSERT_EQ(bitmap.lowerCardinality(p), uint64_t(below)) << p;
            ASSERT_EQ(bitmap.upperCardinality(p), uint64_t(above)) << p;
        }
        const uint64_t ordinal = rng() % ordered.size();
        ASSERT_EQ(bitmap.nth(ordinal), ordered[ordinal]);
    }
    EXPECT_THROW(bitmap.nth(ordered.size()), std::runtime_error);
}

TEST(BitmapCounting, FollowsRandomChangesLikeASetModel) {
    std::mt19937_64 rng(11);
    const auto values = layeredValues(rng);
    Bitmap bitmap = fromValues(values);
    std::set<uint64_t> model(values.begin(), values.end());
    expectCountsOf(bitmap, model, rng);
    for (int step = 0; step < 300; ++step) {
        const uint64_t base = values[rng() % values.size()];
        switch (rng() % 5) {
            case 0:
                bitmap.add(base + 3);
                model.insert(base + 3);
                break;
            case 1:
                bitmap.remove(base);
                model.erase(base);
                break;
            case 2: {  // a range across a key boundary
                const uint64_t start = (base | (kKey - 1)) - rng() % 300, end = start + rng() % 600;
                bitmap.addRange(start, end);
                for (uint64_t p = start; p < end; ++p) model.insert(p);
                break;
            }
            case 3: {
                const uint64_t end = base + rng() % 100000;
                bitmap.removeRange(base, end);
                model.erase(model.lower_bound(base), model.lower_bound(end));
                break;
            }
            default: {
                Bitmap other = Bitmap::of({base + 1, base + 2, (rng() % 800) * kKey});
                bitmap ^= other;
                for (auto it = other.begin(); it != other.end(); ++it) {
                    if (!model.erase(*it)) model.insert(*it);
                }
            }
        }
        if (step % 10 == 0) expectCountsOf(bitmap, model, rng);
    }
    expectCountsOf(bitmap, model, rng);
}

TEST(BitmapCounting, PointChangesMoveAKnownCountByTheirMember) {
    // Few containers, often created and emptied; the count is read after every
    // change, so each add or remove must adjust it exactly.
    std::mt19937_64 rng(13);
    Bitmap bitmap;
    std::set<uint64_t> model;
    for (int step = 0; step < 20000; ++step) {
        const uint64_t p = 5 * kKey + (rng() % 64) * 65536 + rng() % 8;
        if (rng() % 2 == 0) {
            bitmap.add(p);
            model.insert(p);
        } else {
            bitmap.remove(p);
            model.erase(p);
        }
        ASSERT_EQ(bitmap.cardinality(), model.size()) << "step " << step;
    }
}

TEST(BitmapCounting, PointCallsThatChangeNothingKeepTheCounts) {
    // A slot of many containers keeps block counts once a query took them;
    // adding a member or removing an absent one must not drop them, while
    // still ending iterations (the generation advances).
    std::vector<uint64_t> values;
    for (uint64_t i = 0; i < 400; ++i) values.push_back(kKey + (i << 16) + 7);
    Bitmap bitmap = fromValues(values);
    const auto blocksCounted = [&] { return bitmap.entries().findSlot(1)->blocksCounted(); };
    ASSERT_EQ(bitmap.nth(300), values[300]);
    ASSERT_TRUE(blocksCounted());
    uint64_t generation = bitmap.generation();
    bitmap.add(values[10]);
    bitmap.remove(kKey + 8);
    bitmap.remove(9 * kKey);
    EXPECT_TRUE(blocksCounted());
    EXPECT_GT(bitmap.generation(), generation);
    EXPECT_EQ(bitmap.selfOrNext(values[3] + 1), values[4]);
    EXPECT_TRUE(blocksCounted());
    generation = bitmap.generation();
    bitmap.add(values[10] + 1);
    EXPECT_FALSE(blocksCounted());
    EXPECT_GT(bitmap.generation(), generation);
    EXPECT_EQ(bitmap.nth(11), values[10] + 1);
}

TEST(BitmapCounting, ConcurrentConstQueriesAgreeWithAWalk) {
    // The counts are built by whichever thread needs them first.
    std::mt19937_64 rng(12);
    const auto values = layeredValues(rng);
    const std::set<uint64_t> model(values.begin(), values.end());
    const std::vector<uint64_t> ordered(model.begin(), model.end());
    for (int round = 0; round < 4; ++round) {
        const Bitmap bitmap = fromValues(values);
        std::vector<int> failures(4, 0);
        std::vector<std::thread> readers;
        for (int t = 0; t < 4; ++t) {
            readers.emplace_back([&, t] {
                std::mt19937_64 local(100 + t);
                for (int i = 0; i < 2000; ++i) {
                    const size_t o = local() % ordered.size();
                    failures[t] += bitmap.nth(o) != ordered[o];
                    failures[t] += bitmap.lowerCardinality(ordered[o]) != o;
                    failures[t] += bitmap.cardinality() != ordered.size();
                }
            });
        }
        for (auto &reader : readers) reader.join();
        for (int t = 0; t < 4; ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;
    }
}

TEST(BitmapCounting, CopiesMovesAndReadsStartTheirOwnCounts) {
    std::mt19937_64 rng(13);
    const auto values = layeredValues(rng);
    std::set<uint64_t> model(values.begin(), values.end());
    Bitmap bitmap = fromValues(values);
    expectCountsOf(bitmap, model, rng);
    Bitmap copy = bitmap;
    copy.add(5 * kKey + 5);
    expectCountsOf(bitmap, model, rng);
    std::vector<char> image(bitmap.persistedSize(true));
    bitmap.write(image.data(), true);
    Bitmap moved = std::move(bitmap);
    expectCountsOf(moved, model, rng);
    expectCountsOf(Bitmap::read(image.data(), image.size(), true), model, rng);
    EXPECT_EQ(bitmap.cardinality(), 0u);
    bitmap = copy;
    model.insert(5 * kKey + 5);
    expectCountsOf(bitmap, model, rng);
    // Across container blocks of the large slot and into the next keys.
    const uint64_t at = 900 * kKey + (uint64_t{3} << 30) + 50000, by = 1 << 20;
    moved.contract(at, by);
    std::set<uint64_t> shifted;
    for (const uint64_t p : std::set<uint64_t>(values.begin(), values.end())) {
        if (p <= at - by)
            shifted.insert(p);
        else if (p > at)
            shifted.insert(p - by);
    }
    expectCountsOf(moved, shifted, rng);
}

}  // namespace
}  // namespace morvane::storage::testing
