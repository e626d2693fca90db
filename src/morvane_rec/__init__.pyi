from _morvane_rec_extension import Bitmap as Bitmap, MemoryScanner as MemoryScanner

__all__ = ["Bitmap", "MemoryScanner"]
