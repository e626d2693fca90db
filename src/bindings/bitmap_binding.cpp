// Python class Bitmap. Names are registered in their published order; each
// binding converts its arguments, calls one operation of the position set and
// converts the result.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <type_traits>

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include "python/casters.hpp"
#include "python/change_tracker.hpp"
#include "python/conversions.hpp"
#include "python/iteration.hpp"
#include "python/registration.hpp"

namespace py = pybind11;
using morvane::storage::Bitmap;

namespace morvane::python {

namespace {

constexpr uint64_t kLastPosition = UINT64_MAX;

Bitmap fromPositions(const std::optional<PositionArray> &indices) {
    Bitmap result;
    if (!indices) return result;
    indices->unchecked<1>();  // throws the dimension message for ndim != 1
    const auto count = static_cast<size_t>(indices->shape(0));
    const auto stride = indices->strides(0);
    const auto *bytes = reinterpret_cast<const char *>(indices->data());
    const bool aligned = reinterpret_cast<uintptr_t>(bytes) % alignof(uint64_t) == 0;
    if (stride == sizeof(uint64_t) && aligned) {
        result.addMany(count, reinterpret_cast<const uint64_t *>(bytes));
        return result;
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
    return result;
}

// Live iterators end once the set may have changed: after the operation, or
// when it fails part-way. The core raises std::invalid_argument only for
// refusals made before anything changed, which leave iterators running.
template <typename Operation>
decltype(auto) changing(const Bitmap &self, Operation &&operation) {
    try {
        if constexpr (std::is_void_v<decltype(operation())>) {
            operation();
            noteChange(self);
        } else {
            auto result = operation();
            noteChange(self);
            return result;
        }
    } catch (const std::invalid_argument &) {
        throw;
    } catch (...) {
        noteChange(self);
        throw;
    }
}

// flip(position, None) toggles one position; 2^64 - 1 has no exclusive end.
void flipOne(Bitmap &bitmap, uint64_t position) {
    if (position != kLastPosition) {
        bitmap.flip(position, position + 1);
    } else if (bitmap.contains(position)) {
        bitmap.remove(position);
    } else {
        bitmap.add(position);
    }
}

// The in-place forms change the receiver and return a new object holding a copy.
template <Bitmap &(Bitmap::*Operation)(const Bitmap &)>
Bitmap inPlace(Bitmap &self, const Bitmap &other) {
    changing(self, [&] { (self.*Operation)(other); });
    return Bitmap(self);
}

template <typename Class>
void defineAlgebra(Class &cls) {
    const auto other = py::arg("other");
    cls.def("symmetric_difference", &Bitmap::operator^, other, "New set: members of exactly one.");
    cls.def("union", &Bitmap::operator|, other, "New set: members of either.");
    cls.def("intersect", &Bitmap::operator&, other, "New set: members of both.");
    cls.def("difference", &Bitmap::operator-, other, "New set: members of self not in other.");
    cls.def("__or__", &Bitmap::operator|, other, "self | other: a new set, the union.");
    cls.def("__and__", &Bitmap::operator&, other, "self & other: a new set, the intersection.");
    cls.def("__sub__", &Bitmap::operator-, other, "self - other: a new set, the difference.");
    cls.def("__xor__", &Bitmap::operator^, other, "self ^ other: a new set, the symmetric difference.");
    cls.def("__eq__", &Bitmap::operator==, other, "Whether both hold the same members.");
    cls.def("inplace_symmetric_difference", &inPlace<&Bitmap::operator^=>, other,
            "Symmetric difference in place; returns a copy of the result.");
    cls.def("inplace_union", &inPlace<&Bitmap::operator|=>, other,
            "Union in place; returns a copy of the result.");
    cls.def("inplace_intersect", &inPlace<&Bitmap::operator&=>, other,
            "Intersection in place; returns a copy of the result.");
    cls.def("inplace_difference", &inPlace<&Bitmap::operator-=>, other,
            "Difference in place; returns a copy of the result.");
    cls.def("__ior__", &inPlace<&Bitmap::operator|=>, other, "self |= other; rebinds self to a copy of the result.");
    cls.def("__iand__", &inPlace<&Bitmap::operator&=>, other, "self &= other; rebinds self to a copy of the result.");
    cls.def("__isub__", &inPlace<&Bitmap::operator-=>, other, "self -= other; rebinds self to a copy of the result.");
    cls.def("__ixor__", &inPlace<&Bitmap::operator^=>, other, "self ^= other; rebinds self to a copy of the result.");
}

// `position in bitmap` enters through CPython's sq_contains slot, where the
// generic dispatch costs several times the lookup. Plain ints that fit take a
// direct path; everything else goes to the registered __contains__, so its
// conversions and errors stay as they are.
objobjproc registeredContains = nullptr;

int containsSlot(PyObject *self, PyObject *argument) {
    // PyLong_AsUnsignedLongLong takes a slow byte-array path for any int above
    // 2^30; the unsigned long reader does not, and is 64 bits wide here.
    static_assert(sizeof(unsigned long) == sizeof(uint64_t));
    if (PyLong_CheckExact(argument)) {
        const unsigned long position = PyLong_AsUnsignedLong(argument);
        if (position != static_cast<unsigned long>(-1) || !PyErr_Occurred()) {
            auto holder = reinterpret_cast<py::detail::instance *>(self)->get_value_and_holder();
            if (holder.holder_constructed()) return holder.value_ptr<Bitmap>()->contains(position);
        }
        PyErr_Clear();
    }
    return registeredContains(self, argument);
}

void installContainsSlot(py::class_<Bitmap> &cls) {
    PySequenceMethods *methods = reinterpret_cast<PyTypeObject *>(cls.ptr())->tp_as_sequence;
    registeredContains = methods->sq_contains;
    methods->sq_contains = containsSlot;
}

// len() and bool() likewise: the count itself is a few loads once counted.
// Anything unusual (a set made by __new__ alone, a count past Py_ssize_t, a
// full set) goes to the registered __len__ for its errors.
lenfunc registeredSequenceLength = nullptr;
lenfunc registeredMappingLength = nullptr;

template <lenfunc *registered>
Py_ssize_t lengthSlot(PyObject *self) {
    auto holder = reinterpret_cast<py::detail::instance *>(self)->get_value_and_holder();
    if (holder.holder_constructed()) {
        try {
            const uint64_t count = holder.value_ptr<Bitmap>()->cardinality();
            if (count <= static_cast<uint64_t>(PY_SSIZE_T_MAX)) return static_cast<Py_ssize_t>(count);
        } catch (...) {
        }
    }
    return (*registered)(self);
}

void installLengthSlots(py::class_<Bitmap> &cls) {
    auto *type = reinterpret_cast<PyTypeObject *>(cls.ptr());
    registeredSequenceLength = type->tp_as_sequence->sq_length;
    registeredMappingLength = type->tp_as_mapping->mp_length;
    if (registeredSequenceLength) type->tp_as_sequence->sq_length = lengthSlot<&registeredSequenceLength>;
    if (registeredMappingLength) type->tp_as_mapping->mp_length = lengthSlot<&registeredMappingLength>;
}

}  // namespace

void registerBitmap(py::module_ &module) {
    py::class_<Bitmap> cls(module, "Bitmap");
    const auto none = py::none();
    const auto position = py::arg("position");

    cls.def(py::init(&fromPositions), py::arg("indices") = none,
            "A set of unsigned 64-bit positions, optionally filled from an array of positions.");
    cls.def("copy", [](const Bitmap &self) { return Bitmap(self); }, "A deep copy.");
    cls.def("slice", &Bitmap::slice, py::arg("startInc"), py::arg("endInc"),
            "New set of the members in [startInc, endInc): the end is exclusive.");
    cls.def(
        "persisted_size",
        [](Bitmap &self, bool portable, bool optimize, bool shrink) {
            if (!optimize && !shrink) return self.persistedSize(portable, false, false);
            return changing(self, [&] { return self.persistedSize(portable, optimize, shrink); });
        },
        py::arg("portable") = true, py::arg("optimize") = true, py::arg("shrink") = true,
        "Bytes that write() needs; optimize/shrink compact the set itself first.");
    cls.def_static("read", &readFrom, py::arg("buffer"), py::arg("portable") = true,
                   "New set read from the serialized form at the start of buffer.");
    cls.def("write", &writeInto, py::arg("buffer"), py::arg("portable") = true,
            "Writes the serialized form into buffer; returns the bytes written.");

    // Built with is_method so that the stored signature names the receiver `self`.
    const auto property = [&cls](const char *name, auto getter, const char *doc) {
        cls.def_property_readonly(name, py::cpp_function(getter, py::is_method(cls)), doc);
    };
    property("cardinality", &Bitmap::cardinality, "Number of members.");
    property("empty", &Bitmap::isEmpty, "Whether the set has no member.");
    property("first", &Bitmap::first, "Smallest member, or None.");
    property("last", &Bitmap::last, "Largest member, or None.");
    property("in_memory_size", &Bitmap::inMemorySize, "Containers of the run-optimised slots.");

    cls.def("lower_cardinality", &Bitmap::lowerCardinality, position,
            "Number of members below position.");
    cls.def("upper_cardinality", &Bitmap::upperCardinality, position,
            "Number of members above position.");
    cls.def("nth", &Bitmap::nth, py::arg("ordinal"), "Member of 0-based rank ordinal.");
    cls.def(
        "self_or_next",
        [](Bitmap &self, uint64_t position) {
            return changing(self, [&] { return self.selfOrNext(position); });
        },
        position, "position if a member, else the next member, else 0.");
    cls.def(
        "self_or_previous",
        [](Bitmap &self, uint64_t position) {
            return changing(self, [&] { return self.selfOrPrevious(position); });
        },
        position, "position if a member, else the previous member, else 18446744073709551615.");
    cls.def("subset_of", &Bitmap::isSubset, py::arg("other"),
            "Whether every entry of self is covered by other.");
    cls.def("strict_subset_of", &Bitmap::isStrictSubset, py::arg("other"),
            "subset_of(other) and a different cardinality.");

    cls.def("contains", &Bitmap::contains, position, "Whether position is a member.");
    cls.def("all", &Bitmap::all, py::arg("startInc"), py::arg("endEx"),
            "Whether every position of [startInc, endEx) is a member.");
    cls.def("any", &Bitmap::any, py::arg("startInc"), py::arg("endEx"),
            "Whether some position of [startInc, endEx) is a member.");
    cls.def("__len__", &Bitmap::cardinality, "Number of members.");
    installLengthSlots(cls);
    cls.def("__contains__", &Bitmap::contains, position, "position in self.");
    installContainsSlot(cls);
    cls.def(
        "contract",
        [](Bitmap &self, uint64_t position, uint64_t by) {
            changing(self, [&] { self.contract(position, by); });
        },
        position, py::arg("by"),
        "Drops the members in [position - by + 1, position] and moves those above down by by.");
    cls.def(
        "expand",
        [](Bitmap &self, uint64_t position, uint64_t by) {
            changing(self, [&] { self.expand(position, by); });
        },
        position, py::arg("by"), "Moves the members at or above position up by by.");

    cls.def(
        "set",
        [](Bitmap &self, uint64_t position, std::optional<uint64_t> endEx) {
            changing(self, [&] {
                if (endEx) {
                    self.addRange(position, *endEx);
                } else {
                    self.add(position);
                }
            });
        },
        position, py::arg("endEx") = none, "Adds position, or every position of [position, endEx).");
    cls.def(
        "unset",
        [](Bitmap &self, uint64_t position, std::optional<uint64_t> endEx) {
            changing(self, [&] {
                if (endEx) {
                    self.removeRange(position, *endEx);
                } else {
                    self.remove(position);
                }
            });
        },
        position, py::arg("endEx") = none,
        "Removes position, or every position of [position, endEx).");
    cls.def(
        "flip",
        [](Bitmap &self, uint64_t position, std::optional<uint64_t> endEx) {
            if (endEx && position >= *endEx) throw std::runtime_error("Invalid range.");
            changing(self, [&] {
                if (endEx) {
                    self.flip(position, *endEx);
                } else {
                    flipOne(self, position);
                }
            });
        },
        position, py::arg("endEx"),
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
}

}  // namespace morvane::python
