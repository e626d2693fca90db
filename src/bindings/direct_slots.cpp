// CPython's direct slots for Bitmap, each with its registered fallback.
#include "bindings/direct_slots.hpp"

#include <cstdint>

namespace py = pybind11;
using morvane::storage::Bitmap;

namespace morvane::bindings {

namespace {

// The set a Python Bitmap holds, or null for one made by __new__ alone (whose
// refusal is the registered function's to raise).
const Bitmap *heldBitmap(PyObject *self) {
    auto holder = reinterpret_cast<py::detail::instance *>(self)->get_value_and_holder();
    return holder.holder_constructed() ? holder.value_ptr<Bitmap>() : nullptr;
}

// A plain int in [0, 2^64): true with `position` set; false with no error set.
bool readPosition(PyObject *argument, uint64_t &position) {
    if (!PyLong_CheckExact(argument)) return false;
    // PyLong_AsUnsignedLongLong takes a slow byte-array path for any int above
    // 2^30; the unsigned long reader does not, and is 64 bits wide here.
    static_assert(sizeof(unsigned long) == sizeof(uint64_t));
    const unsigned long value = PyLong_AsUnsignedLong(argument);
    if (value == static_cast<unsigned long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    position = value;
    return true;
}

// The functions each slot falls back to, as registered before installation.
struct Registered {
    objobjproc contains = nullptr;
    lenfunc sequenceLength = nullptr;
    lenfunc mappingLength = nullptr;
};
Registered registered;

int containsSlot(PyObject *self, PyObject *argument) {
    uint64_t position;
    const Bitmap *bitmap = heldBitmap(self);
    if (bitmap && readPosition(argument, position)) return bitmap->contains(position);
    return registered.contains(self, argument);
}

// len() and bool(): the count is a few loads once counted. A count past
// Py_ssize_t, or the full set's length error, goes to the registered __len__.
template <lenfunc Registered::*fallback>
Py_ssize_t lengthSlot(PyObject *self) {
    if (const Bitmap *bitmap = heldBitmap(self)) {
        try {
            const uint64_t count = bitmap->cardinality();
            if (count <= static_cast<uint64_t>(PY_SSIZE_T_MAX)) return static_cast<Py_ssize_t>(count);
        } catch (...) {  // NOLINT(bugprone-empty-catch): the fallback raises it with its message
        }
    }
    return (registered.*fallback)(self);
}

}  // namespace

void installDirectSlots(py::class_<Bitmap> &cls) {
    auto *type = reinterpret_cast<PyTypeObject *>(cls.ptr());
    registered.contains = type->tp_as_sequence->sq_contains;
    registered.sequenceLength = type->tp_as_sequence->sq_length;
    registered.mappingLength = type->tp_as_mapping->mp_length;
    if (registered.contains) type->tp_as_sequence->sq_contains = containsSlot;
    if (registered.sequenceLength) {
        type->tp_as_sequence->sq_length = lengthSlot<&Registered::sequenceLength>;
    }
    if (registered.mappingLength) {
        type->tp_as_mapping->mp_length = lengthSlot<&Registered::mappingLength>;
    }
}

}  // namespace morvane::bindings
