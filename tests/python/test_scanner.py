import array
import gc
import json
import random

import numpy as np
import pytest
from _morvane_rec_extension import MemoryScanner


@pytest.mark.parametrize("data,expected", [
    (b'{"a":1} {"b":2}', (2, 15)),
    (b'\xef\xbb\xbf{"a":1}\n{"b":2}\n', (2, 19)),  # a byte order mark is no document
    (b'{"a":1}\n{"b":', (1, 8)),
    (b"   \n ", (0, 5)),
    (b"abc", (1, 3)),
    (b"", (0, 0)),
    (b'{"a":1}\n{"b":2}\n', (2, 16)),
    (b'"x"', (1, 3)),
    (b' {"id":1,', (0, 1)),  # a lone unfinished document is not covered
])
def test_scan_counts_documents_and_covered_bytes(data, expected):
    scanner = MemoryScanner()
    assert scanner.scan(data) == expected
    assert scanner.scan(bytearray(data)) == expected
    assert scanner.scan(memoryview(data)) == expected
    assert MemoryScanner().scan(data) == expected


def test_scanner_is_reusable():
    scanner = MemoryScanner()
    scanner.scan(b'{"a":[1,2,3]}\n' * 1000)
    assert scanner.scan(b"") == (0, 0)
    assert scanner.scan(b"[1] [2") == (1, 4)


def test_buffer_forms():
    scanner = MemoryScanner()
    grid = np.frombuffer(b"[1,2] {} ", dtype=np.uint8)[:8].reshape(2, 4)
    assert scanner.scan(np.ascontiguousarray(grid)) == (2, 8)
    with pytest.raises(RuntimeError, match="^Item size should be 1$"):
        scanner.scan(array.array("h", [1, 2]))
    with pytest.raises(ValueError, match="contiguous"):
        scanner.scan(memoryview(b"abcdef")[::2])
    assert scanner.scan(b"{}") == (1, 2)


def test_scan_arguments():
    with pytest.raises(TypeError):
        MemoryScanner(1)
    with pytest.raises(TypeError):
        MemoryScanner().scan(buffer=b"{}")
    with pytest.raises(TypeError):
        MemoryScanner().scan("{}")


def test_scan_longer_than_one_batch():
    line = b'{"id":12345,"text":"' + b"x" * 100 + b'"}\n'
    count = (1100 * 2**20) // len(line) + 1
    data = line * count + b'{"tail":'
    assert len(data) > 2**30
    assert MemoryScanner().scan(data) == (count, count * len(line))
    del data
    gc.collect()


def _documents(rng, count):
    words = ["plain", "café", "東京", "🚀", "naïve — ok", 'quote " and \\ slash', "\t"]
    return [{"id": i, "name": rng.choice(words) * rng.randint(0, 5),
             "tags": [rng.choice(words) for _ in range(rng.randint(0, 3))],
             "nested": {"v": [rng.random(), None, True]}} for i in range(count)]


@pytest.mark.parametrize("mark", [b"", b"\xef\xbb\xbf"], ids=["plain", "byte-order-mark"])
@pytest.mark.parametrize("style", ["ndjson", "pretty", "glued"])
def test_growing_stream_loop_counts_every_document_once(style, mark):
    # The README's loop over non-ASCII text cut at every block size counts each
    # document once and always cuts between documents; a file's leading byte
    # order mark is skipped, never counted.
    rng = random.Random(style)
    docs = _documents(rng, 60)
    if style == "ndjson":
        texts = [json.dumps(d, ensure_ascii=False) + "\n" for d in docs]
    elif style == "pretty":
        texts = [json.dumps(d, ensure_ascii=False, indent=2) + "\n" for d in docs]
    else:
        texts = [json.dumps(d, ensure_ascii=False, separators=(",", ":")) for d in docs]
    stream = mark + "".join(texts).encode()
    ends = {len(mark)}
    offset = len(mark)
    for text in texts:
        ends.add(offset + len(text.rstrip("\n").encode()))
        offset += len(text.encode())
        ends.add(offset)
    scanner = MemoryScanner()
    for block in (1, 2, 3, 7, 64, 4096):
        pending, consumed, counted = b"", 0, 0
        for start in range(0, len(stream), block):
            data = pending + stream[start:start + block]
            documents, covered = scanner.scan(data)
            counted += documents
            consumed += covered
            assert consumed == 0 or consumed in ends
            pending = data[covered:]
        assert (counted, pending) == (len(docs), b""), block


@pytest.mark.parametrize("data,expected", [
    (b'{"a":1}\n{"b":"\xc3', (1, 8)),             # cut inside a character
    (b'{"a":1}\n{"b":"\xf0\x9f\x9a', (1, 8)),
    (b'[1] "\xe2\x82', (1, 4)),
    (b'{"a":1} \xff', (2, 8)),                    # an error step counts
    (b'{"a":1}\n{"b":2}\n\xff', (3, 16)),
    (b'{"a":1}\n{"b":2}\n{"c":"x\n', (1, 0)),     # raw newline in a string
    (b'[1]\n["\xe2\x80 ', (1, 0)),                # invalid, not unfinished
])
def test_scan_utf8_and_malformed_ends(data, expected):
    assert MemoryScanner().scan(data) == expected
