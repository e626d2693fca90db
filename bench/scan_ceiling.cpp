// The document-counting loop alone, on a file read into padded memory: the
// ceiling that MemoryScanner.scan can reach. Prints GB/s of the best run.
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "scanner/memory_scanner.hpp"

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE [REPEATS]\n", argv[0]);
        return 2;
    }
    const int repeats = argc > 2 ? std::atoi(argv[2]) : 5;
    simdjson::padded_string input;
    if (simdjson::padded_string::load(argv[1]).get(input)) return 1;
    simdjson::ondemand::parser parser;
    double best = 1e30;
    size_t documents = 0;
    for (int i = 0; i < repeats; ++i) {
        const auto start = std::chrono::steady_clock::now();
        simdjson::ondemand::document_stream stream;
        if (parser.iterate_many(input.data(), input.size(), MemoryScanner::kBatchSize).get(stream)) return 1;
        documents = 0;
        for (auto it = stream.begin(); it != stream.end(); ++it) ++documents;
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (seconds < best) best = seconds;
    }
    std::printf("%zu %.6f\n", documents, best);
    return 0;
}
