#include "concurrency/access_state.hpp"

#include <algorithm>
#include <condition_variable>
#include <mutex>

namespace morvane::concurrency {

namespace {

// One mutex for every object: taking several claims is then one step, and
// waiting is rare enough that sharing it costs nothing measurable.
std::mutex claimsMutex;
std::condition_variable claimsReleased;
// Callers inside waitUntilAdmitted(): releases notify only when there are any.
std::atomic<size_t> waiting{0};

}  // namespace

void ClaimSet::merge() noexcept {
    Claim *claims = claims_;
    const size_t count = count_;
    std::sort(claims, claims + count, [](const Claim &a, const Claim &b) { return a.state < b.state; });
    size_t kept = 0;
    for (size_t i = 0; i < count; ++i) {
        if (kept > 0 && claims[kept - 1].state == claims[i].state) {
            if (claims[i].access == Access::Write) claims[kept - 1].access = Access::Write;
            continue;
        }
        claims[kept++] = claims[i];
    }
    count_ = kept;
}

bool ClaimSet::admitted() const noexcept {
    return std::all_of(claims_, claims_ + count_,
                       [](const Claim &claim) { return claim.state->admits(claim.access); });
}

bool ClaimSet::tryTake() noexcept {
    std::lock_guard<std::mutex> hold(claimsMutex);
    // Every taker holds the mutex, and releases only free: what is admitted
    // here stays admitted until it is taken below.
    if (!admitted()) return false;
    for (size_t i = 0; i < count_; ++i) {
        std::atomic<int64_t> &users = claims_[i].state->users_;
        if (claims_[i].access == Access::Write) {
            users.store(AccessState::kWriter, std::memory_order_release);
        } else {
            users.fetch_add(1, std::memory_order_acq_rel);
        }
    }
    return true;
}

void ClaimSet::waitUntilAdmitted() const {
    std::unique_lock<std::mutex> hold(claimsMutex);
    waiting.fetch_add(1, std::memory_order_seq_cst);
    claimsReleased.wait(hold, [this] { return admitted(); });
    waiting.fetch_sub(1, std::memory_order_relaxed);
}

void ClaimSet::release() noexcept {
    for (size_t i = 0; i < count_; ++i) {
        std::atomic<int64_t> &users = claims_[i].state->users_;
        if (claims_[i].access == Access::Write) {
            users.store(0, std::memory_order_seq_cst);
        } else {
            users.fetch_sub(1, std::memory_order_seq_cst);
        }
    }
    // A waiter counts itself under the mutex before it checks: either it sees
    // the release above, or it is counted here and in its wait once the mutex
    // is passed, so no wake-up is lost.
    if (waiting.load(std::memory_order_seq_cst) == 0) return;
    { std::lock_guard<std::mutex> pass(claimsMutex); }
    claimsReleased.notify_all();
}

}  // namespace morvane::concurrency
