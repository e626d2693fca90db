"""A small pure-Python model of the position set.

Members are kept as sorted, disjoint half-open intervals over [0, 2^64), so
whole 2^32-wide keys cost one interval; the map entries are a set of high
keys, changed exactly where the native set creates or erases entries.
"""
from bisect import bisect_right

KEY = 1 << 32
END = 1 << 64
MAX = END - 1


def _covers(intervals, x):
    i = bisect_right(intervals, (x, END)) - 1
    return i >= 0 and intervals[i][0] <= x < intervals[i][1]


def _combine(a, b, keep):
    """Intervals of the positions x with keep(x in a, x in b)."""
    points = sorted({p for iv in a + b for p in iv})
    out = []
    for lo, hi in zip(points, points[1:]):
        if keep(_covers(a, lo), _covers(b, lo)):
            if out and out[-1][1] == lo:
                out[-1] = (out[-1][0], hi)
            else:
                out.append((lo, hi))
    return out


def _span_keys(intervals):
    keys = set()
    for lo, hi in intervals:
        keys.update(range(lo >> 32, ((hi - 1) >> 32) + 1))
    return keys


def _shift(intervals, by):
    return [(lo + by, hi + by) for lo, hi in intervals]


class Model:
    def __init__(self, positions=(), keys=(0,)):
        self.iv = []
        self.keys = set(keys)
        for p in positions:
            self.add(p)

    def copy(self):
        other = Model()
        other.iv, other.keys = list(self.iv), set(self.keys)
        return other

    # Member queries

    def count(self, lo=0, hi=END):
        return sum(max(0, min(b, hi) - max(a, lo)) for a, b in self.iv)

    def contains(self, p):
        return _covers(self.iv, p)

    def first(self):
        return self.iv[0][0] if self.iv else None

    def last(self):
        return self.iv[-1][1] - 1 if self.iv else None

    def members(self):
        return [p for a, b in self.iv for p in range(a, b)]

    def _clip(self, lo, hi):
        return _combine(self.iv, [(lo, hi)] if lo < hi else [], lambda x, y: x and y)

    def _slot_has_members(self, key):
        return self.count(key * KEY, (key + 1) * KEY) > 0

    # Points and ranges

    def add(self, p):
        self.keys.add(p >> 32)
        self.iv = _combine(self.iv, [(p, p + 1)], lambda x, y: x or y)

    def remove(self, p):
        self.iv = _combine(self.iv, [(p, p + 1)], lambda x, y: x and not y)

    def _range(self, start, end, keep):
        if end >> 32 < start >> 32:
            return
        self.keys.update(range(start >> 32, (end >> 32) + 1))
        if start < end:
            self.iv = _combine(self.iv, [(start, end)], keep)

    def add_range(self, start, end):
        self._range(start, end, lambda x, y: x or y)

    def remove_range(self, start, end):
        self._range(start, end, lambda x, y: x and not y)

    def flip(self, start, end):
        if end is None:
            if start == MAX:
                (self.remove if self.contains(start) else self.add)(start)
                return
            end = start + 1
        elif start >= end:
            raise RuntimeError("Invalid range.")
        self._range(start, end, lambda x, y: x != y)

    def all(self, start, end):
        sh, eh = start >> 32, end >> 32
        if not self.keys:
            return False
        if eh < sh:
            return True
        if any(k not in self.keys for k in range(sh, eh + 1)):
            return False
        return self.count(start, end) == max(0, end - start)

    def any(self, start, end):
        return start >> 32 <= end >> 32 and self.count(start, end) > 0

    # Rank, select, navigation

    def lower_cardinality(self, p):
        return self.count(0, p)

    def upper_cardinality(self, p):
        return self.count(p + 1, END)

    def nth(self, ordinal):
        remaining = ordinal
        for a, b in self.iv:
            if remaining < b - a:
                return a + remaining
            remaining -= b - a
        raise RuntimeError(
            "The ordinal value [ %d] is greater than the total cardinality" % ordinal)

    def self_or_next(self, p):
        self.keys.add(p >> 32)
        after = self._clip(p, END)
        return after[0][0] if after else 0

    def self_or_previous(self, p):
        self.keys.add(p >> 32)
        before = self._clip(0, p + 1)
        return before[-1][1] - 1 if before else MAX

    # Algebra and comparison

    def inplace(self, op, other):
        keep = {
            "|": lambda x, y: x or y,
            "&": lambda x, y: x and y,
            "-": lambda x, y: x and not y,
            "^": lambda x, y: x != y,
        }[op]
        if op in "|^":
            self.keys |= other.keys
        self.iv = _combine(self.iv, other.iv, keep)
        return self

    def subset_of(self, other):
        return self.keys <= other.keys and not _combine(
            self.iv, other.iv, lambda x, y: x and not y)

    def strict_subset_of(self, other):
        return self.subset_of(other) and self.count() != other.count()

    def __eq__(self, other):
        return self.iv == other.iv

    # Shifting

    def slice(self, start, end):
        sh, eh = start >> 32, end >> 32
        if eh < sh:
            raise RuntimeError("Invalid range%d..%d" % (start, end))
        result = Model()
        if sh == eh:
            result.keys.add(sh)
        else:
            result.keys |= {k for k in self.keys if sh <= k <= eh}
        result.iv = self._clip(start, end)
        return result

    def expand(self, p, by):
        largest = self.last()
        if largest is None or largest < p:
            return
        if by >= KEY:
            raise ValueError("Shift width must be below 2^32")
        if largest > MAX - by:
            raise ValueError("expand would move members past 18446744073709551615")
        self.keys.add(p >> 32)
        if not self._slot_has_members(p >> 32):
            raise RuntimeError("Impossible!")
        moved = _shift(self._clip(p, END), by)
        self.keys |= _span_keys(moved)
        self.iv = _combine(self._clip(0, p), moved, lambda x, y: x or y)

    def contract(self, p, by):
        largest = self.last()
        if largest is None or largest < p:
            return
        h, low = p >> 32, p & (KEY - 1)
        if self._slot_has_members(h) and low <= by:
            raise ValueError("Range Out of Bounds")
        if by >= KEY:
            raise ValueError("Shift width must be below 2^32")
        H = largest >> 32
        had_members = {k for k in self.keys if h < k <= H and self._slot_has_members(k)}
        kept = self._clip(0, max(h * KEY, p - by + 1))
        moved = _shift(self._clip(p + 1, END), -by)
        self.iv = _combine(kept, moved, lambda x, y: x or y)
        now = {k for k in _span_keys(self.iv) if h < k <= H}
        self.keys -= had_members - now
        self.keys |= now | {h}
