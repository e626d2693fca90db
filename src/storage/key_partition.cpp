// Partition of unsorted input: by high key with a hash of keys, then within a
// key by container (bits 16-31) in place, then each container on its own.
#include "storage/key_partition.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "storage/keys.hpp"

namespace morvane::storage {

namespace {

// Below this many positions per key on average the counters cost more than a sort.
constexpr size_t kPositionsPerKey = 16;
// A key with this many positions gets a counter per container (256 KiB) and
// its values scattered straight to their containers; the counters of all such
// keys together stay below a quarter of the 32-bit buffer.
constexpr size_t kScatterFrom = size_t{1} << 18;
// Containers this full are cheaper to deduplicate through a bitset than to sort.
constexpr size_t kBitsetFrom = 1024;
constexpr size_t kContainerCount = size_t{1} << 16;
constexpr uint32_t kWords = kContainerCount / 64;

// Open-addressing map from key to a dense index, with a count per index.
class KeyCounts {
public:
    explicit KeyCounts(size_t limit) : limit_(limit) { rehash(1024); }

    static constexpr uint32_t kNone = std::numeric_limits<uint32_t>::max();

    // Index of `key`, added when new; kNone once more than the limit of keys.
    uint32_t add(uint32_t key) {
        size_t slot = home(key);
        while (table_[slot] != 0) {
            const uint32_t index = table_[slot] - 1;
            if (keys_[index] == key) return index;
            slot = (slot + 1) & mask_;
        }
        if (keys_.size() >= limit_) return kNone;
        keys_.push_back(key);
        counts_.push_back(0);
        table_[slot] = static_cast<uint32_t>(keys_.size());
        if (keys_.size() * 2 > table_.size()) rehash(table_.size() * 2);
        return static_cast<uint32_t>(keys_.size() - 1);
    }
    // Index of a key known to be present.
    uint32_t find(uint32_t key) const {
        size_t slot = home(key);
        while (keys_[table_[slot] - 1] != key) slot = (slot + 1) & mask_;
        return table_[slot] - 1;
    }

    std::vector<uint32_t> keys_;
    std::vector<size_t> counts_;

private:
    size_t home(uint32_t key) const { return (key * 0x9E3779B1u) >> shift_ & mask_; }
    void rehash(size_t capacity) {
        table_.assign(capacity, 0);
        mask_ = capacity - 1;
        shift_ = 32;
        for (size_t c = capacity; c > 1; c >>= 1) --shift_;
        for (uint32_t index = 0; index < keys_.size(); ++index) {
            size_t slot = home(keys_[index]);
            while (table_[slot] != 0) slot = (slot + 1) & mask_;
            table_[slot] = index + 1;
        }
    }

