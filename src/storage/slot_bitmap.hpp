#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <vector>

#include "roaring.h"
#include "storage/roaring_containers.hpp"

namespace morvane::storage {

// Makes CRoaring's failed allocations throw std::bad_alloc; done when the
// core is loaded, and again by a test that swapped the hook for its own.
void installRoaringAllocator();
// Throws std::bad_alloc unless `bytes` (when large) can be allocated now.
void ensureHeadroom(size_t bytes);

// RAII owner of one CRoaring 32-bit bitmap: the low parts of every member that
// shares one high key. The bitmap is held by value, so an empty slot costs no
// allocation and a move is a plain struct copy.
class SlotBitmap {
public:
    // Maps create and drop empty slots by the thousand, so the empty state, moves
    // and the destructor stay inline: a zeroed bitmap is what
    // roaring_bitmap_init_cleared makes (no arrays, capacity 0).
    SlotBitmap() noexcept : bitmap_{} {}
    // Deep copy.
    SlotBitmap(const SlotBitmap &other);
    // Leaves `other` empty and valid.
    SlotBitmap(SlotBitmap &&other) noexcept
        : bitmap_(other.bitmap_),
          compacted_(other.compacted_),
          cardinality_(other.cardinality_.load(std::memory_order_relaxed)) {
        other.bitmap_ = roaring_bitmap_t{};
        other.changed();
    }
    // Deep copy; a failed allocation leaves the receiver as it was.
    SlotBitmap &operator=(const SlotBitmap &other);
    SlotBitmap &operator=(SlotBitmap &&other) noexcept;
    ~SlotBitmap() {
        if (containers::holdsArrays(bitmap_)) roaring_bitmap_clear(&bitmap_);
    }

    // The closed range [first, last].
    static SlotBitmap ofRange(uint32_t first, uint32_t last);
    // A new slot with the members in [first, last].
    SlotBitmap clipped(uint32_t first, uint32_t last) const;

    // Points. Both give the strong guarantee: a failed allocation throws
    // std::bad_alloc before any member changes. They return whether the slot
    // changed; when not, every count kept for it stays.
    bool add(uint32_t value);
    bool remove(uint32_t value);
    bool contains(uint32_t value) const {
        containers::prefetchPointLines(bitmap_);
        return roaring_bitmap_contains(&bitmap_, value);
    }
    void clear() noexcept {
        changed();
        roaring_bitmap_clear(&bitmap_);
    }
    // Adds the low 32 bits of each of `count` positions, which share one high
    // key and come in ascending order (repeats allowed).
    void addSortedLowParts(const uint64_t *positions, size_t count);
    // The same for values already cut to their low 32 bits.
    void addSortedLowParts(const uint32_t *values, size_t count);

    // Ranges. Closed forms take [first, last]; flip takes [start, end) with
    // end <= 2^32. Each is its splice prepared and committed at once, so a
    // failed allocation changes nothing.
    void addRangeClosed(uint32_t first, uint32_t last) { commit(prepare(RangeChange::Add, first, last)); }
    void removeRangeClosed(uint32_t first, uint32_t last) {
        commit(prepare(RangeChange::Remove, first, last));
    }
    void flip(uint64_t start, uint64_t end) {
        if (start < end) commit(prepare(RangeChange::Flip, uint32_t(start), uint32_t(end - 1)));
    }

    // A range change of [first, last] made in two steps (containers::Splice):
    // prepare() allocates all it needs and changes no member; commit(), given
    // a splice of this slot, installs it without allocating. The slot must
    // not change between the two.
    using RangeChange = containers::Splice::Kind;
    containers::Splice prepare(RangeChange change, uint32_t first, uint32_t last) {
        return containers::Splice(bitmap_, change, first, last);
    }
    void commit(containers::Splice &&splice) noexcept {
        splice.commit();
        changed();
    }

    bool containsRange(uint64_t start, uint64_t end) const {
        return roaring_bitmap_contains_range(&bitmap_, start, end);
    }
    bool intersectsRange(uint64_t start, uint64_t end) const {
        return roaring_bitmap_intersect_with_range(&bitmap_, start, end);
    }

