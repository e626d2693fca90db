"""Compressed sets of 64-bit row positions (`Bitmap`) and a JSON stream
document counter (`MemoryScanner`), with pickling for `Bitmap`.

Importing this package registers a reducer for `Bitmap` with `copyreg`, so
sets travel through `pickle`, `multiprocessing`, distributed schedulers and
`copy`. A pickled set carries its portable serialized form; with pickle
protocol 5 that frame is an out-of-band buffer, so it is not copied again
when the pickler hands buffers over separately.
"""
import copyreg
import pickle

from _morvane_rec_extension import Bitmap, MemoryScanner

__all__ = ["Bitmap", "MemoryScanner"]


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
