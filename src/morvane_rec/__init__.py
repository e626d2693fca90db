"""Compressed sets of 64-bit row positions (`Bitmap`) and a JSON stream
document counter (`MemoryScanner`), with pickling for `Bitmap` and bulk
queries over NumPy arrays (`contains_many`, `lower_cardinality_many`,
`nth_many`, `runs`, `intersection_cardinality`), many-way algebra
(`union_all`, `intersection_all`), and the table formats' deletion vectors
(Iceberg's Puffin blobs, Delta's vector files and inline vectors) read into
and written from `Bitmap`.

Importing this package registers a reducer for `Bitmap` with `copyreg`, so
sets travel through `pickle`, `multiprocessing`, distributed schedulers and
`copy`. A pickled set carries its portable serialized form; with pickle
protocol 5 that frame is an out-of-band buffer, so it is not copied again
when the pickler hands buffers over separately.
"""
import copyreg
import pickle

import numpy as np
from _morvane_rec_extension import Bitmap, MemoryScanner, _bulk

from .deletion_vectors import (
    delta_inline_deletion_vector,
    iceberg_deletion_vector,
    read_delta_deletion_vector,
    read_iceberg_deletion_vector,
    read_puffin_deletion_vectors,
    write_delta_deletion_vectors,
    write_puffin_deletion_vectors,
)

__all__ = ["Bitmap", "MemoryScanner", "contains_many", "lower_cardinality_many", "nth_many", "runs",
           "intersection_cardinality", "union_all", "intersection_all", "iceberg_deletion_vector",
           "read_iceberg_deletion_vector", "write_puffin_deletion_vectors", "read_puffin_deletion_vectors",
           "write_delta_deletion_vectors", "delta_inline_deletion_vector", "read_delta_deletion_vector"]


def _as_positions(values, what):
    """A 1-D uint64 array of `values` (the array itself when it already is one,
    C-contiguous and aligned); negative values raise ValueError naming their index."""
    array = np.asarray(values)
    if array.ndim != 1:
        raise ValueError("%s must be one-dimensional, not %d-dimensional" % (what, array.ndim))
    if array.size == 0:
        return np.empty(0, dtype=np.uint64)
    if array.dtype.kind in "fO" and not isinstance(values, np.ndarray):
        # Python ints on both sides of 2^63 make NumPy fall back to floats or
        # objects: keep them as exact ints.
        items = list(values)
        if all(isinstance(v, (int, np.integer)) and not isinstance(v, bool) for v in items):
            array = np.array(items, dtype=object)
        elif array.dtype.kind == "O":
            raise TypeError("%s must hold integers" % what)
    if array.dtype.kind not in "iuO":
        raise TypeError("%s must hold integers, not %s" % (what, array.dtype))
    if array.dtype.kind != "u":
        negative = np.flatnonzero(array < 0)
        if negative.size:
            index = int(negative[0])
            raise ValueError("%s: negative value %d at index %d" % (what, int(array[index]), index))
    return np.ascontiguousarray(array, dtype=np.uint64)


def contains_many(bitmap, positions):
    """Whether each position is a member: a bool array as long as `positions`."""
    return _bulk.contains_many(bitmap, _as_positions(positions, "positions"))


def lower_cardinality_many(bitmap, positions):
    """Members strictly below each position: a uint64 array."""
    return _bulk.lower_cardinality_many(bitmap, _as_positions(positions, "positions"))


def nth_many(bitmap, ordinals):
    """The member of each 0-based ordinal: a uint64 array. An ordinal past the
    last member raises IndexError naming its index."""
    return _bulk.nth_many(bitmap, _as_positions(ordinals, "ordinals"))


def runs(bitmap):
    """(firsts, lasts): two uint64 arrays holding the first and the last member
    (inclusive) of each maximal run of consecutive members, ascending."""
    return _bulk.runs(bitmap)


def intersection_cardinality(a, b):
    """Members of both sets, without building their intersection."""
    return _bulk.intersection_cardinality(a, b)


def _bitmaps(bitmaps, what):
    sets = list(bitmaps)
    for index, item in enumerate(sets):
        if not isinstance(item, Bitmap):
            raise TypeError("%s takes Bitmap objects, not %s at index %d" % (what, type(item).__name__, index))
    return sets


def union_all(bitmaps):
    """Members of any of `bitmaps` (any iterable of Bitmap), built key by key
    in one pass over all of them rather than by folding `|`; an empty input
    gives an empty set. Members and entries are those of folding `|`."""
    return _bulk.union_all(_bitmaps(bitmaps, "union_all"))


def intersection_all(bitmaps):
    """Members of all of `bitmaps` (a non-empty iterable of Bitmap), key by key;
    ValueError for no set. Members and entries are those of folding `&`."""
    sets = _bitmaps(bitmaps, "intersection_all")
    if not sets:
        raise ValueError("intersection_all needs at least one Bitmap")
    return _bulk.intersection_all(sets)


class _Frame:
    """The serialized form on its way through a pickle: pickled as bytes, or
    with protocol 5 as a buffer that may travel out of band."""

    __slots__ = ("data",)

    def __init__(self, data):
        self.data = data

    def __reduce_ex__(self, protocol):
        if protocol >= 5 and hasattr(pickle, "PickleBuffer"):
            return _unwrap, (pickle.PickleBuffer(self.data),)
        return bytes, (bytes(self.data),)


def _unwrap(buffer):
    return buffer


def _frame_of(bitmap):
    # No compaction: pickling must not change the set it is given.
    frame = bytearray(bitmap.persisted_size(True, False, False))
    bitmap.write(frame, True)
    return frame


def _restore(frame):
    """Rebuilds a pickled set; corrupt bytes raise the errors of Bitmap.read."""
    if isinstance(frame, _Frame):  # copy.copy passes the argument as it is
        frame = frame.data
    return Bitmap.read(frame, True)


def _reduce(bitmap):
    return _restore, (_Frame(_frame_of(bitmap)),)


copyreg.pickle(Bitmap, _reduce)
