// Runs of consecutive members, read from the containers themselves: a run
// container gives its runs as they are, a bitset its stretches of set bits a
// word at a time, an array its values. Runs that continue across container
// and key boundaries are joined as they are appended.
#include <vector>

#include "storage/bitmap.hpp"

namespace morvane::storage {

using namespace roaring::internal;  // NOLINT(google-build-using-namespace): CRoaring's container API

namespace {

class RunSink {
public:
    RunSink(std::vector<uint64_t> &firsts, std::vector<uint64_t> &lasts) : firsts_(firsts), lasts_(lasts) {}
    void add(uint64_t first, uint64_t last) {
        if (!lasts_.empty() && lasts_.back() + 1 == first) {
            lasts_.back() = last;
        } else {
            firsts_.push_back(first);
            lasts_.push_back(last);
        }
    }

private:
    std::vector<uint64_t> &firsts_;
    std::vector<uint64_t> &lasts_;
};

void bitsetRuns(const bitset_container_t &bitset, uint64_t base, RunSink &sink) {
    for (uint64_t w = 0; w < BITSET_CONTAINER_SIZE_IN_WORDS; ++w) {
        uint64_t word = bitset.words[w];
        while (word != 0) {
            const auto start = static_cast<uint64_t>(__builtin_ctzll(word));
            const uint64_t rest = ~(word >> start);
            const uint64_t length = rest == 0 ? 64 - start : static_cast<uint64_t>(__builtin_ctzll(rest));
            sink.add(base + 64 * w + start, base + 64 * w + start + length - 1);
            word = start + length >= 64 ? 0 : word & (~uint64_t{0} << (start + length));
        }
    }
}

}  // namespace

void SlotBitmap::appendRuns(uint64_t base, std::vector<uint64_t> &firsts,
                            std::vector<uint64_t> &lasts) const {
    RunSink sink(firsts, lasts);
    const roaring_array_t &containers = bitmap_.high_low_container;
    for (int32_t i = 0; i < containers.size; ++i) {
        const uint64_t high = base + (uint64_t{containers.keys[i]} << 16);
        const container_t *container = containers.containers[i];
        switch (containers.typecodes[i]) {
            case RUN_CONTAINER_TYPE: {
                const auto *run = const_CAST_run(container);
                for (int32_t r = 0; r < run->n_runs; ++r) {
                    sink.add(high + run->runs[r].value, high + run->runs[r].value + run->runs[r].length);
                }
                break;
            }
            case ARRAY_CONTAINER_TYPE: {
                const auto *array = const_CAST_array(container);
                for (int32_t v = 0; v < array->cardinality; ++v)
                    sink.add(high + array->array[v], high + array->array[v]);
                break;
            }
            default: bitsetRuns(*const_CAST_bitset(container), high, sink);
        }
    }
}

int32_t SlotBitmap::Cursor::cardinalityAt(int32_t index) const {
    return container_get_cardinality(containers_->containers[index], containers_->typecodes[index]);
}

void SlotBitmap::Cursor::seek(uint16_t key) {
    for (; index_ < containers_->size && containers_->keys[index_] < key; ++index_)
        before_ += cardinalityAt(index_);
}

bool SlotBitmap::Cursor::contains(uint32_t value) {
    seek(static_cast<uint16_t>(value >> 16));
    return index_ < containers_->size && containers_->keys[index_] == value >> 16 &&
           container_contains(containers_->containers[index_], static_cast<uint16_t>(value),
                              containers_->typecodes[index_]);
}

uint64_t SlotBitmap::Cursor::lowerCardinality(uint32_t value) {
    seek(static_cast<uint16_t>(value >> 16));
    const auto low = static_cast<uint16_t>(value);
    if (index_ == containers_->size || containers_->keys[index_] != value >> 16 || low == 0) return before_;
    return before_ + static_cast<uint64_t>(container_rank(containers_->containers[index_],
                                                          containers_->typecodes[index_], low - 1));
}

uint32_t SlotBitmap::Cursor::select(uint64_t rank) {
    for (; rank - before_ >= static_cast<uint64_t>(cardinalityAt(index_)); ++index_)
        before_ += cardinalityAt(index_);
    uint32_t start = 0, low = 0;
    container_select(containers_->containers[index_], containers_->typecodes[index_], &start,
                     static_cast<uint32_t>(rank - before_), &low);
    return uint32_t{containers_->keys[index_]} << 16 | low;
}

void Bitmap::runs(std::vector<uint64_t> &firsts, std::vector<uint64_t> &lasts) const {
    for (const auto &[key, slot] : slots) slot.appendRuns(joinPosition(key, 0), firsts, lasts);
}

}  // namespace morvane::storage
