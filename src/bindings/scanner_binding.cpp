// Python class MemoryScanner.
#include <utility>

#include <pybind11/stl.h>

#include "bindings/buffers.hpp"
#include "bindings/casters.hpp"
#include "bindings/registration.hpp"
#include "scanner/memory_scanner.hpp"

namespace py = pybind11;

namespace morvane::bindings {

void registerMemoryScanner(py::module_ &module) {
    py::class_<MemoryScanner> cls(module, "MemoryScanner");
    cls.def(py::init<>(), "A scanner with its own parser; reuse it for many buffers.");
    // The buffer has no keyword name: it can only be passed by position.
    cls.def(
        "scan",
        [](MemoryScanner &self, const py::buffer &buffer) {
            ByteView bytes = requestBytes(buffer, false);
            auto result = self.scan(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
            return std::pair<uint64_t, uint64_t>(result.documents, result.coveredBytes);
        },
        "(documents, covered bytes): the complete JSON documents at the front of the buffer "
        "and the length of the leading part they occupy.");
}

}  // namespace morvane::bindings
