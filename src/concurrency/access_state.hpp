#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace morvane::concurrency {

enum class Access : uint8_t { Read, Write };

// Who is using one object now: some readers, or one writer. It belongs to its
// object: copies and moves of the object start with a free state of their own.
//
// The rule: readers share an object, a writer has it alone. Claims on several
// objects are taken together or not at all (under one process-wide mutex), so
// no caller holds one object while waiting for another and nothing deadlocks.
// Releases only ever free an object and wake the callers waiting for one.
class AccessState {
public:
    AccessState() = default;
    AccessState(const AccessState &) noexcept {}
    AccessState &operator=(const AccessState &) noexcept { return *this; }
    ~AccessState() = default;

    // Whether a call needing `access` could start now. One load: callers that
    // cannot be overtaken between this check and their work (a call holding
    // the interpreter lock, against claims that are only taken under it) use
    // it instead of a claim.
    bool admits(Access access) const noexcept {
        // Sequentially consistent (a plain load on common processors): a
        // waiter's check and a release's look at the waiters pair up.
        const int64_t users = users_.load(std::memory_order_seq_cst);
        return access == Access::Read ? users >= 0 : users == 0;
    }

private:
    friend class ClaimSet;
    static constexpr int64_t kWriter = -1;

    // The number of readers, kWriter, or 0 when free.
    std::atomic<int64_t> users_{0};
};

struct Claim {
    AccessState *state;
    Access access;
};

// The claims of one call. Owns nothing: the caller keeps `claims` and the
// objects alive while the set is used, and releases what it took.
class ClaimSet {
public:
    // Sorts and merges `claims` in place (one object claimed twice counts
    // once, as a writer if either claim writes).
    ClaimSet(Claim *claims, size_t count) noexcept : claims_(claims), count_(count) {
        if (count > 1) merge();
    }

    // Whether every claim could be taken now (lock-free loads).
    bool admitted() const noexcept;
    // Takes every claim when all are admitted, none otherwise.
    bool tryTake() noexcept;
    // Blocks, without busy waiting, until admitted() held at some moment since
    // the call; takes nothing. Another caller may take an object first.
    void waitUntilAdmitted() const;
    // Gives back what tryTake() took and wakes the waiting callers.
    void release() noexcept;

private:
    void merge() noexcept;

    Claim *claims_;
    size_t count_;
};

}  // namespace morvane::concurrency
