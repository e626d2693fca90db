import gc

import _morvane_rec_extension as ext
import pytest
from conftest import KEY, MAX, entry_keys

Bitmap = ext.Bitmap


def test_rank_and_select():
    bm = Bitmap([3, KEY + 10, MAX])
    assert [bm.nth(i) for i in range(3)] == [3, KEY + 10, MAX]
    assert bm.lower_cardinality(KEY + 10) == 1 and bm.upper_cardinality(KEY + 10) == 1
    assert bm.lower_cardinality(position=0) == 0 and bm.upper_cardinality(MAX) == 0
    with pytest.raises(RuntimeError) as error:
        bm.nth(ordinal=3)
    assert str(error.value) == "The ordinal value [ 3] is greater than the total cardinality"


def test_nearest_members_and_sentinels():
    bm = Bitmap([3, KEY + 10])
    assert bm.self_or_next(4) == KEY + 10 and bm.self_or_next(KEY + 11) == 0
    assert bm.self_or_previous(KEY + 5) == 3 and bm.self_or_previous(2) == MAX
    before = bm.copy()
    assert bm.self_or_next(2 * KEY) == 0
    assert entry_keys(bm) == [0, 1, 2] and bm == before


def test_iteration_protocol():
    bm = Bitmap([0, KEY, MAX])
    bm.set(5 * KEY)
    bm.unset(5 * KEY)
    it = iter(bm)
    assert iter(it) is it
    assert list(it) == [0, KEY, MAX]
    for _ in range(3):
        with pytest.raises(StopIteration):
            next(it)
    assert list(Bitmap()) == []


def test_iterator_keeps_bitmap_alive():
    bm = Bitmap([4, 5])
    it = iter(bm)
    del bm
    gc.collect()
    assert list(it) == [4, 5]


MUTATIONS = [
    lambda b: b.set(1000), lambda b: b.set(0, 3 * KEY), lambda b: b.unset(4),
    lambda b: b.unset(0, KEY), lambda b: b.flip(0, 10), lambda b: b.flip(4, None),
    lambda b: b.inplace_union(Bitmap([77])), lambda b: b.inplace_intersect(Bitmap()),
    lambda b: b.inplace_difference(Bitmap([4])), lambda b: b.inplace_symmetric_difference(b),
    lambda b: b.__ior__(Bitmap([9])), lambda b: b.__iand__(Bitmap()), lambda b: b.__isub__(b),
    lambda b: b.__ixor__(Bitmap([1])), lambda b: b.expand(4, 10), lambda b: b.contract(KEY + 5, 2),
    lambda b: b.persisted_size(), lambda b: b.self_or_next(9 * KEY),
    lambda b: b.self_or_previous(9 * KEY),
    # Calls that end up changing nothing still end the iteration.
    lambda b: b.unset(3 * KEY, 5), lambda b: b.set(3 * KEY, 5), lambda b: b.expand(9 * KEY, 3),
]


@pytest.mark.parametrize("mutate", MUTATIONS)
def test_changing_the_set_during_iteration_raises(mutate):
    bm = Bitmap(list(range(4, 70000, 3)) + [KEY + 1])
    it = iter(bm)
    assert next(it) == 4
    mutate(bm)
    with pytest.raises(RuntimeError, match="changed during iteration"):
        next(it)
    assert next(iter(bm), None) == bm.first  # a fresh iterator walks the new members


def test_reads_do_not_disturb_iteration():
    bm = Bitmap([1, 2, 3])
    it = iter(bm)
    next(it)
    bm.persisted_size(True, False, False)
    bm.contains(2), bm.nth(0), bm.copy(), bm | bm, bm.index_array()
    assert list(it) == [2, 3]
