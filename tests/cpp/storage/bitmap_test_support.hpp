#pragma once

#include <cstdint>
#include <vector>

#include "storage/bitmap.hpp"

namespace morvane::storage::testing {

constexpr uint64_t kKey = uint64_t{1} << 32;
constexpr uint64_t kMax = UINT64_MAX;

inline std::vector<uint32_t> keysOf(const Bitmap &bitmap) {
    std::vector<uint32_t> keys;
    for (const auto &entry : bitmap.entries()) keys.push_back(entry.first);
    return keys;
}

inline std::vector<uint64_t> membersOf(const Bitmap &bitmap) {
    std::vector<uint64_t> members;
    for (auto it = bitmap.begin(); it != bitmap.end(); ++it) members.push_back(*it);
    return members;
}

inline Bitmap fromValues(std::vector<uint64_t> values) { return Bitmap(values.size(), values.data()); }

}  // namespace morvane::storage::testing
