// Changes that prepare their allocations: the same containers as CRoaring's
// own functions, and nothing changed when any one allocation fails.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <iostream>
#include <new>
#include <random>
#include <string>
#include <unordered_map>
#include <utility>

#include "storage/bitmap_test_support.hpp"

using namespace morvane::storage;
using namespace morvane::storage::testing;

namespace {

// CRoaring's allocations, failing the one numbered `failAt` (from 1) when set.
// Live allocations are tracked: CRoaring leaks what it had allocated for a step
// that failed, and the test frees it (and says how much) so that the leak
// checkers see only our own.
long allocations = 0;
long failAt = 0;
std::unordered_map<void *, size_t> live;
size_t leakedBytes = 0;

void *counted(void *memory, size_t size) {
    if (memory == nullptr || ++allocations == failAt) {
        std::free(memory);
        throw std::bad_alloc();
    }
    live[memory] = size;
    return memory;
}

void uncounted(void *memory) {
    live.erase(memory);
    std::free(memory);
}

// The counting hook for one test; the core's own hook afterwards, since the
// counting one is not safe across threads.
struct CountingHook {
    CountingHook();
    CountingHook(const CountingHook &) = delete;
    CountingHook &operator=(const CountingHook &) = delete;
    ~CountingHook() { morvane::storage::installRoaringAllocator(); }
};

CountingHook::CountingHook() {
    roaring_init_memory_hook({
        [](size_t size) { return counted(std::malloc(size == 0 ? 1 : size), size); },
        [](void *memory, size_t size) -> void * {
            if (++allocations == failAt) throw std::bad_alloc();
            // Taken out before the call: the old pointer is not to be used after it.
            auto entry = live.extract(memory);
            void *moved = std::realloc(memory, size == 0 ? 1 : size);
            if (moved == nullptr) {
                live.insert(std::move(entry));
                throw std::bad_alloc();
            }
            live[moved] = size;
            return moved;
        },
        [](size_t count, size_t size) {
            return counted(std::calloc(count == 0 ? 1 : count, size == 0 ? 1 : size), count * size);
        },
        uncounted,
        [](size_t alignment, size_t size) {
            void *memory = nullptr;
            if (posix_memalign(&memory, alignment, size == 0 ? 1 : size) != 0) memory = nullptr;
            return counted(memory, size);
        },
        uncounted,
    });
}

std::string imageOf(const Bitmap &bitmap, bool portable) {
    std::string image(bitmap.persistedSize(portable), '\0');
    bitmap.write(image.data(), portable);
    return image;
}

// Every kind of container in two neighbouring keys, and a key of its own.
Bitmap mixedSet(std::mt19937_64 &random) {
    Bitmap bitmap;
    for (uint64_t base : {uint64_t{0}, kKey, 7 * kKey}) {
        for (int i = 0; i < 200; ++i) bitmap.add(base + random() % (1u << 20));                // arrays
        for (int i = 0; i < 9000; ++i) bitmap.add(base + (3u << 16) + random() % (1u << 16));  // a bitset
        bitmap.addRange(base + (5u << 16) + 100, base + (5u << 16) + 900);                     // runs
        bitmap.addRange(base + (6u << 16) + 7, base + (8u << 16) + 3);
    }
    // Full containers with no spare room, as after reading a frame.
    const size_t size = bitmap.persistedSize(true, true, true);
    std::string image(size, '\0');
    bitmap.write(image.data(), true);
    return Bitmap::read(image.data(), image.size(), true);
}

// Runs `change` on a copy of `start` with the n-th allocation failing, for
// every n up to 64 and then every 1.25-th, until it succeeds: each failure
// must leave the copy as it was.
void expectStrongGuarantee(const Bitmap &start, const std::function<void(Bitmap &)> &change,
                           const char *name) {
    const std::string before = imageOf(start, true);
    for (long failing = 1;; failing = failing < 64 ? failing + 1 : failing * 5 / 4) {
        live.clear();
        bool failed = false;
        {
            Bitmap copy = start;
            allocations = 0;
            failAt = failing;
            try {
                change(copy);
            } catch (const std::bad_alloc &) {
                failed = true;
            }
            failAt = 0;
            if (failed) {
                ASSERT_EQ(imageOf(copy, true), before)
                    << name << " changed the set when allocation " << failing << " failed";
                ASSERT_EQ(imageOf(copy, false), imageOf(start, false)) << name << ", allocation " << failing;
            }
        }
        EXPECT_TRUE(failed || live.empty()) << name << " leaked after it succeeded";
        for (const auto &[memory, size] : live) {
            leakedBytes += size;
            std::free(memory);
        }
        live.clear();
        if (!failed) return;
    }
}

}  // namespace

