// The native part of the package's bulk functions (morvane_rec.contains_many
// and the others), in the private submodule `_bulk`. The package checks and
// converts the arrays; these take C-contiguous uint64 arrays.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include "bindings/casters.hpp"
#include "bindings/guarded_call.hpp"
#include "bindings/registration.hpp"

namespace py = pybind11;
using morvane::storage::Bitmap;

namespace morvane::bindings {

namespace {

using Values = py::array_t<uint64_t, py::array::c_style | py::array::forcecast>;

// Runs fill(in, count, out) over the values into a new array of their
// length, reading `bitmap`. The arrays stay referenced for the whole call.
template <typename Out, typename Fill>
py::array_t<Out> fillFor(const Bitmap &bitmap, const Values &values, Fill fill) {
    const auto count = static_cast<size_t>(values.size());
    py::array_t<Out> result(static_cast<py::ssize_t>(count));
    const uint64_t *in = values.data();
    Out *out = result.mutable_data();
    LongCall(reads(bitmap), isLong(count, kLongElements)).run([&] { fill(in, count, out); });
    return result;
}

std::vector<Claim> readingAll(const std::vector<const Bitmap *> &inputs) {
    std::vector<Claim> claims;
    claims.reserve(inputs.size());
    for (const Bitmap *input : inputs) claims.push_back(reads(*input));
    return claims;
}

bool anyLong(const std::vector<const Bitmap *> &inputs) {
    // Many small sets make a long call too.
    if (isLong(inputs.size(), kLongContainers)) return true;
    return std::any_of(inputs.begin(), inputs.end(), [](const Bitmap *input) { return isLong(*input); });
}

template <Bitmap (*Combine)(const Bitmap *const *, size_t)>
Bitmap combineAll(const std::vector<const Bitmap *> &inputs) {
    return LongCall(readingAll(inputs), anyLong(inputs)).run([&] {
        return Combine(inputs.data(), inputs.size());
    });
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
            return fillFor<bool>(bitmap, positions, [&](const uint64_t *in, size_t count, bool *out) {
                bitmap.containsMany(in, count, out);
            });
        },
        "Whether each position is a member.");
    bulk.def(
        "lower_cardinality_many",
        [](const Bitmap &bitmap, const Values &positions) {
            return fillFor<uint64_t>(bitmap, positions, [&](const uint64_t *in, size_t count, uint64_t *out) {
                bitmap.lowerCardinalityMany(in, count, out);
            });
        },
        "Members below each position.");
    bulk.def(
        "nth_many",
        [](const Bitmap &bitmap, const Values &ordinals) {
            return fillFor<uint64_t>(bitmap, ordinals, [&](const uint64_t *in, size_t count, uint64_t *out) {
                // Checked under the claim: the set cannot shrink before the answers.
                const uint64_t cardinality = bitmap.cardinality();
                for (size_t i = 0; i < count; ++i) {
                    if (in[i] >= cardinality) {
                        throw py::index_error("ordinal " + std::to_string(in[i]) + " at index " +
                                              std::to_string(i) + " is past the last member (cardinality " +
                                              std::to_string(cardinality) + ")");
                    }
                }
                bitmap.nthMany(in, count, out);
            });
        },
        "Member of each 0-based ordinal.");
    bulk.def(
        "runs",
        [](const Bitmap &bitmap) {
            std::vector<uint64_t> firsts, lasts;
            LongCall(reads(bitmap), isLong(bitmap)).run([&] { bitmap.runs(firsts, lasts); });
            return py::make_tuple(toArray(firsts), toArray(lasts));
        },
        "First and last member of each maximal run.");
    bulk.def(
        "intersection_cardinality",
        [](const Bitmap &bitmap, const Bitmap &other) {
            return LongCall(reads(bitmap), reads(other), isLong(bitmap, other)).run([&] {
                return bitmap.intersectionCardinality(other);
            });
        },
        "Members of both.");
    // The package checks the list's items; pybind11 refuses anything else with TypeError.
    bulk.def("union_all", &combineAll<&Bitmap::unionAll>, "Members of any of the sets.");
    bulk.def("intersection_all", &combineAll<&Bitmap::intersectionAll>, "Members of all of the sets.");
}

}  // namespace morvane::bindings
