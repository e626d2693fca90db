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
//
// Standalone rather than derived from the standard caster: that one searches
// the type registry each time it is constructed, i.e. for every argument of
// every call. Results still go out through the standard caster.
template <typename T>
class constructed_instance_caster {
public:
    static constexpr auto name = type_caster_base<T>::name;

    bool load(handle src, bool) {
        static const type_info *const registered = get_type_info(typeid(T));
        if (!src || registered == nullptr || !PyObject_TypeCheck(src.ptr(), registered->type)) {
            return false;
        }
        auto holder = reinterpret_cast<instance *>(src.ptr())->get_value_and_holder(registered);
        if (!holder.holder_constructed()) return false;
        value = holder.template value_ptr<T>();
        return true;
    }

    template <typename Source>
    static handle cast(Source &&source, return_value_policy policy, handle parent) {
        return type_caster_base<T>::cast(std::forward<Source>(source), policy, parent);
    }

    template <typename U>
    using cast_op_type = detail::cast_op_type<U>;
    operator T *() { return value; }
    operator T &() {
        if (value == nullptr) throw reference_cast_error();
        return *value;
    }

private:
    T *value = nullptr;
};

template <>
class type_caster<morvane::storage::Bitmap> : public constructed_instance_caster<morvane::storage::Bitmap> {};
template <>
class type_caster<MemoryScanner> : public constructed_instance_caster<MemoryScanner> {};

}  // namespace pybind11::detail
