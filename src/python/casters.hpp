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
    bool load(handle src, bool) {
        // Looked up once: this runs for every argument of every call.
        static const type_info *const registered = get_type_info(typeid(T));
        if (!src || !PyObject_TypeCheck(src.ptr(), registered->type)) return false;
        auto holder = reinterpret_cast<instance *>(src.ptr())->get_value_and_holder(registered);
        if (!holder.holder_constructed()) return false;
        this->value = holder.value_ptr();
        return true;
    }
};

template <>
class type_caster<morvane::storage::Bitmap>
    : public constructed_instance_caster<morvane::storage::Bitmap> {};
template <>
class type_caster<MemoryScanner> : public constructed_instance_caster<MemoryScanner> {};

}  // namespace pybind11::detail
