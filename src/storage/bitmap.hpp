#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "concurrency/access_state.hpp"
#include "storage/keys.hpp"
#include "storage/slot_bitmap.hpp"
#include "storage/slot_map.hpp"

namespace morvane::storage {

// A set of unsigned 64-bit positions: an ordered map from the high 32 bits of a
// position (the key) to a slot bitmap of the low 32 bits.
//
// Entries whose slot bitmap is empty are kept: no operation but `contract` and
// the whole-map ones (`clear`, assignment, move) erase an entry, and several
// operations create them. Membership and equality ignore empty entries; entry
// presence shows in `all`, `isSubset`, `sharesKeysWith`, `isFull` and
// the serialized form.
class Bitmap {
public:
    using Slots = SlotMap;
    class Iterator;

    static constexpr uint32_t highKey(uint64_t position) { return storage::highKey(position); }
    static constexpr uint32_t lowPart(uint64_t position) { return storage::lowPart(position); }
    static constexpr uint64_t join(uint32_t key, uint32_t low) { return joinPosition(key, low); }

    // One empty entry for key 0.
    Bitmap();
    // No entries of its own; then addMany(count, values).
    Bitmap(size_t count, const uint64_t *values);
    // Deep copies; throw std::bad_alloc when memory runs out (the allocation
    // hook throws it, so CRoaring never hands back a null copy).
    Bitmap(const Bitmap &other) = default;
    Bitmap &operator=(const Bitmap &other);
    // The source is left with no entries at all.
    Bitmap(Bitmap &&other) noexcept;
    Bitmap &operator=(Bitmap &&other) noexcept;
    ~Bitmap() = default;

    // Default-constructed value (key-0 entry), then each position added in order.
    static Bitmap of(std::initializer_list<uint64_t> positions);

    // --- Points -------------------------------------------------------------
    void add(uint64_t position);
    // Same members and entries as add() of each value in turn.
    void addMany(size_t count, const uint64_t *values);
    // Leaves the entry in place even when it becomes empty.
    void remove(uint64_t position);
    bool contains(uint64_t position) const;
    // Toggles one position (2^64 - 1 included, which no half-open range reaches).
    void flip(uint64_t position);
    // Removes every entry, key 0 included.
    void clear() noexcept { slots.clear(); }
    bool isEmpty() const;
    // All 2^64 positions are members.
    bool isFull() const;
    // Throws std::length_error when isFull().
    uint64_t cardinality() const;
    std::optional<uint64_t> first() const;
    std::optional<uint64_t> last() const;

    // --- Set algebra (other may be *this) -------------------------------------
    Bitmap &operator&=(const Bitmap &other);
    Bitmap &operator-=(const Bitmap &other);
    // Union and symmetric difference create an entry for every key of `other`.
    Bitmap &operator|=(const Bitmap &other);
    Bitmap &operator^=(const Bitmap &other);
    Bitmap operator&(const Bitmap &other) const;
    Bitmap operator-(const Bitmap &other) const;
    Bitmap operator|(const Bitmap &other) const;
    Bitmap operator^(const Bitmap &other) const;
    // Same members; empty and missing entries count alike.
    bool operator==(const Bitmap &other) const;
    bool operator!=(const Bitmap &other) const { return !(*this == other); }
    // Every entry of *this has an entry of the same key in `other` holding a superset.
    bool isSubset(const Bitmap &other) const;
    // isSubset and different cardinalities; may throw std::length_error.
    bool isStrictSubset(const Bitmap &other) const;
    // Members of any / of all of `count` sets, with the entries that folding |
    // (&) over them from the first would leave: union has an entry for every
    // key of any input, intersection one for every key of the first. One pass
    // per key over all inputs. No input: an empty set (one empty key-0 entry)
    // for the union; the intersection requires count > 0.
    static Bitmap unionAll(const Bitmap *const *inputs, size_t count);
    static Bitmap intersectionAll(const Bitmap *const *inputs, size_t count);
    // Members of both, without building the intersection (modulo 2^64).
    uint64_t intersectionCardinality(const Bitmap &other) const;
    // Some key has an entry on both sides, whatever the slots hold.
    bool sharesKeysWith(const Bitmap &other) const;

    // --- Ranges: [start, end), split at key boundaries --------------------------
    // addRange, removeRange and flip create the entry of every key from start's to
    // end's, unless end's key lies below start's.
    void addRange(uint64_t start, uint64_t end);
    void removeRange(uint64_t start, uint64_t end);
    void flip(uint64_t start, uint64_t end);
    bool all(uint64_t start, uint64_t end) const;
    bool any(uint64_t start, uint64_t end) const;

    // --- Rank, select and navigation -----------------------------------------
    // Members strictly below / above `position`.
    uint64_t lowerCardinality(uint64_t position) const;
    uint64_t upperCardinality(uint64_t position) const;
    // Member of 0-based rank `ordinal`; throws std::runtime_error when there is none.
    uint64_t nth(uint64_t ordinal) const;
    // `position` itself or the nearest member after (before) it; 0 (2^64 - 1)
    // when none. Creates the entry of position's key when missing.
    std::optional<uint64_t> selfOrNext(uint64_t position);
    std::optional<uint64_t> selfOrPrevious(uint64_t position);
    Iterator begin() const;
    Iterator end() const;

