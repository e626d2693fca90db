#include "storage/slot_bitmap.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace morvane::storage {

namespace {

const bool kAllocatorInstalled = (installRoaringAllocator(), true);

constexpr char kReadFailed[] = "failed alloc while reading";

// First byte of CRoaring's native image: a plain uint32 array or a portable image.
constexpr char kNativeArrayImage = 1;
constexpr char kNativePortableImage = 2;

// CRoaring reads the container count of a portable image without a run
// bitmap as a signed 32-bit value and overflows on a negative one; such
// headers are refused before it sees them.
bool portableHeaderPlausible(const char *in, size_t maxBytes) {
    constexpr uint32_t kCookieWithoutRuns = 12346;
    constexpr uint32_t kMaxContainers = 1u << 16;
    uint32_t cookie = 0;
    if (maxBytes < sizeof cookie) return false;
    std::memcpy(&cookie, in, sizeof cookie);
    if (cookie != kCookieWithoutRuns) return true;
    int32_t containers = 0;
    if (maxBytes < 2 * sizeof cookie) return false;
    std::memcpy(&containers, in + sizeof cookie, sizeof containers);
    return containers >= 0 && static_cast<uint32_t>(containers) <= kMaxContainers;
}

// Bytes of a native image at `in`, or 0 when its header does not fit.
size_t nativeImageSize(const char *in, size_t maxBytes) {
    if (maxBytes < 1) return 0;
    if (in[0] == kNativeArrayImage) {
        if (maxBytes < 1 + sizeof(uint32_t)) return 0;
        uint32_t count;
        std::memcpy(&count, in + 1, sizeof count);
        return 1 + sizeof(uint32_t) + size_t{count} * sizeof(uint32_t);
    }
    if (in[0] == kNativePortableImage) {
        if (!portableHeaderPlausible(in + 1, maxBytes - 1)) return 0;
        size_t inner = roaring_bitmap_portable_deserialize_size(in + 1, maxBytes - 1);
        return inner == 0 ? 0 : inner + 1;
    }
    return 0;
}

}  // namespace

size_t SlotBitmap::footprint() const {
    // A bitset container takes 8 KiB; below that many containers the bound
    // stays under ensureHeadroom's threshold without measuring.
    const size_t containers = static_cast<size_t>(containerCount());
    if (containers * 8192 < (size_t{1} << 20)) return containers * 8192;
    return roaring_bitmap_portable_size_in_bytes(&bitmap_) + containers * 64;
}

SlotBitmap::SlotBitmap(const SlotBitmap &other) : bitmap_{} {
    ensureHeadroom(other.footprint());
    containers::copyAll(other.bitmap_, bitmap_);
}

SlotBitmap &SlotBitmap::operator=(const SlotBitmap &other) {
    if (this == &other) return *this;
    ensureHeadroom(other.footprint());
    roaring_bitmap_t copy{};
    containers::copyAll(other.bitmap_, copy);
    changed();
    roaring_bitmap_clear(&bitmap_);
    bitmap_ = copy;
    return *this;
}

SlotBitmap &SlotBitmap::operator=(SlotBitmap &&other) noexcept {
    if (this != &other) {
        roaring_bitmap_clear(&bitmap_);
        bitmap_ = other.bitmap_;
        compacted_ = other.compacted_;
        blocksCounted_.store(false, std::memory_order_relaxed);
        cardinality_.store(other.cardinality_.load(std::memory_order_relaxed), std::memory_order_relaxed);
        other.bitmap_ = roaring_bitmap_t{};
        other.changed();
    }
    return *this;
}

uint64_t SlotBitmap::countCardinality() const {
    const uint64_t count = roaring_bitmap_get_cardinality(&bitmap_);
    // Racing readers store the same value.
    if (count < kUnknownCardinality) {
        cardinality_.store(static_cast<uint32_t>(count), std::memory_order_relaxed);
    }
    return count;
}

void SlotBitmap::countBlocks(std::vector<uint32_t> &starts) const {
    const int32_t containers = containerCount();
    starts.assign(static_cast<size_t>((containers + kBlockContainers - 1) / kBlockContainers), 0);
    uint64_t before = 0;
    for (size_t b = 0; b < starts.size(); ++b) {
        // Below 2^32: the last block holds at least one container.
        starts[b] = static_cast<uint32_t>(before);
        const roaring_bitmap_t window = block(static_cast<int32_t>(b) * kBlockContainers);
        before += roaring_bitmap_get_cardinality(&window);
    }
}

uint64_t SlotBitmap::rank(uint32_t value, const std::vector<uint32_t> &starts) const {
    const int32_t at = containers::indexAtOrAbove(bitmap_, static_cast<uint16_t>(value >> 16));
    if (at == containerCount()) return cardinality();
    const size_t b = static_cast<size_t>(at) / kBlockContainers;
    const roaring_bitmap_t window = block(static_cast<int32_t>(b) * kBlockContainers);
    return starts[b] + roaring_bitmap_rank(&window, value);
}

