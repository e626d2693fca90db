"""Every method, on its success and its failure paths, repeated in a loop: the
bytes held by malloc and the reference counts of the arguments must come back
to where they started."""
import array
import ctypes
import os
import sys

import numpy as np
import pytest
from _morvane_rec_extension import Bitmap, MemoryScanner

KEY = 1 << 32
MAX = (1 << 64) - 1
SANITIZED = os.environ.get("MORVANE_SANITIZED") == "1"
# Under the sanitizer only reference counts are checked: fewer rounds do.
ROUNDS, WARMUP = (200, 20) if SANITIZED else (5000, 200)


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks",
        "uordblks", "fordblks", "keepcost")]


def malloc_in_use():
    libc = ctypes.CDLL(None)
    libc.mallinfo2.restype = _MallInfo2
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd


bm = Bitmap(np.array([1, 5, 70000, KEY + 3, 9 * KEY, MAX], dtype=np.uint64))
bm.set(100, 200000)
other = Bitmap(np.array([5, 6, KEY + 3], dtype=np.uint64))
positions = np.arange(0, 3000, 3, dtype=np.uint64)
frame = bytearray(bm.persisted_size())
bm.write(frame)
short = bytearray(len(frame) - 1)
truncated = bytes(frame[:-1])
wide = array.array("i", [0] * 64)
scanner = MemoryScanner()
stream = b'{"a":[1,2]}\n{"b":' * 50
far = KEY + 3
positions_bitmap = Bitmap(positions)
ARGUMENTS = [bm, other, positions, frame, short, truncated, wide, scanner, stream, far]


def changed_during_iteration():
    scratch = bm.copy()
    it = iter(scratch)
    next(it)
    scratch.set(7)
    next(it)


def raises(kind, call):
    def run():
        try:
            call()
        except kind:
            return
        raise AssertionError("no %s" % kind.__name__)
    return run


CASES = {
    "construct": lambda: Bitmap(positions),
    "construct_list": lambda: Bitmap([1, far, 3]),
    "construct_refused": raises(TypeError, lambda: Bitmap("abc")),
    "construct_2d_refused": raises(ValueError, lambda: Bitmap(positions.reshape(20, 50))),
    "copy_slice": lambda: bm.copy().slice(3, far),
    "slice_refused": raises(RuntimeError, lambda: bm.slice(far, 5)),
    "properties": lambda: (bm.cardinality, bm.empty, bm.first, bm.last, bm.in_memory_size),
    "persist": lambda: (bm.persisted_size(False), bm.write(frame), Bitmap.read(frame)),
    "write_short": raises(ValueError, lambda: bm.write(short)),
    "write_read_only": raises(BufferError, lambda: bm.write(bytes(frame))),
    "write_wide": raises(RuntimeError, lambda: bm.write(wide)),
    "read_truncated": raises(RuntimeError, lambda: Bitmap.read(truncated)),
    "read_no_buffer": raises(TypeError, lambda: Bitmap.read(far)),
    "rank": lambda: (bm.lower_cardinality(far), bm.upper_cardinality(far), bm.nth(3)),
    "nth_refused": raises(RuntimeError, lambda: bm.nth(far)),
    "navigate": lambda: (other.self_or_next(far), other.self_or_previous(far)),
    "compare": lambda: (bm.subset_of(other), bm.strict_subset_of(other), bm == other, bm != other),
    "membership": lambda: (bm.contains(far), far in bm, len(bm), bm.all(0, far), bm.any(0, far)),
    "shift": lambda: (other.copy().expand(far, 7), other.copy().contract(far, 2)),
    "contract_refused": raises(ValueError, lambda: bm.copy().contract(KEY + 1, 5)),
    "expand_refused": raises(ValueError, lambda: bm.copy().expand(0, KEY)),
    "expand_impossible": raises(RuntimeError, lambda: Bitmap([far]).expand(10, 1)),
    "points_ranges": lambda: [getattr(bm.copy(), name)(far, far + 9) for name in ("set", "unset", "flip")],
    "flip_refused": raises(RuntimeError, lambda: bm.flip(far, far)),
    "algebra": lambda: (bm | other, bm & other, bm - other, bm ^ other, bm.union(other)),
    "inplace": lambda: [getattr(bm.copy(), name)(other) for name in (
        "inplace_union", "inplace_intersect", "inplace_difference", "inplace_symmetric_difference")],
    "operand_refused": raises(TypeError, lambda: bm.union(None)),
    "operator_refused": raises(TypeError, lambda: bm | far),
    "iterate": lambda: list(other),
    "iterate_changed": raises(RuntimeError, changed_during_iteration),
    "arrays": lambda: (bm.index_array(), positions_bitmap.bool_array(), positions_bitmap.bool_array(False, False)),
    "bool_array_refused": raises(ValueError, lambda: Bitmap([0, MAX]).bool_array()),
    "uninitialised_refused": raises(TypeError, lambda: Bitmap.__new__(Bitmap).contains(far)),
    "scan": lambda: (scanner.scan(stream), scanner.scan(stream[:-1])),
    "scanner_lifecycle": lambda: MemoryScanner().scan(stream),
    "scan_strided": raises(ValueError, lambda: scanner.scan(memoryview(stream)[::2])),
    "scan_wide": raises(RuntimeError, lambda: scanner.scan(wide)),
    "scan_refused": raises(TypeError, lambda: scanner.scan("text")),
}


@pytest.mark.parametrize("name", sorted(CASES))
def test_repeated_calls_keep_memory_and_references(name):
    if SANITIZED and name == "scanner_lifecycle":
        pytest.skip("each parser's buffers cost a second to poison under the sanitizer")
    call = CASES[name]
    for _ in range(WARMUP):
        call()
    counts = [sys.getrefcount(arg) for arg in ARGUMENTS]
    before = malloc_in_use()
    for _ in range(ROUNDS):
        call()
    grown = malloc_in_use() - before
    assert [sys.getrefcount(arg) for arg in ARGUMENTS] == counts
    if not SANITIZED:  # the sanitizer's allocator keeps freed blocks in quarantine
        assert grown < 16 * 1024, "%d bytes kept after %d calls" % (grown, ROUNDS)
