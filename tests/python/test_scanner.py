import array
import gc

import numpy as np
import pytest

from _morvane_rec_extension import MemoryScanner


@pytest.mark.parametrize("data,expected", [
    (b'{"a":1} {"b":2}', (2, 15)),
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