bool SlotBitmap::select(uint64_t rank, uint32_t &value, const std::vector<uint32_t> &starts) const {
    if (rank >= cardinality()) return false;
    const size_t b =
        static_cast<size_t>(std::upper_bound(starts.begin(), starts.end(), rank) - starts.begin()) - 1;
    containers::prefetch(bitmap_, static_cast<int32_t>(b) * kBlockContainers, kBlockContainers);
    const roaring_bitmap_t window = block(static_cast<int32_t>(b) * kBlockContainers);
    return roaring_bitmap_select(&window, static_cast<uint32_t>(rank - starts[b]), &value);
}

SlotBitmap SlotBitmap::adopt(roaring_bitmap_t *allocated) {
    if (allocated == nullptr) throw std::bad_alloc();
    SlotBitmap result;
    result.bitmap_ = *allocated;
    // The containers now belong to `result`; only the shell is freed.
    roaring_free(allocated);
    return result;
}

SlotBitmap SlotBitmap::operator&(const SlotBitmap &other) const {
    // Disjoint slots are common where keys are shared but runs are not, and
    // the check allocates nothing.
    if (!roaring_bitmap_intersect(&bitmap_, &other.bitmap_)) return SlotBitmap{};
    return adopt(roaring_bitmap_and(&bitmap_, &other.bitmap_));
}

SlotBitmap SlotBitmap::operator-(const SlotBitmap &other) const {
    ensureHeadroom(footprint() + other.footprint());
    return adopt(roaring_bitmap_andnot(&bitmap_, &other.bitmap_));
}

SlotBitmap SlotBitmap::operator|(const SlotBitmap &other) const {
    ensureHeadroom(footprint() + other.footprint());
    return adopt(roaring_bitmap_or(&bitmap_, &other.bitmap_));
}

SlotBitmap SlotBitmap::operator^(const SlotBitmap &other) const {
    ensureHeadroom(footprint() + other.footprint());
    return adopt(roaring_bitmap_xor(&bitmap_, &other.bitmap_));
}

SlotBitmap SlotBitmap::unionOf(const SlotBitmap *const *inputs, size_t count) {
    if (count == 0) return SlotBitmap{};
    // Grown in place from the largest: CRoaring's many-way unions build each
    // step's containers anew (or turn every container into a bitset), which
    // costs far more than they save on sparse slots.
    const SlotBitmap *const *largest = std::max_element(
        inputs, inputs + count,
        [](const SlotBitmap *a, const SlotBitmap *b) { return a->cardinality() < b->cardinality(); });
    SlotBitmap result(**largest);
    for (size_t i = 0; i < count; ++i) {
        if (inputs + i != largest) result |= *inputs[i];
    }
    return result;
}

// The kept count is read only once the slot changed: it may sit on another
// cache line than the containers, and calls that change nothing (a member set
// again, an absent one unset) are common.
bool SlotBitmap::add(uint32_t value) {
    const containers::PointChange change = containers::add(bitmap_, value);
    if (!change.changed) return false;  // every kept count stays
    const uint32_t known = cardinality_.load(std::memory_order_relaxed);
    changed();
    keepCount(known, change.before, change.after);
    return true;
}

bool SlotBitmap::remove(uint32_t value) {
    const containers::PointChange change = containers::remove(bitmap_, value);
    if (!change.changed) return false;
    const uint32_t known = cardinality_.load(std::memory_order_relaxed);
    changed();
    keepCount(known, change.before, change.after);
    return true;
}

SlotBitmap SlotBitmap::ofRange(uint32_t first, uint32_t last) {
    SlotBitmap result;
    result.addRangeClosed(first, last);
    return result;
}

SlotBitmap SlotBitmap::clipped(uint32_t first, uint32_t last) const {
    // Intersecting with the range costs its span in containers, copying and
    // trimming costs our own containers: take the cheaper.
    const int64_t spanContainers = int64_t{last >> 16} - int64_t{first >> 16} + 1;
    if (spanContainers <= containerCount()) {
        SlotBitmap result = ofRange(first, last);
        result &= *this;
        return result;
    }
    SlotBitmap result(*this);
    if (first > 0) result.removeRangeClosed(0, first - 1);
    if (last < UINT32_MAX) result.removeRangeClosed(last + 1, UINT32_MAX);
    return result;
}

