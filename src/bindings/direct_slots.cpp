// The fast paths of Bitmap and its iterator, each with its registered fallback.
//
// Each fast method or getter is a method descriptor (fast_method.hpp) with
// the registered function's name and docstring in front of it: it answers the
// common call and hands every other call, unchanged, to the registered
// function object it keeps. pybind11's own function objects and definitions
// are not touched.
#include "bindings/direct_slots.hpp"

#include "bindings/fast_method.hpp"
#include "bindings/guarded_call.hpp"

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
    auto *instance = reinterpret_cast<py::detail::instance *>(self);
    // An instance of one registered class keeps its value inline: read it
    // there, where get_value_and_holder() is an out-of-line search.
    if (instance->simple_layout) {
        return instance->simple_holder_constructed ? static_cast<Held *>(instance->simple_value_holder[0])
                                                   : nullptr;
    }
    auto holder = instance->get_value_and_holder();
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

// Sets the Python error for the exception in flight through pybind11's own
// translators, in the order its dispatcher tries them, so that a fast path
// raises exactly what the registered function raises. Inside a catch block only.
void translateCurrent() noexcept {
    try {
#if PYBIND11_VERSION_MAJOR >= 3
        py::detail::try_translate_exceptions();
#else
        if (py::detail::apply_exception_translators(
                py::detail::get_local_internals().registered_exception_translators)) {
            return;
        }
        if (py::detail::apply_exception_translators(
                py::detail::get_internals().registered_exception_translators)) {
            return;
        }
        PyErr_SetString(PyExc_SystemError, "Exception escaped from default exception translator!");
#endif
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "Exception escaped from default exception translator!");
    }
}

// Handlers: a new reference, or null with the error set. They run inside
// answer()'s try: whatever they throw is translated there.
using PositionHandler = PyObject *(*)(Bitmap &, uint64_t);
using GetterHandler = PyObject *(*)(Bitmap &);

PyObject *contains(Bitmap &b, uint64_t p) { return newBool(b.contains(p)); }
PyObject *nth(Bitmap &b, uint64_t p) { return newPosition(b.nth(p)); }
PyObject *lowerCardinality(Bitmap &b, uint64_t p) { return newPosition(b.lowerCardinality(p)); }
PyObject *upperCardinality(Bitmap &b, uint64_t p) { return newPosition(b.upperCardinality(p)); }
template <std::optional<uint64_t> (Bitmap::*Nearest)(uint64_t)>
PyObject *nearest(Bitmap &b, uint64_t p) {
    return newOptional((b.*Nearest)(p));
}
PyObject *add(Bitmap &b, uint64_t p) {
    b.add(p);
    Py_RETURN_NONE;
}
PyObject *remove(Bitmap &b, uint64_t p) {
    b.remove(p);
    Py_RETURN_NONE;
}
PyObject *cardinality(Bitmap &b) { return newPosition(b.cardinality()); }
PyObject *isEmpty(Bitmap &b) { return newBool(b.isEmpty()); }
PyObject *first(Bitmap &b) { return newOptional(b.first()); }
PyObject *last(Bitmap &b) { return newOptional(b.last()); }

// The common call: a bitmap and a position for a method, a bitmap alone for a
// getter, as a short call of kind `Kind` on the bitmap once the position is
// read. Null with no error set declines the call: the registered function takes it.
template <auto Handler, Access Kind>
PyObject *answer(PyObject *self, PyObject *const *args, Py_ssize_t count) {
    constexpr bool kTakesPosition = std::is_same_v<decltype(Handler), PositionHandler>;
    if (count != (kTakesPosition ? 1 : 0)) return nullptr;
    Bitmap *bitmap = heldBitmap(self);
    if (bitmap == nullptr) return nullptr;
    try {
        if constexpr (kTakesPosition) {
            uint64_t position;
            if (!readPosition(args[0], position)) return nullptr;
            ShortCall guard(bitmap->access(), Kind);
            return Handler(*bitmap, position);
        } else {
            ShortCall guard(bitmap->access(), Kind);
            return Handler(*bitmap);
        }
    } catch (...) {
        translateCurrent();
        return nullptr;
    }
}

// One fast method or getter: its definition and the registered function it
// stands in front of, kept per handler for the life of the process.
template <auto Handler, Access Kind>
struct FastPath {
    static inline PyMethodDef definition{};
    static inline PyObject *registered = nullptr;

    static PyObject *call(PyObject *self, PyObject *const *args, Py_ssize_t count, PyObject *names) {
        if (names == nullptr || PyTuple_GET_SIZE(names) == 0) {
            PyObject *result = answer<Handler, Kind>(self, args, count);
            if (result != nullptr || PyErr_Occurred()) return result;
        }
        return callWithSelf(registered, self, args, count, names);
    }