    // Counting and order. minimum/maximum are only meaningful when not empty.
    // The cardinality is kept once counted, until the next change.
    uint64_t cardinality() const {
        const uint32_t known = cardinality_.load(std::memory_order_relaxed);
        return known != kUnknownCardinality ? known : countCardinality();
    }
    bool isEmpty() const { return roaring_bitmap_is_empty(&bitmap_); }
    uint32_t minimum() const { return roaring_bitmap_minimum(&bitmap_); }
    uint32_t maximum() const { return roaring_bitmap_maximum(&bitmap_); }
    // Number of members <= value.
    uint64_t rank(uint32_t value) const { return roaring_bitmap_rank(&bitmap_, value); }
    // Member of 0-based rank `rank`; false when there is none.
    bool select(uint32_t rank, uint32_t &value) const {
        containers::prefetch(bitmap_, 0, kBlockContainers);
        return roaring_bitmap_select(&bitmap_, rank, &value);
    }

    // Asks for the cached cardinality ahead of a walk that reads it.
    void prefetchCount() const { __builtin_prefetch(&cardinality_); }

    // Rank and select over many containers start from cumulative counts:
    // `starts[b]` is the number of members in the containers before block b
    // of kBlockContainers containers. Worth it from kIndexedContainers up.
    static constexpr int32_t kBlockContainers = 16;
    static constexpr int32_t kIndexedContainers = 256;
    void countBlocks(std::vector<uint32_t> &starts) const;
    uint64_t rank(uint32_t value, const std::vector<uint32_t> &starts) const;
    bool select(uint64_t rank, uint32_t &value, const std::vector<uint32_t> &starts) const;
    // Whether the block counts taken by the last countBlocks() still hold;
    // every change clears it.
    bool blocksCounted() const { return blocksCounted_.load(std::memory_order_acquire); }
    void noteBlocksCounted() const { blocksCounted_.store(true, std::memory_order_release); }

    // Algebra. Each is safe with `other` being the receiver itself.
    SlotBitmap &operator&=(const SlotBitmap &other);
    SlotBitmap &operator-=(const SlotBitmap &other);
    SlotBitmap &operator|=(const SlotBitmap &other);
    SlotBitmap &operator^=(const SlotBitmap &other);
    // New slots.
    SlotBitmap operator&(const SlotBitmap &other) const;
    SlotBitmap operator-(const SlotBitmap &other) const;
    SlotBitmap operator|(const SlotBitmap &other) const;
    SlotBitmap operator^(const SlotBitmap &other) const;
    // Members of any of `count` slots, in one pass of CRoaring's many-way union.
    static SlotBitmap unionOf(const SlotBitmap *const *inputs, size_t count);
    bool operator==(const SlotBitmap &other) const { return roaring_bitmap_equals(&bitmap_, &other.bitmap_); }
    // Members of both, without building the intersection.
    uint64_t andCardinality(const SlotBitmap &other) const {
        return roaring_bitmap_and_cardinality(&bitmap_, &other.bitmap_);
    }
    bool isSubset(const SlotBitmap &other) const {
        return roaring_bitmap_is_subset(&bitmap_, &other.bitmap_);
    }

    // Every member plus `offset`; results outside [0, 2^32) are dropped.
    SlotBitmap addOffset(int64_t offset) const;

    // Representation. Both are idempotent, so a slot unchanged since its last
    // pass is not scanned again (a pass over many bitset containers is costly).
    void runOptimize();
    void shrinkToFit();
    int32_t containerCount() const { return containers::count(bitmap_); }
    // See containers::keySummary and containers::keyArray.
    uint32_t keySummary() const { return containers::keySummary(bitmap_); }
    const void *keyArray() const { return containers::keyArray(bitmap_); }

