"""Smoke test of an installed wheel or source distribution, run from outside the
checkout by scripts/check_wheel.sh and scripts/build_wheels.sh."""
import os
import platform

import _morvane_rec_extension as ext
import morvane_rec as mr
import numpy as np

print("[wheel] NumPy", np.__version__, "on", platform.machine())
bitmap = ext.Bitmap(np.array([5, 2**40, 7], dtype=np.uint64))
assert list(bitmap) == [5, 7, 2**40]
assert bitmap.index_array().tolist() == [5, 7, 2**40]
assert ext.Bitmap(np.array([3, 9], dtype=np.uint64)).bool_array(False, False).nonzero()[0].tolist() == [3, 9]
buf = bytearray(bitmap.persisted_size()); bitmap.write(buf)
assert ext.Bitmap.read(buf) == bitmap
assert mr.Bitmap.from_portable64(bitmap.to_portable64()) == bitmap
assert mr.read_iceberg_deletion_vector(mr.iceberg_deletion_vector(bitmap)) == bitmap
assert ext.MemoryScanner().scan(b'{"a":1}\n{"b":') == (1, 8)
stub = os.path.join(os.path.dirname(ext.__file__), "_morvane_rec_extension.pyi")
assert os.path.isfile(stub), stub
print("[wheel] imported from", os.path.dirname(ext.__file__))
