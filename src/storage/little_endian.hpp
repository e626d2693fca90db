#pragma once

#include <cstddef>
#include <cstdint>

// Unaligned little-endian loads and stores for the serialized forms.
namespace morvane::storage {

template <typename T>
void storeLittleEndian(char *out, T value) {
    for (size_t i = 0; i < sizeof(T); ++i) out[i] = static_cast<char>(value >> (8 * i));
}

template <typename T>
T loadLittleEndian(const char *in) {
    T value = 0;
    for (size_t i = 0; i < sizeof(T); ++i) {
        value |= static_cast<T>(static_cast<unsigned char>(in[i])) << (8 * i);
    }
    return value;
}

}  // namespace morvane::storage
