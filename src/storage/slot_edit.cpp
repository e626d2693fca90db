// Changes of a slot that give the strong guarantee. CRoaring's own point and
// range functions are not safe against a failed allocation: they raise a
// container's capacity before reallocating its array, and the range
// functions move the container array before they allocate new containers.
// Here every allocation comes first, on copies or into spare room, and the
// change is then made without allocating.
#include <algorithm>
#include <cstring>
#include <utility>

#include "storage/slot_bitmap.hpp"

namespace morvane::storage {

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

// Gives the container room for one more element or run where adding or
// removing `low` may need it, so that CRoaring does not grow it in place.
// Conversions to another container type allocate a new container and leave
// the old one whole, so they need nothing here.
void makeRoom(container_t *container, uint8_t type, uint16_t low, bool adding) {
    if (type == ARRAY_CONTAINER_TYPE && adding) {
        auto *array = CAST_array(container);
        if (array->cardinality == array->capacity && array->cardinality < DEFAULT_MAX_SIZE &&
            !array_container_contains(array, low)) {
            regrow(array->array, array->capacity, array->cardinality,
                   grownCapacity(array->capacity, array->cardinality + 1, DEFAULT_MAX_SIZE));
        }
    } else if (type == RUN_CONTAINER_TYPE) {
        auto *run = CAST_run(container);
        // Adding may open a run, removing may split one.
        if (run->n_runs == run->capacity && run_container_contains(run, low) != adding) {
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

}  // namespace

bool SlotBitmap::add(uint32_t value) {
    roaring_array_t &containers = bitmap_.high_low_container;
    const auto key = static_cast<uint16_t>(value >> 16);
    const auto low = static_cast<uint16_t>(value);
    const int32_t index = ra_get_index(&containers, key);
    const uint32_t known = cardinality_.load(std::memory_order_relaxed);
    if (index < 0) {
        // A new key: room in the container array, then its container, then the insert.
        extend_array(&containers, 1);
        ContainerGuard fresh(array_container_create(), ARRAY_CONTAINER_TYPE);
        auto *array = CAST_array(fresh.get());
        regrow(array->array, array->capacity, 0, 1);
        array->array[0] = low;
        array->cardinality = 1;
        changed();
        ra_insert_new_key_value_at(&containers, -index - 1, key, fresh.release(), ARRAY_CONTAINER_TYPE);
        keepCount(known, 0, 1);
        return true;
    }
    container_t *container = containers.containers[index];
    const uint8_t type = containers.typecodes[index];
    // A member already there changes nothing: every kept count stays.
    if (container_contains(container, low, type)) return false;
    const int32_t before = storedCardinality(container, type);
    makeRoom(container, type, low, true);
    changed();
    uint8_t newType = type;
    container_t *result = container_add(container, low, type, &newType);
    keepCount(known, before, storedCardinality(result, newType));
    if (result != container) {
        container_free(container, type);
        containers.containers[index] = result;
        containers.typecodes[index] = newType;
    }
    return true;
}

bool SlotBitmap::remove(uint32_t value) {
    roaring_array_t &containers = bitmap_.high_low_container;
    const int32_t index = ra_get_index(&containers, static_cast<uint16_t>(value >> 16));
    if (index < 0) return false;
    const auto low = static_cast<uint16_t>(value);
    container_t *container = containers.containers[index];
    const uint8_t type = containers.typecodes[index];
    if (!container_contains(container, low, type)) return false;
    const uint32_t known = cardinality_.load(std::memory_order_relaxed);
    changed();
    const int32_t before = storedCardinality(container, type);
    makeRoom(container, type, low, false);
    uint8_t newType = type;
    container_t *result = container_remove(container, low, type, &newType);
    keepCount(known, before, storedCardinality(result, newType));
    if (result != container) {
        container_free(container, type);
        containers.containers[index] = result;
        containers.typecodes[index] = newType;
    }
    if (!container_nonzero_cardinality(result, newType)) ra_remove_at_index_and_free(&containers, index);
    return true;
}

void SlotBitmap::copyContainers(const roaring_bitmap_t &source, roaring_bitmap_t &target) {
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

template <typename Replace>
SlotBitmap::Edit SlotBitmap::prepare(uint32_t first, uint32_t last, Replace replace) {
    const uint32_t firstKey = first >> 16, lastKey = last >> 16;
    const roaring_array_t &containers = bitmap_.high_low_container;
    const uint16_t *keys = containers.keys;
    const auto begin = static_cast<int32_t>(std::lower_bound(keys, keys + containers.size, firstKey) - keys);
    const auto end = static_cast<int32_t>(std::upper_bound(keys, keys + containers.size, lastKey) - keys);
    Edit edit(*this, begin, end, lastKey - firstKey + 1);
    int32_t index = begin;
    for (uint32_t key = firstKey; key <= lastKey; ++key) {
        const bool present = index < end && keys[index] == key;
        const container_t *current = present ? containers.containers[index] : nullptr;
        const uint8_t type = present ? containers.typecodes[index] : 0;
        uint8_t newType = type;
        const Part part{key == firstKey ? first & kLastLow : 0, key == lastKey ? last & kLastLow : kLastLow,
                        firstKey != lastKey};
        if (container_t *result = replace(current, type, part, &newType)) {
            edit.push(static_cast<uint16_t>(key), result, newType);
        }
        index += present;
    }
    const auto added = static_cast<int32_t>(edit.keys_.size()) - (end - begin);
    if (added > 0) extend_array(&bitmap_.high_low_container, added);
    return edit;
}

SlotBitmap::Edit SlotBitmap::prepareAddRange(uint32_t first, uint32_t last) {
    return prepare(first, last, [](const container_t *current, uint8_t type, Part part, uint8_t *newType) {
        // A whole container becomes the full run, whatever it was.
        if (current == nullptr || part.whole()) return container_from_range(newType, part.lo, part.hi + 1, 1);
        return changedCopy(current, type, [&](container_t *copy) {
            return container_add_range(copy, type, part.lo, part.hi, newType);
        });
    });
}

SlotBitmap::Edit SlotBitmap::prepareRemoveRange(uint32_t first, uint32_t last) {
    return prepare(
        first, last,
        [](const container_t *current, uint8_t type, Part part, uint8_t *newType) -> container_t * {
            if (current == nullptr || part.whole()) return nullptr;
            return changedCopy(current, type, [&](container_t *copy) {
                return container_remove_range(copy, type, part.lo, part.hi, newType);
            });
        });
}

SlotBitmap::Edit SlotBitmap::prepareFlip(uint32_t first, uint32_t last) {
    return prepare(
        first, last,
        [](const container_t *current, uint8_t type, Part part, uint8_t *newType) -> container_t * {
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
        });
}

SlotBitmap::Edit::Edit(SlotBitmap &slot, int32_t begin, int32_t end, size_t capacity)
    : slot_(&slot), begin_(begin), end_(end) {
    keys_.reserve(capacity);
    containers_.reserve(capacity);
    types_.reserve(capacity);
}

SlotBitmap::Edit::Edit(Edit &&other) noexcept
    : slot_(std::exchange(other.slot_, nullptr)),
      begin_(other.begin_),
      end_(other.end_),
      keys_(std::move(other.keys_)),
      containers_(std::move(other.containers_)),
      types_(std::move(other.types_)) {}

SlotBitmap::Edit::~Edit() { freeHeld(); }

void SlotBitmap::Edit::push(uint16_t key, Container *container, uint8_t type) noexcept {
    // Room was reserved for every key of the range.
    keys_.push_back(key);
    containers_.push_back(container);
    types_.push_back(type);
}

void SlotBitmap::Edit::freeHeld() noexcept {
    for (size_t i = 0; i < containers_.size(); ++i) container_free(containers_[i], types_[i]);
    containers_.clear();
}

void SlotBitmap::Edit::commit() noexcept {
    if (slot_ == nullptr) return;
    roaring_array_t &ra = slot_->bitmap_.high_low_container;
    for (int32_t i = begin_; i < end_; ++i) container_free(ra.containers[i], ra.typecodes[i]);
    const auto count = static_cast<int32_t>(keys_.size());
    const int32_t tail = ra.size - end_;
    const int32_t to = begin_ + count;
    // Room for a longer array was made when the edit was prepared. An empty
    // slot may have no arrays at all.
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
    slot_->changed();
    containers_.clear();
    slot_ = nullptr;
}

}  // namespace morvane::storage
