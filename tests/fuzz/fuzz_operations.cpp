// Random operation programs on two sets, mirrored on std::set.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <iterator>
#include <set>
#include <string>

#include "storage/bitmap.hpp"

using morvane::storage::Bitmap;
using Model = std::set<uint64_t>;

namespace {

// Positions cluster around the places where faults hide: key boundaries and the ends.
constexpr uint64_t kBases[] = {0, (uint64_t{1} << 32) - 40, uint64_t{1} << 32, (uint64_t{5} << 32) + 65500,
                               UINT64_MAX - 80};

class Program {
public:
    Program(const uint8_t *data, size_t size) : data(data), size(size) {}
    bool done() const { return at >= size; }
    uint8_t byte() { return at < size ? data[at++] : 0; }
    uint64_t position() { return kBases[byte() % 5] + byte(); }
    uint64_t width() { return byte() % 70; }

private:
    const uint8_t *data;
    size_t size;
    size_t at = 0;
};

void check(bool condition) {
    if (!condition) std::abort();
}

void expectSame(const Bitmap &bitmap, const Model &model) {
    check(bitmap.cardinality() == model.size());
    auto it = bitmap.begin();
    for (uint64_t value : model) {
        check(it != bitmap.end() && *it == value);
        ++it;
    }
    check(it == bitmap.end());
}

// expand: members at or above p move up by `by`.
Model expanded(const Model &model, uint64_t p, uint64_t by) {
    Model result;
    for (uint64_t v : model) result.insert(v >= p ? v + by : v);
    return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Program program(data, size);
    Bitmap sets[2];
    Model models[2];
    while (!program.done()) {
        const uint8_t op = program.byte();
        Bitmap &bitmap = sets[op & 1];
        Model &model = models[op & 1];
        const Bitmap &other = sets[(op >> 1) & 1];
        const Model otherModel = models[(op >> 1) & 1];
        const uint64_t p = program.position();
        const uint64_t span = program.width();
        const uint64_t end = p > UINT64_MAX - span ? UINT64_MAX : p + span;
        switch ((op >> 2) % 14) {
            case 0:
                bitmap.add(p);
                model.insert(p);
                break;
            case 1:
                bitmap.remove(p);
                model.erase(p);
                break;
            case 2:
                bitmap.addRange(p, end);
                for (uint64_t v = p; v < end; ++v) model.insert(v);
                break;
            case 3:
                bitmap.removeRange(p, end);
                model.erase(model.lower_bound(p), model.lower_bound(end));
                break;
            case 4:
                bitmap.flip(p, end);
                for (uint64_t v = p; v < end; ++v) {
                    if (!model.erase(v)) model.insert(v);
                }
                break;
            case 5: {
                bitmap |= other;
                model.insert(otherModel.begin(), otherModel.end());
                break;
            }
            case 6: {
                bitmap &= other;
                Model kept;
                for (uint64_t v : model)
                    if (otherModel.count(v)) kept.insert(v);
                model = kept;
                break;
            }
            case 7: {
                bitmap -= other;
                for (uint64_t v : otherModel) model.erase(v);
                break;
            }
            case 8: {
                bitmap = bitmap ^ other;
                Model result;
                for (uint64_t v : model)
                    if (!otherModel.count(v)) result.insert(v);
                for (uint64_t v : otherModel)
                    if (!model.count(v)) result.insert(v);
                model = result;
                break;
            }
            case 9:
                check(bitmap.contains(p) == (model.count(p) == 1));
                check(bitmap.lowerCardinality(p) ==
                      static_cast<uint64_t>(std::distance(model.begin(), model.lower_bound(p))));
                check(bitmap.any(p, end) == (model.lower_bound(p) != model.lower_bound(end)));
                break;
            case 10:
                if (!model.empty()) {
                    const uint64_t ordinal = p % model.size();
                    check(bitmap.nth(ordinal) == *std::next(model.begin(), static_cast<long>(ordinal)));
                }
                break;
            case 11: {
                const auto next = bitmap.selfOrNext(p);
                const auto it = model.lower_bound(p);
                check(next.value_or(0) == (it == model.end() ? 0 : *it));
                break;
            }
            case 12: {
                const uint64_t by = program.width();
                try {
                    bitmap.expand(p, by);
                    if (!model.empty() && *model.rbegin() >= p) model = expanded(model, p, by);
                } catch (const std::exception &) {}
                break;
            }
            case 13: {
                const uint64_t by = program.width();
                try {
                    bitmap.contract(p, by);
                    if (!model.empty() && *model.rbegin() >= p) {
                        // Members in [p - by + 1, p] (not below p's key) go; those above move down.
                        const uint64_t keyStart = p & ~uint64_t{0xFFFFFFFF};
                        const uint64_t keepBelow = std::max(keyStart, p >= by ? p - by + 1 : 0);
                        Model next;
                        for (uint64_t v : model) {
                            if (v > p)
                                next.insert(v - by);
                            else if (v < keepBelow)
                                next.insert(v);
                        }
                        model = next;
                    }
                } catch (const std::exception &) {}
                break;
            }
        }
        expectSame(bitmap, model);
    }
    for (int i = 0; i < 2; ++i) {
        const size_t bytes = sets[i].persistedSize(true, true, true);
        std::string frame(bytes, '\0');
        sets[i].write(&frame[0], true);
        check(Bitmap::read(frame.data(), frame.size(), true) == sets[i]);
    }
    return 0;
}
