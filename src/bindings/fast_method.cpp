#include "bindings/fast_method.hpp"

#include <cstddef>
#include <cstring>

namespace morvane::bindings {

namespace {

#if PY_VERSION_HEX >= 0x03080000
#define MORVANE_VECTORCALL 1
#if PY_VERSION_HEX >= 0x03090000
constexpr unsigned long kVectorcallFlag = Py_TPFLAGS_HAVE_VECTORCALL;
PyObject *vectorcall(PyObject *function, PyObject *const *args, size_t count, PyObject *names) {
    return PyObject_Vectorcall(function, args, count, names);
}
#else
constexpr unsigned long kVectorcallFlag = _Py_TPFLAGS_HAVE_VECTORCALL;
PyObject *vectorcall(PyObject *function, PyObject *const *args, size_t count, PyObject *names) {
    return _PyObject_Vectorcall(function, args, count, names);
}
#endif
#endif

struct FastMethod {
    PyObject_HEAD
#ifdef MORVANE_VECTORCALL
        vectorcallfunc vectorcall;
#endif
    PyMethodDef *definition;
    PyObject *registered;
    PyTypeObject *owner;
};

FastMethod *asMethod(PyObject *self) { return reinterpret_cast<FastMethod *>(self); }

#ifdef MORVANE_VECTORCALL
using FastFunction = PyObject *(*)(PyObject *, PyObject *const *, Py_ssize_t, PyObject *);

FastFunction fastFunctionOf(const FastMethod *method) {
    return reinterpret_cast<FastFunction>(reinterpret_cast<void (*)()>(method->definition->ml_meth));
}

// A call through the descriptor itself: the instance comes first, as
// CPython passes it after a method lookup, or as a caller of `Bitmap.set`
// passes it. With no argument at all the registered function raises.
PyObject *callDescriptor(PyObject *callable, PyObject *const *args, size_t countWithFlag, PyObject *names) {
    const FastMethod *method = asMethod(callable);
    const Py_ssize_t count = PyVectorcall_NARGS(countWithFlag);
    if (count == 0) return vectorcall(method->registered, args, countWithFlag, names);
    return fastFunctionOf(method)(args[0], args + 1, count - 1, names);
}
#else
// CPython 3.7 calls with a tuple: the registered function takes it as it is.
PyObject *callDescriptor(PyObject *callable, PyObject *args, PyObject *keywords) {
    return PyObject_Call(asMethod(callable)->registered, args, keywords);
}
#endif

// An instance's attribute: a built-in method bound to it, called without the
// descriptor in between.
PyObject *bind(PyObject *self, PyObject *instance, PyObject * /*type*/) {
    if (instance == nullptr) {
        Py_INCREF(self);
        return self;
    }
    const FastMethod *method = asMethod(self);
    return PyCFunction_NewEx(method->definition, instance,
                             reinterpret_cast<PyCFunctionObject *>(method->registered)->m_module);
}

void deallocate(PyObject *self) {
    Py_XDECREF(asMethod(self)->registered);
    Py_XDECREF(reinterpret_cast<PyObject *>(asMethod(self)->owner));
    PyObject_Free(self);
}

PyObject *repr(PyObject *self) {
    const FastMethod *method = asMethod(self);
    return PyUnicode_FromFormat("<method '%s' of '%s' objects>", method->definition->ml_name,
                                method->owner->tp_name);
}

PyObject *registeredAttribute(PyObject *self, void *name) {
    return PyObject_GetAttrString(asMethod(self)->registered, static_cast<const char *>(name));
}
PyObject *wrapped(PyObject *self, void * /*closure*/) {
    Py_INCREF(asMethod(self)->registered);
    return asMethod(self)->registered;
}
PyObject *objclass(PyObject *self, void * /*closure*/) {
    Py_INCREF(reinterpret_cast<PyObject *>(asMethod(self)->owner));
    return reinterpret_cast<PyObject *>(asMethod(self)->owner);
}
PyObject *qualname(PyObject *self, void * /*closure*/) {
    const FastMethod *method = asMethod(self);
    PyObject *owner = PyObject_GetAttrString(reinterpret_cast<PyObject *>(method->owner), "__qualname__");
    if (owner == nullptr) return nullptr;
    PyObject *result = PyUnicode_FromFormat("%U.%s", owner, method->definition->ml_name);
    Py_DECREF(owner);
    return result;
}

char kDoc[] = "__doc__";
char kName[] = "__name__";
PyGetSetDef attributes[] = {
    {kDoc, registeredAttribute, nullptr, nullptr, kDoc},
    {kName, registeredAttribute, nullptr, nullptr, kName},
    {const_cast<char *>("__qualname__"), qualname, nullptr, nullptr, nullptr},
    {const_cast<char *>("__wrapped__"), wrapped, nullptr, nullptr, nullptr},
    {const_cast<char *>("__objclass__"), objclass, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject *readyType() {
    static PyTypeObject type = [] {
        PyTypeObject t{};
        // A static type's one reference, its own.
#if PY_VERSION_HEX >= 0x03090000
        Py_SET_REFCNT(reinterpret_cast<PyObject *>(&t), 1);
#else
        Py_REFCNT(&t) = 1;
#endif
        t.tp_name = "_morvane_rec_extension.fast_method";
        t.tp_basicsize = sizeof(FastMethod);
        t.tp_dealloc = deallocate;
        t.tp_repr = repr;
        t.tp_getset = attributes;
        t.tp_descr_get = bind;
        t.tp_flags = Py_TPFLAGS_DEFAULT;
#ifdef MORVANE_VECTORCALL
        t.tp_flags |= Py_TPFLAGS_METHOD_DESCRIPTOR | kVectorcallFlag;
        t.tp_vectorcall_offset = offsetof(FastMethod, vectorcall);
        t.tp_call = PyVectorcall_Call;
#else
        t.tp_call = callDescriptor;
#endif
        return t;
    }();
    static const bool ready = PyType_Ready(&type) == 0;
    return ready ? &type : nullptr;
}

}  // namespace

PyObject *newFastMethod(PyMethodDef *definition, PyObject *registered, PyTypeObject *owner) {
    PyTypeObject *type = readyType();
    if (type == nullptr) return nullptr;
    FastMethod *method = PyObject_New(FastMethod, type);
    if (method == nullptr) return nullptr;
#ifdef MORVANE_VECTORCALL
    method->vectorcall = callDescriptor;
#endif
    method->definition = definition;
    Py_INCREF(registered);
    method->registered = registered;
    Py_INCREF(reinterpret_cast<PyObject *>(owner));
    method->owner = owner;
    return reinterpret_cast<PyObject *>(method);
}

PyObject *callWithSelf(PyObject *function, PyObject *self, PyObject *const *args, Py_ssize_t count,
                       PyObject *names) {
    const Py_ssize_t keywords = names == nullptr ? 0 : PyTuple_GET_SIZE(names);
#ifdef MORVANE_VECTORCALL
    constexpr Py_ssize_t kOnStack = 8;
    PyObject *onStack[kOnStack];
    PyObject **all = onStack;
    if (count + keywords + 1 > kOnStack) {
        all = PyMem_New(PyObject *, static_cast<size_t>(count + keywords + 1));
        if (all == nullptr) return PyErr_NoMemory();
    }
    all[0] = self;
    if (count + keywords > 0)
        std::memcpy(all + 1, args, sizeof(PyObject *) * static_cast<size_t>(count + keywords));
    PyObject *result = vectorcall(function, all, static_cast<size_t>(count + 1), names);
    if (all != onStack) PyMem_Free(all);
    return result;
#else
    // CPython 3.7's fast-call entry points are private; pybind11 2.x's
    // dispatcher takes a tuple and a dict anyway.
    PyObject *positional = PyTuple_New(count + 1);
    if (positional == nullptr) return nullptr;
    Py_INCREF(self);
    PyTuple_SET_ITEM(positional, 0, self);
    for (Py_ssize_t i = 0; i < count; ++i) {
        Py_INCREF(args[i]);
        PyTuple_SET_ITEM(positional, i + 1, args[i]);
    }
    PyObject *named = names == nullptr ? nullptr : PyDict_New();
    for (Py_ssize_t i = 0; named != nullptr && i < keywords; ++i) {
        if (PyDict_SetItem(named, PyTuple_GET_ITEM(names, i), args[count + i]) != 0) Py_CLEAR(named);
    }
    PyObject *result =
        names != nullptr && named == nullptr ? nullptr : PyObject_Call(function, positional, named);
    Py_DECREF(positional);
    Py_XDECREF(named);
    return result;
#endif
}

}  // namespace morvane::bindings