    // --- Shifting ---------------------------------------------------------------
    // Members in [start, end) at their own positions. Throws std::runtime_error
    // "Invalid range<start>..<end>" when end's key lies below start's.
    Bitmap slice(uint64_t start, uint64_t end) const;
    // Members at or above `position` move up by `by`. Throws std::runtime_error
    // "Impossible!" when position's own slot is empty but a member lies above it,
    // and std::invalid_argument when `by` >= 2^32 or a member would pass 2^64 - 1
    // (nothing changed then).
    void expand(uint64_t position, uint64_t by);
    // Members in [position - by + 1, position] are dropped, those above move down
    // by `by`. Throws std::invalid_argument "Range Out of Bounds" when position's
    // slot holds members and its low part is not above `by`, or when `by` >= 2^32
    // (nothing changed then).
    void contract(uint64_t position, uint64_t by);

    // --- Serialized form ----------------------------------------------------------
    // Exact size of the next write(); compacts the slots first when asked.
    size_t persistedSize(bool portable, bool optimize, bool shrink);
    // The same size, without compacting.
    size_t persistedSize(bool portable) const;
    // Writes persistedSize(portable, ...) bytes; returns one past the last byte.
    char *write(char *out, bool portable) const;
    // Reads one form from [in, in + length). Throws std::runtime_error on a
    // truncated or corrupt form ("failed alloc while reading" for a bad image).
    static Bitmap read(const char *in, size_t length, bool portable);
    // Containers of the run-optimised slots.
    size_t inMemorySize() const;

    // --- Standard portable 64-bit format ------------------------------------------
    // An 8-byte bucket count, then per non-empty entry its 4-byte key and the
    // slot's portable image (no length: the image's headers give its size).
    // Slots are written as stored, nothing compacted. Reads only `*this`.
    size_t portable64Size() const;
    // Writes portable64Size() bytes; returns one past the last byte.
    char *writePortable64(char *out) const;
    // Reads exactly [in, in + length): throws std::invalid_argument naming the
    // fault and its byte offset for a truncated input, a count above 2^32 - 1,
    // keys not strictly ascending, an invalid image or trailing bytes. Empty
    // buckets are kept as empty entries; the result has no other entry.
    static Bitmap readPortable64(const char *in, size_t length);

    // The answers of contains, lowerCardinality and nth for each of `count`
    // values, in their order; nthMany's ordinals must lie below cardinality().
    void containsMany(const uint64_t *positions, size_t count, bool *out) const;
    void lowerCardinalityMany(const uint64_t *positions, size_t count, uint64_t *out) const;
    void nthMany(const uint64_t *ordinals, size_t count, uint64_t *out) const;

    // Appends the first and the last member of each maximal run of
    // consecutive members, ascending; runs go on across key boundaries.
    void runs(std::vector<uint64_t> &firsts, std::vector<uint64_t> &lasts) const;

    // Writes the members in ascending order to out[0, cardinality()).
    void copyPositions(uint64_t *out) const;

    // One line per entry: "h: <key> {<low parts>}\n".
    std::string toString() const;

    // Read-only view of the entries (for the binding layer and tests).
    const Slots &entries() const noexcept { return slots; }
    // Advanced by every change, including recompression by persistedSize():
    // an iterator made at one generation is valid while it holds.
    uint64_t generation() const noexcept { return slots.generation(); }

    // Who is using the set now, for callers that run calls on several threads
    // (the binding); the set itself never looks at it.
    concurrency::AccessState &access() const noexcept { return access_; }

private:
    // Result of | and ^: every key of both maps, shared keys through `combine`.
    template <typename Combine>
    Bitmap combineAll(const Bitmap &other, Combine combine) const;

    // addMany's work on values in ascending order.
    void addRuns(size_t count, const uint64_t *values);

    SlotBitmap &findOrCreate(uint32_t key) { return slots.findOrCreate(key); }
    // The slot of `key` for reading, its entry created when missing; counts
    // and view stay when it is there (the generation advances all the same).
    const SlotBitmap &findOrCreateQuietly(uint32_t key) {
        if (const SlotBitmap *slot = find(key)) {
            slots.markChanged();
            return *slot;
        }
        return findOrCreate(key);
    }
    const SlotBitmap *find(uint32_t key) const { return slots.findSlot(key); }

    Slots slots;
    mutable concurrency::AccessState access_;
};

// Walks the members both ways, ascending with ++ and descending with --,
// skipping empty slots. Valid while its Bitmap lives and is not modified.
class Bitmap::Iterator {
public:
    // `atEnd` makes the end iterator.
    Iterator(const Bitmap &bitmap, bool atEnd);

    uint64_t operator*() const { return join(current->first, cursor.current_value); }
    Iterator &operator++();
    Iterator operator++(int);
    // Writes up to `capacity` members from here on to `out`, ascending, and
    // moves past them; returns how many (0 at the end).
    size_t read(uint64_t *out, size_t capacity);
    // From the end, lands on the largest member.
    Iterator &operator--();
    Iterator operator--(int);

    // The end orders after every member; otherwise by position.
    bool operator==(const Iterator &other) const;
    bool operator!=(const Iterator &other) const { return !(*this == other); }
    bool operator<(const Iterator &other) const;
    bool operator<=(const Iterator &other) const { return !(other < *this); }
    bool operator>(const Iterator &other) const { return other < *this; }
    bool operator>=(const Iterator &other) const { return !(*this < other); }

    bool atEnd() const { return current == mapEnd; }

private:
    // Moves forward from `current` to the first entry whose cursor has a value.
    void settleForward();

    Slots::const_iterator current;
    Slots::const_iterator mapEnd;
    Slots::const_iterator mapBegin;
    roaring_uint32_iterator_t cursor{};
};

}  // namespace morvane::storage
