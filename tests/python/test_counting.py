"""Counting queries (len, lower/upper_cardinality, nth) answer from counts kept
between calls. After every kind of change they must still agree with a plain
walk of the members, on sets large enough to have many blocks of entries and
slots of many containers."""
import _morvane_rec_extension as ext
import numpy as np
import pytest

KEY = 1 << 32


def members():
    rng = np.random.default_rng(7)
    spread = (rng.integers(0, 3000, 6000, dtype=np.uint64) * np.uint64(KEY)
              + rng.integers(0, 1 << 20, 6000, dtype=np.uint64))
    # Slot 5000: one member in each of 3000 containers, then a dense stretch.
    sparse = np.uint64(5000 * KEY) + np.arange(3000, dtype=np.uint64) * np.uint64(1 << 16)
    dense = np.uint64(5000 * KEY + (1 << 30)) + np.arange(200000, dtype=np.uint64)
    return np.concatenate([spread, sparse, dense])


def other():
    rng = np.random.default_rng(8)
    return ext.Bitmap(np.concatenate([
        rng.integers(0, 4000, 5000, dtype=np.uint64) * np.uint64(KEY),
        np.uint64(5000 * KEY) + rng.integers(0, 1 << 32, 5000, dtype=np.uint64)]))


def assert_counts_match_walk(bitmap, rng):
    walk = np.fromiter(iter(bitmap), dtype=np.uint64)
    assert len(bitmap) == bitmap.cardinality == len(walk)
    assert bool(bitmap) == (len(walk) > 0)
    if len(walk):
        picks = walk[rng.integers(0, len(walk), 300)]
        probes = np.concatenate([picks, picks + np.uint64(1), picks - np.uint64(1)])
    else:
        probes = np.array([], dtype=np.uint64)
    probes = np.concatenate([probes, np.array([0, KEY, 5000 * KEY, 5001 * KEY, 2**64 - 1], dtype=np.uint64)])
    for p in probes.tolist():
        below = int(np.searchsorted(walk, np.uint64(p), side="left"))
        above = len(walk) - int(np.searchsorted(walk, np.uint64(p), side="right"))
        assert (bitmap.lower_cardinality(p), bitmap.upper_cardinality(p)) == (below, above), p
    for o in rng.integers(0, max(1, len(walk)), 300).tolist() + [0, len(walk) - 1]:
        if 0 <= o < len(walk):
            assert bitmap.nth(o) == int(walk[o]), o
    with pytest.raises(RuntimeError, match=r"\[ %d\]" % len(walk)):
        bitmap.nth(len(walk))


CHANGES = {
    "set point": lambda b: b.set(5000 * KEY + 12345),
    "set point of a new key": lambda b: b.set(2999 * KEY + 3 * (1 << 30)),
    "unset point": lambda b: b.unset(int(b.nth(len(b) // 2))),
    "set range across keys": lambda b: b.set(17 * KEY - 1000, 17 * KEY + 1000),
    "unset range inside a slot": lambda b: b.unset(5000 * KEY + (1 << 30) + 10, 5000 * KEY + (1 << 30) + 5000),
    "flip range": lambda b: b.flip(5000 * KEY + (1 << 30) - 70000, 5000 * KEY + (1 << 30) + 70000),
    "inplace union": lambda b: b.inplace_union(other()),
    "inplace intersect": lambda b: b.inplace_intersect(
        ext.Bitmap(np.arange(0, 6000 * KEY, KEY // 8, dtype=np.uint64)) | b.slice(5000 * KEY, 5001 * KEY)),
    "inplace difference": lambda b: b.inplace_difference(other()),
    "inplace symmetric difference": lambda b: b.inplace_symmetric_difference(other()),
    "operator |=": lambda b: b.__ior__(other()),
    "contract across keys": lambda b: b.contract(4000 * KEY + 5, 3 * (1 << 30)),
    "expand across keys": lambda b: b.expand(5000 * KEY + (1 << 30) + 100, 3 * (1 << 30)),
    "compaction": lambda b: b.persisted_size(True, True, True),
    "self_or_next adds an entry": lambda b: b.self_or_next(6000 * KEY),
}


@pytest.mark.parametrize("name", sorted(CHANGES))
def test_counts_follow_each_change(name):
    rng = np.random.default_rng(len(name))
    bitmap = ext.Bitmap(members())
    assert_counts_match_walk(bitmap, rng)  # the counts are now kept
    CHANGES[name](bitmap)
    assert_counts_match_walk(bitmap, rng)
    # A second change after queries, then queries again: nothing is left stale.
    bitmap.set(3 * KEY + 7)
    bitmap.unset(int(bitmap.nth(0)))
    assert_counts_match_walk(bitmap, rng)


def test_counts_of_new_values_and_copies():
    rng = np.random.default_rng(1)
    bitmap = ext.Bitmap(members())
    assert_counts_match_walk(bitmap, rng)
    size = bitmap.persisted_size()
    buffer = bytearray(size)
    bitmap.write(buffer)
    for made in (ext.Bitmap.read(buffer), bitmap.copy(), bitmap | other(), bitmap - other(),
                 bitmap.slice(100 * KEY, 5001 * KEY), ext.Bitmap()):
        assert_counts_match_walk(made, rng)
    bitmap.unset(0, 6000 * KEY)  # every member; the entries stay
    assert_counts_match_walk(bitmap, rng)
    assert not bitmap and len(bitmap) == 0


def test_alternating_changes_and_queries_match_a_model():
    # Each query sees the change made just before it, in slots big and small.
    rng = np.random.default_rng(2)
    values = members()
    bitmap = ext.Bitmap(values)
    model = set(values.tolist())
    for step in range(3000):
        p = int(rng.choice(values)) + int(rng.integers(-2, 3)) if step % 3 else int(rng.integers(0, 6000)) * KEY
        if rng.random() < 0.5:
            bitmap.set(p)
            model.add(p)
        else:
            bitmap.unset(p)
            model.discard(p)
        assert len(bitmap) == len(model)
        if step % 50 == 0:
            ordered = np.array(sorted(model), dtype=np.uint64)
            q = int(rng.choice(values))
            assert bitmap.lower_cardinality(q) == int(np.searchsorted(ordered, np.uint64(q)))
            assert bitmap.nth(len(model) // 3) == int(ordered[len(model) // 3])
