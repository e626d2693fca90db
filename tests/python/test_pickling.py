"""Bitmap through pickle, copy and multiprocessing (the morvane_rec package)."""
import copy
import multiprocessing
import pickle

import numpy as np
import pytest

from morvane_rec import Bitmap

PROTOCOLS = range(2, pickle.HIGHEST_PROTOCOL + 1)


def _frame(bitmap):
    buf = bytearray(bitmap.persisted_size(True, False, False))
    bitmap.write(buf)
    return bytes(buf)


def _sets():
    emptied = Bitmap(np.array([3, 2**32 + 1, 2**40], dtype=np.uint64))
    emptied.unset(2**32 + 1)  # its entry stays, without members
    extremes = Bitmap(np.array([0, 2**32 - 1, 2**32, 2**64 - 1], dtype=np.uint64))
    dense = Bitmap()
    dense.set(10, 200000)
    return {"empty": Bitmap(), "emptied": emptied, "extremes": extremes, "dense": dense}


@pytest.mark.parametrize("protocol", PROTOCOLS)
@pytest.mark.parametrize("name", ["empty", "emptied", "extremes", "dense"])
def test_round_trip_keeps_members_and_entries(protocol, name):
    original = _sets()[name]
    before = _frame(original)
    back = pickle.loads(pickle.dumps(original, protocol))
    assert type(back) is Bitmap and back == original
    assert _frame(back) == before == _frame(original)  # same entries; the original untouched
    for clone in (copy.copy(original), copy.deepcopy(original)):
        assert _frame(clone) == before and clone is not original


@pytest.mark.skipif(pickle.HIGHEST_PROTOCOL < 5, reason="protocol 5 needs CPython 3.8")
def test_protocol_5_sends_the_frame_out_of_band():
    original = Bitmap(np.arange(0, 3_000_000, 2, dtype=np.uint64))
    buffers = []
    payload = pickle.dumps(original, 5, buffer_callback=buffers.append)
    assert len(buffers) == 1 and len(payload) < 200
    assert buffers[0].raw().nbytes == original.persisted_size(True, False, False)
    assert pickle.loads(payload, buffers=buffers) == original


@pytest.mark.parametrize("protocol", range(3, pickle.HIGHEST_PROTOCOL + 1))  # 2 re-encodes bytes
def test_corrupt_payload_gives_the_read_error(protocol):
    payload = pickle.dumps(_sets()["extremes"], protocol)
    frame = _frame(_sets()["extremes"])
    at = payload.find(frame)
    assert at > 0
    truncated = payload[:at] + frame[:5] + payload[at + len(frame):]
    with pytest.raises(Exception):  # noqa: B017 - which layer objects first varies
        pickle.loads(truncated)  # the pickle's own framing may object first
    corrupt = bytearray(payload)
    corrupt[at + 8:at + 12] = b"\xff\xff\xff\xff"  # first record's key: still in bounds
    corrupt[at + 12:at + 20] = (10**9).to_bytes(8, "little")  # its length: past the frame
    with pytest.raises(RuntimeError, match="serialized form is truncated"):
        pickle.loads(bytes(corrupt))


def _evens_below(limit):
    return Bitmap(np.arange(0, limit, 2, dtype=np.uint64))


def test_multiprocessing_pool_returns_sets():
    with multiprocessing.get_context("spawn").Pool(2) as pool:
        results = pool.map(_evens_below, [10, 2**20])
    assert [len(r) for r in results] == [5, 2**19]
    assert results[1].nth(7) == 14
