"""A short tour: row-id sets with Bitmap, and cutting a JSON stream with MemoryScanner."""
import numpy as np
from _morvane_rec_extension import Bitmap, MemoryScanner

rows = Bitmap(np.array([3, 5, 8, 2**32 + 1], dtype=np.uint64))
rows.set(100, 110)  # [100, 110)
print("members:", rows.cardinality, "first:", rows.first, "last:", rows.last)

evens = Bitmap(np.arange(0, 200, 2, dtype=np.uint64))
print("rows & evens:", list(rows & evens))
print("rank of 100:", rows.lower_cardinality(100), "| 3rd member:", rows.nth(2))

buffer = bytearray(rows.persisted_size())
written = rows.write(buffer)
print("serialized bytes:", written, "| read back equal:", Bitmap.read(buffer) == rows)

stream = b'{"id":1}\n{"id":2}\n{"id":3,"na'
documents, covered = MemoryScanner().scan(stream)
print("complete documents:", documents, "| cut the stream at byte", covered,
      "| unfinished tail:", stream[covered:])
