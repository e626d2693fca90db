#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <string>

#include "scanner/memory_scanner.hpp"

namespace {

using Result = MemoryScanner::Result;

Result scan(MemoryScanner &scanner, const std::string &text) {
    return scanner.scan(reinterpret_cast<const uint8_t *>(text.data()), text.size());
}

// A readable page followed by an inaccessible one: input placed at the end of
// the first page faults on any read past its last byte.
class GuardedPage {
public:
    GuardedPage() : page(static_cast<size_t>(sysconf(_SC_PAGESIZE))) {
        region = static_cast<char *>(
            mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        mprotect(region + page, page, PROT_NONE);
    }
    ~GuardedPage() { munmap(region, 2 * page); }
    const uint8_t *place(const std::string &text) {
        char *start = region + page - text.size();
        std::memcpy(start, text.data(), text.size());
        return reinterpret_cast<const uint8_t *>(start);
    }

private:
    size_t page;
    char *region;
};

void expectResult(const Result &result, uint64_t documents, uint64_t covered) {
    EXPECT_EQ(result.documents, documents);
    EXPECT_EQ(result.coveredBytes, covered);
}

}  // namespace

TEST(MemoryScanner, CountsCompleteDocuments) {
    MemoryScanner scanner;
    expectResult(scan(scanner, R"({"a":1} {"b":2})"), 2, 15);
    expectResult(scan(scanner, "{\"a\":1}\n{\"b\":"), 1, 8);
    expectResult(scan(scanner, "  \n\t "), 0, 5);
    expectResult(scan(scanner, "abc"), 1, 3);
    expectResult(scan(scanner, ""), 0, 0);
    expectResult(scan(scanner, "{\"a\":1}\n{\"b\":2}\n"), 2, 16);
    expectResult(scan(scanner, "{\"a\":1}\n{\"b\": \n"), 1, 8);
    expectResult(scan(scanner, R"({"a":1}{"b":[2]})"), 2, 16);
}

// Regression: a buffer holding only an unfinished document was reported as
// wholly covered, so a caller cutting there lost the document.
TEST(MemoryScanner, LoneUnfinishedDocumentIsNotCovered) {
    MemoryScanner scanner;
    expectResult(scan(scanner, R"({"id":378735,)"), 0, 0);
    expectResult(scan(scanner, "  \n[1,2"), 0, 3);
    expectResult(scan(scanner, "  {\"a\": \n"), 0, 2);
    expectResult(scan(scanner, "]"), 0, 0);
}

TEST(MemoryScanner, ByteAfterTheInputDoesNotChangeTheCount) {
    // A ':' right after a trailing string would make it a key if it were read.
    MemoryScanner scanner;
    for (const std::string input : {R"("x")", R"({"a":1} "x")", R"(1 "x")"}) {
        const Result plain = scan(scanner, input);
        const std::string withColon = input + ":";
        const Result cut = scanner.scan(reinterpret_cast<const uint8_t *>(withColon.data()), input.size());
        expectResult(cut, plain.documents, plain.coveredBytes);
    }
}

TEST(MemoryScanner, NeverReadsPastTheGuardPage) {
    GuardedPage guarded;
    MemoryScanner scanner;
    const std::string inputs[] = {R"({"a":1} {"b":2})",
                                  "{\"a\":1}\n{\"b\":",
                                  "abc",
                                  "\"abc",
                                  "[1,2",
                                  "{\"a\":\"b\"}   \n",
                                  "\"x\"",
                                  "1 2 3",
                                  "[[[",
                                  "tru",
                                  "{\"a\":1}\n",
                                  "{\"k\":\"\\u00e9\"}"};
    for (const std::string &input : inputs) {
        const Result expected = scan(scanner, input);
        const Result guardedResult = scanner.scan(guarded.place(input), input.size());
        expectResult(guardedResult, expected.documents, expected.coveredBytes);
    }
    std::mt19937 rng(3);
    const std::string alphabet = "{}[]\":, \n1a\\";
    for (int round = 0; round < 2000; ++round) {
        std::string input(1 + rng() % 40, ' ');
        for (char &c : input) c = alphabet[rng() % alphabet.size()];
        scanner.scan(guarded.place(input), input.size());
    }
}

TEST(MemoryScanner, InvalidUtf8EndsTheCount) {
    MemoryScanner scanner;
    // Regression: the covered length used to be read from an index that was never built.
    // The stream indexes up to the byte that looks like a lead byte, then fails.
    expectResult(scan(scanner, "{\"a\":1} {\"b\":\"\xff\"}"), 2, 8);
    expectResult(scan(scanner, "{} [] {\"b\":\"\xff\"}"), 3, 6);
    // Regression: the error step was not counted, and nothing after the
    // documents before it was covered.
    expectResult(scan(scanner, "{\"a\":1} \xff"), 2, 8);
    expectResult(scan(scanner, "{\"a\":1}\n{\"b\":2}\n\xff"), 3, 16);
    // An error the indexer finds inside its batch fails the batch: one step.
    expectResult(scan(scanner, "{\"a\":1} {\"b\":\"\xff\"} "), 1, 0);
    expectResult(scan(scanner, "{\"a\":1} \"\x01\" \n"), 1, 0);
    expectResult(scan(scanner, "{} {}"), 2, 5);  // still usable
}

// Regression: a leading byte order mark was counted as a document.
TEST(MemoryScanner, LeadingByteOrderMarkIsSkippedAndCovered) {
    MemoryScanner scanner;
    const std::string mark = "\xef\xbb\xbf";
    expectResult(scan(scanner, mark + "{\"a\":1}\n{\"b\":2}\n"), 2, 19);
    expectResult(scan(scanner, mark + "{\"a\":1}\n{\"b\":"), 1, 11);
    expectResult(scan(scanner, mark + " {\"a\":"), 0, 4);
    expectResult(scan(scanner, mark), 0, 3);
    expectResult(scan(scanner, "\xef\xbb"), 0, 0);  // an unfinished mark is tail
    // A first-step indexing error stops after the mark.
    expectResult(scan(scanner, mark + "{\"a\":\"\x01\"} "), 1, 3);
    // Only the first mark is skipped: a second one is a token.
    const Result twice = scan(scanner, mark + mark + "{}");
    EXPECT_EQ(twice.documents, 2u);
    expectResult(scan(scanner, "{} " + mark + "{}"), 3, 8);
}

TEST(MemoryScanner, LongerBufferAfterShortOnesGivesTheSameAnswer) {
    // The working buffers grow with the input; a reused scanner must answer
    // as a new one does.
    MemoryScanner reused;
    std::string text;
    for (int i = 0; i < 5000; ++i) text += "{\"id\":" + std::to_string(i) + ",\"s\":\"caf\xc3\xa9\"}\n";
    for (size_t length : {size_t{1}, size_t{16}, size_t{100}, size_t{5000}, text.size(), size_t{70}}) {
        const std::string prefix = text.substr(0, length) + "[";
        MemoryScanner fresh;
        const Result expected = scan(fresh, prefix);
        expectResult(scan(reused, prefix), expected.documents, expected.coveredBytes);
    }
}
