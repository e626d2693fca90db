// Python class MemoryScanner.
#include <utility>

#include <pybind11/stl.h>

#include "bindings/buffers.hpp"
#include "bindings/casters.hpp"
#include "bindings/guarded_call.hpp"
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
            // The buffer stays held (Py_buffer) while the scan runs without the lock.
            ByteView bytes = requestBytes(buffer, false);
            const auto *data = reinterpret_cast<const uint8_t *>(bytes.data());
            // The parser and its buffers are the scanner's state: a scan writes it.
            auto result = LongCall(writes(self), isLong(bytes.size(), kLongBytes)).run([&] {
                return self.scan(data, bytes.size());
            });
            return std::pair<uint64_t, uint64_t>(result.documents, result.coveredBytes);
        },
        "(documents, covered bytes): the complete JSON documents at the front of the buffer "
        "and the length of the leading part they occupy.");
}

}  // namespace morvane::bindings
