#pragma once

#include <cstdint>

// Facts about how a position splits into a key (its high 32 bits) and a low
// part (its low 32 bits), stated once.
namespace morvane::storage {

// Positions under one key, and so the number of keys: 2^32.
inline constexpr uint64_t kKeySpan = uint64_t{1} << 32;
// The largest low part, the last position a slot can hold.
inline constexpr uint32_t kLargestLow = 0xFFFFFFFFu;

constexpr uint32_t highKey(uint64_t position) { return static_cast<uint32_t>(position >> 32); }
constexpr uint32_t lowPart(uint64_t position) { return static_cast<uint32_t>(position); }
constexpr uint64_t joinPosition(uint32_t key, uint32_t low) { return (uint64_t{key} << 32) | low; }

}  // namespace morvane::storage
