import _morvane_rec_extension as ext
import numpy as np
import pytest
from conftest import KEY, MAX, entry_keys

Bitmap = ext.Bitmap


@pytest.mark.parametrize("make", [
    lambda: Bitmap(), lambda: Bitmap(None), lambda: Bitmap(indices=None),
    lambda: Bitmap(np.array([], dtype=np.uint64)),
])
def test_empty_constructions(make):
    bm = make()
    assert (len(bm), bm.cardinality, bm.empty, bm.first, bm.last) == (0, 0, True, None, None)
    assert entry_keys(bm) == [0]


def test_constructor_conversions():
    values = np.array([9, KEY + 1, 3, 9, MAX], dtype=np.uint64)
    assert list(Bitmap(values)) == [3, 9, KEY + 1, MAX]
    assert entry_keys(Bitmap(values)) == [0, 1, 4294967295]
    strided = np.arange(40, dtype=np.uint64)[::3]
    assert Bitmap(strided) == Bitmap(strided.copy())
    assert list(Bitmap(np.arange(5, dtype=np.uint64)[::-2])) == [0, 2, 4]
    assert list(Bitmap([1, 2, 3])) == [1, 2, 3]
    assert list(Bitmap(np.array([1, 5], dtype=np.int32))) == [1, 5]
    with pytest.raises(ValueError, match="^array has incorrect number of dimensions: 2; expected 1$"):
        Bitmap(np.zeros((2, 2), dtype=np.uint64))
    with pytest.raises(TypeError):
        Bitmap("not numbers")


def test_points_and_properties():
    bm = Bitmap()
    bm.set(5)
    assert 5 in bm and bm.contains(5) and bm.contains(position=5)
    assert (len(bm), bm.first, bm.last) == (1, 5, 5)
    bm.unset(5)
    assert bm.empty
    bm.set(MAX)
    assert bm.last == MAX


def test_in_reads_ints_of_every_width():
    # One, two and three internal digits: `in` has its own reader for plain ints.
    bm = Bitmap([2**30 - 2, 2**30, 2**60 + 3, MAX])
    for p in (2**30 - 2, 2**30, 2**60 + 3, MAX):
        assert p in bm and p - 1 not in bm
    assert 2**61 not in bm and 0 not in bm


def test_set_and_unset_ranges():
    bm = Bitmap()
    bm.set(10, 20)
    assert list(bm) == list(range(10, 20))
    bm.unset(12, endEx=15)
    assert list(bm) == [10, 11] + list(range(15, 20))
    bm.set(7, 7)
    bm.set(9, 3)
    assert len(bm) == 7
    bm.set(KEY - 2, endEx=KEY + 2)
    assert bm.all(KEY - 2, KEY + 2) and bm.any(KEY + 1, KEY + 5)
    assert entry_keys(bm) == [0, 1]


def test_flip_forms():
    bm = Bitmap()
    bm.flip(5, None)
    assert list(bm) == [5]
    with pytest.raises(TypeError):
        bm.flip(5)
    for start, end in [(5, 5), (6, 5)]:
        with pytest.raises(RuntimeError, match=r"^Invalid range\.$"):
            bm.flip(start, end)
    bm.flip(0, 3)
    assert list(bm) == [0, 1, 2, 5]
    bm.flip(MAX, None)
    assert bm.last == MAX and entry_keys(bm) == [0, 4294967295]
    bm.flip(MAX, endEx=None)
    assert bm.last == 5 and len(bm) == 4


def test_all_and_any_entry_rules():
    bm = Bitmap()
    assert bm.all(5, 5) and not bm.any(5, 5)
    bm.set(0, KEY)
    assert bm.all(0, KEY)
    added = Bitmap(np.arange(100, dtype=np.uint64))
    assert added.all(0, 100) and not added.all(0, KEY + 1)
    assert not Bitmap([KEY + 100]).any(KEY + 5, KEY + 7)


def test_copy_is_independent():
    bm = Bitmap([1, 2])
    copy = bm.copy()
    assert copy is not bm and copy == bm
    copy.set(99)
    assert 99 not in bm



def test_shuffled_input_gives_the_sorted_inputs_bytes():
    # Runs, dense and sparse containers, one big slot and scattered keys, repeats.
    rng = np.random.default_rng(21)
    parts = [np.arange(2**20, 2**20 + 300000, dtype=np.uint64),
             rng.integers(0, 2**32, 400000, dtype=np.uint64) + 5 * KEY,
             rng.integers(0, 2**22, 300000, dtype=np.uint64) + 9 * KEY,
             rng.integers(0, 2**40, 20000, dtype=np.uint64),
             np.array([0, MAX, MAX, 2**16 - 1, 2**16], dtype=np.uint64)]
    values = np.concatenate(parts + parts[1:2])
    for sample in (values, values[::7]):
        shuffled = sample.copy()
        rng.shuffle(shuffled)
        ours, reference = Bitmap(shuffled), Bitmap(np.sort(sample))
        assert entry_keys(ours) == entry_keys(reference)
        assert _written(ours) == _written(reference)


def _written(bitmap):
    buffer = bytearray(bitmap.persisted_size(True, False, False))
    bitmap.write(buffer)
    return bytes(buffer)
