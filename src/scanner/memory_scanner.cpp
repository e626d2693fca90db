#include "scanner/memory_scanner.hpp"

#include <cstring>
#include <new>

namespace {

bool isJsonWhitespace(uint8_t byte) {
    return byte == ' ' || byte == '\n' || byte == '\r' || byte == '\t';
}

}  // namespace

// The stream reads the byte at the input's end (and what it holds changes the
// count: a ':' there turns a trailing string into a key), so the input must be
// followed by bytes we control. When the buffer ends in whitespace, its last
// byte serves: scanning one byte less gives the same documents, and only the
// covered length needs the byte back. Otherwise the bytes are scanned from a
// padded copy.
MemoryScanner::Result MemoryScanner::scan(const uint8_t *data, size_t length) {
    if (length > 0 && isJsonWhitespace(data[length - 1])) {
        const size_t scanned = length - 1;
        Result result = scanInPlace(data, scanned);
        // Trailing whitespace belongs to the covered part only when nothing is truncated.
        if (result.coveredBytes == scanned) result.coveredBytes = length;
        return result;
    }
    if (length == 0) return scanInPlace(data, 0);
    const size_t needed = length + simdjson::SIMDJSON_PADDING;
    if (paddedCapacity < needed) {
        padded.reset(new uint8_t[needed]);  // left uninitialised: it is overwritten next
        paddedCapacity = needed;
    }
    std::memcpy(padded.get(), data, length);
    std::memset(padded.get() + length, ' ', simdjson::SIMDJSON_PADDING);
    Result result = scanInPlace(padded.get(), length);
    // Large copies are not kept between calls.
    if (paddedCapacity > kKeptCopyBytes) {
        padded.reset();
        paddedCapacity = 0;
    }
    return result;
}

MemoryScanner::Result MemoryScanner::scanInPlace(const uint8_t *data, size_t length) {
    simdjson::ondemand::document_stream stream;
    if (parser.iterate_many(data, length, kBatchSize).get(stream) == simdjson::MEMALLOC) {
        throw std::bad_alloc();
    }
    uint64_t documents = 0;
    auto it = stream.begin();
    for (; it != stream.end(); ++it) ++documents;
    // After a memory error the index was never built, so truncated_bytes()
    // would read garbage.
    if (it.error() == simdjson::MEMALLOC) throw std::bad_alloc();
    return {documents, length - stream.truncated_bytes()};
}
