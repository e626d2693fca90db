#pragma once

// Readers that walk one slot's containers in order, for the bulk queries and
// the runs export.
#include <cstdint>
#include <vector>

#include "storage/roaring_containers.hpp"
#include "storage/slot_bitmap.hpp"

namespace morvane::storage {

// Answers queries whose arguments ascend from one call to the next by walking
// the containers forward once. Valid while the slot is unchanged.
class SlotCursor {
public:
    explicit SlotCursor(const SlotBitmap &slot) : bitmap_(slot.raw()), size_(slot.containerCount()) {}
    bool contains(uint32_t value);
    // Members below `value`.
    uint64_t lowerCardinality(uint32_t value);
    // The member of 0-based rank `rank`, which is below the cardinality.
    uint32_t select(uint64_t rank);

private:
    containers::ContainerAt at(int32_t index) const { return {*bitmap_, index}; }
    // Moves to the first container whose key is not below `key`; true when
    // that container's key is `key`.
    bool seek(uint16_t key);

    int32_t size() const { return size_; }

    const roaring_bitmap_t *bitmap_;
    int32_t size_;
    int32_t index_ = 0;
    uint64_t before_ = 0;  // members of the containers before index_
};

// Appends the runs of the slot's members as Bitmap::runs does, each member
// plus `base`; a run that continues the last one appended extends it.
void appendRuns(const SlotBitmap &slot, uint64_t base, std::vector<uint64_t> &firsts,
                std::vector<uint64_t> &lasts);

}  // namespace morvane::storage