// Stretches of consecutive values go in as ranges, which makes run containers
// at once; the rest one by one, with the bulk context keeping the last
// container at hand. Both callers go through here so that the same members
// give the same containers whichever way they arrived.
template <typename Position>
void SlotBitmap::addSortedLow(const Position *positions, size_t count) {
    constexpr uint64_t kShortestRange = 16;
    changed();
    roaring_bulk_context_t context{};
    size_t i = 0;
    while (i < count) {
        const uint64_t first = static_cast<uint32_t>(positions[i]);
        uint64_t last = first;
        size_t j = i + 1;
        for (; j < count; ++j) {
            const uint64_t next = static_cast<uint32_t>(positions[j]);
            if (next > last + 1) break;
            last = next;  // equal values repeat a member
        }
        if (last - first + 1 >= kShortestRange) {
            addRangeClosed(static_cast<uint32_t>(first), static_cast<uint32_t>(last));
            context = roaring_bulk_context_t{};  // the range may have replaced the cached container
        } else {
            inPlace([&] {
                for (size_t k = i; k < j; ++k) {
                    roaring_bitmap_add_bulk(&bitmap_, &context, static_cast<uint32_t>(positions[k]));
                }
            });
        }
        i = j;
    }
}

void SlotBitmap::addSortedLowParts(const uint64_t *positions, size_t count) {
    addSortedLow(positions, count);
}

void SlotBitmap::addSortedLowParts(const uint32_t *values, size_t count) { addSortedLow(values, count); }

SlotBitmap &SlotBitmap::operator&=(const SlotBitmap &other) {
    changed();
    if (this != &other) inPlace([&] { roaring_bitmap_and_inplace(&bitmap_, &other.bitmap_); });
    return *this;
}

SlotBitmap &SlotBitmap::operator-=(const SlotBitmap &other) {
    changed();
    if (this == &other) {
        clear();
    } else {
        inPlace([&] { roaring_bitmap_andnot_inplace(&bitmap_, &other.bitmap_); });
    }
    return *this;
}

SlotBitmap &SlotBitmap::operator|=(const SlotBitmap &other) {
    ensureHeadroom(footprint() + other.footprint());
    changed();
    if (this != &other) inPlace([&] { roaring_bitmap_or_inplace(&bitmap_, &other.bitmap_); });
    return *this;
}

SlotBitmap &SlotBitmap::operator^=(const SlotBitmap &other) {
    ensureHeadroom(footprint() + other.footprint());
    changed();
    if (this == &other) {
        clear();
    } else {
        inPlace([&] { roaring_bitmap_xor_inplace(&bitmap_, &other.bitmap_); });
    }
    return *this;
}

SlotBitmap SlotBitmap::addOffset(int64_t offset) const {
    ensureHeadroom(2 * footprint());
    return adopt(roaring_bitmap_add_offset(&bitmap_, offset));
}

void SlotBitmap::runOptimize() {
    if (compacted_.runOptimized) return;
    roaring_bitmap_run_optimize(&bitmap_);
    // Converted containers may carry spare capacity again.
    compacted_ = Compaction{true, false};
}

void SlotBitmap::shrinkToFit() {
    if (compacted_.shrunk) return;
    roaring_bitmap_shrink_to_fit(&bitmap_);
    compacted_.shrunk = true;
}

size_t SlotBitmap::serializedSize(bool portable) const {
    return portable ? roaring_bitmap_portable_size_in_bytes(&bitmap_)
                    : roaring_bitmap_size_in_bytes(&bitmap_);
}

size_t SlotBitmap::serialize(char *out, bool portable) const {
    return portable ? roaring_bitmap_portable_serialize(&bitmap_, out)
                    : roaring_bitmap_serialize(&bitmap_, out);
}

SlotBitmap SlotBitmap::deserialize(const char *in, size_t maxBytes, bool portable, size_t &consumed) {
    if (portable && !portableHeaderPlausible(in, maxBytes)) throw std::runtime_error(kReadFailed);
    consumed =
        portable ? roaring_bitmap_portable_deserialize_size(in, maxBytes) : nativeImageSize(in, maxBytes);
    if (consumed == 0 || consumed > maxBytes) throw std::runtime_error(kReadFailed);
    ensureHeadroom(2 * consumed);
    roaring_bitmap_t *image = portable ? roaring_bitmap_portable_deserialize_safe(in, maxBytes)
                                       : roaring_bitmap_deserialize_safe(in, maxBytes);
    // The readers return null for bytes they refuse as well.
    if (image == nullptr) throw std::runtime_error(kReadFailed);
    SlotBitmap result = adopt(image);
    // The safe readers stay in bounds but accept garbage containers (unsorted
    // arrays, overlapping runs) that later operations would trip over.
    const char *reason = nullptr;
    if (!roaring_bitmap_internal_validate(&result.bitmap_, &reason)) {
        throw std::runtime_error(kReadFailed);
    }
    return result;
}

std::string SlotBitmap::toString() const {
    std::string text;
    roaring_iterate(
        &bitmap_,
        [](uint32_t value, void *param) {
            auto &out = *static_cast<std::string *>(param);
            out += out.empty() ? '{' : ',';
            out += std::to_string(value);
            return true;
        },
        &text);
    if (text.empty()) text = "{";
    text += '}';
    return text;
}

}  // namespace morvane::storage
