// Runs of consecutive members come from the containers themselves: a run
// container gives its runs as they are, a bitset its stretches of set bits a
// word at a time, an array its values. Runs that continue across container
// and key boundaries are joined as they are appended.
#include "storage/slot_readers.hpp"

namespace morvane::storage {

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

}  // namespace

void appendRuns(const SlotBitmap &slot, uint64_t base, std::vector<uint64_t> &firsts,
                std::vector<uint64_t> &lasts) {
    RunSink sink(firsts, lasts);
    for (int32_t i = 0; i < slot.containerCount(); ++i) {
        const containers::ContainerAt container(*slot.raw(), i);
        container.forEachRun(base + (uint64_t{container.key()} << 16), sink);
    }
}

bool SlotCursor::seek(uint16_t key) {
    for (; index_ < size() && at(index_).key() < key; ++index_) before_ += at(index_).cardinality();
    return index_ < size() && at(index_).key() == key;
}

bool SlotCursor::contains(uint32_t value) {
    return seek(static_cast<uint16_t>(value >> 16)) && at(index_).contains(static_cast<uint16_t>(value));
}

uint64_t SlotCursor::lowerCardinality(uint32_t value) {
    if (!seek(static_cast<uint16_t>(value >> 16))) return before_;
    return before_ + static_cast<uint64_t>(at(index_).membersBelow(static_cast<uint16_t>(value)));
}

uint32_t SlotCursor::select(uint64_t rank) {
    for (; rank - before_ >= static_cast<uint64_t>(at(index_).cardinality()); ++index_) {
        before_ += at(index_).cardinality();
    }
    return uint32_t{at(index_).key()} << 16 | at(index_).select(static_cast<uint32_t>(rank - before_));
}

}  // namespace morvane::storage
