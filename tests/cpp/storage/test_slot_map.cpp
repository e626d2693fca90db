#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <set>
#include <thread>

#include "storage/bitmap_test_support.hpp"

using namespace morvane::storage;
using namespace morvane::storage::testing;

namespace {

// Enough lookups for the map to switch to its sorted key view, each checked
// against the members found by iteration, which walks the tree itself.
void expectLookupsAgreeWithIteration(Bitmap &bitmap, std::mt19937_64 &random, const char *step) {
    const std::vector<uint64_t> members = membersOf(bitmap);
    const std::set<uint64_t> expected(members.begin(), members.end());
    std::vector<uint64_t> probes;
    for (uint64_t member : members) {
        probes.push_back(member);
        probes.push_back(member + 1);
    }
    for (int i = 0; i < 500; ++i) probes.push_back(random() % (400 * kKey));
    for (int round = 0; round < 2; ++round) {
        for (uint64_t probe : probes) {
            ASSERT_EQ(bitmap.contains(probe), expected.count(probe) == 1) << step << ", probe " << probe;
        }
    }
    // Through the lookup that creates: an existing entry must be found, not replaced.
    if (!members.empty()) {
        const uint64_t member = members[random() % members.size()];
        ASSERT_EQ(bitmap.selfOrNext(member), member) << step;
    }
}

}  // namespace

// Every change of structure must drop the sorted view, or lookups would miss
// new entries or read erased ones (the latter shows under the sanitizer).
TEST(SlotMapView, LookupsFollowEveryChangeOfEntries) {
    std::mt19937_64 random(5);
    const auto scattered = [&random](size_t count) {
        std::vector<uint64_t> values;
        for (size_t i = 0; i < count; ++i) values.push_back(random() % (300 * kKey));
        return fromValues(values);
    };
    Bitmap bitmap = scattered(2000);
    const std::vector<std::pair<const char *, std::function<void(Bitmap &)>>> steps = {
        {"add",
         [&](Bitmap &b) {
             for (int i = 0; i < 50; ++i) b.add(random() % (350 * kKey));
         }},
        {"remove",
         [&](Bitmap &b) {
             for (uint64_t m : membersOf(b))
                 if (m % 3 == 0) b.remove(m);
         }},
        // Short ranges across a key boundary: each creates the entries of both keys.
        {"addRange", [](Bitmap &b) { b.addRange(310 * kKey - 5, 310 * kKey + 5); }},
        {"removeRange", [](Bitmap &b) { b.removeRange(320 * kKey - 9, 320 * kKey + 9); }},
        {"flip", [](Bitmap &b) { b.flip(341 * kKey - 3, 341 * kKey + 2); }},
        {"|=", [&](Bitmap &b) { b |= scattered(300); }},
        {"^=", [&](Bitmap &b) { b ^= scattered(300); }},
        {"&=", [&](Bitmap &b) { b &= scattered(3000) | b.slice(0, 200 * kKey); }},
        {"-=", [&](Bitmap &b) { b -= scattered(500); }},
        {"selfOrPrevious", [](Bitmap &b) { b.selfOrPrevious(390 * kKey); }},
        {"expand", [](Bitmap &b) { b.expand(50 * kKey + 7, kKey - 1); }},
        {"contract", [](Bitmap &b) { b.contract(120 * kKey + 1000, 3); }},
        {"copy assignment", [&](Bitmap &b) { b = scattered(1500); }},
        {"move assignment", [&](Bitmap &b) { b = scattered(1800); }},
        {"read",
         [&](Bitmap &b) {
             Bitmap source = scattered(1200);
             std::vector<char> bytes(source.persistedSize(true, true, true));
             source.write(bytes.data(), true);
             b = Bitmap::read(bytes.data(), bytes.size(), true);
         }},
        {"clear", [](Bitmap &b) { b.clear(); }},
        {"refill", [&](Bitmap &b) { b |= scattered(2500); }},
    };
    expectLookupsAgreeWithIteration(bitmap, random, "start");
    for (const auto &[name, apply] : steps) {
        apply(bitmap);
        expectLookupsAgreeWithIteration(bitmap, random, name);
    }
}

