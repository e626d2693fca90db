// Python class Bitmap. Names are registered in their published order; each
// binding converts its arguments, calls one operation of the position set and
// converts the result.
#include <cstdint>
#include <optional>
#include <stdexcept>

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include "python/casters.hpp"
#include "python/registration.hpp"
#include "python/change_tracker.hpp"

namespace py = pybind11;
using morvane::storage::Bitmap;

namespace morvane::python {

namespace {

constexpr uint64_t kLastPosition = UINT64_MAX;

// NumPy's ENSUREARRAY | FORCECAST: any array-like, cast to uint64; a uint64
// array is used in place whatever its strides.
using PositionArray = py::array_t<uint64_t, py::array::forcecast>;

Bitmap fromPositions(const std::optional<PositionArray> &indices) {
    Bitmap result;
    if (!indices) return result;
    indices->unchecked<1>();  // throws the dimension message for ndim != 1
    const auto count = static_cast<size_t>(indices->shape(0));
    const auto stride = indices->strides(0);
    const auto *bytes = reinterpret_cast<const char *>(indices->data());
    if (stride == sizeof(uint64_t)) {
        result.addMany(count, reinterpret_cast<const uint64_t *>(bytes));
    } else {
        for (size_t i = 0; i < count; ++i, bytes += stride) {
            result.add(*reinterpret_cast<const uint64_t *>(bytes));
        }
    }
    return result;
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

}  // namespace

void registerBitmap(py::module_ &module) {
    py::class_<Bitmap> cls(module, "Bitmap");
    const auto none = py::none();

    cls.def(py::init(&fromPositions), py::arg("indices") = none,
            "A set of unsigned 64-bit positions, optionally filled from an array of positions.");
    cls.def("copy", [](const Bitmap &self) { return Bitmap(self); }, "A deep copy.");

    cls.def_property_readonly("cardinality", &Bitmap::cardinality, "Number of members.");
    cls.def_property_readonly("empty", &Bitmap::isEmpty, "Whether the set has no member.");
    cls.def_property_readonly("first", &Bitmap::first, "Smallest member, or None.");
    cls.def_property_readonly("last", &Bitmap::last, "Largest member, or None.");

    cls.def("contains", &Bitmap::contains, py::arg("position"), "Whether position is a member.");
    cls.def("all", &Bitmap::all, py::arg("startInc"), py::arg("endEx"),
            "Whether every position of [startInc, endEx) is a member (keys without entries fail).");
    cls.def("any", &Bitmap::any, py::arg("startInc"), py::arg("endEx"),
            "Whether some position of [startInc, endEx) is a member.");
    cls.def("__len__", &Bitmap::cardinality);
    cls.def("__contains__", &Bitmap::contains, py::arg("position"));

    cls.def(
        "set",
        [](Bitmap &self, uint64_t position, std::optional<uint64_t> endEx) {
            noteChange(self);
            if (endEx) {
                self.addRange(position, *endEx);
            } else {
                self.add(position);
            }
        },
        py::arg("position"), py::arg("endEx") = none,
        "Adds position, or every position of [position, endEx).");
    cls.def(
        "unset",
        [](Bitmap &self, uint64_t position, std::optional<uint64_t> endEx) {
            noteChange(self);
            if (endEx) {
                self.removeRange(position, *endEx);
            } else {
                self.remove(position);
            }
        },
        py::arg("position"), py::arg("endEx") = none,
        "Removes position, or every position of [position, endEx).");
    cls.def(
        "flip",
        [](Bitmap &self, uint64_t position, std::optional<uint64_t> endEx) {
            if (endEx && position >= *endEx) throw std::runtime_error("Invalid range.");
            noteChange(self);
            if (endEx) {
                self.flip(position, *endEx);
            } else {
                flipOne(self, position);
            }
        },
        py::arg("position"), py::arg("endEx"),
        "Toggles every position of [position, endEx), or position alone when endEx is None.");
}

}  // namespace morvane::python
