#pragma once

// The one place that reads and writes CRoaring's containers directly: the
// container array of a 32-bit bitmap, its guards, growth and copies, and the
// readers that walk it. Everything above works through these names.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "roaring.h"

namespace morvane::storage::containers {

// Whether the bitmap holds any allocation (a zeroed bitmap holds none).
inline bool holdsArrays(const roaring_bitmap_t &bitmap) {
    return bitmap.high_low_container.allocation_size != 0;
}
inline int32_t count(const roaring_bitmap_t &bitmap) { return bitmap.high_low_container.size; }

// Copies the containers of `source` into `target`, which holds none; on a
// failed allocation `target` is left as it was and nothing leaks.
void copyAll(const roaring_bitmap_t &source, roaring_bitmap_t &target);

// The containers [first, first + length) as a read-only bitmap: CRoaring's
// queries see only these fields, so the window answers for that stretch
// alone. Never freed or changed.
roaring_bitmap_t window(const roaring_bitmap_t &bitmap, int32_t first, int32_t length);
// Asks for the containers [first, first + length) at once: they are separate
// allocations, whose cache misses a walk would take in turn.
inline void prefetch(const roaring_bitmap_t &bitmap, int32_t first, int32_t length) {
    const roaring_array_t &all = bitmap.high_low_container;
    const int32_t end = first + length < all.size ? first + length : all.size;
    for (int32_t i = first; i < end; ++i) __builtin_prefetch(all.containers[i]);
}
// Asks for the lines of the container pointers and type codes that a point
// call reads after its key search, so that their cache misses overlap the
// search's instead of following it.
inline void prefetchPointLines(const roaring_bitmap_t &bitmap) {
    const roaring_array_t &all = bitmap.high_low_container;
    __builtin_prefetch(all.typecodes);
    __builtin_prefetch(static_cast<const void *>(all.containers));
    if (all.size > 8) __builtin_prefetch(static_cast<const void *>(all.containers + 8));
}
// The container keys, which a point call searches first.
inline const void *keyArray(const roaring_bitmap_t &bitmap) { return bitmap.high_low_container.keys; }
// One bit per container key modulo 32, set for each container the bitmap
// holds: a clear bit proves that no member has that container key.
inline uint32_t keySummary(const roaring_bitmap_t &bitmap) {
    const roaring_array_t &all = bitmap.high_low_container;
    uint32_t summary = 0;
    for (int32_t i = 0; i < all.size; ++i) summary |= uint32_t{1} << (all.keys[i] & 31);
    return summary;
}
inline uint32_t keySummaryBit(uint32_t value) { return uint32_t{1} << ((value >> 16) & 31); }
// Index of the first container whose key is not below `key`.
int32_t indexAtOrAbove(const roaring_bitmap_t &bitmap, uint16_t key);

// A point change made with the strong guarantee: room comes first, so
// CRoaring's own change cannot fail halfway. `before` and `after` are the
// changed container's stored member counts (-1 where it stores none: run
// containers count theirs by walking); for a new key 0 and 1.
struct PointChange {
    bool changed = false;
    int32_t before = -1;
    int32_t after = -1;
};
PointChange add(roaring_bitmap_t &bitmap, uint32_t value);
PointChange remove(roaring_bitmap_t &bitmap, uint32_t value);

// The containers a range change puts in place of those its keys hold, made
// out of place: preparing allocates everything, including room in the
// container array (a failed allocation throws std::bad_alloc and changes no
// member); commit() installs them without allocating. The bitmap must not
// change between the two. A splice dropped uncommitted frees what it holds.
class Splice {
public:
    enum class Kind { Add, Remove, Flip };
    // The change of [first, last] of `bitmap`.
    Splice(roaring_bitmap_t &bitmap, Kind kind, uint32_t first, uint32_t last);
    Splice(Splice &&other) noexcept;
    Splice &operator=(Splice &&) = delete;
    Splice(const Splice &) = delete;
    Splice &operator=(const Splice &) = delete;
    ~Splice();

