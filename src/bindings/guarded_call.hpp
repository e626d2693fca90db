#pragma once
// Calls that may run on several threads: each marks the sets and scanners it
// uses, and the long ones run without the interpreter lock.
//
// The rule (concurrency/access_state.hpp): readers share an object, a writer
// has it alone; a call that conflicts with one in flight waits for it with the
// interpreter lock released, then runs. A long call takes its claims while it
// holds the lock, releases the lock for its C++ work only (no Python object is
// touched meanwhile; the buffers it reads are held), and gives them back
// before it builds its Python result, so no Python code ever runs while a
// thread holds a claim. A short call on an interpreter with the lock therefore
// only checks: nothing can take a claim between its check and the end of its
// work. Without the lock (free-threaded builds) short calls take claims too.
#include <array>
#include <cstddef>
#include <memory>
#include <vector>

#include <pybind11/pybind11.h>

#include "concurrency/access_state.hpp"
#include "storage/bitmap.hpp"

namespace morvane::bindings {

using concurrency::Access;
using concurrency::AccessState;
using concurrency::Claim;
using concurrency::ClaimSet;

#ifdef Py_GIL_DISABLED
inline constexpr bool kShortCallsClaim = true;
#else
inline constexpr bool kShortCallsClaim = false;
#endif

// Work from which a call releases the interpreter lock (a release and
// reacquire costs about 100 ns, and up to a switch interval when another
// thread runs Python meanwhile): sizes of about 20 us of work each.
inline constexpr size_t kLongContainers = 64;
inline constexpr size_t kLongElements = size_t{1} << 13;
inline constexpr size_t kLongBytes = size_t{1} << 16;

// Whether a call of this much work (in the unit of `threshold`) runs without
// the lock; always, while a test asks for it.
bool isLong(size_t work, size_t threshold) noexcept;
// The same for a call whose work grows with the containers of these sets.
bool isLong(const storage::Bitmap &bitmap) noexcept;
bool isLong(const storage::Bitmap &first, const storage::Bitmap &second) noexcept;

// Called with the lock held: returns once every claim is admitted, taking
// them when `take`; waits with the lock released meanwhile.
void awaitClaims(ClaimSet &claims, bool take);

// Called by a long call once the lock is released; a test may park it there.
void reachedWithoutLock() noexcept;

// A short call on one object, for the duration of its work (which runs no
// Python code). Uncontended on an interpreter with the lock: one load.
class ShortCall {
public:
    ShortCall(AccessState &state, Access access) : claim_{&state, access} {
        if (kShortCallsClaim || !state.admits(access)) awaitClaim(claim_);
    }
    ShortCall(const ShortCall &) = delete;
    ShortCall &operator=(const ShortCall &) = delete;
    ~ShortCall() {
        if (kShortCallsClaim) releaseClaim(claim_);
    }

private:
    static void awaitClaim(Claim &claim);
    static void releaseClaim(Claim &claim) noexcept;

    Claim claim_;
};

// The claims of a call on a set or scanner.
template <typename Object>
Claim reads(const Object &object) {
    return {&object.access(), Access::Read};
}
template <typename Object>
Claim writes(Object &object) {
    return {&object.access(), Access::Write};
}

// work() as a short read of `object`.
template <typename Object, typename Work>
auto shortRead(const Object &object, Work work) {
    ShortCall guard(object.access(), Access::Read);
    return work();
}

// A call on one or more objects that may be long: run(work) runs the work
// holding every claim, without the lock when `withoutLock`.
class LongCall {
public:
    LongCall(Claim claim, bool withoutLock) : LongCall({claim, claim}, 1, withoutLock) {}
    LongCall(Claim first, Claim second, bool withoutLock) : LongCall({first, second}, 2, withoutLock) {}
    // Claims on any number of objects; `claims` may be empty (a new object).
    LongCall(std::vector<Claim> claims, bool withoutLock);
    LongCall(const LongCall &) = delete;
    LongCall &operator=(const LongCall &) = delete;
    ~LongCall() {
        if (taken_) claims_.release();
    }

    template <typename Work>
    auto run(Work &&work) {
        if (!withoutLock_) return work();
        pybind11::gil_scoped_release unlocked;
        reachedWithoutLock();
        return work();
    }

private:
    LongCall(std::array<Claim, 2> claims, size_t count, bool withoutLock);
    // Takes or checks the claims (see ShortCall) once they are in place.
    void begin();

    std::array<Claim, 2> inline_;
    std::vector<Claim> many_;
    ClaimSet claims_;
    bool withoutLock_;
    bool taken_;
};

// Bound functions whose receiver is one short call's object:
// guarded<Access::Read, &Bitmap::nth> has nth's signature and runs it in a
// ShortCall on the receiver.
template <Access Kind, auto Function, typename = decltype(Function)>
struct Guarded;
template <Access Kind, auto Function, typename Result, typename Object, typename... Args>
struct Guarded<Kind, Function, Result (Object::*)(Args...) const> {
    static Result call(const Object &self, Args... args) {
        ShortCall guard(self.access(), Kind);
        return (self.*Function)(args...);
    }
};
template <Access Kind, auto Function, typename Result, typename Object, typename... Args>
struct Guarded<Kind, Function, Result (Object::*)(Args...)> {
    static Result call(Object &self, Args... args) {
        ShortCall guard(self.access(), Kind);
        return (self.*Function)(args...);
    }
};
template <Access Kind, auto Function, typename Result, typename Object, typename... Args>
struct Guarded<Kind, Function, Result (*)(Object &, Args...)> {
    static Result call(Object &self, Args... args) {
        ShortCall guard(self.access(), Kind);
        return Function(self, args...);
    }
};
template <auto Function>
inline constexpr auto reading = &Guarded<Access::Read, Function>::call;
template <auto Function>
inline constexpr auto writing = &Guarded<Access::Write, Function>::call;

// The holder of a Python Bitmap: frees a large set without the interpreter
// lock, since freeing millions of containers takes a third as long as
// building them. Nothing else can reach a set whose object is being freed.
struct UnlockedDelete {
    void operator()(storage::Bitmap *bitmap) const noexcept;
};
using BitmapHolder = std::unique_ptr<storage::Bitmap, UnlockedDelete>;

// The test build's hooks (parking a long call, forcing every call long).
void registerTestHooks(pybind11::module_ &module);

}  // namespace morvane::bindings
