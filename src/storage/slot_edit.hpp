#pragma once

#include <utility>

#include "storage/slot_bitmap.hpp"

namespace morvane::storage {

// A range change of one slot, prepared out of place so that changes of
// several slots can be committed together: preparing makes every container
// the change needs and room for them (and may throw std::bad_alloc, changing
// no member); commit() installs them without allocating. The slot must not
// change between the two. An edit dropped uncommitted frees what it holds.
class SlotEdit {
public:
    static SlotEdit addRange(SlotBitmap &slot, uint32_t first, uint32_t last) {
        return {slot, SlotBitmap::RangeChange::Add, first, last};
    }
    static SlotEdit removeRange(SlotBitmap &slot, uint32_t first, uint32_t last) {
        return {slot, SlotBitmap::RangeChange::Remove, first, last};
    }
    static SlotEdit flip(SlotBitmap &slot, uint32_t first, uint32_t last) {
        return {slot, SlotBitmap::RangeChange::Flip, first, last};
    }

    void commit() noexcept { slot_->commit(std::move(splice_)); }

private:
    SlotEdit(SlotBitmap &slot, SlotBitmap::RangeChange change, uint32_t first, uint32_t last)
        : slot_(&slot), splice_(slot.prepare(change, first, last)) {}

    SlotBitmap *slot_;
    containers::Splice splice_;
};

}  // namespace morvane::storage
