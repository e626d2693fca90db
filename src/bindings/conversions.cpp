#include "bindings/conversions.hpp"

#include <cstring>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>

#include "bindings/buffers.hpp"

namespace py = pybind11;
using morvane::storage::Bitmap;

namespace morvane::bindings {

// Allocating an array can run Python code (the first one imports NumPy's C
// API, any one may collect garbage), and a finaliser may change the set. Each
// result is therefore sized again after its allocation, and filled only when
// the set still has that size; nothing between that check and the fill runs
// Python code.
py::array_t<uint64_t> indexArray(const Bitmap &bitmap) {
    for (;;) {
        const uint64_t count = bitmap.cardinality();
        py::array_t<uint64_t> result(static_cast<py::ssize_t>(count));
        if (bitmap.cardinality() != count) continue;
        bitmap.copyPositions(result.mutable_data());
        return result;
    }
}

namespace {

struct MaskSpan {
    uint64_t offset = 0;
    uint64_t length = 0;  // 0 for an empty set
    bool operator==(const MaskSpan &other) const { return offset == other.offset && length == other.length; }
};

MaskSpan maskSpan(const Bitmap &bitmap, bool relative) {
    if (bitmap.cardinality() == 0) return {};  // a full set raises the cardinality message
    const std::optional<uint64_t> first = bitmap.first(), last = bitmap.last();
    if (!first || !last) return {};
    const uint64_t lo = *first, hi = *last;
    const uint64_t offset = relative ? lo : 0;
    const uint64_t length = hi - offset + 1;
    // Covering all 2^64 positions wraps to 0; NumPy refuses 2^63 and more.
    if (length == 0 || length > static_cast<uint64_t>(std::numeric_limits<py::ssize_t>::max())) {
        throw std::length_error("bool_array would need " +
                                (length == 0 ? std::string("2^64") : std::to_string(length)) + " elements");
    }
    return {offset, length};
}

}  // namespace

py::array_t<bool> boolArray(const Bitmap &bitmap, bool invert, bool relative) {
    MaskSpan span = maskSpan(bitmap, relative);
    py::array_t<bool> result(static_cast<py::ssize_t>(span.length));
    // Sized again after the allocation (see indexArray).
    while (!(maskSpan(bitmap, relative) == span)) {
        span = maskSpan(bitmap, relative);
        result = py::array_t<bool>(static_cast<py::ssize_t>(span.length));
    }
    if (span.length == 0) return result;
    const uint64_t offset = span.offset, length = span.length;
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

py::bytes toPortable64(const Bitmap &bitmap) {
    const size_t size = bitmap.portable64Size();
    // Sized once and written in place: the bytes are never built twice.
    py::bytes result =
        py::reinterpret_steal<py::bytes>(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    if (!result) throw py::error_already_set();
    bitmap.writePortable64(PyBytes_AS_STRING(result.ptr()));
    return result;
}

Bitmap fromPortable64(const py::buffer &buffer) {
    ByteView bytes = requestBytes(buffer, false);
    return Bitmap::readPortable64(bytes.data(), bytes.size());
}

}  // namespace morvane::bindings
