#pragma once

#include <cstddef>
#include <cstdint>

#include <pybind11/pybind11.h>

#include "bindings/guarded_call.hpp"
#include "storage/bitmap.hpp"

namespace morvane::bindings {

// The module-local Python class `iterator`: walks a set's members, fetched in
// blocks, and ends once the set changes (its generation moves).
class MemberIterator {
public:
    MemberIterator(const storage::Bitmap &bitmap, pybind11::object owner);

    enum class Step { Member, End, Changed };
    // The next member into `member`, or why there is none. Once the end is
    // reached the set is not looked at again.
    // Reads the set (a short call on it: it waits while a call changes it).
    Step step(uint64_t &member) {
        if (exhausted) return Step::End;
        ShortCall guard(bitmap.access(), Access::Read);
        // A changed set may have freed the containers the cursor points into.
        if (bitmap.generation() != generation) return Step::Changed;
        if (next == filled && !refill()) return Step::End;
        member = block[next++];
        return Step::Member;
    }
    // step() for the registered __next__: raises StopIteration or RuntimeError.
    uint64_t nextMember();

private:
    static constexpr size_t kBlockMembers = 64;

    bool refill();

    pybind11::object owner;  // the Python set, kept alive while the iterator lives
    const storage::Bitmap &bitmap;
    uint64_t generation;  // of the set when the walk began
    storage::Bitmap::Iterator cursor;
    uint64_t block[kBlockMembers];
    size_t next = 0;
    size_t filled = 0;
    bool exhausted = false;
};

// A new Python iterator over the members of `bitmap`; the caller keeps the
// bitmap's Python object alive for the iterator's life.
pybind11::iterator iterateMembers(const storage::Bitmap &bitmap);

}  // namespace morvane::bindings
