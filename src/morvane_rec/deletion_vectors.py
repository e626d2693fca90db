"""Deletion vectors of the two table formats: Iceberg's `deletion-vector-v1`
blobs (alone or in Puffin files) and Delta's deletion vector files and inline
vectors. Both wrap the standard portable 64-bit Roaring form of the deleted
row positions (`Bitmap.to_portable64`) in a length, a magic number and a
CRC-32; every reader here checks all three before it reads the vector, and
refuses what it cannot vouch for with ValueError."""
import json
import os
import struct
import uuid
import zlib
from urllib.parse import unquote, urlparse

from _morvane_rec_extension import Bitmap

from . import _z85

__all__ = ["iceberg_deletion_vector", "read_iceberg_deletion_vector", "write_puffin_deletion_vectors",
           "read_puffin_deletion_vectors", "write_delta_deletion_vectors", "delta_inline_deletion_vector",
           "read_delta_deletion_vector"]

_ICEBERG_MAGIC = b"\xd1\xd3\x39\x64"
_DELTA_MAGIC = struct.pack("<I", 1681511377)
_DELTA_VERSION = 1
_PUFFIN_MAGIC = b"PFA1"
_DV_BLOB_TYPE = "deletion-vector-v1"
# Iceberg's reserved field id of the row position column.
_ROW_POSITION_FIELD = 2147483645
# Both formats keep positions below 2^63 (keys below 2^31): Java's signed longs.
_POSITION_LIMIT = 1 << 63
_MAX_FRAME = (1 << 31) - 1


def _bytes_view(data, what):
    view = memoryview(data)
    if not view.c_contiguous:
        raise ValueError("%s must be contiguous in memory" % what)
    return view.cast("B") if view.format != "B" or view.ndim != 1 else view


def _check_positions(bitmap, what):
    last = bitmap.last
    if last is not None and last >= _POSITION_LIMIT:
        raise ValueError("%s: position %d is at or above 2^63" % (what, last))


def _vector(bitmap, magic, what):
    """magic + the portable 64-bit form, refused when too large for a frame."""
    _check_positions(bitmap, what)
    body = magic + bitmap.to_portable64()
    if len(body) > _MAX_FRAME:
        raise ValueError("%s: %d bytes do not fit a 4-byte signed length" % (what, len(body)))
    return body


