#include "scanner/memory_scanner.hpp"

#include <cstring>
#include <new>

namespace {

bool isJsonWhitespace(uint8_t byte) {
    return byte == ' ' || byte == '\n' || byte == '\r' || byte == '\t';
}

// Errors of the indexing pass over a whole batch: its index is not built.
bool isIndexingError(simdjson::error_code error) {
    return error == simdjson::UTF8_ERROR || error == simdjson::UNCLOSED_STRING ||
           error == simdjson::UNESCAPED_CHARS;
}

size_t leadingWhitespace(const uint8_t *data, size_t length) {
    size_t offset = 0;
    while (offset < length && isJsonWhitespace(data[offset])) ++offset;
    return offset;
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
    // An empty input never reaches the indexer, so there is no index to ask.
    if (length == 0) return {0, 0};
    if (parser.iterate_many(data, length, kBatchSize).get(stream) == simdjson::MEMALLOC) {
        throw std::bad_alloc();
    }
    uint64_t documents = 0;
    size_t lastDocumentStart = 0;
    auto it = stream.begin();
    for (; it != stream.end(); ++it) {
        if (it.error() == simdjson::SUCCESS) lastDocumentStart = it.current_index();
        ++documents;
    }
    const simdjson::error_code error = it.error();
    // After a memory error the index was never built, so truncated_bytes()
    // would read garbage.
    if (error == simdjson::MEMALLOC) throw std::bad_alloc();
    if (isIndexingError(error)) {
        // truncated_bytes() is not meaningful after these. The error step still
        // counts 1; the last good document is given back to the tail, since
        // where it ends is not known.
        if (documents <= 1) return {documents, 0};
        return {documents - 1, lastDocumentStart};
    }
    // No complete document: the tail starts at the first token, if any. Found
    // here rather than from the index, which holds no document to measure from.
    if (documents == 0) return {0, leadingWhitespace(data, length)};
    return {documents, length - stream.truncated_bytes()};
}
