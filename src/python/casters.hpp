#pragma once
// Included by every binding file before its class is bound, so that all of
// them see the same casters.
#include <pybind11/pybind11.h>

#include "scanner/memory_scanner.hpp"
#include "storage/bitmap.hpp"

namespace pybind11::detail {

// An instance made by __new__ without __init__ holds no value. The standard
// caster would lazily allocate raw, unconstructed memory for it and hand that
// to the bound function. Refusing it here turns such calls (and None) into the
// ordinary TypeError of overload resolution.
template <typename T>
class constructed_instance_caster : public type_caster_base<T> {
public:
    bool load(handle src, bool convert) {
        if (!src || !isinstance<T>(src)) return false;
        auto *inst = reinterpret_cast<instance *>(src.ptr());
        if (!inst->get_value_and_holder(get_type_info(typeid(T))).holder_constructed()) {
            return false;
        }
        return type_caster_base<T>::load(src, convert);
    }
};

template <>
class type_caster<morvane::storage::Bitmap>
    : public constructed_instance_caster<morvane::storage::Bitmap> {};
template <>
class type_caster<MemoryScanner> : public constructed_instance_caster<MemoryScanner> {};

}  // namespace pybind11::detail
