#pragma once

#include <pybind11/pybind11.h>

namespace morvane::bindings {

void registerMemoryScanner(pybind11::module_ &module);
void registerBitmap(pybind11::module_ &module);
void registerBulk(pybind11::module_ &module);

}  // namespace morvane::bindings
