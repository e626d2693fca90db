// Const queries from several threads at once, each building kept state (the
// lookup view, the counting index, slot counts) on first use: run under
// ThreadSanitizer in the sanitizer leg.
#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "storage/bitmap_test_support.hpp"

using morvane::storage::Bitmap;
using namespace morvane::storage::testing;

namespace {

// Answers of many const queries, as one text; equal texts, equal answers.
std::string answers(const Bitmap &a, const Bitmap &b, const std::vector<uint64_t> &probes) {
    std::string out;
    const auto put = [&out](uint64_t value) { out += std::to_string(value) + ','; };
    for (uint64_t p : probes) {
        put(a.contains(p));
        put(a.lowerCardinality(p));
        put(a.any(p, p + 5000));
    }
    const uint64_t count = a.cardinality();
    for (uint64_t p : probes) put(a.nth(p % count));
    put((a | b).cardinality());
    put((a & b).cardinality());
    put((a ^ b).cardinality());
    put(a.intersectionCardinality(b));
    put(a == b);
    put(a.isSubset(a | b));
    const Bitmap *both[] = {&a, &b, &a};
    put(Bitmap::unionAll(both, 3).cardinality());
    put(Bitmap::intersectionAll(both, 3).cardinality());
    std::vector<char> image(a.persistedSize(true));
    a.write(image.data(), true);
    put(Bitmap::read(image.data(), image.size(), true).cardinality());
    std::vector<char> standard(a.portable64Size());
    a.writePortable64(standard.data());
    put(Bitmap::readPortable64(standard.data(), standard.size()) == a);
    put(membersOf(a).size());
    std::vector<uint64_t> firsts, lasts;
    a.runs(firsts, lasts);
    put(firsts.size());
    return out;
}

}  // namespace

TEST(BitmapConcurrentReads, ConstQueriesFromSeveralThreadsAgreeWithOneThread) {
    std::mt19937_64 rng(5);
    std::vector<uint64_t> sparse, dense, probes;
    for (int i = 0; i < 20000; ++i) sparse.push_back(rng() % (uint64_t{1} << 40));
    for (uint64_t i = 0; i < 300000; i += 1 + rng() % 3) dense.push_back(i + 5 * kKey);
    for (int i = 0; i < 300; ++i)
        probes.push_back(i % 2 ? sparse[rng() % sparse.size()] : rng() % (6 * kKey));
    const std::string expected = answers(fromValues(sparse), fromValues(dense), probes);
    for (int round = 0; round < 3; ++round) {
        // Fresh sets: every kept state is built by whichever thread comes first.
        const Bitmap a = fromValues(sparse), b = fromValues(dense);
        std::vector<std::string> got(4);
        std::vector<std::thread> readers;
        for (int t = 0; t < 4; ++t) readers.emplace_back([&, t] { got[t] = answers(a, b, probes); });
        for (auto &reader : readers) reader.join();
        for (int t = 0; t < 4; ++t) EXPECT_EQ(got[t], expected) << "thread " << t;
    }
}
