// Set algebra and comparison, entry by entry. The other operand's map is
// walked in step with the receiver's rather than searched once per key.
#include <algorithm>
#include <stdexcept>
#include <utility>
#include <vector>

#include "storage/bitmap.hpp"

namespace morvane::storage {

namespace {

// Advances `it` to the first entry whose key is not below `key`; returns the
// entry's slot when its key equals `key`.
const SlotBitmap *seek(Bitmap::Slots::const_iterator &it, Bitmap::Slots::const_iterator end, uint32_t key) {
    while (it != end && it->first < key) ++it;
    return it != end && it->first == key ? &it->second : nullptr;
}

}  // namespace

Bitmap &Bitmap::operator&=(const Bitmap &other) {
    auto theirs = other.slots.begin();
    slots.changeEach([&](uint32_t key, SlotBitmap &slot) {
        if (const SlotBitmap *match = seek(theirs, other.slots.end(), key)) {
            slot &= *match;
        } else {
            slot = SlotBitmap{};
        }
    });
    return *this;
}

Bitmap &Bitmap::operator-=(const Bitmap &other) {
    if (other.slots.empty()) {
        slots.markChanged();
        return *this;
    }
    auto theirs = other.slots.begin();
    slots.changeEach([&](uint32_t key, SlotBitmap &slot) {
        if (const SlotBitmap *match = seek(theirs, other.slots.end(), key)) slot -= *match;
    });
    return *this;
}

Bitmap &Bitmap::operator|=(const Bitmap &other) {
    slots.mergeFrom(other.slots, [](SlotBitmap &mine, const SlotBitmap &theirs) { mine |= theirs; });
    return *this;
}

Bitmap &Bitmap::operator^=(const Bitmap &other) {
    slots.mergeFrom(other.slots, [](SlotBitmap &mine, const SlotBitmap &theirs) { mine ^= theirs; });
    return *this;
}

// Every key of either operand, in one ascending merge of the two maps.
template <typename Combine>
Bitmap Bitmap::combineAll(const Bitmap &other, Combine combine) const {
    Bitmap result(0, nullptr);
    auto mine = slots.begin(), theirs = other.slots.begin();
    const auto myEnd = slots.end(), theirEnd = other.slots.end();
    while (mine != myEnd || theirs != theirEnd) {
        if (theirs == theirEnd || (mine != myEnd && mine->first < theirs->first)) {
            result.slots.append(mine->first, SlotBitmap(mine->second));
            ++mine;
        } else if (mine == myEnd || theirs->first < mine->first) {
            result.slots.append(theirs->first, SlotBitmap(theirs->second));
            ++theirs;
        } else {
            result.slots.append(mine->first, combine(mine->second, theirs->second));
            ++mine;
            ++theirs;
        }
    }
    return result;
}

// The by-value forms hold the entries that the in-place forms would leave in
// a copy of the receiver, but build each slot once from both operands instead
// of copying the receiver's slot and then changing it.
Bitmap Bitmap::operator&(const Bitmap &other) const {
    Bitmap result(0, nullptr);
    auto theirs = other.slots.begin();
    for (const auto &[key, slot] : slots) {
        const SlotBitmap *match = seek(theirs, other.slots.end(), key);
        result.slots.append(key, match ? slot & *match : SlotBitmap{});
    }
    return result;
}

Bitmap Bitmap::operator-(const Bitmap &other) const {
    Bitmap result(0, nullptr);
    auto theirs = other.slots.begin();
    for (const auto &[key, slot] : slots) {
        const SlotBitmap *match = seek(theirs, other.slots.end(), key);
        result.slots.append(key, match ? slot - *match : SlotBitmap(slot));
    }
    return result;
}

Bitmap Bitmap::operator|(const Bitmap &other) const {
    return combineAll(other, [](const SlotBitmap &a, const SlotBitmap &b) { return a | b; });
}

Bitmap Bitmap::operator^(const Bitmap &other) const {
    return combineAll(other, [](const SlotBitmap &a, const SlotBitmap &b) { return a ^ b; });
}

Bitmap Bitmap::unionAll(const Bitmap *const *inputs, size_t count) {
    if (count == 0) return Bitmap();
    // Every (key, slot) of every input, grouped by key: each key's slots are
    // then united at once rather than folded pair by pair.
    std::vector<std::pair<uint32_t, const SlotBitmap *>> entries;
    for (size_t i = 0; i < count; ++i) {
        for (const auto &[key, slot] : inputs[i]->slots) entries.emplace_back(key, &slot);
    }
    // The order of one key's slots does not matter: union is commutative.
    std::sort(entries.begin(), entries.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
    Bitmap result(0, nullptr);
    std::vector<const SlotBitmap *> group;
    std::vector<uint64_t> positions;
    for (size_t at = 0; at < entries.size();) {
        const uint32_t key = entries[at].first;
        group.clear();
        uint64_t members = 0, containers = 0;
        for (; at < entries.size() && entries[at].first == key; ++at) {
            const SlotBitmap *slot = entries[at].second;
            if (slot->isEmpty()) continue;
            group.push_back(slot);
            members += slot->cardinality();
            containers += static_cast<uint64_t>(slot->containerCount());
        }
        // Sparse slots (few members a container): growing containers step by
        // step is all allocation, so their members are built at once, as the
        // constructor builds unsorted input, and the key's slot taken from it.
        // (The positions' buffer is bounded: 128 MiB at the most.)
        constexpr uint64_t kSparseMembersPerContainer = 64;
        constexpr uint64_t kMostGathered = uint64_t{1} << 24;
        if (group.size() > 2 && members <= kSparseMembersPerContainer * containers &&
            members <= kMostGathered) {
            positions.resize(members);
            std::vector<uint32_t> lows;
            uint64_t *out = positions.data();
            for (const SlotBitmap *slot : group) {
                lows.resize(slot->cardinality());
                slot->copyLowParts(lows.data());
                for (uint32_t low : lows) *out++ = joinPosition(key, low);
            }
            Bitmap built(positions.size(), positions.data());
            result.slots.append(key, built.slots.take(key));
        } else {
            result.slots.append(key, SlotBitmap::unionOf(group.data(), group.size()));
        }
    }
    return result;
}

Bitmap Bitmap::intersectionAll(const Bitmap *const *inputs, size_t count) {
    if (count == 0) throw std::invalid_argument("intersection of no sets");
    Bitmap result(0, nullptr);
    std::vector<Slots::const_iterator> cursors;
    for (size_t i = 1; i < count; ++i) cursors.push_back(inputs[i]->slots.begin());
    std::vector<const SlotBitmap *> group;
    for (const auto &[key, slot] : inputs[0]->slots) {
        group.assign(1, &slot);
        for (size_t i = 1; i < count; ++i) {
            const SlotBitmap *match = seek(cursors[i - 1], inputs[i]->slots.end(), key);
            if (match == nullptr || match->isEmpty()) {
                group.clear();
                break;
            }
            group.push_back(match);
        }
        SlotBitmap members;
        if (!group.empty() && !group[0]->isEmpty()) {
            // Smallest first: every later step works on at most its members.
            std::sort(group.begin(), group.end(), [](const SlotBitmap *a, const SlotBitmap *b) {
                return a->cardinality() < b->cardinality();
            });
            members = group.size() == 1 ? SlotBitmap(*group[0]) : *group[0] & *group[1];
            for (size_t i = 2; i < group.size() && !members.isEmpty(); ++i) members &= *group[i];
        }
        result.slots.append(key, std::move(members));
    }
    return result;
}

bool Bitmap::operator==(const Bitmap &other) const {
    auto mine = slots.begin(), theirs = other.slots.begin();
    while (mine != slots.end() && theirs != other.slots.end()) {
        if (mine->second.isEmpty()) {
            ++mine;
        } else if (theirs->second.isEmpty()) {
            ++theirs;
        } else {
            if (mine->first != theirs->first || !(mine->second == theirs->second)) return false;
            ++mine;
            ++theirs;
        }
    }
    for (; mine != slots.end(); ++mine) {
        if (!mine->second.isEmpty()) return false;
    }
    for (; theirs != other.slots.end(); ++theirs) {
        if (!theirs->second.isEmpty()) return false;
    }
    return true;
}

bool Bitmap::isSubset(const Bitmap &other) const {
    auto theirs = other.slots.begin();
    for (const auto &[key, slot] : slots) {
        const SlotBitmap *match = seek(theirs, other.slots.end(), key);
        if (match == nullptr || !slot.isSubset(*match)) return false;
    }
    return true;
}

bool Bitmap::isStrictSubset(const Bitmap &other) const {
    return isSubset(other) && cardinality() != other.cardinality();
}

uint64_t Bitmap::intersectionCardinality(const Bitmap &other) const {
    uint64_t total = 0;
    auto theirs = other.slots.begin();
    for (const auto &[key, slot] : slots) {
        if (const SlotBitmap *match = seek(theirs, other.slots.end(), key))
            total += slot.andCardinality(*match);
    }
    return total;
}

bool Bitmap::sharesKeysWith(const Bitmap &other) const {
    auto theirs = other.slots.begin();
    for (const auto &entry : slots) {
        if (seek(theirs, other.slots.end(), entry.first) != nullptr) return true;
    }
    return false;
}

}  // namespace morvane::storage
