#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "scanner/memory_scanner.hpp"

// The dependency itself, run the plain way: over a zero-padded copy of the
// bytes, counting every step of the stream.
struct ReferenceScan {
    uint64_t steps = 0;
    uint64_t covered = 0;
    bool indexingError = false;  // covered is meaningless then
};

inline ReferenceScan referenceScan(const std::string &text) {
    static simdjson::ondemand::parser parser;
    // Same results; without it, a rejected tail starts a worker and a second parser.
    parser.threaded = false;
    ReferenceScan result;
    if (text.empty()) return result;
    // Nothing but a byte order mark: the stream skips it and then reads an
    // index it never built for the empty rest. The mark is covered.
    if (text == "\xef\xbb\xbf") {
        result.covered = 3;
        return result;
    }
    std::vector<uint8_t> padded(text.size() + simdjson::SIMDJSON_PADDING, 0);
    std::copy(text.begin(), text.end(), padded.begin());
    simdjson::ondemand::document_stream stream;
    if (parser.iterate_many(padded.data(), text.size(), MemoryScanner::kBatchSize).get(stream)) return result;
    auto it = stream.begin();
    for (; it != stream.end(); ++it) ++result.steps;
    const auto error = it.error();
    result.indexingError = error == simdjson::UTF8_ERROR || error == simdjson::UNESCAPED_CHARS ||
                           error == simdjson::UNCLOSED_STRING;
    if (!result.indexingError) result.covered = text.size() - stream.truncated_bytes();
    return result;
}
