// The module-local Python class `iterator` returned by Bitmap.__iter__.
#include "bindings/iteration.hpp"

#include <memory>
#include <stdexcept>
#include <utility>

#include "bindings/casters.hpp"
#include "bindings/direct_slots.hpp"

namespace py = pybind11;
using morvane::storage::Bitmap;

namespace morvane::bindings {

MemberIterator::MemberIterator(const Bitmap &bitmap, py::object owner)
    : owner(std::move(owner)), bitmap(bitmap), generation(bitmap.generation()), cursor(bitmap.begin()) {}

bool MemberIterator::refill() {
    filled = cursor.read(block, kBlockMembers);
    next = 0;
    exhausted = filled == 0;
    return !exhausted;
}

uint64_t MemberIterator::nextMember() {
    uint64_t member = 0;
    switch (step(member)) {
        case Step::Member: return member;
        case Step::End: throw py::stop_iteration();
        case Step::Changed: break;
    }
    throw std::runtime_error("Bitmap changed during iteration");
}

}  // namespace morvane::bindings

// The same guard as for the other bound classes: an iterator made by __new__
// alone holds no value and is refused with TypeError.
template <>
class pybind11::detail::type_caster<morvane::bindings::MemberIterator>
    : public constructed_instance_caster<morvane::bindings::MemberIterator> {};

namespace morvane::bindings {

namespace {

// Registered on first use, like the binding library's own iterators.
void ensureIteratorClass() {
    if (py::detail::get_type_info(typeid(MemberIterator), false) != nullptr) return;
    py::class_<MemberIterator> cls(py::handle(), "iterator", py::module_local());
    cls.def(
           "__iter__", [](MemberIterator &self) -> MemberIterator & { return self; },
           py::return_value_policy::reference_internal)
        .def("__next__", &MemberIterator::nextMember);
    installIteratorSlot(cls);
}

}  // namespace

py::iterator iterateMembers(const Bitmap &bitmap) {
    ensureIteratorClass();
    // The set's own Python object: pybind11 finds the registered instance.
    py::object owner = py::cast(&bitmap, py::return_value_policy::reference);
    // A short read of the set: the walk starts at its current generation.
    auto owned =
        shortRead(bitmap, [&] { return std::make_unique<MemberIterator>(bitmap, std::move(owner)); });
    py::object object = py::cast(owned.get(), py::return_value_policy::take_ownership);
    owned.release();  // NOLINT(bugprone-unused-return-value): now held by the Python object
    return py::iterator(std::move(object));
}

}  // namespace morvane::bindings