    // The descriptor in front of `function`, pybind11's function object for
    // the same name (a method's instance-method wrapper unwrapped by the caller).
    static py::object install(PyTypeObject *type, PyObject *function) {
        if (function == nullptr || !PyCFunction_Check(function) || registered != nullptr) {
            throw std::logic_error("fast path: the registered attribute is not a pybind11 function");
        }
        const PyMethodDef *registeredDefinition = reinterpret_cast<PyCFunctionObject *>(function)->m_ml;
        definition = PyMethodDef{
            registeredDefinition->ml_name,
            reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&call)),
            METH_FASTCALL | METH_KEYWORDS,
            registeredDefinition->ml_doc,
        };
        auto descriptor = py::reinterpret_steal<py::object>(newFastMethod(&definition, function, type));
        if (!descriptor) throw py::error_already_set();
        Py_INCREF(function);
        registered = function;
        return descriptor;
    }
};

template <auto Handler, Access Kind = Access::Read>
void speedUpMethod(PyTypeObject *type, const char *name) {
    PyObject *method = PyDict_GetItemString(type->tp_dict, name);
    if (method == nullptr || !PyInstanceMethod_Check(method)) {
        throw std::logic_error("fast path: the registered attribute is not a pybind11 method");
    }
    py::object fast = FastPath<Handler, Kind>::install(type, PyInstanceMethod_GET_FUNCTION(method));
    if (PyDict_SetItemString(type->tp_dict, name, fast.ptr()) != 0) throw py::error_already_set();
}

template <auto Handler>
void speedUpGetter(PyTypeObject *type, const char *name) {
    auto property = py::reinterpret_borrow<py::object>(PyDict_GetItemString(type->tp_dict, name));
    py::object getter = py::getattr(property, "fget");
    if (!PyInstanceMethod_Check(getter.ptr())) {
        throw std::logic_error("fast path: the registered getter is not a pybind11 method");
    }
    py::object fast =
        FastPath<Handler, Access::Read>::install(type, PyInstanceMethod_GET_FUNCTION(getter.ptr()));
    py::object replaced = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject *>(&PyProperty_Type))(
        fast, py::none(), py::none(), py::getattr(property, "__doc__"));
    if (PyDict_SetItemString(type->tp_dict, name, replaced.ptr()) != 0) throw py::error_already_set();
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
    if (bitmap && readPosition(argument, position)) {
        try {
            ShortCall guard(bitmap->access(), Access::Read);
            return bitmap->contains(position);  // may build the lookup view, which allocates
        } catch (...) {
            translateCurrent();
            return -1;
        }
    }
    return registered.contains(self, argument);
}

// len() and bool(): the count is a few loads once counted. A count past
// Py_ssize_t, or the full set's length error, goes to the registered __len__.
template <lenfunc Registered::*fallback>
Py_ssize_t lengthSlot(PyObject *self) {
    if (const Bitmap *bitmap = heldBitmap(self)) {
        try {
            const uint64_t count = shortRead(*bitmap, [&] { return bitmap->cardinality(); });
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
    MemberIterator::Step step;
    try {
        step = iterator->step(member);
    } catch (...) {
        translateCurrent();
        return nullptr;
    }
    switch (step) {
        case MemberIterator::Step::Member: return newPosition(member);
        // As the registered __next__ raises it: StopIteration('').
        case MemberIterator::Step::End: PyErr_SetString(PyExc_StopIteration, ""); return nullptr;
        case MemberIterator::Step::Changed: break;
    }
    PyErr_SetString(PyExc_RuntimeError, "Bitmap changed during iteration");
    return nullptr;
}

}  // namespace

void installDirectSlots(py::class_<Bitmap, BitmapHolder> &cls) {
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
    // These create the entry of the position's key when it is missing.
    speedUpMethod<PositionHandler{nearest<&Bitmap::selfOrNext>}, Access::Write>(type, "self_or_next");
    speedUpMethod<PositionHandler{nearest<&Bitmap::selfOrPrevious>}, Access::Write>(type, "self_or_previous");
    speedUpMethod<PositionHandler{add}, Access::Write>(type, "set");
    speedUpMethod<PositionHandler{remove}, Access::Write>(type, "unset");
    speedUpGetter<GetterHandler{cardinality}>(type, "cardinality");
    speedUpGetter<GetterHandler{isEmpty}>(type, "empty");
    speedUpGetter<GetterHandler{first}>(type, "first");
    speedUpGetter<GetterHandler{last}>(type, "last");
    PyType_Modified(type);
}

void installIteratorSlot(py::class_<MemberIterator> &cls) {
    auto *type = reinterpret_cast<PyTypeObject *>(cls.ptr());
    registered.iteratorNext = type->tp_iternext;
    if (registered.iteratorNext) type->tp_iternext = iteratorNextSlot;
}

}  // namespace morvane::bindings
