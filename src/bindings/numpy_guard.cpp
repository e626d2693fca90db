#include "bindings/numpy_guard.hpp"

#include <cstdlib>
#include <string>

#include <pybind11/pybind11.h>

namespace py = pybind11;

namespace morvane::bindings {

namespace {

// pybind11 2.12 learnt NumPy 2's descriptor layout; later majors are unknown.
constexpr int kNewestReadableNumpy = PYBIND11_VERSION_HEX >= 0x020C0000 ? 2 : 1;

std::string pybind11Version() {
    return std::to_string(PYBIND11_VERSION_MAJOR) + "." + std::to_string(PYBIND11_VERSION_MINOR) + "." +
           std::to_string(PYBIND11_VERSION_PATCH);
}

}  // namespace

void requireReadableNumpy() {
    py::object numpy;
    try {
        numpy = py::module_::import("numpy");
    } catch (py::error_already_set &error) {
        if (!error.matches(PyExc_ImportError)) throw;
        return;
    }
    const std::string version = py::str(numpy.attr("__version__"));
    const int major = std::atoi(version.c_str());
    if (major >= 1 && major <= kNewestReadableNumpy) return;
    throw py::import_error("_morvane_rec_extension was built with pybind11 " + pybind11Version() +
                           ", which reads the arrays of NumPy 1" +
                           (kNewestReadableNumpy == 2 ? " and 2" : "") + " only; NumPy " + version +
                           " is installed");
}

}  // namespace morvane::bindings