// The view's container key summaries end lookups of positions a slot cannot
// hold: every change that gives an existing slot a new container key must
// reach them, or members would read as absent. Keys 64 apart share a bit.
TEST(SlotMapView, LookupsFollowEveryChangeOfSlotsThatKeepTheEntries) {
    std::mt19937_64 random(9);
    std::vector<uint64_t> values;
    for (uint64_t key = 0; key < 300; ++key) {
        for (int i = 0; i < 4; ++i) values.push_back(key * kKey + (random() % 4) * 65536 + random() % 100);
    }
    Bitmap bitmap = fromValues(values);
    const auto inEveryKey = [](uint64_t containerKey) {
        std::vector<uint64_t> members;
        for (uint64_t key = 0; key < 300; key += 7)
            members.push_back(key * kKey + containerKey * 65536 + key);
        return fromValues(members);
    };
    const std::vector<std::pair<const char *, std::function<void(Bitmap &)>>> steps = {
        {"add", [](Bitmap &b) { b.add(5 * kKey + 70 * 65536 + 1); }},
        {"add again after removing",
         [](Bitmap &b) {
             b.remove(5 * kKey + 70 * 65536 + 1);
             b.add(6 * kKey + 134 * 65536);
         }},
        {"remove a container's last member, add in a key sharing its bit",
         [](Bitmap &b) {
             b.remove(6 * kKey + 134 * 65536);
             b.add(6 * kKey + 198 * 65536 + 5);
         }},
        {"addRange", [](Bitmap &b) { b.addRange(9 * kKey + 100 * 65536 - 3, 9 * kKey + 101 * 65536 + 3); }},
        {"flip", [](Bitmap &b) { b.flip(11 * kKey + 200 * 65536, 11 * kKey + 200 * 65536 + 9); }},
        {"flip one", [](Bitmap &b) { b.flip(12 * kKey + 201 * 65536 + 4); }},
        {"|=", [&](Bitmap &b) { b |= inEveryKey(300); }},
        {"^=", [&](Bitmap &b) { b ^= inEveryKey(400); }},
        {"addMany",
         [](Bitmap &b) {
             const uint64_t more[] = {13 * kKey + 500 * 65536, 14 * kKey + 501 * 65536 + 2, 2 * kKey + 9};
             b.addMany(3, more);
         }},
        {"expand", [](Bitmap &b) { b.expand(20 * kKey + 3 * 65536, 700 * 65536); }},
        {"selfOrNext", [](Bitmap &b) { b.selfOrNext(21 * kKey + 900 * 65536); }},
    };
    expectLookupsAgreeWithIteration(bitmap, random, "start");
    for (const auto &[name, apply] : steps) {
        apply(bitmap);
        expectLookupsAgreeWithIteration(bitmap, random, name);
    }
}

// Summaries are taken by whichever call reads a slot first: a set that
// changes nothing, a rank or a select. Removals then skip the slots whose
// summary rules a position out, so a summary missing a container loses them.
TEST(SlotMapView, SummariesTakenByReadsThatChangeNothingHoldForLaterRemovals) {
    const std::vector<std::pair<const char *, std::function<void(Bitmap &, uint64_t)>>> readers = {
        {"set of a member", [](Bitmap &b, uint64_t member) { b.add(member); }},
        {"nth", [](Bitmap &b, uint64_t member) { ASSERT_EQ(b.nth(b.lowerCardinality(member)), member); }},
        {"lowerCardinality", [](Bitmap &b, uint64_t member) { b.lowerCardinality(member); }},
    };
    for (const auto &[name, read] : readers) {
        std::mt19937_64 random(11);
        std::vector<uint64_t> values;
        for (uint64_t key = 0; key < 300; ++key) {
            for (int i = 0; i < 6; ++i)
                values.push_back(key * kKey + (random() % 40) * 65536 + random() % 100);
        }
        Bitmap bitmap = fromValues(values);
        std::set<uint64_t> expected(values.begin(), values.end());
        // Lookups of missing keys build the view and read no slot.
        for (int i = 0; i < 20; ++i) ASSERT_FALSE(bitmap.contains((1000 + i) * kKey));
        for (uint64_t member : expected) read(bitmap, member);
        std::vector<uint64_t> order(expected.begin(), expected.end());
        std::shuffle(order.begin(), order.end(), random);
        for (uint64_t member : order) {
            const uint64_t other = member + 65536 * (1 + random() % 3);  // mostly absent
            bitmap.remove(other);
            expected.erase(other);
            bitmap.remove(member);
            expected.erase(member);
        }
        EXPECT_EQ(membersOf(bitmap), std::vector<uint64_t>(expected.begin(), expected.end())) << name;
    }
}

