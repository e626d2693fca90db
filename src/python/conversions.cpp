#include "python/conversions.hpp"

#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

#include "python/buffers.hpp"

namespace py = pybind11;
using morvane::storage::Bitmap;

namespace morvane::python {

py::array_t<uint64_t> indexArray(const Bitmap &bitmap) {
    const uint64_t count = bitmap.cardinality();
    py::array_t<uint64_t> result(static_cast<py::ssize_t>(count));
    bitmap.copyPositions(result.mutable_data());
    return result;
}

py::array_t<bool> boolArray(const Bitmap &bitmap, bool invert, bool relative) {
    if (bitmap.cardinality() == 0) return py::array_t<bool>(0);
    const uint64_t lo = *bitmap.first(), hi = *bitmap.last();
    const uint64_t offset = relative ? lo : 0;
    const uint64_t length = hi - offset + 1;
    // Covering all 2^64 positions wraps to 0; NumPy refuses 2^63 and more.
    if (length == 0 || length > static_cast<uint64_t>(std::numeric_limits<py::ssize_t>::max())) {
        throw std::length_error("bool_array would need " +
                                (length == 0 ? std::string("2^64") : std::to_string(length)) +
                                " elements");
    }
    py::array_t<bool> result(static_cast<py::ssize_t>(length));
    bool *out = result.mutable_data();
    std::memset(out, invert ? 1 : 0, length);
    const bool member = !invert;
    for (const auto &[key, slot] : bitmap.entries()) {
        const uint64_t high = uint64_t{key} << 32;
        slot.forEachChunk([&](const uint32_t *values, uint32_t count) {
            for (uint32_t i = 0; i < count; ++i) out[(high | values[i]) - offset] = member;
        });
    }
    return result;
}

size_t writeInto(const Bitmap &bitmap, const py::buffer &buffer, bool portable) {
    ByteView bytes = requestBytes(buffer, true);
    const size_t needed = bitmap.persistedSize(portable);
    if (bytes.size() < needed) {
        throw std::length_error("buffer too small for the serialized form: " + std::to_string(needed) +
                                " bytes needed, " + std::to_string(bytes.size()) + " given");
    }
    return static_cast<size_t>(bitmap.write(bytes.data(), portable) - bytes.data());
}

Bitmap readFrom(const py::buffer &buffer, bool portable) {
    ByteView bytes = requestBytes(buffer, false);
    return Bitmap::read(bytes.data(), bytes.size(), portable);
}

}  // namespace morvane::python