    size_t limit_;
    std::vector<uint32_t> table_;  // index + 1, 0 for empty
    size_t mask_ = 0;
    unsigned shift_ = 0;
};

size_t sortUnique(uint32_t *values, size_t count) {
    std::sort(values, values + count);
    return static_cast<size_t>(std::unique(values, values + count) - values);
}

// Writes the distinct values of one container ascending to `out`, which may
// overlap the input (it starts at or before it).
size_t uniqueViaBitset(const uint32_t *values, size_t count, uint32_t *out, uint64_t *bits) {
    const uint32_t base = values[0] & 0xFFFF0000u;
    std::fill(bits, bits + kWords, 0);
    for (size_t i = 0; i < count; ++i) {
        const uint32_t low = values[i] & 0xFFFFu;
        bits[low >> 6] |= uint64_t{1} << (low & 63);
    }
    size_t written = 0;
    for (uint32_t word = 0; word < kWords; ++word) {
        for (uint64_t rest = bits[word]; rest != 0; rest &= rest - 1) {
            out[written++] = base | (word << 6) | static_cast<uint32_t>(__builtin_ctzll(rest));
        }
    }
    return written;
}

}  // namespace

bool forEachKeyGroup(size_t count, const uint64_t *positions, const KeyGroupSink &group) {
    KeyCounts keys(std::min<size_t>(count / kPositionsPerKey + 1, size_t{1} << 31));
    // Neighbouring positions mostly share a key; remember the last one.
    uint32_t lastKey = 0;
    uint32_t lastIndex = KeyCounts::kNone;
    auto indexOf = [&](uint32_t key) {
        if (key != lastKey || lastIndex == KeyCounts::kNone) {
            lastIndex = keys.find(key);
            lastKey = key;
        }
        return lastIndex;
    };
    for (size_t i = 0; i < count; ++i) {
        const uint32_t key = highKey(positions[i]);
        if (key != lastKey || lastIndex == KeyCounts::kNone) {
            lastIndex = keys.add(key);
            if (lastIndex == KeyCounts::kNone) return false;
            lastKey = key;
        }
        ++keys.counts_[lastIndex];
    }

    // Segments in ascending key order; large keys get one counter per container.
    const size_t keyCount = keys.keys_.size();
    std::vector<uint32_t> order(keyCount);
    for (uint32_t index = 0; index < keyCount; ++index) order[index] = index;
    std::sort(order.begin(), order.end(),
              [&](uint32_t a, uint32_t b) { return keys.keys_[a] < keys.keys_[b]; });
    std::vector<size_t> segmentStart(keyCount);
    std::vector<uint32_t> counterBase(keyCount, KeyCounts::kNone);
    size_t total = 0;
    size_t scattered = 0;
    for (uint32_t index : order) {
        segmentStart[index] = total;
        const size_t length = keys.counts_[index];
        total += length;
        // Offsets within a segment are 32-bit: only segments that fit qualify.
        if (length >= kScatterFrom && length <= UINT32_MAX) counterBase[index] = scattered++;
    }
    std::vector<uint32_t> next(scattered * kContainerCount, 0);
    if (scattered > 0) {
        lastIndex = KeyCounts::kNone;
        for (size_t i = 0; i < count; ++i) {
            const uint32_t index = indexOf(highKey(positions[i]));
            if (counterBase[index] != KeyCounts::kNone) {
                ++next[size_t{counterBase[index]} * kContainerCount +
                       (static_cast<uint32_t>(positions[i]) >> 16)];
            }
        }
        for (size_t base = 0; base < next.size(); base += kContainerCount) {
            uint32_t offset = 0;
            for (size_t container = 0; container < kContainerCount; ++container) {
                const uint32_t length = next[base + container];
                next[base + container] = offset;
                offset += length;
            }
        }
    }

    // One scatter: small keys fill their segment in input order, large keys
    // straight into their containers.
    std::unique_ptr<uint32_t[]> lows(new uint32_t[count]);
    std::vector<size_t> filled(segmentStart);
    lastIndex = KeyCounts::kNone;
    for (size_t i = 0; i < count; ++i) {
        const uint32_t index = indexOf(highKey(positions[i]));
        const uint32_t low = static_cast<uint32_t>(positions[i]);
        if (counterBase[index] == KeyCounts::kNone) {
            lows[filled[index]++] = low;
        } else {
            uint32_t &slot = next[size_t{counterBase[index]} * kContainerCount + (low >> 16)];
            lows[segmentStart[index] + slot++] = low;
        }
    }

    std::unique_ptr<uint64_t[]> bits(new uint64_t[kWords]);
    for (uint32_t index : order) {
        uint32_t *segment = lows.get() + segmentStart[index];
        size_t unique = 0;
        if (counterBase[index] == KeyCounts::kNone) {
            unique = sortUnique(segment, keys.counts_[index]);
        } else {
            // After the scatter each counter holds its container's end.
            const uint32_t *ends = next.data() + size_t{counterBase[index]} * kContainerCount;
            uint32_t begin = 0;
            for (size_t container = 0; container < kContainerCount; ++container) {
                const size_t length = ends[container] - begin;
                if (length >= kBitsetFrom) {
                    unique += uniqueViaBitset(segment + begin, length, segment + unique, bits.get());
                } else if (length > 0) {
                    const size_t distinct = sortUnique(segment + begin, length);
                    std::memmove(segment + unique, segment + begin, distinct * sizeof(uint32_t));
                    unique += distinct;
                }
                begin = ends[container];
            }
        }
        group(keys.keys_[index], segment, unique);
    }
    return true;
}

}  // namespace morvane::storage
