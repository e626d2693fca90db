"""The standard portable 64-bit form and the table formats' deletion vectors:
round trips on every leg, refusals of corrupted bytes, and, where the real
clients are installed, each side reading what the other writes."""
import json
import os
import random
import struct
import zlib

import numpy as np
import pytest
from conftest import KEY, MAX

import morvane_rec as mr
from morvane_rec import Bitmap, _z85

LIMIT = 1 << 63


def random_set(rng, keys, limit=MAX):
    """Members of every container kind under a few random keys."""
    bitmap = Bitmap()
    for key in rng.sample(keys, min(len(keys), 4)):
        base = key * KEY
        bitmap.set(base + rng.randrange(1 << 20), base + rng.randrange(1 << 20, 1 << 21))  # runs
        for _ in range(rng.randrange(1, 200)):  # arrays
            bitmap.set(base + rng.randrange(1 << 32))
        for low in range(1 << 22, (1 << 22) + 20000, 3):  # a bitset
            bitmap.set(base + low)
    bitmap.unset(rng.randrange(limit))
    return bitmap


def test_portable64_round_trips_random_sets_through_any_byte_buffer():
    rng = random.Random(7)
    for _ in range(20):
        bitmap = random_set(rng, [0, 1, 2, 2**31 - 1, 2**31, 2**32 - 1, rng.randrange(2**32)])
        data = bitmap.to_portable64()
        for buffer in (data, bytearray(data), memoryview(data), np.frombuffer(data, dtype=np.uint8)):
            back = Bitmap.from_portable64(buffer)
            assert back == bitmap
            assert np.array_equal(back.index_array(), bitmap.index_array())
        assert Bitmap.from_portable64(data).to_portable64() == data


def test_portable64_writes_the_set_as_stored_without_compacting_it():
    bitmap = Bitmap()
    for position in range(10, 6000):  # point adds: a bitset container
        bitmap.set(position)
    before = bitmap.persisted_size(True, False, False)
    data = bitmap.to_portable64()
    assert bitmap.persisted_size(True, False, False) == before
    # Not run-optimised: one bitset container (8 KiB) rather than one run.
    assert len(data) > 8192
    bitmap.persisted_size()
    assert len(bitmap.to_portable64()) < 64 and Bitmap.from_portable64(data) == bitmap


@pytest.mark.parametrize("mangle,message", [
    (lambda b: b[:7], "truncated bucket count (7 bytes) at byte 0"),
    (lambda b: b[:-1], "invalid or truncated 32-bit image of bucket 1 (key 5) at byte 38"),
    (lambda b: b + b"\0\0", "2 trailing bytes after the last bucket at byte "),
    (lambda b: struct.pack("<Q", 2**32) + b[8:], "bucket count 4294967296 above 2^32 - 1 at byte 0"),
    (lambda b: b[:34] + struct.pack("<I", 0) + b[38:], "key 0 of bucket 1 not above the previous key 0 at byte 34"),
])
def test_portable64_refusals_name_the_fault_and_where(mangle, message):
    data = Bitmap([1, 2, 3, 5 * KEY]).to_portable64()
    with pytest.raises(ValueError) as error:
        Bitmap.from_portable64(mangle(data))
    assert str(error.value).startswith("portable 64-bit form: " + message)
    with pytest.raises(RuntimeError, match="Item size should be 1"):
        Bitmap.from_portable64(np.zeros(2, dtype=np.uint32))


def test_iceberg_blob_layout_and_round_trip():
    bitmap = Bitmap([1, 3, 5, 2**31 + 7, LIMIT - 1])
    blob = mr.iceberg_deletion_vector(bitmap)
    vector = bitmap.to_portable64()
    assert blob[:4] == struct.pack(">I", 4 + len(vector))
    assert blob[4:8] == bytes.fromhex("d1d33964") and blob[8:-4] == vector
    assert mr.read_iceberg_deletion_vector(bytearray(blob)) == bitmap
    with pytest.raises(ValueError, match="position 9223372036854775808 is at or above 2"):
        mr.iceberg_deletion_vector(Bitmap([LIMIT]))


def _corruptions(blob, body_start):
    flipped_crc = blob[:-1] + bytes([blob[-1] ^ 1])
    wrong_magic = blob[:body_start] + b"\0" + blob[body_start + 1:]
    return {"crc": flipped_crc, "cut": blob[:-5], "magic": wrong_magic}


@pytest.mark.parametrize("kind,message", [
    ("crc", "does not match the stored"), ("cut", "the length field says"), ("magic", "wrong magic"),
])
def test_iceberg_reader_refuses_corrupted_blobs(kind, message):
    blob = mr.iceberg_deletion_vector(Bitmap([1, 2, 3]))
    with pytest.raises(ValueError, match=message):
        mr.read_iceberg_deletion_vector(_corruptions(blob, 4)[kind])