TEST(SlotMapView, ContractErasesEntriesTheViewHeld) {
    Bitmap bitmap;
    for (uint64_t key = 0; key < 200; ++key) bitmap.add(key * kKey + 10);
    for (int i = 0; i < 100; ++i) EXPECT_TRUE(bitmap.contains(150 * kKey + 10));
    bitmap.contract(150 * kKey + 10, 1);  // empties and erases key 150
    EXPECT_FALSE(bitmap.contains(150 * kKey + 10));
    EXPECT_TRUE(bitmap.contains(151 * kKey + 9));
    EXPECT_EQ(bitmap.cardinality(), 199u);
}

// Readers on several threads share one view, built once by whichever gets there.
TEST(SlotMapView, ConcurrentReadersAgree) {
    std::mt19937_64 random(9);
    std::vector<uint64_t> values;
    for (int i = 0; i < 20000; ++i) values.push_back(random() % (5000 * kKey));
    const Bitmap bitmap = fromValues(values);
    const std::set<uint64_t> expected(values.begin(), values.end());
    std::vector<int> mismatches(4, 0);
    std::vector<std::thread> readers;
    for (size_t t = 0; t < mismatches.size(); ++t) {
        readers.emplace_back([&, t] {
            for (int round = 0; round < 3; ++round) {
                for (uint64_t value : values) {
                    mismatches[t] += !bitmap.contains(value) + bitmap.contains(value + kKey / 2) -
                                     static_cast<int>(expected.count(value + kKey / 2));
                }
            }
        });
    }
    for (auto &reader : readers) reader.join();
    EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

TEST(SlotMapView, SelfMoveKeepsTheEntries) {
    Bitmap bitmap = Bitmap::of({5, kKey + 5});
    Bitmap &alias = bitmap;
    bitmap = std::move(alias);
    EXPECT_EQ(membersOf(bitmap), (std::vector<uint64_t>{5, kKey + 5}));
    EXPECT_EQ(keysOf(bitmap), (std::vector<uint32_t>{0, 1}));
}

// Large views search through a directory of buckets from their first to their
// last key: keys at both ends of the key space, in clusters and alone must all
// be found, and no other; so must keys of a narrow span far from key 0, probed
// below, inside and above it.
TEST(SlotMapView, LargeViewsFindEveryKeyThroughTheirDirectory) {
    std::mt19937_64 random(9);
    std::vector<uint64_t> values;
    for (uint64_t key : {uint64_t{0}, uint64_t{1}, uint64_t{65535}, uint64_t{65536}, uint64_t{UINT32_MAX}}) {
        values.push_back(key * kKey + 7);
    }
    for (int i = 0; i < 20000; ++i) values.push_back((random() % (uint64_t{1} << 32)) * kKey + 3);
    for (int i = 0; i < 3000; ++i) values.push_back((uint64_t{0x12345678} + i) * kKey);
    Bitmap bitmap = fromValues(values);
    expectLookupsAgreeWithIteration(bitmap, random, "directory");

    std::vector<uint64_t> narrow;
    for (uint64_t key = 300; key < 300 + 3000; key += 1 + random() % 2) narrow.push_back(key * kKey + 11);
    Bitmap clustered = fromValues(narrow);
    expectLookupsAgreeWithIteration(clustered, random, "narrow span");
}
