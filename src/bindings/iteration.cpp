// The module-local Python class `iterator` returned by Bitmap.__iter__.
#include "bindings/iteration.hpp"

#include <memory>
#include <stdexcept>
#include <utility>

#include "bindings/casters.hpp"

namespace py = pybind11;
using morvane::storage::Bitmap;

namespace morvane::bindings {

class MemberIterator {
public:
    MemberIterator(const Bitmap &bitmap, py::object owner)
        : owner(std::move(owner)),
          bitmap(bitmap),
          generation(bitmap.generation()),
          current(bitmap.begin()),
          end(bitmap.end()) {}

    uint64_t next() {
        // Once exhausted, the bitmap is not looked at again.
        if (exhausted) throw py::stop_iteration();
        // A changed bitmap may have freed the containers the cursor points into.
        if (bitmap.generation() != generation) throw std::runtime_error("Bitmap changed during iteration");
        if (firstStep) {
            firstStep = false;
        } else {
            ++current;
        }
        if (current == end) {
            exhausted = true;
            throw py::stop_iteration();
        }
        return *current;
    }

private:
    py::object owner;  // the Python set, kept alive while the iterator lives
    const Bitmap &bitmap;
    uint64_t generation;  // of the set when the walk began
    Bitmap::BitmapForwardIterator current;
    Bitmap::BitmapForwardIterator end;
    bool firstStep = true;
    bool exhausted = false;
};

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
    py::class_<MemberIterator>(py::handle(), "iterator", py::module_local())
        .def(
            "__iter__", [](MemberIterator &self) -> MemberIterator & { return self; },
            py::return_value_policy::reference_internal)
        .def("__next__", &MemberIterator::next);
}

}  // namespace

py::iterator iterateMembers(const Bitmap &bitmap) {
    ensureIteratorClass();
    // The set's own Python object: pybind11 finds the registered instance.
    py::object owner = py::cast(&bitmap, py::return_value_policy::reference);
    auto owned = std::make_unique<MemberIterator>(bitmap, std::move(owner));
    py::object object = py::cast(owned.get(), py::return_value_policy::take_ownership);
    owned.release();  // NOLINT(bugprone-unused-return-value): now held by the Python object
    return py::iterator(std::move(object));
}

}  // namespace morvane::bindings
