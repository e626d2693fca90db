#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include <simdjson.h>

// Counts the complete JSON documents at the front of a byte buffer with the
// on-demand document stream. One parser per scanner: its working buffers are
// sized by the batch, allocated by the first scan and reused afterwards.
//
// The caller's bytes are read in place. The stream reads the byte right after
// its input, and a ':' there changes its reading, so where that byte lies
// beyond the buffer, only the last document (or the unfinished tail) is
// scanned again from a small zero-padded copy. Malformed input may be copied
// whole, to get the stream's exact count.
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
    // An unfinished UTF-8 character at the very end belongs to the tail: the
    // result is that of the buffer without it. After an indexing error (invalid
    // UTF-8, unescaped control characters) the count still includes the error
    // step, and the covered length stops at the start of the document in which
    // the error may lie: 0 when the error is the first step.
    Result scan(const uint8_t *data, size_t length);

private:
    // One run of the document stream.
    struct Pass {
        uint64_t steps = 0;
        simdjson::error_code error = simdjson::EMPTY;  // of the last step; EMPTY when none failed
        size_t truncated = 0;                          // the stream's truncated_bytes()
        size_t lastDocumentStart = 0;                  // of the last step without error
        bool onlyContainers = true;                    // every document an object, array or string

        bool failed() const { return error != simdjson::EMPTY && error != simdjson::SUCCESS; }
        bool indexingFailed() const;
    };

    // Runs the stream over [data, data + length); it reads data[length], which
    // must be readable and not a ':'.
    Pass run(const uint8_t *data, size_t length);
    // Runs the stream over a zero-padded copy of [data, data + length).
    Pass runCopy(const uint8_t *data, size_t length);

    Result scanIndexable(const uint8_t *data, size_t end, size_t available);
    Result scanWithRejectedEnd(const uint8_t *data, size_t end, size_t indexed);
    Result scanWholeCopy(const uint8_t *data, size_t end);
    static Result resultOf(const Pass &pass, size_t length);

    // Copies up to this size stay allocated for the next scan.
    static constexpr size_t kKeptCopyBytes = size_t{1} << 20;

    simdjson::ondemand::parser parser;
    std::unique_ptr<uint8_t[]> copy;
    size_t copyCapacity = 0;
};
