#pragma once

#include <pybind11/pybind11.h>

#include "bindings/guarded_call.hpp"
#include "bindings/iteration.hpp"
#include "storage/bitmap.hpp"

// Fast paths beside the registered functions, where pybind11's generic
// dispatch costs more than the work: CPython's direct slots (`in`, len(),
// bool(), next()) and the one-position methods and properties. Each takes its
// common argument (one Python int or NumPy integer scalar) itself and hands
// every other call to the registered function, so names, registration order,
// signatures, docstrings, exception classes and messages stay as they are.
namespace morvane::bindings {

// Call after every method of the class is registered.
void installDirectSlots(pybind11::class_<storage::Bitmap, BitmapHolder> &cls);
// Call once the iterator class is registered.
void installIteratorSlot(pybind11::class_<MemberIterator> &cls);

}  // namespace morvane::bindings
