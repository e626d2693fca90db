import array
import random

import _morvane_rec_extension as ext
import numpy as np
import pytest
from conftest import KEY, MAX

Bitmap = ext.Bitmap


def test_index_array():
    out = Bitmap(np.array([5, 1, 5, 3], dtype=np.uint64)).index_array()
    assert out.dtype == np.uint64 and out.tolist() == [1, 3, 5]
    assert Bitmap(np.array([MAX, KEY], dtype=np.uint64)).index_array().tolist() == [KEY, MAX]
    big = Bitmap()
    big.set(KEY - 100000, KEY + 100000)
    assert np.array_equal(big.index_array(), np.arange(KEY - 100000, KEY + 100000, dtype=np.uint64))


@pytest.mark.parametrize("invert,relative,expected", [
    (False, False, [0, 0, 0, 1, 0, 1]), (False, True, [1, 0, 1]),
    (True, True, [0, 1, 0]), (True, False, [1, 1, 1, 0, 1, 0]),
])
def test_bool_array_flags(invert, relative, expected):
    out = Bitmap([3, 5]).bool_array(invert=invert, relative=relative)
    assert out.dtype == np.bool_ and out.tolist() == [bool(x) for x in expected]


def test_bool_array_defaults_and_limits():
    bm = Bitmap([3, 5])
    assert bm.bool_array(False).tolist() == bm.bool_array(invert=False, relative=True).tolist()
    for flags in [(a, b) for a in (True, False) for b in (True, False)]:
        assert Bitmap().bool_array(*flags).shape == (0,)
    with pytest.raises(ValueError):
        Bitmap([0, MAX]).bool_array()  # 2^64 elements
    with pytest.raises((ValueError, MemoryError)):
        Bitmap([MAX - 2**62]).bool_array(relative=False)


@pytest.mark.parametrize("portable", [True, False])
def test_write_read_round_trip(portable):
    bm = Bitmap([1, 70000, KEY + 5, MAX])
    bm.set(1000, 200000)
    size = bm.persisted_size(portable=portable)
    buf = bytearray(size + 3)
    assert bm.write(buf, portable) == size
    assert Bitmap.read(buf, portable=portable) == bm
    assert bm.read(memoryview(buf)[:size], portable) == bm
    assert Bitmap.read(np.frombuffer(bytes(buf), dtype=np.uint8), portable) == bm


def test_persisted_size_defaults():
    bm = Bitmap(np.arange(100000, dtype=np.uint64))
    assert bm.persisted_size() == bm.persisted_size(True, True, True) == bm.persisted_size(
        portable=True, optimize=True, shrink=True)
    assert bm.persisted_size(True, False, False) == bm.persisted_size()
    assert bm.in_memory_size == 2


def test_write_refusals_leave_buffer_untouched():
    bm = Bitmap([1, 2, KEY])
    short = bytearray(b"\xaa" * (bm.persisted_size() - 1))
    with pytest.raises(ValueError):
        bm.write(short)
    assert short == bytearray(b"\xaa" * len(short))
    with pytest.raises(BufferError):
        bm.write(bytes(100))
    with pytest.raises(RuntimeError, match="^Item size should be 1$"):
        bm.write(array.array("i", [0] * 100))
    with pytest.raises(ValueError, match="contiguous"):
        bm.write(memoryview(bytearray(200))[::2])
    with pytest.raises(TypeError):
        bm.write(12)


def test_read_refusals():
    bm = Bitmap([1, 2, KEY])
    buf = bytearray(bm.persisted_size())
    bm.write(buf)
    for length in range(len(buf)):
        with pytest.raises(RuntimeError):
            Bitmap.read(bytes(buf[:length]))
    with pytest.raises(RuntimeError, match="^Item size should be 1$"):
        Bitmap.read(array.array("i", [0] * 8))
    with pytest.raises(ValueError, match="contiguous"):
        Bitmap.read(memoryview(bytes(buf) * 2)[::2])


@pytest.mark.parametrize("portable", [True, False])
def test_read_survives_mutated_forms(portable):
    rng = random.Random(11)
    bm = Bitmap([1, 2, 3, 70000, KEY + 5, 9 * KEY])
    bm.set(1000, 5000)
    original = bytearray(bm.persisted_size(portable))
    bm.write(original, portable)
    for _ in range(2000):
        data = bytearray(original)
        for _ in range(rng.randint(1, 4)):
            data[rng.randrange(len(data))] = rng.randrange(256)
        try:
            back = Bitmap.read(bytes(data), portable)
        except RuntimeError:
            continue
        assert len(back.index_array()) == back.cardinality
