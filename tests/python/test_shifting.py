import _morvane_rec_extension as ext
import pytest
from conftest import KEY, MAX, entry_keys

Bitmap = ext.Bitmap


def test_slice_keeps_positions_with_exclusive_end():
    bm = Bitmap([5, 10, 19, 20])
    assert list(bm.slice(10, 20)) == [10, 19]
    assert list(bm.slice(startInc=10, endInc=20)) == [10, 19]
    assert bm.slice(20, 10).empty
    assert list(bm) == [5, 10, 19, 20]
    with pytest.raises(RuntimeError) as error:
        bm.slice(KEY, 5)
    assert str(error.value) == "Invalid range4294967296..5"


def test_expand_and_contract_round_trip():
    bm = Bitmap([3, 10, KEY - 1, KEY + 7])
    bm.expand(5, 4)
    assert list(bm) == [3, 14, KEY + 3, KEY + 11]
    bm.contract(position=8, by=4)
    assert list(bm) == [3, 10, KEY - 1, KEY + 7]


def test_shift_refusals():
    with pytest.raises(RuntimeError, match="^Impossible!$"):
        Bitmap([KEY + 3]).expand(10, 1)
    with pytest.raises(ValueError, match="^Range Out of Bounds$"):
        Bitmap([3, 10]).contract(4, 4)
    high = Bitmap([MAX - 1])
    with pytest.raises(ValueError):
        high.expand(MAX - 1, 2)
    with pytest.raises(ValueError):
        high.expand(MAX - 1, KEY)
    assert list(high) == [MAX - 1]


def test_contract_removes_emptied_key():
    bm = Bitmap([2 * KEY])
    bm.contract(KEY + 4, 2)
    assert list(bm) == [2 * KEY - 2] and entry_keys(bm) == [0, 1]