def _framed(body):
    """Both formats' frame: big-endian length, the body, big-endian CRC-32."""
    return struct.pack(">I", len(body)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def _read_vector(body, magic, what, stored_crc=None):
    """The set of magic + portable 64-bit form `body`, checked against its
    CRC-32 where the format stores one."""
    if bytes(body[:4]) != magic:
        raise ValueError("%s: wrong magic %s, expected %s" % (what, bytes(body[:4]).hex(), magic.hex()))
    if stored_crc is not None:
        computed = zlib.crc32(body) & 0xFFFFFFFF
        if computed != stored_crc:
            raise ValueError("%s: CRC-32 %08x does not match the stored %08x" % (what, computed, stored_crc))
    try:
        bitmap = Bitmap.from_portable64(body[4:])
    except ValueError as error:
        raise ValueError("%s: %s" % (what, error)) from None
    _check_positions(bitmap, what)
    return bitmap


def _check_cardinality(bitmap, expected, what):
    try:
        expected = int(expected)
    except (TypeError, ValueError):
        raise ValueError("%s: cardinality %r is not an integer" % (what, expected)) from None
    if len(bitmap) != expected:
        raise ValueError("%s: %d positions, the metadata says %d" % (what, len(bitmap), expected))


# --- Iceberg ----------------------------------------------------------------------


def iceberg_deletion_vector(bitmap):
    """The `deletion-vector-v1` blob of `bitmap`: 4-byte big-endian length of
    magic + vector, the magic, the vector, and the CRC-32 of magic + vector."""
    return _framed(_vector(bitmap, _ICEBERG_MAGIC, "iceberg deletion vector"))


def read_iceberg_deletion_vector(blob):
    """The set of a `deletion-vector-v1` blob (any contiguous buffer)."""
    what = "iceberg deletion vector"
    view = _bytes_view(blob, what)
    if len(view) < 12:
        raise ValueError("%s: %d bytes, fewer than a length, magic and CRC" % (what, len(view)))
    (length,) = struct.unpack_from(">I", view, 0)
    if length != len(view) - 8:
        raise ValueError("%s: the length field says %d bytes of magic and vector, the blob holds %d"
                         % (what, length, len(view) - 8))
    (stored,) = struct.unpack_from(">I", view, 4 + length)
    return _read_vector(view[4:4 + length], _ICEBERG_MAGIC, what, stored)


def write_puffin_deletion_vectors(path, vectors):
    """Writes a Puffin file holding one `deletion-vector-v1` blob for each
    data file of `vectors` ({data file path: Bitmap}); returns the blobs'
    metadata as the footer lists it (offset and length go into the manifest)."""
    out = bytearray(_PUFFIN_MAGIC)
    blobs = []
    for data_file, bitmap in vectors.items():
        blob = iceberg_deletion_vector(bitmap)
        blobs.append({
            "type": _DV_BLOB_TYPE, "fields": [_ROW_POSITION_FIELD], "snapshot-id": -1, "sequence-number": -1,
            "offset": len(out), "length": len(blob),
            "properties": {"referenced-data-file": str(data_file), "cardinality": str(len(bitmap))},
        })
        out += blob
    payload = json.dumps({"blobs": blobs, "properties": {"created-by": "morvane_rec"}}).encode("utf-8")
    out += _PUFFIN_MAGIC + payload + struct.pack("<I", len(payload)) + bytes(4) + _PUFFIN_MAGIC
    with open(path, "wb") as file:
        file.write(out)
    return blobs


def _puffin_footer(view):
    what = "puffin file"
    tail = 4 + 4 + 4  # payload size, flags, magic
    if len(view) < 4 + 4 + tail or bytes(view[:4]) != _PUFFIN_MAGIC or bytes(view[-4:]) != _PUFFIN_MAGIC:
        raise ValueError("%s: no PFA1 magic at both ends" % what)
    (size,) = struct.unpack_from("<I", view, len(view) - tail)
    if view[len(view) - 8] & 1:
        raise ValueError("%s: the footer is compressed, which is not supported" % what)
    start = len(view) - tail - size - 4
    if start < 4 or bytes(view[start:start + 4]) != _PUFFIN_MAGIC:
        raise ValueError("%s: footer payload size %d does not lead to the footer's magic" % (what, size))
    try:
        footer = json.loads(bytes(view[start + 4:start + 4 + size]).decode("utf-8"))
        blobs = footer["blobs"]
        if not isinstance(blobs, list):
            raise TypeError
    except (ValueError, KeyError, TypeError):
        raise ValueError("%s: the footer is not JSON with a list of blobs" % what) from None
    return blobs, start


def read_puffin_deletion_vectors(path_or_bytes):
    """{data file path: Bitmap} of the `deletion-vector-v1` blobs of a Puffin
    file, given as a path or as its bytes; each blob's `cardinality` property
    must match its set. Blobs of other types are skipped."""
    if isinstance(path_or_bytes, (bytes, bytearray, memoryview)):
        view = _bytes_view(path_or_bytes, "puffin file")
    else:
        with open(path_or_bytes, "rb") as file:
            view = memoryview(file.read())
    blobs, footer_start = _puffin_footer(view)
    vectors = {}
    for index, blob in enumerate(blobs):
        what = "puffin blob %d" % index
        if not isinstance(blob, dict) or blob.get("type") != _DV_BLOB_TYPE:
            continue
        if blob.get("compression-codec") not in (None, "none"):
            raise ValueError("%s: compression %r is not supported" % (what, blob["compression-codec"]))
        offset, length = blob.get("offset"), blob.get("length")
        if not (isinstance(offset, int) and isinstance(length, int)
                and 4 <= offset and 0 <= length <= footer_start - offset):
            raise ValueError("%s: offset %r and length %r lie outside the blobs" % (what, offset, length))
        properties = blob.get("properties") or {}
        data_file = properties.get("referenced-data-file") if isinstance(properties, dict) else None
        if not isinstance(data_file, str):
            raise ValueError("%s: no referenced-data-file property" % what)
        if data_file in vectors:
            raise ValueError("%s: a second vector for %s" % (what, data_file))
        try:
            bitmap = read_iceberg_deletion_vector(view[offset:offset + length])
        except ValueError as error:
            raise ValueError("%s: %s" % (what, error)) from None
        _check_cardinality(bitmap, properties.get("cardinality"), what)
        vectors[data_file] = bitmap
    return vectors


# --- Delta ------------------------------------------------------------------------


def write_delta_deletion_vectors(directory, bitmaps):
    """Writes `bitmaps` into one new `deletion_vector_<uuid>.bin` file in
    `directory` (a table's root, where its data files lie) and returns one
    descriptor per set, as the table log's `deletionVector` holds it."""
    file_id = uuid.uuid4()
    out = bytearray([_DELTA_VERSION])
    descriptors = []
    for bitmap in bitmaps:
        body = _vector(bitmap, _DELTA_MAGIC, "delta deletion vector")
        descriptors.append({"storageType": "u", "pathOrInlineDv": _z85.encode(file_id.bytes),
                            "offset": len(out), "sizeInBytes": len(body), "cardinality": len(bitmap)})
        out += _framed(body)
    with open(os.path.join(os.fspath(directory), "deletion_vector_%s.bin" % file_id), "xb") as file:
        file.write(out)
    return descriptors


def delta_inline_deletion_vector(bitmap):
    """The descriptor of `bitmap` stored inline in the table log (type `i`):
    magic + vector in Z85, zero-padded to whole 4-byte words."""
    body = _vector(bitmap, _DELTA_MAGIC, "delta deletion vector")
    padded = body + bytes(-len(body) % 4)
    return {"storageType": "i", "pathOrInlineDv": _z85.encode(padded), "sizeInBytes": len(body),
            "cardinality": len(bitmap)}


def _delta_file(descriptor, table_root):
    kind, where = descriptor["storageType"], descriptor["pathOrInlineDv"]
    if kind == "u":
        if len(where) < 20:
            raise ValueError("delta deletion vector: %r is too short to end in a Z85 UUID" % where)
        file_id = uuid.UUID(bytes=_z85.decode(where[-20:]))
        return os.path.join(os.fspath(table_root), where[:-20], "deletion_vector_%s.bin" % file_id)
    parsed = urlparse(where)
    if parsed.scheme in ("", "file"):
        return unquote(parsed.path) if parsed.scheme else where
    raise ValueError("delta deletion vector: only local paths are read, not %r" % where)


def read_delta_deletion_vector(descriptor, table_root):
    """The set of a `deletionVector` descriptor of storage type `u` (a file
    beside the table's data, found from `table_root`), `p` (an absolute path)
    or `i` (inline). Checks the version byte, the size, magic and CRC, and the
    descriptor's cardinality."""
    what = "delta deletion vector"
    try:
        kind, size = descriptor["storageType"], descriptor["sizeInBytes"]
        descriptor["pathOrInlineDv"], descriptor["cardinality"]
    except (KeyError, TypeError):
        raise ValueError("%s: the descriptor lacks storageType, pathOrInlineDv, sizeInBytes or cardinality"
                         % what) from None
    if not isinstance(descriptor["pathOrInlineDv"], str):
        raise ValueError("%s: pathOrInlineDv is not a string" % what)
    if not isinstance(size, int) or not 4 <= size <= _MAX_FRAME:
        raise ValueError("%s: sizeInBytes %r is not a vector's size" % (what, size))
    stored_crc = None  # inline vectors carry none
    if kind == "i":
        body = _z85.decode(descriptor["pathOrInlineDv"])
        if len(body) < size:
            raise ValueError("%s: inline data holds %d bytes, sizeInBytes says %d" % (what, len(body), size))
        body = body[:size]
    elif kind in ("u", "p"):
        offset = descriptor.get("offset", 1)
        if not isinstance(offset, int) or offset < 1:
            raise ValueError("%s: offset %r is not past the version byte" % (what, offset))
        with open(_delta_file(descriptor, table_root), "rb") as file:
            version = file.read(1)
            if version != bytes([_DELTA_VERSION]):
                raise ValueError("%s: file version %r, expected 1" % (what, version))
            file.seek(offset)
            frame = file.read(size + 8)
        if len(frame) < size + 8:
            raise ValueError("%s: the file ends inside the vector at offset %d" % (what, offset))
        (stored_size,) = struct.unpack_from(">I", frame, 0)
        if stored_size != size:
            raise ValueError("%s: the file says %d bytes, sizeInBytes says %d" % (what, stored_size, size))
        body = frame[4:4 + size]
        (stored_crc,) = struct.unpack_from(">I", frame, 4 + size)
    else:
        raise ValueError("%s: unknown storageType %r" % (what, kind))
    bitmap = _read_vector(body, _DELTA_MAGIC, what, stored_crc)
    _check_cardinality(bitmap, descriptor["cardinality"], what)
    return bitmap
