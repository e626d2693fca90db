#include "bindings/buffers.hpp"

#include <stdexcept>

namespace morvane::bindings {

namespace {

bool isCContiguous(const pybind11::buffer_info &info) {
    if (info.size == 0) return true;
    pybind11::ssize_t expected = info.itemsize;
    for (auto dim = info.ndim; dim-- > 0;) {
        if (info.shape[dim] != 1 && info.strides[dim] != expected) return false;
        expected *= info.shape[dim];
    }
    return true;
}

}  // namespace

ByteView requestBytes(const pybind11::buffer &buffer, bool writable) {
    ByteView view{buffer.request(writable)};
    if (view.info.itemsize != 1) throw std::runtime_error("Item size should be 1");
    if (!isCContiguous(view.info)) {
        throw std::invalid_argument("buffer must be contiguous in memory");
    }
    return view;
}

}  // namespace morvane::bindings