TEST(FailedAllocation, RangeEditsGiveCRoaringsOwnContainers) {
    std::mt19937_64 random(7);
    for (int round = 0; round < 300; ++round) {
        const Bitmap start = mixedSet(random);
        const SlotBitmap &slot = start.entries().begin()->second;
        const uint32_t first = random() % (12u << 16);
        const uint32_t last = first + static_cast<uint32_t>(random() % (1u << (random() % 20)));
        SlotBitmap ours = slot;
        roaring_bitmap_t *theirs = roaring_bitmap_copy(slot.raw());
        switch (round % 3) {
            case 0:
                ours.addRangeClosed(first, last);
                roaring_bitmap_add_range_closed(theirs, first, last);
                break;
            case 1:
                ours.removeRangeClosed(first, last);
                roaring_bitmap_remove_range_closed(theirs, first, last);
                break;
            default:
                ours.flip(first, uint64_t{last} + 1);
                roaring_bitmap_flip_inplace(theirs, first, uint64_t{last} + 1);
        }
        for (bool portable : {true, false}) {
            std::string a(ours.serializedSize(portable), '\0'), b(ours.serializedSize(portable), '\0');
            ours.serialize(a.data(), portable);
            ASSERT_EQ(portable ? roaring_bitmap_portable_size_in_bytes(theirs)
                               : roaring_bitmap_size_in_bytes(theirs),
                      a.size());
            if (portable) {
                roaring_bitmap_portable_serialize(theirs, b.data());
            } else {
                roaring_bitmap_serialize(theirs, b.data());
            }
            ASSERT_EQ(a, b) << "round " << round << " [" << first << ", " << last << "]";
        }
        roaring_bitmap_free(theirs);
    }
}

TEST(FailedAllocation, PointChangesGiveCRoaringsOwnContainers) {
    // Arrays around the size where they turn into bitsets (4096), a bitset
    // and runs, changed point by point on both sides: same containers, same
    // counts, after every step.
    std::mt19937_64 random(13);
    SlotBitmap ours;
    roaring_bitmap_t *theirs = roaring_bitmap_create();
    for (uint32_t low = 0; low < 4096; ++low) ours.add(low * 16), roaring_bitmap_add(theirs, low * 16);
    ours.addRangeClosed(3u << 16, (3u << 16) + 5000);
    roaring_bitmap_add_range_closed(theirs, 3u << 16, (3u << 16) + 5000);
    for (int step = 0; step < 20000; ++step) {
        const uint32_t container = static_cast<uint32_t>(random() % 4);
        const uint32_t value = container << 16 | static_cast<uint32_t>(random() % (step % 2 ? 16 : 1u << 16));
        const bool adding = random() % 2 == 0;
        const bool changed = adding ? ours.add(value) : ours.remove(value);
        const bool theirsChanged =
            adding ? roaring_bitmap_add_checked(theirs, value) : roaring_bitmap_remove_checked(theirs, value);
        ASSERT_EQ(changed, theirsChanged) << step;
        ASSERT_EQ(ours.cardinality(), roaring_bitmap_get_cardinality(theirs)) << step;
        if (step % 97 != 0) continue;
        std::string a(ours.serializedSize(true), '\0'),
            b(roaring_bitmap_portable_size_in_bytes(theirs), '\0');
        ours.serialize(a.data(), true);
        roaring_bitmap_portable_serialize(theirs, b.data());
        ASSERT_EQ(a, b) << step;
    }
    roaring_bitmap_free(theirs);
}

TEST(FailedAllocation, PointRangeFlipAndShiftChangeNothingWhenAnAllocationFails) {
    std::mt19937_64 random(11);
    const Bitmap start = mixedSet(random);
    const CountingHook hook;
    for (int round = 0; round < 40; ++round) {
        const uint64_t base = (round % 2 ? kKey : 0) + random() % (12u << 16);
        const uint64_t span = random() % (uint64_t{1} << (random() % 34));
        expectStrongGuarantee(start, [&](Bitmap &b) { b.add(base); }, "add");
        expectStrongGuarantee(start, [&](Bitmap &b) { b.add(base + (3u << 20)); }, "add to a new container");
        expectStrongGuarantee(start, [&](Bitmap &b) { b.add(base + 3 * kKey); }, "add to a new entry");
        expectStrongGuarantee(start, [&](Bitmap &b) { b.flip(base + 4 * kKey); }, "flip in a new entry");
        expectStrongGuarantee(
            start, [&](Bitmap &b) { b.addRange(base + 5 * kKey, base + 5 * kKey + span); },
            "addRange from a new entry");
        expectStrongGuarantee(start, [&](Bitmap &b) { b.remove(base); }, "remove");
        expectStrongGuarantee(start, [&](Bitmap &b) { b.flip(base); }, "flip");
        expectStrongGuarantee(start, [&](Bitmap &b) { b.addRange(base, base + span); }, "addRange");
        expectStrongGuarantee(start, [&](Bitmap &b) { b.removeRange(base, base + span); }, "removeRange");
        expectStrongGuarantee(start, [&](Bitmap &b) { b.flip(base, base + span); }, "flip range");
        expectStrongGuarantee(start, [&](Bitmap &b) { b.expand(base, span % kKey); }, "expand");
        const uint64_t low = base & (kKey - 1);
        if (low > 1)
            expectStrongGuarantee(start, [&](Bitmap &b) { b.contract(base, span % (low - 1)); }, "contract");
    }
    // Every point of a full array and a full run container, where CRoaring grows them in place.
    for (uint64_t position : {uint64_t{5} << 16 | 99, uint64_t{5} << 16 | 500, uint64_t{5} << 16 | 901}) {
        expectStrongGuarantee(start, [&](Bitmap &b) { b.add(position); }, "add beside a run");
        expectStrongGuarantee(start, [&](Bitmap &b) { b.remove(position - 1); }, "split a run");
    }
    std::cout << "CRoaring leaked " << leakedBytes << " bytes over every failed step\n";
}
