// Changes of a container array that give the strong guarantee. CRoaring's own
// point and range functions are not safe against a failed allocation: they
// raise a container's capacity before reallocating its array, and the range
// functions move the container array before they allocate new containers.
// Here every allocation comes first, on copies or into spare room, and the
// change is then made without allocating.
#include "storage/roaring_containers.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

namespace morvane::storage::containers {

using namespace roaring::internal;  // NOLINT(google-build-using-namespace): CRoaring's container API

namespace {

constexpr uint32_t kLastLow = 0xFFFF;

// Frees a container unless released; for new containers and copies.
class ContainerGuard {
public:
    ContainerGuard(container_t *container, uint8_t type) noexcept : container_(container), type_(type) {}
    ContainerGuard(const ContainerGuard &) = delete;
    ContainerGuard &operator=(const ContainerGuard &) = delete;
    ~ContainerGuard() {
        if (container_ != nullptr) container_free(container_, type_);
    }
    container_t *get() const noexcept { return container_; }
    container_t *release() noexcept { return std::exchange(container_, nullptr); }

private:
    container_t *container_;
    uint8_t type_;
};

// The capacity CRoaring's own growth would choose, so that memory use stays as it was.
int32_t grownCapacity(int32_t capacity, int32_t atLeast, int32_t atMost) {
    const int32_t grown = capacity <= 0     ? 0
                          : capacity < 64   ? capacity * 2
                          : capacity < 1024 ? capacity * 3 / 2
                                            : capacity * 5 / 4;
    return std::min(std::max(grown, atLeast), atMost);
}

// Replaces `*array` (holding `used` elements) by a larger allocation; throws
// before changing anything.
template <typename Element>
void regrow(Element *&array, int32_t &capacity, int32_t used, int32_t newCapacity) {
    auto *larger = static_cast<Element *>(roaring_malloc(sizeof(Element) * static_cast<size_t>(newCapacity)));
    if (used > 0) std::memcpy(larger, array, sizeof(Element) * static_cast<size_t>(used));
    roaring_free(array);
    array = larger;
    capacity = newCapacity;
}

// Gives the container room for one more element or run, where adding a
// member it lacks or removing one it holds may need it, so that CRoaring
// does not grow it in place.
// Conversions to another container type allocate a new container and leave
// the old one whole, so they need nothing here.
void makeRoom(container_t *container, uint8_t type, bool adding) {
    if (type == ARRAY_CONTAINER_TYPE && adding) {
        auto *array = CAST_array(container);
        if (array->cardinality == array->capacity && array->cardinality < DEFAULT_MAX_SIZE) {
            regrow(array->array, array->capacity, array->cardinality,
                   grownCapacity(array->capacity, array->cardinality + 1, DEFAULT_MAX_SIZE));
        }
    } else if (type == RUN_CONTAINER_TYPE) {
        auto *run = CAST_run(container);
        // Adding may open a run, removing may split one.
        if (run->n_runs == run->capacity) {
            regrow(run->runs, run->capacity, run->n_runs,
                   grownCapacity(run->capacity, run->n_runs + 1, INT32_MAX));
        }
    }
}

// A container's member count where it keeps one (arrays, bitsets; -1 for a
// bitset whose count is pending); -1 for runs, which count theirs by walking.
int32_t storedCardinality(const container_t *container, uint8_t type) {
    if (type == ARRAY_CONTAINER_TYPE) return const_CAST_array(container)->cardinality;
    if (type == BITSET_CONTAINER_TYPE) return const_CAST_bitset(container)->cardinality;
    return -1;
}

// Puts `result` (of type `newType`) in place of the container at `index`
// when the change made a new one.
void replaceAt(roaring_array_t &array, int32_t index, container_t *result, uint8_t newType) {
    if (result == array.containers[index]) return;
    container_free(array.containers[index], array.typecodes[index]);
    array.containers[index] = result;
    array.typecodes[index] = newType;
}

// A copy of `container` changed by `change(copy, &newType)`, which returns the
// result and leaves the copy to be freed by its caller when the two differ.
template <typename Change>
container_t *changedCopy(const container_t *container, uint8_t type, Change change) {
    ContainerGuard copy(container_clone(container, type), type);
    container_t *result = change(copy.get());
    if (result == copy.get()) copy.release();
    return result;
}

// The same for CRoaring's negations, which free their input when they return another container.
template <typename Negate>
container_t *negatedCopy(const container_t *container, uint8_t type, Negate negate) {
    ContainerGuard copy(container_clone(container, type), type);
    container_t *result = negate(copy.get());
    copy.release();
    return result;
}

// A point change CRoaring makes itself, once the container has room for it:
// change(container, &newType) returns the result, which takes the container's
// place when it is a new one.
template <typename Change>
PointChange changeThroughCRoaring(roaring_array_t &array, int32_t index, bool adding, Change change) {
    container_t *container = array.containers[index];
    const uint8_t type = array.typecodes[index];
    const int32_t before = storedCardinality(container, type);
    makeRoom(container, type, adding);
    uint8_t newType = type;
    container_t *result = change(container, &newType);
    const int32_t after = storedCardinality(result, newType);
    replaceAt(array, index, result, newType);
    return {true, before, after};
}

// The part [lo, hi] of one container that a range covers.
struct Part {
    uint32_t lo;
    uint32_t hi;
    bool spansContainers;  // the range covers more than this container
    bool whole() const { return lo == 0 && hi == kLastLow; }
};

// The new container (owned, or null for none) of one key a range change
// covers, given its present container (or null), which it must not change.
container_t *replacement(Splice::Kind kind, const container_t *current, uint8_t type, Part part,
                         uint8_t *newType) {
    switch (kind) {
        case Splice::Kind::Add:
            // A whole container becomes the full run, whatever it was.
            if (current == nullptr || part.whole())
                return container_from_range(newType, part.lo, part.hi + 1, 1);
            return changedCopy(current, type, [&](container_t *copy) {
                return container_add_range(copy, type, part.lo, part.hi, newType);
            });
        case Splice::Kind::Remove:
            if (current == nullptr || part.whole()) return nullptr;
            return changedCopy(current, type, [&](container_t *copy) {
                return container_remove_range(copy, type, part.lo, part.hi, newType);
            });
        case Splice::Kind::Flip: {
            if (current == nullptr) return container_range_of_ones(part.lo, part.hi + 1, newType);
            // CRoaring negates whole containers of a multi-container range by
            // another function than parts; its container types are kept.
            const bool whole = part.spansContainers && part.whole();
            container_t *result = negatedCopy(current, type, [&](container_t *copy) {
                return whole ? container_inot(copy, type, newType)
                             : container_inot_range(copy, type, part.lo, part.hi + 1, newType);
            });
            if (container_nonzero_cardinality(result, *newType)) return result;
            container_free(result, *newType);
            return nullptr;
        }
    }
    return nullptr;
}

}  // namespace

void copyAll(const roaring_bitmap_t &source, roaring_bitmap_t &target) {
    // CRoaring's own copy frees the target's containers before it allocates,
    // and counts containers it has not cloned yet: built here one container
    // at a time, the copy is whole at every step and freed on failure.
    const roaring_array_t &from = source.high_low_container;
    if (from.size == 0) return;
    roaring_bitmap_t copy{};
    ra_init_with_capacity(&copy.high_low_container, static_cast<uint32_t>(from.size));
    roaring_array_t &to = copy.high_low_container;
    try {
        for (int32_t i = 0; i < from.size; ++i) {
            to.containers[i] = container_clone(from.containers[i], from.typecodes[i]);
            to.keys[i] = from.keys[i];
            to.typecodes[i] = from.typecodes[i];
            to.size = i + 1;
        }
    } catch (...) {
        roaring_bitmap_clear(&copy);
        throw;
    }
    target = copy;
}

roaring_bitmap_t window(const roaring_bitmap_t &bitmap, int32_t first, int32_t length) {
    const roaring_array_t &all = bitmap.high_low_container;
    roaring_bitmap_t window{};
    roaring_array_t &part = window.high_low_container;
    part.size = std::min(length, all.size - first);
    part.allocation_size = part.size;
    part.containers = all.containers + first;
    part.keys = all.keys + first;
    part.typecodes = all.typecodes + first;
    part.flags = all.flags;
    return window;
}

int32_t indexAtOrAbove(const roaring_bitmap_t &bitmap, uint16_t key) {
    const roaring_array_t &all = bitmap.high_low_container;
    return static_cast<int32_t>(std::lower_bound(all.keys, all.keys + all.size, key) - all.keys);
}

PointChange add(roaring_bitmap_t &bitmap, uint32_t value) {
    roaring_array_t &array = bitmap.high_low_container;
    const auto key = static_cast<uint16_t>(value >> 16);
    const auto low = static_cast<uint16_t>(value);
    prefetchPointLines(bitmap);
    const int32_t index = ra_get_index(&array, key);
    if (index < 0) {
        // A new key: room in the container array, then its container, then the insert.
        extend_array(&array, 1);
        ContainerGuard fresh(array_container_create(), ARRAY_CONTAINER_TYPE);
        auto *members = CAST_array(fresh.get());
        regrow(members->array, members->capacity, 0, 1);
        members->array[0] = low;
        members->cardinality = 1;
        ra_insert_new_key_value_at(&array, -index - 1, key, fresh.release(), ARRAY_CONTAINER_TYPE);
        return {true, 0, 1};
    }
    container_t *container = array.containers[index];
    const uint8_t type = array.typecodes[index];
    if (type == ARRAY_CONTAINER_TYPE) {
        // One search finds the member or its place: CRoaring's own add would search again.
        auto *members = CAST_array(container);
        const int32_t found = binarySearch(members->array, members->cardinality, low);
        if (found >= 0) return {};
        const int32_t before = members->cardinality;
        if (before < DEFAULT_MAX_SIZE) {
            if (before == members->capacity) {
                regrow(members->array, members->capacity, before,
                       grownCapacity(members->capacity, before + 1, DEFAULT_MAX_SIZE));
            }
            const int32_t at = -found - 1;
            std::memmove(members->array + at + 1, members->array + at,
                         sizeof(uint16_t) * static_cast<size_t>(before - at));
            members->array[at] = low;
            members->cardinality = before + 1;
            return {true, before, before + 1};
        }
        // A full array becomes a bitset: a new container, the array left whole until then.
    } else if (container_contains(container, low, type)) {
        return {};
    }
    return changeThroughCRoaring(array, index, true, [&](container_t *target, uint8_t *newType) {
        return container_add(target, low, type, newType);
    });
}

PointChange remove(roaring_bitmap_t &bitmap, uint32_t value) {
    roaring_array_t &array = bitmap.high_low_container;
    prefetchPointLines(bitmap);
    const int32_t index = ra_get_index(&array, static_cast<uint16_t>(value >> 16));
    if (index < 0) return {};
    const auto low = static_cast<uint16_t>(value);
    container_t *container = array.containers[index];
    const uint8_t type = array.typecodes[index];
    if (type == ARRAY_CONTAINER_TYPE) {
        auto *members = CAST_array(container);
        const int32_t at = binarySearch(members->array, members->cardinality, low);
        if (at < 0) return {};
        const int32_t before = members->cardinality;
        if (at + 1 < before) {
            std::memmove(members->array + at, members->array + at + 1,
                         sizeof(uint16_t) * static_cast<size_t>(before - 1 - at));
        }
        members->cardinality = before - 1;
        if (before == 1) ra_remove_at_index_and_free(&array, index);
        return {true, before, before - 1};
    }
    if (!container_contains(container, low, type)) return {};
    const PointChange change = changeThroughCRoaring(
        array, index, false,
        [&](container_t *target, uint8_t *newType) { return container_remove(target, low, type, newType); });
    if (!container_nonzero_cardinality(array.containers[index], array.typecodes[index])) {
        ra_remove_at_index_and_free(&array, index);
    }
    return change;
}

Splice::Splice(roaring_bitmap_t &bitmap, Kind kind, uint32_t first, uint32_t last) : bitmap_(&bitmap) {
    const uint32_t firstKey = first >> 16, lastKey = last >> 16;
    const roaring_array_t &array = bitmap.high_low_container;
    const uint16_t *keys = array.keys;
    begin_ = static_cast<int32_t>(std::lower_bound(keys, keys + array.size, firstKey) - keys);
    end_ = static_cast<int32_t>(std::upper_bound(keys, keys + array.size, lastKey) - keys);
    const size_t capacity = lastKey - firstKey + 1;
    keys_.reserve(capacity);
    containers_.reserve(capacity);
    types_.reserve(capacity);
    int32_t index = begin_;
    for (uint32_t key = firstKey; key <= lastKey; ++key) {
        const bool present = index < end_ && keys[index] == key;
        const container_t *current = present ? array.containers[index] : nullptr;
        const uint8_t type = present ? array.typecodes[index] : 0;
        uint8_t newType = type;
        const Part part{key == firstKey ? first & kLastLow : 0, key == lastKey ? last & kLastLow : kLastLow,
                        firstKey != lastKey};
        if (container_t *result = replacement(kind, current, type, part, &newType)) {
            push(static_cast<uint16_t>(key), result, newType);
        }
        index += present;
    }
    const auto added = static_cast<int32_t>(keys_.size()) - (end_ - begin_);
    if (added > 0) extend_array(&bitmap.high_low_container, added);
}

Splice::Splice(Splice &&other) noexcept
    : bitmap_(std::exchange(other.bitmap_, nullptr)),
      begin_(other.begin_),
      end_(other.end_),
      keys_(std::move(other.keys_)),
      containers_(std::move(other.containers_)),
      types_(std::move(other.types_)) {}

Splice::~Splice() { freeHeld(); }

void Splice::push(uint16_t key, Container *container, uint8_t type) noexcept {
    // Room was reserved for every key of the range.
    keys_.push_back(key);
    containers_.push_back(container);
    types_.push_back(type);
}

void Splice::freeHeld() noexcept {
    for (size_t i = 0; i < containers_.size(); ++i) container_free(containers_[i], types_[i]);
    containers_.clear();
}

void Splice::commit() noexcept {
    if (bitmap_ == nullptr) return;
    roaring_array_t &ra = bitmap_->high_low_container;
    for (int32_t i = begin_; i < end_; ++i) container_free(ra.containers[i], ra.typecodes[i]);
    const auto added = static_cast<int32_t>(keys_.size());
    const int32_t tail = ra.size - end_;
    const int32_t to = begin_ + added;
    // Room for a longer array was made when the splice was prepared. An
    // empty bitmap may have no arrays at all.
    if (tail > 0) {
        std::memmove(ra.keys + to, ra.keys + end_, sizeof(uint16_t) * static_cast<size_t>(tail));
        std::memmove(static_cast<void *>(ra.containers + to), static_cast<const void *>(ra.containers + end_),
                     sizeof(container_t *) * static_cast<size_t>(tail));
        std::memmove(ra.typecodes + to, ra.typecodes + end_, sizeof(uint8_t) * static_cast<size_t>(tail));
    }
    std::copy(keys_.begin(), keys_.end(), ra.keys + begin_);
    std::copy(containers_.begin(), containers_.end(), ra.containers + begin_);
    std::copy(types_.begin(), types_.end(), ra.typecodes + begin_);
    ra.size = to + tail;
    containers_.clear();
    bitmap_ = nullptr;
}

}  // namespace morvane::storage::containers
