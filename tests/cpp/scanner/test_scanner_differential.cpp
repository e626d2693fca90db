// The scanner against the dependency on a padded copy, and the caller's loop
// over streams cut at random points.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "scanner/buffer_end.hpp"
#include "scanner/memory_scanner.hpp"
#include "scanner/scanner_reference.hpp"

namespace {

using morvane::scanner::incompleteCharacterLength;

// Input placed against an inaccessible page, so any read past it faults.
class GuardedBuffer {
public:
    explicit GuardedBuffer(size_t capacity) {
        const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        span = (capacity + page - 1) / page * page + page;
        region = static_cast<uint8_t *>(
            mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        mprotect(region + span - page, page, PROT_NONE);
        limit = region + span - page;
    }
    ~GuardedBuffer() { munmap(region, span); }
    const uint8_t *place(const std::string &text) {
        uint8_t *start = limit - text.size();
        std::memcpy(start, text.data(), text.size());
        return start;
    }

private:
    size_t span;
    uint8_t *region;
    uint8_t *limit;
};

const char *const kPieces[] = {"{",
                               "}",
                               "[",
                               "]",
                               "\"",
                               ":",
                               ",",
                               " ",
                               "\n",
                               "\t",
                               "\r",
                               "1",
                               "-2.5e3",
                               "true",
                               "a",
                               "\\",
                               "\\\"",
                               "\\u00e9",
                               "\x01",
                               "\xc3\xa9",
                               "\xe2\x82\xac",
                               "\xf0\x9f\x98\x80",
                               "\xc3",
                               "\xe2\x82",
                               "\xff",
                               "\x80",
                               "\xed\xa0\x80",
                               "{\"k\":\"v\"}",
                               "[1,2]",
                               "\"s\"",
                               "\xef\xbb\xbf",
                               "\xef\xbb"};

std::string randomText(std::mt19937 &rng, size_t pieces) {
    std::string text;
    for (size_t i = 0; i < pieces; ++i) text += kPieces[rng() % (sizeof(kPieces) / sizeof(*kPieces))];
    return text;
}

// Builds one random valid document; `top` keeps bare numbers and literals off
// the top level, where a cut right after one cannot be told from its end.
std::string randomDocument(std::mt19937 &rng, int depth, bool top, bool pretty) {
    static const char *const strings[] = {"\"plain\"",
                                          "\"caf\xc3\xa9\"",
                                          "\"\xe6\x9d\xb1\xe4\xba\xac\"",
                                          "\"\xf0\x9f\x9a\x80 go\"",
                                          "\"esc \\\" \\\\ \\n \\u00e9\"",
                                          "\"\""};
    static const char *const scalars[] = {"0", "-12.5e-3", "true", "false", "null", "123456789"};
    const std::string gap = pretty ? "\n  " : "";
    const unsigned kind = rng() % (depth > 3 ? 2 : 4);
    if (kind == 0 || (top && kind == 1 && rng() % 2)) return strings[rng() % 6];
    if (kind == 1) return top ? strings[rng() % 6] : scalars[rng() % 6];
    std::string out = kind == 2 ? "[" : "{";
    const int members = static_cast<int>(rng() % 4);
    for (int i = 0; i < members; ++i) {
        if (i) out += ",";
        out += gap;
        if (kind == 3) out += std::string(strings[rng() % 6]) + (pretty ? ": " : ":");
        out += randomDocument(rng, depth + 1, false, pretty);
    }
    out += (members ? gap : "") + (kind == 2 ? "]" : "}");
    return out;
}

struct Stream {
    std::string text;
    // Where a cut may fall: from the end of one document to the start of the next.
    std::vector<std::pair<size_t, size_t>> gaps{{0, 0}};
    size_t documents = 0;
};

Stream randomStream(std::mt19937 &rng) {
    Stream stream;
    // Files from desktop tools often start with a byte order mark, which the
    // stream skips; a cut may fall right after it.
    if (rng() % 4 == 0) {
        stream.text = "\xef\xbb\xbf";
        stream.gaps = {{0, 0}, {3, 3}};
    }
    const int style = static_cast<int>(rng() % 3);  // NDJSON, pretty-printed, glued
    const size_t count = 1 + rng() % 12;
    for (size_t i = 0; i < count; ++i) {
        std::string document = randomDocument(rng, 0, true, style == 1);
        // Glued strings would merge with a following quote-less document only
        // if they were scalars; keep glued streams to containers.
        if (style == 2 && document[0] == '"') document = "[" + document + "]";
        stream.text += document;
        const size_t documentEnd = stream.text.size();
        stream.text += style == 0 ? "\n" : style == 1 ? "\n\n" : "";
        stream.gaps.emplace_back(documentEnd, stream.text.size());
        ++stream.documents;
    }
    return stream;
}

// The scanner's answer must be the reference's; for a buffer that ends inside
// a character, the reference's answer without those bytes.
void expectLikeReference(MemoryScanner &scanner, const std::string &text, const uint8_t *placed) {
    const auto result = scanner.scan(placed, text.size());
    const std::string trimmed = text.substr(
        0,
        text.size() - incompleteCharacterLength(reinterpret_cast<const uint8_t *>(text.data()), text.size()));
    const ReferenceScan expected = referenceScan(trimmed);
    ASSERT_EQ(result.documents, expected.steps) << testing::PrintToString(text);
    ASSERT_LE(result.coveredBytes, trimmed.size()) << testing::PrintToString(text);
    if (!expected.indexingError) {
        ASSERT_EQ(result.coveredBytes, expected.covered) << testing::PrintToString(text);
    }
}

}  // namespace

TEST(BufferEnd, IncompleteCharacterIsAValidPrefixOnly) {
    auto tail = [](const std::string &s) {
        return incompleteCharacterLength(reinterpret_cast<const uint8_t *>(s.data()), s.size());
    };
    EXPECT_EQ(tail("x\xc3"), 1u);
    EXPECT_EQ(tail("x\xe2\x82"), 2u);
    EXPECT_EQ(tail("\xf0\x9f\x98"), 3u);
    EXPECT_EQ(tail("\xc3\xa9"), 0u);          // complete
    EXPECT_EQ(tail("\xf0\x9f\x98\x80"), 0u);  // complete
    EXPECT_EQ(tail("x\xff"), 0u);             // no character starts so
    EXPECT_EQ(tail("x\xc0"), 0u);             // overlong lead
    EXPECT_EQ(tail("x\xe0\x80"), 0u);         // overlong form
    EXPECT_EQ(tail("x\xed\xa0"), 0u);         // surrogate
    EXPECT_EQ(tail("x\xf4\x90"), 0u);         // past U+10FFFF
    EXPECT_EQ(tail("\x80\x80"), 0u);
    EXPECT_EQ(tail(""), 0u);
}

TEST(MemoryScannerDifferential, MatchesTheDependencyOnAPaddedCopy) {
    MemoryScanner scanner;
    GuardedBuffer guarded(4096);
    std::mt19937 rng(11);
    const char *knob = std::getenv("MORVANE_FUZZ_ITERATIONS");
    const long rounds = knob ? std::atol(knob) : 40000;
    for (long round = 0; round < rounds; ++round) {
        const std::string text = randomText(rng, 1 + rng() % 14);
        expectLikeReference(scanner, text, guarded.place(text));
        // Bytes after the buffer are not the scanner's to read or to heed.
        for (const char after : {':', ',', '"', ']'}) {
            const std::string followed = text + after;
            const auto result = scanner.scan(guarded.place(followed), text.size());
            const auto plain = scanner.scan(guarded.place(text), text.size());
            ASSERT_EQ(result.documents, plain.documents) << testing::PrintToString(followed);
            ASSERT_EQ(result.coveredBytes, plain.coveredBytes) << testing::PrintToString(followed);
        }
    }
}

TEST(MemoryScannerDifferential, EveryPrefixAndMutationOfValidStreams) {
    MemoryScanner scanner;
    GuardedBuffer guarded(1 << 16);
    std::mt19937 rng(5);
    for (int round = 0; round < 300; ++round) {
        const Stream stream = randomStream(rng);
        for (size_t cut = 0; cut <= stream.text.size(); ++cut) {
            const std::string prefix = stream.text.substr(0, cut);
            expectLikeReference(scanner, prefix, guarded.place(prefix));
        }
        for (int mutation = 0; mutation < 20; ++mutation) {
            std::string text = stream.text;
            const size_t at = rng() % text.size();
            const int how = static_cast<int>(rng() % 3);
            if (how == 0) text[at] = static_cast<char>(rng() % 256);
            if (how == 1) text.insert(at, kPieces[rng() % (sizeof(kPieces) / sizeof(*kPieces))]);
            if (how == 2) text.erase(at, 1 + rng() % 3);
            expectLikeReference(scanner, text, guarded.place(text));
        }
    }
}

TEST(MemoryScannerProperty, CutAndContinueCountsEveryDocumentOnce) {
    MemoryScanner scanner;
    std::mt19937 rng(7);
    for (int round = 0; round < 400; ++round) {
        const Stream stream = randomStream(rng);
        size_t consumed = 0, fed = 0;
        uint64_t counted = 0;
        std::string pending;
        while (fed < stream.text.size()) {
            const size_t block = 1 + rng() % (round % 2 ? 7 : 97);
            pending += stream.text.substr(fed, block);
            fed = std::min(stream.text.size(), fed + block);
            const auto result =
                scanner.scan(reinterpret_cast<const uint8_t *>(pending.data()), pending.size());
            counted += result.documents;
            consumed += result.coveredBytes;
            // Every cut falls between two documents.
            ASSERT_TRUE(
                std::any_of(stream.gaps.begin(), stream.gaps.end(),
                            [&](auto gap) { return gap.first <= consumed && consumed <= gap.second; }))
                << testing::PrintToString(stream.text) << " at " << consumed;
            pending.erase(0, result.coveredBytes);
        }
        ASSERT_EQ(counted, stream.documents) << testing::PrintToString(stream.text);
    }
}
