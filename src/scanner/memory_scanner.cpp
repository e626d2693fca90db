// How a scan treats each kind of buffer end. The answer is always the
// stream's answer over a zero-padded copy of the same bytes; the buffer is read
// in place wherever that gives the same answer, and copied where it may not.
//
// - A leading byte order mark: the stream skips it (3 bytes); the scan strips
//   it first, scans the rest and counts the mark as covered. A second mark, at
//   the start of a range the scan would hand the stream on its own, would be
//   skipped too, though in the whole buffer it is a token: such input is
//   scanned whole from a copy.
// - An unfinished last character (a proper prefix of a valid UTF-8 sequence)
//   is tail: the scan answers for the buffer without it, so a caller who waits
//   for more bytes gets the character whole.
// - Other trailing bytes that look like a lead byte: the stream's final batch
//   leaves out up to three such bytes and indexes them alone, which fails. The
//   scan knows this beforehand (indexedLength) and runs the stream on the part
//   before them, in place; the error step counts.
// - The byte past the end: the stream reads it, and a ':' there turns a
//   trailing string into a key. Where that byte is not ours (the usual case),
//   the part up to the last finished document is read in place and the rest
//   scanned again from a small zero-padded copy.
// - An indexing error (invalid UTF-8, unescaped control characters, an
//   unclosed string): the stream's truncated_bytes() means nothing, so the
//   covered length stops at the start of the last document that read without
//   error, which the error may follow or lie in; at the mark or 0 when the
//   error is the first step.
#include "scanner/memory_scanner.hpp"

#include <algorithm>
#include <cstring>
#include <new>

#include "scanner/buffer_end.hpp"

using morvane::scanner::byteOrderMarkLength;
using morvane::scanner::incompleteCharacterLength;
using morvane::scanner::indexedLength;
using morvane::scanner::isJsonWhitespace;

namespace {

// Whether the first token of [data, data + length) cannot start a document.
bool continuesBackwards(const uint8_t *data, size_t length) {
    size_t at = 0;
    while (at < length && isJsonWhitespace(data[at])) ++at;
    if (at == length) return false;
    const uint8_t first = data[at];
    return first == '}' || first == ']' || first == ',' || first == ':';
}

// The smallest power of two at or above `length`, at least 64 (the stream
// raises smaller batches to its own minimum, which would break monotony).
size_t batchFor(size_t length) {
    size_t batch = 64;
    while (batch < length && batch < MemoryScanner::kBatchSize) batch <<= 1;
    return batch;
}

}  // namespace

bool MemoryScanner::Pass::indexingFailed() const {
    return error == simdjson::UTF8_ERROR || error == simdjson::UNESCAPED_CHARS ||
           error == simdjson::UNCLOSED_STRING;
}

MemoryScanner::Pass MemoryScanner::run(const uint8_t *data, size_t length) {
    Pass pass;
    // An empty input never reaches the indexer, so there is no index to ask.
    if (length == 0) return pass;
    // The worker and its second parser only pay off when there is a next batch.
    parser.threaded = length > kBatchSize;
    // The stream's indices count from after a mark it skipped.
    pass.skippedMark = byteOrderMarkLength(data, length);
    simdjson::ondemand::document_stream stream;
    if (parser.iterate_many(data, length, batchSize).get(stream) == simdjson::MEMALLOC) {
        throw std::bad_alloc();
    }
    auto it = stream.begin();
    for (; it != stream.end(); ++it) {
        if (it.error() == simdjson::SUCCESS) {
            pass.lastDocumentStart = pass.skippedMark + it.current_index();
            size_t first = pass.lastDocumentStart;
            while (first < length && isJsonWhitespace(data[first])) ++first;
            if (first < length && data[first] != '{' && data[first] != '[' && data[first] != '"') {
                pass.onlyContainers = false;
            }
        }
        ++pass.steps;
    }
    pass.error = it.error();
    // After a memory error the index was never built: truncated_bytes() would read garbage.
    if (pass.error == simdjson::MEMALLOC) throw std::bad_alloc();
    if (!pass.indexingFailed()) pass.truncated = stream.truncated_bytes();
    return pass;
}

MemoryScanner::Pass MemoryScanner::runCopy(const uint8_t *data, size_t length) {
    const size_t needed = length + simdjson::SIMDJSON_PADDING;
    if (copyCapacity < needed) {
        copy.reset();
        copyCapacity = 0;
        copy.reset(new uint8_t[needed]);
        copyCapacity = needed;
    }
    std::memcpy(copy.get(), data, length);
    std::memset(copy.get() + length, 0, simdjson::SIMDJSON_PADDING);
    Pass pass = run(copy.get(), length);
    if (copyCapacity > kKeptCopyBytes) {
        copy.reset();
        copyCapacity = 0;
    }
    return pass;
}

