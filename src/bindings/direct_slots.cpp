// The fast paths of Bitmap and its iterator, each with its registered fallback.
//
// Methods and property getters keep their function objects: only the C
// function inside the PyMethodDef that pybind11 made for each is replaced,
// by one that answers the common call and otherwise calls pybind11's own
// dispatcher with the same arguments.
#include "bindings/direct_slots.hpp"

#include <cstdint>
#include <new>
#include <optional>
#include <stdexcept>
#include <type_traits>

namespace py = pybind11;
using morvane::storage::Bitmap;

namespace morvane::bindings {

namespace {

PyTypeObject *bitmapType = nullptr;

// The value a pybind11 instance holds, or null for one made by __new__ alone
// (whose refusal is the registered function's to raise).
template <typename Held>
Held *heldValue(PyObject *self) {
    auto holder = reinterpret_cast<py::detail::instance *>(self)->get_value_and_holder();
    return holder.holder_constructed() ? holder.value_ptr<Held>() : nullptr;
}

Bitmap *heldBitmap(PyObject *self) {
    return PyObject_TypeCheck(self, bitmapType) ? heldValue<Bitmap>(self) : nullptr;
}

// A Python int or an integer scalar (NumPy's) in [0, 2^64): true with
// `position` set; false with no error set, for the registered conversion.
bool readPosition(PyObject *argument, uint64_t &position) {
    PyObject *number = argument;
    if (!PyLong_CheckExact(argument)) {
        // What the registered conversion takes besides int: __index__, never floats.
        if (PyLong_Check(argument) || PyFloat_Check(argument) || !PyIndex_Check(argument)) return false;
        number = PyNumber_Index(argument);
        if (number == nullptr) {
            PyErr_Clear();
            return false;
        }
    }
    // PyLong_AsUnsignedLongLong takes a slow byte-array path for any int above
    // 2^30; the unsigned long reader does not, and is 64 bits wide here.
    static_assert(sizeof(unsigned long) == sizeof(uint64_t));
    const unsigned long value = PyLong_AsUnsignedLong(number);
    if (number != argument) Py_DECREF(number);
    if (value == static_cast<unsigned long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    position = value;
    return true;
}

PyObject *newPosition(uint64_t position) { return PyLong_FromUnsignedLongLong(position); }
PyObject *newOptional(const std::optional<uint64_t> &position) {
    if (position) return newPosition(*position);
    Py_RETURN_NONE;
}
PyObject *newBool(bool value) { return PyBool_FromLong(value); }

// Handlers: a new reference, or null. Null with no error set asks for the
// registered function, which also raises the exact error of a refused call;
// only calls that change nothing may be retried that way. A changing call
// reports its own failure as the registered function would have.
template <typename Change>
PyObject *changing(Change change) {
    try {
        change();
    } catch (const std::bad_alloc &error) {
        PyErr_SetString(PyExc_MemoryError, error.what());
        return nullptr;
    } catch (const std::exception &error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
        return nullptr;
    }
    Py_RETURN_NONE;
}

template <typename Read>
PyObject *reading(Read read) {
    try {
        return read();
    } catch (...) {
        return nullptr;  // the registered function raises it again
    }
}

using PositionHandler = PyObject *(*)(Bitmap &, uint64_t);
using GetterHandler = PyObject *(*)(Bitmap &);

PyObject *contains(Bitmap &b, uint64_t p) { return newBool(b.contains(p)); }
PyObject *nth(Bitmap &b, uint64_t p) {
    return reading([&] { return newPosition(b.nth(p)); });
}
PyObject *lowerCardinality(Bitmap &b, uint64_t p) {
    return reading([&] { return newPosition(b.lowerCardinality(p)); });
}
PyObject *upperCardinality(Bitmap &b, uint64_t p) {
    return reading([&] { return newPosition(b.upperCardinality(p)); });
}
// self_or_next and self_or_previous create the entry of the position's key:
// a change, not to be retried.
template <std::optional<uint64_t> (Bitmap::*Nearest)(uint64_t)>
PyObject *nearest(Bitmap &b, uint64_t p) {
    std::optional<uint64_t> found;
    PyObject *done = changing([&] { found = (b.*Nearest)(p); });
    if (done == nullptr) return nullptr;
    Py_DECREF(done);
    return newOptional(found);
}
PyObject *add(Bitmap &b, uint64_t p) {
    return changing([&] { b.add(p); });
}
PyObject *remove(Bitmap &b, uint64_t p) {
    return changing([&] { b.remove(p); });
}
PyObject *cardinality(Bitmap &b) {
    return reading([&] { return newPosition(b.cardinality()); });
}
PyObject *isEmpty(Bitmap &b) { return newBool(b.isEmpty()); }
PyObject *first(Bitmap &b) { return newOptional(b.first()); }
PyObject *last(Bitmap &b) { return newOptional(b.last()); }

// pybind11's dispatcher, the same C function behind every function it makes:
// METH_VARARGS | METH_KEYWORDS up to pybind11 2.x, METH_FASTCALL | METH_KEYWORDS
// from 3.0.
PyCFunctionWithKeywords registeredVarargs = nullptr;
using FastWithKeywords = PyObject *(*)(PyObject *, PyObject *const *, Py_ssize_t, PyObject *);
FastWithKeywords registeredFastcall = nullptr;

// The common call: (bitmap, position) for a method, (bitmap) for a getter.
template <auto Handler>
PyObject *answer(PyObject *const *args, Py_ssize_t count) {
    if constexpr (std::is_same_v<decltype(Handler), PositionHandler>) {
        uint64_t position;
        if (count != 2) return nullptr;
        Bitmap *bitmap = heldBitmap(args[0]);
        if (bitmap == nullptr || !readPosition(args[1], position)) return nullptr;
        return Handler(*bitmap, position);
    } else {
        if (count != 1) return nullptr;
        Bitmap *bitmap = heldBitmap(args[0]);
        return bitmap == nullptr ? nullptr : Handler(*bitmap);
    }
}

template <auto Handler>
PyObject *viaVarargs(PyObject *function, PyObject *args, PyObject *kwargs) {
    if (kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0) {
        PyObject *result = answer<Handler>(&PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args));
        if (result != nullptr || PyErr_Occurred()) return result;
    }
    return registeredVarargs(function, args, kwargs);
}

template <auto Handler>
PyObject *viaFastcall(PyObject *function, PyObject *const *args, Py_ssize_t count, PyObject *names) {
    if (names == nullptr || PyTuple_GET_SIZE(names) == 0) {
        PyObject *result = answer<Handler>(args, count);
        if (result != nullptr || PyErr_Occurred()) return result;
    }
    return registeredFastcall(function, args, count, names);
}

// Puts Handler in front of the pybind11 function `function` (an instancemethod).
template <auto Handler>
void speedUp(PyObject *function) {
    if (function == nullptr || !PyInstanceMethod_Check(function)) {
        throw std::logic_error("fast path: not a registered method");
    }
    PyObject *cfunction = PyInstanceMethod_GET_FUNCTION(function);
    PyMethodDef *definition = reinterpret_cast<PyCFunctionObject *>(cfunction)->m_ml;
    if (definition->ml_flags & METH_FASTCALL) {
        registeredFastcall =
            reinterpret_cast<FastWithKeywords>(reinterpret_cast<void (*)()>(definition->ml_meth));
        definition->ml_meth =
            reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&viaFastcall<Handler>));
    } else {
        registeredVarargs =
            reinterpret_cast<PyCFunctionWithKeywords>(reinterpret_cast<void (*)()>(definition->ml_meth));
        definition->ml_meth =
            reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&viaVarargs<Handler>));
    }
}