def test_readers_refuse_positions_at_or_above_2_63():
    body = bytes.fromhex("d1d33964") + Bitmap([LIMIT]).to_portable64()
    blob = struct.pack(">I", len(body)) + body + struct.pack(">I", zlib.crc32(body))
    with pytest.raises(ValueError, match="at or above 2"):
        mr.read_iceberg_deletion_vector(blob)
    inline = mr.delta_inline_deletion_vector(Bitmap([1]))
    body = struct.pack("<I", 1681511377) + Bitmap([LIMIT + 1]).to_portable64()
    inline.update(pathOrInlineDv=_z85.encode(body + bytes(-len(body) % 4)), sizeInBytes=len(body))
    with pytest.raises(ValueError, match="position 9223372036854775809 is at or above"):
        mr.read_delta_deletion_vector(inline, "/nonexistent")


def test_puffin_round_trip_checks_cardinality(tmp_path):
    vectors = {"s3://b/data/a.parquet": Bitmap([0, 9]), "data/b.parquet": Bitmap(), "c": Bitmap([2**40])}
    path = tmp_path / "dv.puffin"
    blobs = mr.write_puffin_deletion_vectors(str(path), vectors)
    data = path.read_bytes()
    assert data[:4] == data[-4:] == b"PFA1"
    assert [b["properties"]["cardinality"] for b in blobs] == ["2", "0", "1"]
    assert mr.read_iceberg_deletion_vector(data[blobs[2]["offset"]:][:blobs[2]["length"]]) == vectors["c"]
    assert mr.read_puffin_deletion_vectors(str(path)) == vectors
    assert mr.read_puffin_deletion_vectors(data) == vectors
    lying = data.replace(b'"cardinality": "2"', b'"cardinality": "3"')
    with pytest.raises(ValueError, match="puffin blob 0: 2 positions, the metadata says 3"):
        mr.read_puffin_deletion_vectors(lying)
    with pytest.raises(ValueError, match="no PFA1 magic"):
        mr.read_puffin_deletion_vectors(data[:-1])
    with pytest.raises(ValueError, match="puffin blob 1: iceberg deletion vector: CRC"):
        start = blobs[1]["offset"] + blobs[1]["length"] - 1
        mr.read_puffin_deletion_vectors(data[:start] + bytes([data[start] ^ 0x80]) + data[start + 1:])


def test_delta_file_inline_and_absolute_path_round_trips(tmp_path):
    sets = [Bitmap([0, 9]), Bitmap(), Bitmap(np.arange(0, 200000, 3, dtype=np.uint64)), Bitmap([2**62])]
    descriptors = mr.write_delta_deletion_vectors(str(tmp_path), sets)
    (name,) = os.listdir(str(tmp_path))
    assert name.startswith("deletion_vector_") and (tmp_path / name).read_bytes()[:1] == b"\x01"
    assert descriptors[0]["offset"] == 1 and [d["cardinality"] for d in descriptors] == [2, 0, 66667, 1]
    for bitmap, descriptor in zip(sets, descriptors):
        assert descriptor["storageType"] == "u" and len(descriptor["pathOrInlineDv"]) == 20
        assert mr.read_delta_deletion_vector(descriptor, str(tmp_path)) == bitmap
        absolute = dict(descriptor, storageType="p", pathOrInlineDv="file://" + str(tmp_path / name))
        assert mr.read_delta_deletion_vector(absolute, "/elsewhere") == bitmap
        inline = json.loads(json.dumps(mr.delta_inline_deletion_vector(bitmap)))
        assert "offset" not in inline and mr.read_delta_deletion_vector(inline, "/elsewhere") == bitmap
    # A path prefix before the UUID names a folder under the table root.
    os.mkdir(str(tmp_path / "ab"))
    os.rename(str(tmp_path / name), str(tmp_path / "ab" / name))
    prefixed = dict(descriptors[2], pathOrInlineDv="ab" + descriptors[2]["pathOrInlineDv"])
    assert mr.read_delta_deletion_vector(prefixed, str(tmp_path)) == sets[2]


