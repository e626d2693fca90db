import struct

import _morvane_rec_extension as ext
import pytest

KEY = 1 << 32
MAX = (1 << 64) - 1


def entry_keys(bitmap, portable=True):
    """Keys of the map entries, read from the serialized frame."""
    size = bitmap.persisted_size(portable, False, False)
    buf = bytearray(size)
    bitmap.write(buf, portable)
    (count,) = struct.unpack_from("<Q", buf, 0)
    keys, offset = [], 8
    for _ in range(count):
        key, length = struct.unpack_from("<IQ", buf, offset)
        keys.append(key)
        offset += 12 + length
    return keys


@pytest.fixture
def Bitmap():
    return ext.Bitmap