template <auto Handler>
void speedUpMethod(PyTypeObject *type, const char *name) {
    speedUp<Handler>(PyDict_GetItemString(type->tp_dict, name));
}

template <auto Handler>
void speedUpGetter(PyTypeObject *type, const char *name) {
    py::object property = py::reinterpret_borrow<py::object>(PyDict_GetItemString(type->tp_dict, name));
    speedUp<Handler>(py::getattr(property, "fget").ptr());
}

// --- Direct slots ---------------------------------------------------------

// The slot functions each slot falls back to, as registered before installation.
struct Registered {
    objobjproc contains = nullptr;
    lenfunc sequenceLength = nullptr;
    lenfunc mappingLength = nullptr;
    iternextfunc iteratorNext = nullptr;
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

PyObject *iteratorNextSlot(PyObject *self) {
    MemberIterator *iterator = heldValue<MemberIterator>(self);
    if (iterator == nullptr) return registered.iteratorNext(self);
    uint64_t member;
    switch (iterator->step(member)) {
        case MemberIterator::Step::Member: return newPosition(member);
        // As the registered __next__ raises it: StopIteration('').
        case MemberIterator::Step::End: PyErr_SetString(PyExc_StopIteration, ""); return nullptr;
        case MemberIterator::Step::Changed: break;
    }
    PyErr_SetString(PyExc_RuntimeError, "Bitmap changed during iteration");
    return nullptr;
}

}  // namespace

void installDirectSlots(py::class_<Bitmap> &cls) {
    auto *type = reinterpret_cast<PyTypeObject *>(cls.ptr());
    bitmapType = type;
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
    speedUpMethod<PositionHandler{contains}>(type, "contains");
    speedUpMethod<PositionHandler{nth}>(type, "nth");
    speedUpMethod<PositionHandler{lowerCardinality}>(type, "lower_cardinality");
    speedUpMethod<PositionHandler{upperCardinality}>(type, "upper_cardinality");
    speedUpMethod<PositionHandler{nearest<&Bitmap::selfOrNext>}>(type, "self_or_next");
    speedUpMethod<PositionHandler{nearest<&Bitmap::selfOrPrevious>}>(type, "self_or_previous");
    speedUpMethod<PositionHandler{add}>(type, "set");
    speedUpMethod<PositionHandler{remove}>(type, "unset");
    speedUpGetter<GetterHandler{cardinality}>(type, "cardinality");
    speedUpGetter<GetterHandler{isEmpty}>(type, "empty");
    speedUpGetter<GetterHandler{first}>(type, "first");
    speedUpGetter<GetterHandler{last}>(type, "last");
}

void installIteratorSlot(py::class_<MemberIterator> &cls) {
    auto *type = reinterpret_cast<PyTypeObject *>(cls.ptr());
    registered.iteratorNext = type->tp_iternext;
    if (registered.iteratorNext) type->tp_iternext = iteratorNextSlot;
}

}  // namespace morvane::bindings
