// The cheapest calls pybind11 can make: the baseline that the per-call
// overhead of Bitmap's methods is measured against.
#include <pybind11/pybind11.h>

#include <cstdint>

namespace py = pybind11;

namespace {
struct CallProbe {};
}  // namespace

PYBIND11_MODULE(_morvane_call_probe, module) {
    py::class_<CallProbe>(module, "CallProbe")
        .def(py::init<>())
        .def("empty", [](const CallProbe &) {})
        .def("take", [](const CallProbe &, uint64_t) {});
}
