#pragma once

#include <pybind11/pybind11.h>

#include "storage/bitmap.hpp"

namespace morvane::bindings {

// A new Python iterator over the members of `bitmap`; the caller keeps the
// bitmap's Python object alive for the iterator's life.
pybind11::iterator iterateMembers(const storage::Bitmap &bitmap);

}  // namespace morvane::bindings