def test_delta_reader_refuses_corrupted_files(tmp_path):
    (descriptor,) = mr.write_delta_deletion_vectors(str(tmp_path), [Bitmap([1, 2, 3])])
    (name,) = os.listdir(str(tmp_path))
    path = tmp_path / name
    good = path.read_bytes()
    cases = {
        "file version b'\\\\x02', expected 1": b"\x02" + good[1:],
        "does not match the stored": good[:-1] + bytes([good[-1] ^ 1]),
        "wrong magic": good[:5] + b"\0" + good[6:],
        "the file ends inside the vector": good[:-2],
        "the file says 9 bytes": good[:1] + struct.pack(">I", 9) + good[5:],
    }
    for message, data in cases.items():
        path.write_bytes(data)
        with pytest.raises(ValueError, match=message):
            mr.read_delta_deletion_vector(descriptor, str(tmp_path))
    path.write_bytes(good)
    with pytest.raises(ValueError, match="3 positions, the metadata says 4"):
        mr.read_delta_deletion_vector(dict(descriptor, cardinality=4), str(tmp_path))
    with pytest.raises(ValueError, match="pathOrInlineDv is not a string"):
        mr.read_delta_deletion_vector(dict(descriptor, pathOrInlineDv=None), str(tmp_path))
    with pytest.raises(ValueError, match="unknown storageType 'x'"):
        mr.read_delta_deletion_vector(dict(descriptor, storageType="x"), str(tmp_path))


# --- The real clients (installed on the newer legs) ---------------------------------


def _compacted_peer(pyroaring, values):
    peer = pyroaring.BitMap64(values)
    peer.run_optimize()
    peer.shrink_to_fit()
    return peer


def test_bytes_match_bitmap64_both_ways():
    pyroaring = pytest.importorskip("pyroaring")
    rng = random.Random(11)
    for _ in range(10):
        bitmap = random_set(rng, [0, 3, 2**31, 2**32 - 1, rng.randrange(2**32)])
        bitmap.persisted_size()
        values = bitmap.index_array()
        peer = _compacted_peer(pyroaring, values)
        assert bitmap.to_portable64() == peer.serialize()
        assert Bitmap.from_portable64(peer.serialize()) == bitmap
        assert pyroaring.BitMap64.deserialize(bitmap.to_portable64()) == peer


def test_pyiceberg_reads_the_puffin_file(tmp_path):
    deletion_vector = pytest.importorskip("pyiceberg.table.deletion_vector")
    from pyiceberg.table.puffin import PuffinFile
    vectors = {"s3://bucket/data/a.parquet": Bitmap([1, 3, 5, 2**31 + 9, 2**40]), "data/b.parquet": Bitmap([0])}
    path = tmp_path / "deletes.puffin"
    mr.write_puffin_deletion_vectors(str(path), vectors)
    read = deletion_vector.deletion_vectors_from_puffin_file(PuffinFile(path.read_bytes()))
    assert {vector.referenced_data_file: vector.to_vector().to_pylist() for vector in read} == {
        data_file: bitmap.index_array().tolist() for data_file, bitmap in vectors.items()}


def _delta_table(root, rows, descriptor):
    """A one-file table with `rows` integer rows and the given deletion vector."""
    pq = pytest.importorskip("pyarrow.parquet")
    import pyarrow as pa
    pq.write_table(pa.table({"value": pa.array(range(rows), pa.int32())}), str(root / "part-0.parquet"))
    os.mkdir(str(root / "_delta_log"))
    schema = {"type": "struct", "fields": [{"name": "value", "type": "integer", "nullable": True, "metadata": {}}]}
    actions = [
        {"protocol": {"minReaderVersion": 3, "minWriterVersion": 7, "readerFeatures": ["deletionVectors"],
                      "writerFeatures": ["deletionVectors"]}},
        {"metaData": {"id": "t", "format": {"provider": "parquet", "options": {}},
                      "schemaString": json.dumps(schema), "partitionColumns": [],
                      "configuration": {"delta.enableDeletionVectors": "true"}, "createdTime": 0}},
        {"add": {"path": "part-0.parquet", "partitionValues": {}, "size": (root / "part-0.parquet").stat().st_size,
                 "modificationTime": 0, "dataChange": True, "deletionVector": descriptor,
                 "stats": json.dumps({"numRecords": rows})}},
    ]
    (root / "_delta_log" / ("0" * 20 + ".json")).write_text("\n".join(json.dumps(a) for a in actions) + "\n")


def test_deltalake_reads_the_vector_file(tmp_path):
    deltalake = pytest.importorskip("deltalake")
    deleted = Bitmap([0, 2, 3, 9])
    (descriptor,) = mr.write_delta_deletion_vectors(str(tmp_path), [deleted])
    _delta_table(tmp_path, 10, descriptor)
    import pyarrow as pa
    reader = deltalake.DeltaTable(str(tmp_path)).deletion_vectors()
    rows = pa.RecordBatchReader.from_stream(reader).read_all().to_pylist()
    assert [row["filepath"].rsplit("/", 1)[-1] for row in rows] == ["part-0.parquet"]
    assert rows[0]["selection_vector"] == [p not in deleted for p in range(10)]