    // Image in CRoaring's portable or native format.
    size_t serializedSize(bool portable) const;
    size_t serialize(char *out, bool portable) const;
    // Reads an image of at most `maxBytes` bytes and reports in `consumed` how
    // many it used. Throws std::runtime_error "failed alloc while reading"
    // when the bytes hold no valid image (CRoaring's own wording).
    static SlotBitmap deserialize(const char *in, size_t maxBytes, bool portable, size_t &consumed);

    // Writes the members, ascending, to out[0, cardinality).
    void copyLowParts(uint32_t *out) const { roaring_bitmap_to_uint32_array(&bitmap_, out); }

    // Calls visit(values, count) for consecutive chunks of the members, ascending.
    template <typename Visit>
    void forEachChunk(Visit visit) const {
        uint32_t chunk[kChunkValues];
        roaring_uint32_iterator_t it;
        roaring_iterator_init(&bitmap_, &it);
        while (uint32_t count = roaring_uint32_iterator_read(&it, chunk, kChunkValues)) {
            visit(static_cast<const uint32_t *>(chunk), count);
        }
    }

    // "{1,2,3}", or "{}" when empty.
    std::string toString() const;

    const roaring_bitmap_t *raw() const noexcept { return &bitmap_; }

private:
    static constexpr uint32_t kChunkValues = 1024;

    // Takes over a bitmap that CRoaring allocated. CRoaring returns null only
    // where an allocation failed, which the installed hook turns into
    // std::bad_alloc first; a null is refused all the same.
    static SlotBitmap adopt(roaring_bitmap_t *allocated);
    // Runs one of CRoaring's in-place operations on the bitmap. Those are not
    // safe against a failed allocation: they may free a container's array
    // before allocating its successor, leaving pointers to freed memory. After
    // such a failure the slot cannot be used, nor freed: it is dropped
    // (leaked) and left empty, so the set stays valid but loses the slot's
    // members (the basic guarantee).
    template <typename Operation>
    void inPlace(Operation operation) {
        try {
            operation();
        } catch (const std::bad_alloc &) {
            bitmap_ = roaring_bitmap_t{};
            changed();
            throw;
        }
    }
    template <typename Position>
    void addSortedLow(const Position *positions, size_t count);

    // Every change may undo what runOptimize and shrinkToFit did, and makes
    // the counts kept for queries stale.
    void changed() noexcept {
        compacted_ = Compaction{};
        cardinality_.store(kUnknownCardinality, std::memory_order_relaxed);
        blocksCounted_.store(false, std::memory_order_relaxed);
    }
    // After a point change of one container whose stored member counts were
    // `before` and `after` (-1 where not stored: a run container counts its
    // runs each time): a count `known` before the change moves by their
    // difference instead of being recounted over every container. A count of
    // 2^32 - 1 reads as unknown and is counted again.
    void keepCount(uint32_t known, int32_t before, int32_t after) noexcept {
        if (known == kUnknownCardinality || before < 0 || after < 0) return;
        cardinality_.store(known + static_cast<uint32_t>(after) - static_cast<uint32_t>(before),
                           std::memory_order_relaxed);
    }
    uint64_t countCardinality() const;
    // The containers [first, first + kBlockContainers) as a read-only bitmap.
    roaring_bitmap_t block(int32_t first) const {
        return containers::window(bitmap_, first, kBlockContainers);
    }
    // An upper bound of what a copy of the slot allocates, for ensureHeadroom.
    size_t footprint() const;

    struct Compaction {
        bool runOptimized = false;
        bool shrunk = false;
    };

    // A full slot (2^32 members) is counted each time.
    static constexpr uint32_t kUnknownCardinality = UINT32_MAX;

    roaring_bitmap_t bitmap_;
    Compaction compacted_;
    // Counts for queries, which may run in several threads at once; they fit
    // in what would be padding after `compacted_`.
    mutable std::atomic<bool> blocksCounted_{false};
    mutable std::atomic<uint32_t> cardinality_{kUnknownCardinality};
};

static_assert(sizeof(SlotBitmap) == sizeof(roaring_bitmap_t) + 8, "counts must fit the padding");

}  // namespace morvane::storage
