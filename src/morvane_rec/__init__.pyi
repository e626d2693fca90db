from _morvane_rec_extension import Bitmap as Bitmap
from _morvane_rec_extension import MemoryScanner as MemoryScanner

__all__ = ["Bitmap", "MemoryScanner"]
