#include "bindings/guarded_call.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <utility>

namespace py = pybind11;
using morvane::storage::Bitmap;

namespace morvane::bindings {

namespace {

#ifdef MORVANE_TEST_HOOKS
// Set by a test: every call that may run without the lock does.
std::atomic<bool> alwaysLong{false};

// A test parks the next long call once it has released the lock.
struct Parking {
    std::mutex mutex;
    std::condition_variable changed;
    bool armed = false;
    bool parked = false;
    bool released = false;
};
Parking parking;
#endif

// Containers of `bitmap`, counted up to `enough`.
size_t containersUpTo(const Bitmap &bitmap, size_t enough) noexcept {
    size_t containers = 0;
    for (const auto &entry : bitmap.entries()) {
        containers += entry.second.containerCount();
        if (containers >= enough) break;
    }
    return containers;
}

}  // namespace

bool isLong(size_t work, size_t threshold) noexcept {
#ifdef MORVANE_TEST_HOOKS
    if (alwaysLong.load(std::memory_order_relaxed)) return true;
#endif
    return work >= threshold;
}

bool isLong(const Bitmap &bitmap) noexcept {
    return isLong(containersUpTo(bitmap, kLongContainers), kLongContainers);
}

bool isLong(const Bitmap &first, const Bitmap &second) noexcept {
    const size_t some = containersUpTo(first, kLongContainers);
    return isLong(some + containersUpTo(second, kLongContainers - std::min(some, kLongContainers)),
                  kLongContainers);
}

void awaitClaims(ClaimSet &claims, bool take) {
    for (;;) {
        if (take ? claims.tryTake() : claims.admitted()) return;
        py::gil_scoped_release unlocked;
        claims.waitUntilAdmitted();
    }
}

void ShortCall::awaitClaim(Claim &claim) {
    ClaimSet claims(&claim, 1);
    awaitClaims(claims, kShortCallsClaim);
}

void ShortCall::releaseClaim(Claim &claim) noexcept { ClaimSet(&claim, 1).release(); }

LongCall::LongCall(std::array<Claim, 2> claims, size_t count, bool withoutLock)
    : inline_(claims), claims_(inline_.data(), count), withoutLock_(withoutLock) {
    begin();
}

LongCall::LongCall(std::vector<Claim> claims, bool withoutLock)
    : inline_{}, many_(std::move(claims)), claims_(many_.data(), many_.size()), withoutLock_(withoutLock) {
    begin();
}

void LongCall::begin() {
    taken_ = false;
    const bool take = withoutLock_ || kShortCallsClaim;
    if (take || !claims_.admitted()) awaitClaims(claims_, take);
    taken_ = take;
}

void UnlockedDelete::operator()(Bitmap *bitmap) const noexcept {
    if (bitmap != nullptr && PyGILState_Check() && isLong(*bitmap)) {
        PyThreadState *state = PyEval_SaveThread();
        delete bitmap;
        PyEval_RestoreThread(state);
        return;
    }
    delete bitmap;
}

void reachedWithoutLock() noexcept {
#ifdef MORVANE_TEST_HOOKS
    std::unique_lock<std::mutex> hold(parking.mutex);
    if (!parking.armed) return;
    parking.armed = false;
    parking.parked = true;
    parking.changed.notify_all();
    parking.changed.wait(hold, [] { return parking.released; });
    parking.parked = false;
    parking.released = false;
    parking.changed.notify_all();
#endif
}

void registerTestHooks(py::module_ &module) {
#ifdef MORVANE_TEST_HOOKS
    py::module_ testing = module.def_submodule("_testing", "Hooks of the test build.");
    testing.def(
        "always_long", [](bool on) { alwaysLong.store(on); },
        "Every call that may run without the interpreter lock does.");
    testing.def(
        "park_next",
        [] {
            std::lock_guard<std::mutex> hold(parking.mutex);
            parking.armed = true;
        },
        "The next long call waits, without the lock and holding its claims, until unpark().");
    testing.def(
        "wait_parked",
        [](double seconds) {
            py::gil_scoped_release unlocked;
            std::unique_lock<std::mutex> hold(parking.mutex);
            return parking.changed.wait_for(hold, std::chrono::duration<double>(seconds),
                                            [] { return parking.parked; });
        },
        "Whether a call is parked within `seconds`.");
    testing.def(
        "unpark",
        [] {
            std::lock_guard<std::mutex> hold(parking.mutex);
            parking.armed = false;
            if (parking.parked) parking.released = true;
            parking.changed.notify_all();
        },
        "Lets the parked call go on (and disarms park_next).");
#else
    (void)module;
#endif
}

}  // namespace morvane::bindings
