#include <gtest/gtest.h>

#include <random>

#include "storage/bitmap_test_support.hpp"

using namespace morvane::storage;
using namespace morvane::storage::testing;

TEST(BitmapRuns, MatchRunsOfTheMembersForEveryContainerKind) {
    std::mt19937_64 random(3);
    for (int round = 0; round < 40; ++round) {
        Bitmap bitmap;
        // Bitsets with random bits and stretches, arrays, runs, and runs that
        // cross container and key boundaries.
        for (int i = 0; i < 6000; ++i) bitmap.add((3u << 16) + random() % (1u << 16));
        for (int i = 0; i < 50; ++i) {
            const uint64_t first = random() % (4 * kKey);
            bitmap.addRange(first, first + random() % 300);
        }
        bitmap.addRange(kKey - 1 - random() % 70000, kKey + random() % 3);
        bitmap.addRange(kMax - random() % 5, kMax);
        bitmap.add(kMax);
        if (round % 2) bitmap.persistedSize(true, true, true);  // run-optimised containers

        std::vector<uint64_t> firsts, lasts, expectedFirsts, expectedLasts;
        bitmap.runs(firsts, lasts);
        for (uint64_t member : membersOf(bitmap)) {
            if (!expectedLasts.empty() && expectedLasts.back() + 1 == member) {
                expectedLasts.back() = member;
            } else {
                expectedFirsts.push_back(member);
                expectedLasts.push_back(member);
            }
        }
        ASSERT_EQ(firsts, expectedFirsts);
        ASSERT_EQ(lasts, expectedLasts);
    }
}
