// Groups unsorted positions by high key without sorting a copy of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace morvane::storage {

using KeyGroupSink = std::function<void(uint32_t key, const uint32_t *lows, size_t count)>;

// Calls `group(key, lows, count)` once for every distinct high key among the
// positions, keys ascending, with that key's low 32 bits sorted and without
// repeats. Extra memory stays below the input's own size: one 32-bit buffer
// of `count` values and a few counters per key. Returns false, having called
// nothing, where keys are so many (few positions each) that a plain sort of a
// copy is the better way.
bool forEachKeyGroup(size_t count, const uint64_t *positions, const KeyGroupSink &group);

}  // namespace morvane::storage
