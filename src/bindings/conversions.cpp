#include "bindings/conversions.hpp"

#include <cstring>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>

#include "bindings/buffers.hpp"
#include "bindings/guarded_call.hpp"

namespace py = pybind11;
using morvane::storage::Bitmap;

namespace morvane::bindings {

// Allocating an array can run Python code (the first one imports NumPy's C
// API, any one may collect garbage), and a finaliser may change the set; no
// claim is held meanwhile (see guarded_call.hpp). Each result is therefore
// sized again after its allocation, under the claim, and filled only when the
// set has not changed since it was sized.
py::array_t<uint64_t> indexArray(const Bitmap &bitmap) {
    for (;;) {
        uint64_t generation = 0;
        const uint64_t count = shortRead(bitmap, [&] {
            generation = bitmap.generation();
            return bitmap.cardinality();
        });
        py::array_t<uint64_t> result(static_cast<py::ssize_t>(count));
        uint64_t *out = result.mutable_data();
        const bool filled =
            LongCall(reads(bitmap), isLong(static_cast<size_t>(count), kLongElements)).run([&] {
                if (bitmap.generation() != generation) return false;
                bitmap.copyPositions(out);
                return true;
            });
        if (filled) return result;
    }
}

namespace {

struct MaskSpan {
    uint64_t offset = 0;
    uint64_t length = 0;  // 0 for an empty set
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
    for (;;) {
        uint64_t generation = 0;
        const MaskSpan span = shortRead(bitmap, [&] {
            generation = bitmap.generation();
            return maskSpan(bitmap, relative);
        });
        py::array_t<bool> result(static_cast<py::ssize_t>(span.length));
        bool *out = result.mutable_data();
        // Sized again after the allocation (see indexArray).
        const bool filled =
            LongCall(reads(bitmap), isLong(static_cast<size_t>(span.length), kLongBytes)).run([&] {
                if (bitmap.generation() != generation) return false;
                if (span.length == 0) return true;
                std::memset(out, invert ? 1 : 0, span.length);
                const bool member = !invert;
                for (const auto &[key, slot] : bitmap.entries()) {
                    const uint64_t high = uint64_t{key} << 32;
                    slot.forEachChunk([&](const uint32_t *values, uint32_t count) {
                        for (uint32_t i = 0; i < count; ++i) out[(high | values[i]) - span.offset] = member;
                    });
                }
                return true;
            });
        if (filled) return result;
    }
}

// The buffers below are held (Py_buffer) for the whole call: a bytearray
// cannot be resized or freed while a call runs without the lock.
size_t writeInto(const Bitmap &bitmap, const py::buffer &buffer, bool portable) {
    ByteView bytes = requestBytes(buffer, true);
    return LongCall(reads(bitmap), isLong(bitmap)).run([&] {
        const size_t needed = bitmap.persistedSize(portable);
        if (bytes.size() < needed) {
            throw std::length_error("buffer too small for the serialized form: " + std::to_string(needed) +
                                    " bytes needed, " + std::to_string(bytes.size()) + " given");
        }
        return static_cast<size_t>(bitmap.write(bytes.data(), portable) - bytes.data());
    });
}

Bitmap readFrom(const py::buffer &buffer, bool portable) {
    ByteView bytes = requestBytes(buffer, false);
    return LongCall(std::vector<Claim>{}, isLong(bytes.size(), kLongBytes)).run([&] {
        return Bitmap::read(bytes.data(), bytes.size(), portable);
    });
}

py::bytes toPortable64(const Bitmap &bitmap) {
    for (;;) {
        uint64_t generation = 0;
        const size_t size = shortRead(bitmap, [&] {
            generation = bitmap.generation();
            return bitmap.portable64Size();
        });
        // Sized once and written in place: the bytes are never built twice.
        py::bytes result = py::reinterpret_steal<py::bytes>(
            PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
        if (!result) throw py::error_already_set();
        char *out = PyBytes_AS_STRING(result.ptr());
        // Sized again after the allocation (see indexArray).
        const bool written = LongCall(reads(bitmap), isLong(size, kLongBytes)).run([&] {
            if (bitmap.generation() != generation) return false;
            bitmap.writePortable64(out);
            return true;
        });
        if (written) return result;
    }
}

Bitmap fromPortable64(const py::buffer &buffer) {
    ByteView bytes = requestBytes(buffer, false);
    return LongCall(std::vector<Claim>{}, isLong(bytes.size(), kLongBytes)).run([&] {
        return Bitmap::readPortable64(bytes.data(), bytes.size());
    });
}

}  // namespace morvane::bindings
