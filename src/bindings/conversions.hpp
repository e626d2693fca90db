#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "storage/bitmap.hpp"

namespace morvane::bindings {

// NumPy's ENSUREARRAY | FORCECAST: any array-like, cast to uint64; a uint64
// array is used in place whatever its strides.
using PositionArray = pybind11::array_t<uint64_t, pybind11::array::forcecast>;

// Members as a new ascending uint64 array.
pybind11::array_t<uint64_t> indexArray(const storage::Bitmap &bitmap);
// One element per position from the first member (or 0) to the last, set to
// `invert` except at the members.
pybind11::array_t<bool> boolArray(const storage::Bitmap &bitmap, bool invert, bool relative);

// The serialized form into / out of a caller's byte buffer.
size_t writeInto(const storage::Bitmap &bitmap, const pybind11::buffer &buffer, bool portable);
storage::Bitmap readFrom(const pybind11::buffer &buffer, bool portable);

// The standard portable 64-bit format as new bytes / from a caller's buffer.
pybind11::bytes toPortable64(const storage::Bitmap &bitmap);
storage::Bitmap fromPortable64(const pybind11::buffer &buffer);

}  // namespace morvane::bindings
