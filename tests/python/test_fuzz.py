"""Random and mutated inputs for Bitmap.read and MemoryScanner.scan: only
results or clean exceptions. MORVANE_FUZZ_ITERATIONS sets the inputs per
target for long runs; run under the sanitizer build by the test command."""
import json
import os
import random
import struct

import numpy as np
import pytest
from _morvane_rec_extension import Bitmap, MemoryScanner

ITERATIONS = int(os.environ.get("MORVANE_FUZZ_ITERATIONS", "2000"))


def image(rng, portable):
    """Serialized bytes of one slot: a real image, random bytes, or a real image
    of the other mode."""
    values = np.array(rng.sample(range(200000), rng.randrange(1, 60)), dtype=np.uint64)
    bm = Bitmap(values)
    if rng.random() < 0.3:
        bm.set(rng.randrange(1000), rng.randrange(1000, 300000))
    mode = portable if rng.random() < 0.7 else not portable
    frame = bytearray(bm.persisted_size(mode))
    bm.write(frame, mode)
    slot = bytes(frame[20:])  # the key-0 record's image
    if rng.random() < 0.3:
        return bytes(rng.randrange(256) for _ in range(rng.randrange(64)))
    return slot


def random_frame(rng, portable):
    records = [(rng.choice([0, 1, 7, 2**32 - 1, rng.randrange(2**32)]), image(rng, portable))
               for _ in range(rng.randrange(4))]
    count = len(records) if rng.random() < 0.8 else rng.choice([len(records) + 1, 2**64 - 1, 2**31])
    out = struct.pack("<Q", count)
    for key, body in records:
        length = len(body) if rng.random() < 0.85 else rng.choice([0, len(body) - 1, len(body) + 1, 2**63])
        out += struct.pack("<IQ", key, max(length, 0)) + body
    return out


@pytest.mark.parametrize("portable", [True, False])
def test_read_random_frames(portable):
    rng = random.Random(7 + portable)
    accepted = 0
    for _ in range(ITERATIONS):
        data = random_frame(rng, portable)
        try:
            back = Bitmap.read(data, portable)
        except RuntimeError:
            continue
        accepted += 1
        members = back.index_array()
        assert len(members) == back.cardinality
        assert np.all(members[1:] > members[:-1])
        again = bytearray(back.persisted_size(portable))
        back.write(again, portable)
        assert Bitmap.read(again, portable) == back
    assert accepted > ITERATIONS // 10  # the generator reaches the parser's inner paths


def scan_checked(scanner, data):
    count, covered = scanner.scan(data)
    # Malformed input may count odd steps, but never covers bytes it was not given.
    assert 0 <= covered <= len(data) and count >= 0
    assert scanner.scan(bytearray(data)) == (count, covered)
    return count, covered


def test_scan_random_bytes_and_token_soup():
    rng = random.Random(3)
    tokens = [b"{", b"}", b"[", b"]", b'"', b":", b",", b" ", b"\n", b"1", b"-2.5e3",
              b"true", b"null", b'"k"', b"\\", b"\xff", b"\xc3\xa9", b"\x00", b"\t"]
    scanner = MemoryScanner()
    for i in range(ITERATIONS):
        if i % 2:
            data = bytes(rng.randrange(256) for _ in range(rng.randrange(100)))
        else:
            data = b"".join(rng.choice(tokens) for _ in range(rng.randrange(60)))
        scan_checked(scanner, data)


def test_scan_ndjson_with_a_cut_tail():
    rng = random.Random(5)
    scanner = MemoryScanner()
    for _ in range(ITERATIONS):
        docs = [json.dumps({"id": rng.randrange(10**6), "v": [rng.random(), {"n": None}]},
                           separators=(",", ":")).encode()
                for _ in range(rng.randrange(1, 6))]
        tail = docs.pop()
        head = b"".join(d + rng.choice([b"\n", b" ", b"\r\n"]) for d in docs)
        # Cut the last document outside its strings: the scanner then
        # reports it as truncated, and covers exactly the documents before it.
        cuts = [i for i in range(1, len(tail)) if tail[:i].count(b'"') % 2 == 0]
        data = head + tail[:rng.choice(cuts)]
        assert scan_checked(scanner, data) == (len(docs), len(head)), data
        assert scan_checked(scanner, head + tail) == (len(docs) + 1, len(head) + len(tail))