    void commit() noexcept;

private:
    using Container = roaring::internal::container_t;
    void push(uint16_t key, Container *container, uint8_t type) noexcept;
    void freeHeld() noexcept;

    roaring_bitmap_t *bitmap_;
    // The bitmap's containers [begin_, end_) make way for these.
    int32_t begin_ = 0;
    int32_t end_ = 0;
    std::vector<uint16_t> keys_;
    std::vector<Container *> containers_;
    std::vector<uint8_t> types_;
};

// One container of a bitmap's array, read in place.
class ContainerAt {
public:
    ContainerAt(const roaring_bitmap_t &bitmap, int32_t index)
        : array_(bitmap.high_low_container), index_(index) {}
    uint16_t key() const { return array_.keys[index_]; }
    int32_t cardinality() const;
    bool contains(uint16_t low) const;
    // Members below `low`.
    int32_t membersBelow(uint16_t low) const;
    // The member of 0-based rank `rank`, which is below the cardinality.
    uint16_t select(uint32_t rank) const;
    // Calls sink.add(first, last) for each run of consecutive members, each
    // plus `base`, ascending.
    template <typename Sink>
    void forEachRun(uint64_t base, Sink &sink) const;

private:
    const roaring_array_t &array_;
    int32_t index_;
};

// Calls sink.add(first, last) for the stretches of set bits of a bitset
// container's words, a word at a time.
template <typename Sink>
void bitsetRuns(const uint64_t *words, uint64_t base, Sink &sink) {
    for (uint64_t w = 0; w < roaring::internal::BITSET_CONTAINER_SIZE_IN_WORDS; ++w) {
        uint64_t word = words[w];
        while (word != 0) {
            const auto start = static_cast<uint64_t>(__builtin_ctzll(word));
            const uint64_t rest = ~(word >> start);
            const uint64_t length = rest == 0 ? 64 - start : static_cast<uint64_t>(__builtin_ctzll(rest));
            sink.add(base + 64 * w + start, base + 64 * w + start + length - 1);
            word = start + length >= 64 ? 0 : word & (~uint64_t{0} << (start + length));
        }
    }
}

template <typename Sink>
void ContainerAt::forEachRun(uint64_t base, Sink &sink) const {
    using namespace roaring::internal;  // NOLINT(google-build-using-namespace): CRoaring's container API
    const container_t *container = array_.containers[index_];
    switch (array_.typecodes[index_]) {
        case RUN_CONTAINER_TYPE: {
            const auto *run = const_CAST_run(container);
            for (int32_t r = 0; r < run->n_runs; ++r) {
                sink.add(base + run->runs[r].value, base + run->runs[r].value + run->runs[r].length);
            }
            break;
        }
        case ARRAY_CONTAINER_TYPE: {
            const auto *array = const_CAST_array(container);
            for (int32_t v = 0; v < array->cardinality; ++v)
                sink.add(base + array->array[v], base + array->array[v]);
            break;
        }
        default: bitsetRuns(const_CAST_bitset(container)->words, base, sink);
    }
}

inline int32_t ContainerAt::cardinality() const {
    return roaring::internal::container_get_cardinality(array_.containers[index_], array_.typecodes[index_]);
}

inline bool ContainerAt::contains(uint16_t low) const {
    return roaring::internal::container_contains(array_.containers[index_], low, array_.typecodes[index_]);
}

inline int32_t ContainerAt::membersBelow(uint16_t low) const {
    if (low == 0) return 0;
    return roaring::internal::container_rank(array_.containers[index_], array_.typecodes[index_], low - 1);
}

inline uint16_t ContainerAt::select(uint32_t rank) const {
    uint32_t start = 0, value = 0;
    roaring::internal::container_select(array_.containers[index_], array_.typecodes[index_], &start, rank,
                                        &value);
    return static_cast<uint16_t>(value);
}

}  // namespace morvane::storage::containers
