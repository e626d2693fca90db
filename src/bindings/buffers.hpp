#pragma once

#include <cstddef>

#include <pybind11/pybind11.h>

namespace morvane::bindings {

// The bytes of a caller's buffer, held for one call.
struct ByteView {
    pybind11::buffer_info info;
    char *data() const { return static_cast<char *>(info.ptr); }
    size_t size() const { return static_cast<size_t>(info.size); }
};

// Requests `buffer` with strides and format (writable when asked). Refuses
// items other than single bytes ("Item size should be 1") and bytes that are
// not contiguous in memory, since the callers read them as one run.
ByteView requestBytes(const pybind11::buffer &buffer, bool writable);

}  // namespace morvane::bindings
