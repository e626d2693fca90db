// The native part of the package's bulk functions (morvane_rec.contains_many
// and the others), in the private submodule `_bulk`. The package checks and
// converts the arrays; these take C-contiguous uint64 arrays.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include <pybind11/numpy.h>

#include "bindings/casters.hpp"
#include "bindings/registration.hpp"

namespace py = pybind11;
using morvane::storage::Bitmap;

namespace morvane::bindings {

namespace {

using Values = py::array_t<uint64_t, py::array::c_style | py::array::forcecast>;

template <typename Out, typename Each>
py::array_t<Out> mapValues(const Values &values, Each each) {
    const auto count = static_cast<size_t>(values.size());
    py::array_t<Out> result(static_cast<py::ssize_t>(count));
    const uint64_t *in = values.data();
    Out *out = result.mutable_data();
    for (size_t i = 0; i < count; ++i) out[i] = each(in[i], i);
    return result;
}

py::array_t<uint64_t> toArray(const std::vector<uint64_t> &values) {
    py::array_t<uint64_t> result(static_cast<py::ssize_t>(values.size()));
    std::copy(values.begin(), values.end(), result.mutable_data());
    return result;
}

}  // namespace

void registerBulk(py::module_ &module) {
    py::module_ bulk = module.def_submodule("_bulk", "Native part of morvane_rec's bulk functions.");
    bulk.def(
        "contains_many",
        [](const Bitmap &bitmap, const Values &positions) {
            return mapValues<bool>(positions, [&](uint64_t p, size_t) { return bitmap.contains(p); });
        },
        "Whether each position is a member.");
    bulk.def(
        "lower_cardinality_many",
        [](const Bitmap &bitmap, const Values &positions) {
            return mapValues<uint64_t>(positions,
                                       [&](uint64_t p, size_t) { return bitmap.lowerCardinality(p); });
        },
        "Members below each position.");
    bulk.def(
        "nth_many",
        [](const Bitmap &bitmap, const Values &ordinals) {
            const uint64_t count = bitmap.cardinality();
            return mapValues<uint64_t>(ordinals, [&](uint64_t ordinal, size_t index) {
                if (ordinal >= count) {
                    throw py::index_error("ordinal " + std::to_string(ordinal) + " at index " +
                                          std::to_string(index) + " is past the last member (cardinality " +
                                          std::to_string(count) + ")");
                }
                return bitmap.nth(ordinal);
            });
        },
        "Member of each 0-based ordinal.");
    bulk.def(
        "runs",
        [](const Bitmap &bitmap) {
            std::vector<uint64_t> firsts, lasts;
            bitmap.runs(firsts, lasts);
            return py::make_tuple(toArray(firsts), toArray(lasts));
        },
        "First and last member of each maximal run.");
    bulk.def("intersection_cardinality", &Bitmap::intersectionCardinality, "Members of both.");
}

}  // namespace morvane::bindings
