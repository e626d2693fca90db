#pragma once

#include <Python.h>

// A method descriptor for a C function of CPython's fast calling convention
// (self, args, count, keyword names), standing in front of a registered
// pybind11 function. pybind11 registers methods as instance-method wrappers,
// which CPython can neither call without building a bound method first nor
// specialise; this descriptor is looked up and called the way built-in
// methods are (`b.set(p)` makes no bound object on 3.8 and later), and an
// instance's attribute is a built-in method bound to it.
namespace morvane::bindings {

// Creates the descriptor for `definition` (the fast function, with the
// registered function's name and docstring; it must outlive the process's
// use of the type). Calls without an instance, and every attribute that
// introspection reads (__doc__, __name__, __qualname__, __wrapped__: the
// registered function), are the registered function's. Null with the error
// set on failure.
PyObject *newFastMethod(PyMethodDef *definition, PyObject *registered, PyTypeObject *owner);

// Calls `function` with `self` in front of the arguments (`count` positional
// ones, then one per keyword name), as a bound call would.
PyObject *callWithSelf(PyObject *function, PyObject *self, PyObject *const *args, Py_ssize_t count,
                       PyObject *names);

}  // namespace morvane::bindings
