#pragma once

#include <cstddef>
#include <cstdint>

// Byte rules for the end of a buffer, kept apart from the scanner so that they
// can be tested on their own.
namespace morvane::scanner {

// Length of the unfinished character at the end of [data, data + length): the
// 1 to 3 bytes that are a proper prefix of a valid multi-byte UTF-8 sequence,
// or 0. Bytes that can begin no valid sequence are not an unfinished character.
size_t incompleteCharacterLength(const uint8_t *data, size_t length);

// Where the stream's indexer ends a final batch of `length` bytes: it drops up
// to three trailing bytes that look like the start of a multi-byte character
// (judged by their lead byte alone) and indexes them as a batch of their own,
// which always fails. Mirrors the dependency so the scan knows when that
// happens before it starts the stream.
size_t indexedLength(const uint8_t *data, size_t length);

// 3 when [data, data + length) starts with a UTF-8 byte order mark, else 0.
inline size_t byteOrderMarkLength(const uint8_t *data, size_t length) {
    return length >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF ? 3 : 0;
}

inline bool isJsonWhitespace(uint8_t byte) {
    return byte == ' ' || byte == '\n' || byte == '\r' || byte == '\t';
}

}  // namespace morvane::scanner