MemoryScanner::Result MemoryScanner::resultOf(const Pass &pass, size_t length) {
    if (pass.indexingFailed()) {
        return {pass.steps, pass.steps <= 1 ? pass.skippedMark : pass.lastDocumentStart};
    }
    return {pass.steps, length - pass.truncated};
}

MemoryScanner::Result MemoryScanner::scan(const uint8_t *data, size_t length) {
    const size_t end = length - incompleteCharacterLength(data, length);
    if (end == 0) return {0, 0};
    reserveFor(end);
    const size_t mark = byteOrderMarkLength(data, end);
    if (mark > 0 && byteOrderMarkLength(data + mark, end - mark) > 0) return scanWholeCopy(data, end);
    Result result = scanBody(data + mark, end - mark, length - mark);
    result.coveredBytes += mark;
    return result;
}

void MemoryScanner::reserveFor(size_t length) {
    // The parser reallocates whenever the batch differs from its last one, so
    // the request only ever grows.
    batchSize = std::max(batchSize, batchFor(length));
}

MemoryScanner::Result MemoryScanner::scanBody(const uint8_t *data, size_t end, size_t available) {
    if (end == 0) return {0, 0};
    const size_t indexed = indexedLength(data, end);
    if (indexed < end) return scanWithRejectedEnd(data, end, indexed);
    return scanIndexable(data, end, available);
}

// The stream indexes [0, indexed) as its batch and then fails on the rejected
// bytes up to `end` (invalid UTF-8, since unfinished characters are gone).
MemoryScanner::Result MemoryScanner::scanWithRejectedEnd(const uint8_t *data, size_t end, size_t indexed) {
    // A batch that would itself lose bytes at its end is invalid: let the
    // stream decide how it fails.
    if (indexedLength(data, indexed) < indexed) return scanWholeCopy(data, end);
    // data[indexed] is a rejected byte: readable, and not a ':'.
    const Pass batch = run(data, indexed);
    if (batch.failed()) return resultOf(batch, end);
    const size_t batchCovered = indexed - batch.truncated;
    size_t covered = batchCovered;
    // A last document that touches the rejected bytes may continue into them.
    if (covered == indexed && indexed > 0 && !isJsonWhitespace(data[indexed - 1])) {
        covered = batch.lastDocumentStart;
    }
    return {batch.steps + 1, covered};
}

MemoryScanner::Result MemoryScanner::scanIndexable(const uint8_t *data, size_t end, size_t available) {
    if (end < available && data[end] != ':') return resultOf(run(data, end), end);

    // The byte after `end` is not ours: scan all but the last byte(s) in place,
    // then the last document again, from a copy.
    size_t head = end - 1;
    while (head > 0 && data[head] == ':') --head;
    const Pass headPass = run(data, head);
    // Where the head holds bare numbers, literals or stray brackets, how the stream
    // groups them can depend on bytes past the cut: take the whole instead.
    if (headPass.failed() || !headPass.onlyContainers) return scanWholeCopy(data, end);

    // Cut where the head's documents are known to be finished in the whole
    // buffer too: before its unfinished document, in whitespace after its last
    // document, or else before its last document, which may go on past `head`.
    size_t cut = head - headPass.truncated;
    uint64_t kept = headPass.steps;
    if (cut == head && head > 0) {
        if (isJsonWhitespace(data[head - 1])) {
            cut = head - 1;
        } else if (kept > 0) {
            cut = headPass.lastDocumentStart;
            --kept;
        }
    }
    // The stream looks for the last document's start backwards from the end;
    // past a closing bracket, ',' or ':' it would look on into the head.
    if (kept > 0 && continuesBackwards(data + cut, end - cut)) return scanWholeCopy(data, end);
    // Alone, the tail would have a mark there skipped.
    if (byteOrderMarkLength(data + cut, end - cut) > 0) return scanWholeCopy(data, end);
    const Pass tail = runCopy(data + cut, end - cut);
    if (kept == 0) {
        // Only whitespace precedes the cut: the tail's answer is the whole's.
        Result result = resultOf(tail, end - cut);
        if (!tail.indexingFailed()) result.coveredBytes += cut;
        return result;
    }
    // With documents before it, an indexing error anywhere fails the whole
    // buffer's only batch, also one the tail alone would report as empty.
    const bool tailInvalid =
        tail.indexingFailed() ||
        (tail.steps == 0 && !simdjson::validate_utf8(reinterpret_cast<const char *>(data + cut), end - cut));
    if (tailInvalid && end <= kBatchSize) return {1, 0};
    if (tail.failed() || tailInvalid) return scanWholeCopy(data, end);
    return {kept + tail.steps, end - tail.truncated};
}

// Exact but not zero-copy: for malformed input only.
MemoryScanner::Result MemoryScanner::scanWholeCopy(const uint8_t *data, size_t end) {
    return resultOf(runCopy(data, end), end);
}
