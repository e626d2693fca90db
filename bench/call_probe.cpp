// Build-tree helpers for bench/compare.py: the cheapest calls pybind11 can
// make (the baseline that Bitmap's per-call overhead is measured against) and
// the memory the counting queries keep between calls.
#include <pybind11/pybind11.h>

#include <malloc.h>

#include <cstdint>
#include <string>

#include "storage/bitmap.hpp"

namespace py = pybind11;

namespace {
struct CallProbe {};

// Reads a portable serialized set, asks for the rank and the select of every
// slot's last member (which builds every part of the index there is) and
// returns the bytes the index holds: what the heap grew by during those
// queries, plus the index object inside the set (each slot's own count sits in
// what was padding of the slot, so it adds nothing).
size_t countingIndexBytes(const py::bytes &serialized) {
    const std::string data = serialized;
    const auto bitmap = morvane::storage::Bitmap::read(data.data(), data.size(), true);
    const size_t heapBefore = mallinfo2().uordblks;
    for (const auto &[key, slot] : bitmap.entries()) {
        if (slot.isEmpty()) continue;
        const uint64_t last = uint64_t{key} << 32 | slot.maximum();
        const uint64_t members = bitmap.lowerCardinality(last);
        if (members > 0) bitmap.nth(members - 1);
    }
    return mallinfo2().uordblks - heapBefore + sizeof(morvane::storage::CountingIndex);
}
}  // namespace

PYBIND11_MODULE(_morvane_call_probe, module) {
    py::class_<CallProbe>(module, "CallProbe")
        .def(py::init<>())
        .def("empty", [](const CallProbe &) {})
        .def("take", [](const CallProbe &, uint64_t) {});
    module.def("counting_index_bytes", &countingIndexBytes);
}
