#pragma once

#include <pybind11/pybind11.h>

#include "storage/bitmap.hpp"

namespace morvane::bindings {

// Puts direct CPython slots in front of the registered methods whose generic
// dispatch costs more than their work (`in`, len(), bool()). Each slot takes
// its common argument itself and hands anything else to the registered
// function, so names, signatures, docstrings and messages stay as they are.
// Call after every method of the class is registered.
void installDirectSlots(pybind11::class_<storage::Bitmap> &cls);

}  // namespace morvane::bindings
