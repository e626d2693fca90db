// Entry point of _morvane_rec_extension. The registration order is part of the
// interface: MemoryScanner first, then Bitmap.
#include <pybind11/pybind11.h>

#include "bindings/guarded_call.hpp"
#include "bindings/numpy_guard.hpp"
#include "bindings/registration.hpp"

PYBIND11_MODULE(_morvane_rec_extension, module) {
    morvane::bindings::requireReadableNumpy();
    morvane::bindings::registerMemoryScanner(module);
    morvane::bindings::registerBitmap(module);
    // Private: the package's bulk functions build on it.
    morvane::bindings::registerBulk(module);
    // Only in the test build: hooks that park a call without the lock.
    morvane::bindings::registerTestHooks(module);
}
