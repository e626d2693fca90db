#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "concurrency/access_state.hpp"

using morvane::concurrency::Access;
using morvane::concurrency::AccessState;
using morvane::concurrency::Claim;
using morvane::concurrency::ClaimSet;

TEST(AccessState, ReadersShareAWriterIsAlone) {
    AccessState a;
    Claim read[] = {{&a, Access::Read}}, again[] = {{&a, Access::Read}}, write[] = {{&a, Access::Write}};
    ClaimSet first(read, 1), second(again, 1), writer(write, 1);
    ASSERT_TRUE(first.tryTake());
    ASSERT_TRUE(second.tryTake());
    EXPECT_FALSE(writer.tryTake());
    first.release();
    EXPECT_FALSE(writer.tryTake());
    second.release();
    ASSERT_TRUE(writer.tryTake());
    EXPECT_FALSE(a.admits(Access::Read));
    EXPECT_FALSE(first.tryTake());
    writer.release();
    EXPECT_TRUE(a.admits(Access::Write));
}

TEST(AccessState, SeveralObjectsAreTakenTogetherOrNotAtAll) {
    AccessState a, b;
    Claim busy[] = {{&b, Access::Write}};
    ClaimSet holder(busy, 1);
    ASSERT_TRUE(holder.tryTake());
    // The same object twice counts once, as a writer: a |= a.
    Claim both[] = {{&a, Access::Read}, {&b, Access::Read}, {&a, Access::Write}};
    ClaimSet claims(both, 3);
    EXPECT_FALSE(claims.tryTake());
    EXPECT_TRUE(a.admits(Access::Write));  // nothing taken by the refusal
    holder.release();
    ASSERT_TRUE(claims.tryTake());
    EXPECT_FALSE(a.admits(Access::Read));
    EXPECT_TRUE(b.admits(Access::Read));
    EXPECT_FALSE(b.admits(Access::Write));
    claims.release();
    EXPECT_TRUE(a.admits(Access::Write) && b.admits(Access::Write));
}

TEST(AccessState, CopiesStartFree) {
    AccessState a;
    Claim write[] = {{&a, Access::Write}};
    ClaimSet writer(write, 1);
    ASSERT_TRUE(writer.tryTake());
    AccessState copy(a);
    EXPECT_TRUE(copy.admits(Access::Write));
    writer.release();
}

TEST(AccessState, ConcurrentWritersNeverOverlapAndWaitersWake) {
    // Threads take a pair of objects in opposite orders; a writer's work must
    // be alone, and nobody deadlocks or loses a wake-up.
    AccessState a, b;
    long long counter = 0;  // written only by holders of a's write claim
    std::atomic<int> inside{0}, overlaps{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 2000; ++i) {
                Claim claims[] = {{t % 2 ? &a : &b, t % 2 ? Access::Write : Access::Read},
                                  {t % 2 ? &b : &a, Access::Write}};
                ClaimSet set(claims, 2);
                while (!set.tryTake()) set.waitUntilAdmitted();
                if (inside.fetch_add(1) != 0) overlaps.fetch_add(1);
                ++counter;
                inside.fetch_sub(1);
                set.release();
            }
        });
    }
    for (auto &thread : threads) thread.join();
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(counter, 8000);
}
