// MemoryScanner::scan on an exactly sized buffer against the dependency on a
// zero-padded copy; a buffer ending inside a character is compared without it.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "scanner/buffer_end.hpp"
#include "scanner/memory_scanner.hpp"
#include "scanner/scanner_reference.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static MemoryScanner scanner;
    std::vector<uint8_t> exact(data, data + size);  // any read past it is caught
    const auto result = scanner.scan(exact.data(), exact.size());
    const size_t kept = size - morvane::scanner::incompleteCharacterLength(data, size);
    const ReferenceScan expected = referenceScan(std::string(data, data + kept));
    if (result.documents != expected.steps || result.coveredBytes > kept) std::abort();
    if (!expected.indexingError && result.coveredBytes != expected.covered) std::abort();
    return 0;
}
