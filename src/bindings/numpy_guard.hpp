#pragma once

namespace morvane::bindings {

// Raises ImportError when the installed NumPy lays out its arrays in a way
// that this build's pybind11 cannot read (NumPy 2 for pybind11 before 2.12):
// reading them would give wrong data silently. Without NumPy nothing is checked;
// array arguments then fail on their own.
void requireReadableNumpy();

}  // namespace morvane::bindings
