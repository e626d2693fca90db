#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <utility>

#include "storage/node_pool.hpp"
#include "storage/slot_bitmap.hpp"

namespace morvane::storage {

// The tree of a set's entries, high key to slot, its nodes from the pool.
using SlotTree =
    std::map<uint32_t, SlotBitmap, std::less<uint32_t>, PoolAllocator<std::pair<const uint32_t, SlotBitmap>>>;

}  // namespace morvane::storage
