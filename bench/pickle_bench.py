"""Pickling a large Bitmap: protocol 5 with out-of-band buffers against a
plain write/read, by time (best of 5) and by the peak of Python-level
allocations (tracemalloc: the frame and its copies).

Run by hand:  .venv-312/bin/python bench/pickle_bench.py [members]
"""
import pickle
import sys
import time
import tracemalloc


def best(fn, repeats=5):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def main():
    import numpy as np

    from morvane_rec import Bitmap
    members = int(sys.argv[1]) if len(sys.argv) > 1 else 4_000_000
    bm = Bitmap(np.arange(members, dtype=np.uint64) * 4099)

    def round_trip_pickle():
        buffers = []
        data = pickle.dumps(bm, 5, buffer_callback=buffers.append)
        return pickle.loads(data, buffers=buffers)

    def round_trip_frame():
        buf = bytearray(bm.persisted_size(True, False, False))
        bm.write(buf)
        return Bitmap.read(buf)

    in_band = best(lambda: pickle.loads(pickle.dumps(bm, 5)))
    out_of_band, plain = best(round_trip_pickle), best(round_trip_frame)
    print("members: %d, frame: %.1f MB" % (members, bm.persisted_size(True, False, False) / 1e6))
    print("write/read            %8.1f ms" % (plain * 1e3))
    print("pickle 5, out of band %8.1f ms   %.2fx of write/read" % (out_of_band * 1e3, out_of_band / plain))
    print("pickle 5, in band     %8.1f ms   %.2fx of write/read" % (in_band * 1e3, in_band / plain))
    peaks = {}
    for name, fn in (("out of band", round_trip_pickle), ("in band", lambda: pickle.loads(pickle.dumps(bm, 5))),
                     ("write/read", round_trip_frame)):
        tracemalloc.start()
        fn()
        peaks[name] = tracemalloc.get_traced_memory()[1] / 1e6
        tracemalloc.stop()
    print("peak Python allocations: " + ", ".join("%s %.1f MB" % item for item in peaks.items()))


if __name__ == "__main__":
    main()
