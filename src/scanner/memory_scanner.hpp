#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include <simdjson.h>

// Counts the complete JSON documents at the front of a byte buffer with the
// on-demand document stream. One parser per scanner: its working buffers are
// sized by the batch, allocated by the first scan and reused afterwards.
class MemoryScanner {
public:
    // The window the stream indexes at a time, and so the largest document.
    static constexpr size_t kBatchSize = 1073741824;

    struct Result {
        uint64_t documents;     // stream steps: complete documents, plus one for an error step
        uint64_t coveredBytes;  // length of the leading part those documents occupy
    };

    // Reads only [data, data + length). Throws std::bad_alloc when the stream
    // cannot get its working buffers.
    Result scan(const uint8_t *data, size_t length);

private:
    // Scans [data, data + length); the stream may read the byte at data + length.
    Result scanInPlace(const uint8_t *data, size_t length);

    // Copies up to this size stay allocated for the next scan.
    static constexpr size_t kKeptCopyBytes = size_t{1} << 20;

    simdjson::ondemand::parser parser;
    // Padded copy of a buffer that does not end in whitespace.
    std::unique_ptr<uint8_t[]> padded;
    size_t paddedCapacity = 0;
};
