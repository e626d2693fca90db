// Entry point of _morvane_rec_extension. The registration order is part of the
// interface: MemoryScanner first, then Bitmap.
#include <pybind11/pybind11.h>

#include "python/numpy_guard.hpp"
#include "python/registration.hpp"

PYBIND11_MODULE(_morvane_rec_extension, module) {
    morvane::python::requireReadableNumpy();
    morvane::python::registerMemoryScanner(module);
    morvane::python::registerBitmap(module);
}
