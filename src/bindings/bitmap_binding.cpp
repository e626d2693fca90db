// Python class Bitmap. Names are registered in their published order; each
// binding converts its arguments, calls one operation of the position set and
// converts the result.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <stdexcept>

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include "bindings/casters.hpp"
#include "bindings/conversions.hpp"
#include "bindings/direct_slots.hpp"
#include "bindings/guarded_call.hpp"
#include "bindings/iteration.hpp"
#include "bindings/registration.hpp"

namespace py = pybind11;
using morvane::storage::Bitmap;

namespace morvane::bindings {

namespace {

Bitmap fromPositions(const std::optional<PositionArray> &indices) {
    Bitmap result;
    if (!indices) return result;
    indices->unchecked<1>();  // throws the dimension message for ndim != 1
    const auto count = static_cast<size_t>(indices->shape(0));
    const auto stride = indices->strides(0);
    const auto *bytes = reinterpret_cast<const char *>(indices->data());
    const bool aligned = reinterpret_cast<uintptr_t>(bytes) % alignof(uint64_t) == 0;
    // The array stays referenced by `indices`, so it cannot be freed or resized meanwhile.
    LongCall(std::vector<Claim>{}, isLong(count, kLongElements)).run([&] {
        if (stride == sizeof(uint64_t) && aligned) {
            result.addMany(count, reinterpret_cast<const uint64_t *>(bytes));
            return;
        }
        // Strided or unaligned (a view into a byte buffer at an odd offset):
        // copied into aligned blocks, never read through a misaligned pointer.
        constexpr size_t kBlock = 4096;
        uint64_t block[kBlock];
        for (size_t done = 0; done < count;) {
            const size_t take = std::min(kBlock, count - done);
            for (size_t i = 0; i < take; ++i, bytes += stride) {
                std::memcpy(&block[i], bytes, sizeof(uint64_t));
            }
            result.addMany(take, block);
            done += take;
        }
    });
    return result;
}

// set and unset: one position, or the range [position, endEx) when endEx is given.
template <void (Bitmap::*Point)(uint64_t), void (Bitmap::*Range)(uint64_t, uint64_t)>
void pointOrRange(Bitmap &self, uint64_t position, std::optional<uint64_t> endEx) {
    ShortCall guard(self.access(), Access::Write);
    if (endEx) {
        (self.*Range)(position, *endEx);
    } else {
        (self.*Point)(position);
    }
}

// Calls reading both sets: without the lock when they are large.
template <auto Operation>
auto readingBoth(const Bitmap &self, const Bitmap &other) {
    return LongCall(reads(self), reads(other), isLong(self, other)).run([&] {
        return (self.*Operation)(other);
    });
}

// The in-place forms change the receiver and return a new object holding a copy.
template <Bitmap &(Bitmap::*Operation)(const Bitmap &)>
Bitmap inPlace(Bitmap &self, const Bitmap &other) {
    return LongCall(writes(self), reads(other), isLong(self, other)).run([&] {
        (self.*Operation)(other);
        return Bitmap(self);
    });
}

template <typename Class>
void defineAlgebra(Class &cls) {
    const auto other = py::arg("other");
    constexpr auto exclusive = &readingBoth<&Bitmap::operator^ >;
    constexpr auto either = &readingBoth<&Bitmap::operator| >;
    constexpr auto both = &readingBoth<&Bitmap::operator&>;
    constexpr auto onlySelf = &readingBoth<&Bitmap::operator- >;
    cls.def("symmetric_difference", exclusive, other, "New set: members of exactly one.");
    cls.def("union", either, other, "New set: members of either.");
    cls.def("intersect", both, other, "New set: members of both.");
    cls.def("difference", onlySelf, other, "New set: members of self not in other.");
    cls.def("__or__", either, other, "self | other: a new set, the union.");
    cls.def("__and__", both, other, "self & other: a new set, the intersection.");
    cls.def("__sub__", onlySelf, other, "self - other: a new set, the difference.");
    cls.def("__xor__", exclusive, other, "self ^ other: a new set, the symmetric difference.");
    cls.def("__eq__", &readingBoth<&Bitmap::operator== >, other, "Whether both hold the same members.");
    cls.def("inplace_symmetric_difference", &inPlace<&Bitmap::operator^= >, other,
            "Symmetric difference in place; returns a copy of the result.");
    cls.def("inplace_union", &inPlace<&Bitmap::operator|= >, other,
            "Union in place; returns a copy of the result.");
    cls.def("inplace_intersect", &inPlace<&Bitmap::operator&= >, other,
            "Intersection in place; returns a copy of the result.");
    cls.def("inplace_difference", &inPlace<&Bitmap::operator-= >, other,
            "Difference in place; returns a copy of the result.");
    cls.def("__ior__", &inPlace<&Bitmap::operator|= >, other,
            "self |= other; rebinds self to a copy of the result.");
    cls.def("__iand__", &inPlace<&Bitmap::operator&= >, other,
            "self &= other; rebinds self to a copy of the result.");
    cls.def("__isub__", &inPlace<&Bitmap::operator-= >, other,
            "self -= other; rebinds self to a copy of the result.");
    cls.def("__ixor__", &inPlace<&Bitmap::operator^= >, other,
            "self ^= other; rebinds self to a copy of the result.");
}

Bitmap copyOf(const Bitmap &self) {
    return LongCall(reads(self), isLong(self)).run([&] { return Bitmap(self); });
}

Bitmap sliceOf(const Bitmap &self, uint64_t startInc, uint64_t endInc) {
    return LongCall(reads(self), isLong(self)).run([&] { return self.slice(startInc, endInc); });
}

size_t persistedSize(Bitmap &self, bool portable, bool optimize, bool shrink) {
    // Compacting changes how the set stores its members: a write.
    const Claim claim{&self.access(), optimize || shrink ? Access::Write : Access::Read};
    return LongCall(claim, isLong(self)).run([&] { return self.persistedSize(portable, optimize, shrink); });
}

template <void (Bitmap::*Shift)(uint64_t, uint64_t)>
void shift(Bitmap &self, uint64_t position, uint64_t by) {
    LongCall(writes(self), isLong(self)).run([&] { (self.*Shift)(position, by); });
}

std::optional<uint64_t> selfOrNext(Bitmap &self, uint64_t position) { return self.selfOrNext(position); }
std::optional<uint64_t> selfOrPrevious(Bitmap &self, uint64_t position) {
    return self.selfOrPrevious(position);
}

void flip(Bitmap &self, uint64_t position, std::optional<uint64_t> endEx) {
    // The binding's own check: an empty or reversed range is refused.
    if (endEx && position >= *endEx) throw std::runtime_error("Invalid range.");
    ShortCall guard(self.access(), Access::Write);
    if (endEx) {
        self.flip(position, *endEx);
    } else {
        self.flip(position);
    }
}

}  // namespace

void registerBitmap(py::module_ &module) {
    py::class_<Bitmap, BitmapHolder> cls(module, "Bitmap");
    const auto none = py::none();
    const auto position = py::arg("position");

    cls.def(py::init(&fromPositions), py::arg("indices") = none,
            "A set of unsigned 64-bit positions, optionally filled from an array of positions.");
    cls.def("copy", &copyOf, "A deep copy.");
    cls.def("slice", &sliceOf, py::arg("startInc"), py::arg("endInc"),
            "New set of the members in [startInc, endInc): the end is exclusive.");
    cls.def("persisted_size", &persistedSize, py::arg("portable") = true, py::arg("optimize") = true,
            py::arg("shrink") = true,
            "Bytes that write() needs; optimize/shrink compact the set itself first.");
    cls.def_static("read", &readFrom, py::arg("buffer"), py::arg("portable") = true,
                   "New set read from the serialized form at the start of buffer.");
    cls.def("to_portable64", &toPortable64,
            "The set in the standard portable 64-bit Roaring format, as stored (nothing compacted).");
    cls.def_static("from_portable64", &fromPortable64, py::arg("buffer"),
                   "New set read from a whole buffer in the standard portable 64-bit Roaring format.");
    cls.def("write", &writeInto, py::arg("buffer"), py::arg("portable") = true,
            "Writes the serialized form into buffer; returns the bytes written.");

    // Built with is_method so that the stored signature names the receiver `self`.
    const auto property = [&cls](const char *name, auto getter, const char *doc) {
        cls.def_property_readonly(name, py::cpp_function(getter, py::is_method(cls)), doc);
    };
    property("cardinality", reading<&Bitmap::cardinality>, "Number of members.");
    property("empty", reading<&Bitmap::isEmpty>, "Whether the set has no member.");
    property("first", reading<&Bitmap::first>, "Smallest member, or None.");
    property("last", reading<&Bitmap::last>, "Largest member, or None.");
    property("in_memory_size", reading<&Bitmap::inMemorySize>, "Containers of the run-optimised slots.");

    cls.def("lower_cardinality", reading<&Bitmap::lowerCardinality>, position,
            "Number of members below position.");
    cls.def("upper_cardinality", reading<&Bitmap::upperCardinality>, position,
            "Number of members above position.");
    cls.def("nth", reading<&Bitmap::nth>, py::arg("ordinal"), "Member of 0-based rank ordinal.");
    // They create the entry of position's key when it is missing: writes.
    cls.def("self_or_next", writing<&selfOrNext>, position,
            "position if a member, else the next member, else 0.");
    cls.def("self_or_previous", writing<&selfOrPrevious>, position,
            "position if a member, else the previous member, else 18446744073709551615.");
    cls.def("subset_of", &readingBoth<&Bitmap::isSubset>, py::arg("other"),
            "Whether every entry of self is covered by other.");
    cls.def("strict_subset_of", &readingBoth<&Bitmap::isStrictSubset>, py::arg("other"),
            "subset_of(other) and a different cardinality.");

    cls.def("contains", reading<&Bitmap::contains>, position, "Whether position is a member.");
    cls.def("all", reading<&Bitmap::all>, py::arg("startInc"), py::arg("endEx"),
            "Whether every position of [startInc, endEx) is a member.");
    cls.def("any", reading<&Bitmap::any>, py::arg("startInc"), py::arg("endEx"),
            "Whether some position of [startInc, endEx) is a member.");
    cls.def("__len__", reading<&Bitmap::cardinality>, "Number of members.");
    cls.def("__contains__", reading<&Bitmap::contains>, position, "position in self.");
    cls.def("contract", &shift<&Bitmap::contract>, position, py::arg("by"),
            "Drops the members in [position - by + 1, position] and moves those above down by by.");
    cls.def("expand", &shift<&Bitmap::expand>, position, py::arg("by"),
            "Moves the members at or above position up by by.");

    cls.def("set", &pointOrRange<&Bitmap::add, &Bitmap::addRange>, position, py::arg("endEx") = none,
            "Adds position, or every position of [position, endEx).");
    cls.def("unset", &pointOrRange<&Bitmap::remove, &Bitmap::removeRange>, position, py::arg("endEx") = none,
            "Removes position, or every position of [position, endEx).");
    cls.def("flip", &flip, position, py::arg("endEx"),
            "Toggles every position of [position, endEx), or position alone when endEx is None.");

    defineAlgebra(cls);

    // The iterator holds its set itself rather than through keep_alive: pybind11
    // 3.1 runs keep_alive even after refusing the arguments, on no result.
    cls.def("__iter__", &iterateMembers,
            "The members in ascending order; changing the set ends the iteration.");
    cls.def("index_array", &indexArray, "Members as a new ascending uint64 array.");
    cls.def("bool_array", &boolArray, py::arg("invert") = true, py::arg("relative") = true,
            "Mask from the first member (relative) or 0 to the last member; members are "
            "False when invert, True otherwise.");
    installDirectSlots(cls);
}

}  // namespace morvane::bindings
