#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include <simdjson.h>

#include "concurrency/access_state.hpp"

// Counts the complete JSON documents at the front of a byte buffer with the
// on-demand document stream. One parser per scanner: its working buffers are
// sized for min(1 GiB, the longest buffer scanned so far rounded up to a power
// of two), so they grow at most about thirty times and never shrink.
//
// The caller's bytes are read in place; memory_scanner.cpp says what happens at
// each kind of buffer end and when a small zero-padded copy is scanned instead.
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
    //
    // A leading byte order mark is skipped and covered. An unfinished UTF-8
    // character at the very end belongs to the tail: the result is that of the
    // buffer without it. After an indexing error (invalid UTF-8, unescaped
    // control characters) the count still includes the error step, and the
    // covered length stops at the start of the document in which the error may
    // lie: after the mark, or 0, when the error is the first step.
    Result scan(const uint8_t *data, size_t length);

    // Who is using the scanner now (see Bitmap::access); scan() never looks at it.
    morvane::concurrency::AccessState &access() const noexcept { return access_; }

private:
    // One run of the document stream.
    struct Pass {
        uint64_t steps = 0;
        simdjson::error_code error = simdjson::EMPTY;  // of the last step; EMPTY when none failed
        size_t truncated = 0;                          // the stream's truncated_bytes()
        size_t lastDocumentStart = 0;                  // of the last step without error
        size_t skippedMark = 0;                        // byte order mark the stream skipped
        bool onlyContainers = true;                    // every document an object, array or string

        bool failed() const { return error != simdjson::EMPTY && error != simdjson::SUCCESS; }
        bool indexingFailed() const;
    };

    // Runs the stream over [data, data + length); it reads data[length], which
    // must be readable and not a ':'.
    Pass run(const uint8_t *data, size_t length);
    // Runs the stream over a zero-padded copy of [data, data + length).
    Pass runCopy(const uint8_t *data, size_t length);

    // Grows the batch the stream is opened with to cover `length`.
    void reserveFor(size_t length);
    // Scans what follows a leading mark; none of its runs start with a mark.
    Result scanBody(const uint8_t *data, size_t end, size_t available);
    Result scanIndexable(const uint8_t *data, size_t end, size_t available);
    Result scanWithRejectedEnd(const uint8_t *data, size_t end, size_t indexed);
    Result scanWholeCopy(const uint8_t *data, size_t end);
    static Result resultOf(const Pass &pass, size_t length);

    // Copies up to this size stay allocated for the next scan.
    static constexpr size_t kKeptCopyBytes = size_t{1} << 20;

    simdjson::ondemand::parser parser;
    size_t batchSize = 0;
    std::unique_ptr<uint8_t[]> copy;
    size_t copyCapacity = 0;
    mutable morvane::concurrency::AccessState access_;
};
