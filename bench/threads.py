"""Long calls on one thread against a pool of two: the same total work (2 x
--jobs calls of each row, each call on its own objects where it writes),
first one after the other, then in a ThreadPoolExecutor of 2 workers, the two
runs alternating rep by rep. Each call's result is dropped where it was made,
as a worker hands on a small answer. ms, median of the reps; speed-up =
serial / pool.

    .venv/bin/python bench/threads.py [--members 3000000] [--jobs 4] [--reps 3]
"""
import argparse
import functools
import os

# OpenBLAS's idle threads spin on the cores the pool is measured on.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
import sys
import threading
from concurrent.futures import ThreadPoolExecutor

import numpy as np
from timing import alternating_medians

sys.path.insert(0, os.path.dirname(__file__))
from scan_bench import corpus  # noqa: E402

import morvane_rec as mr  # noqa: E402


def rows(members):
    rng = np.random.default_rng(11)
    random_positions = rng.integers(0, 2**40, members, dtype=np.uint64)
    a = mr.Bitmap(rng.integers(0, 2**36, members, dtype=np.uint64))
    b = mr.Bitmap(rng.integers(0, 2**36, members, dtype=np.uint64))
    twin = a.copy()
    dense = mr.Bitmap(np.arange(0, 2 * members, 2, dtype=np.uint64))
    sparse = mr.Bitmap(random_positions)
    probes = rng.integers(0, 2**40, members, dtype=np.uint64)
    ordinals = rng.integers(0, len(sparse), members, dtype=np.uint64)
    image = bytearray(sparse.persisted_size())
    sparse.write(image)
    standard = sparse.to_portable64()
    many = [mr.Bitmap(rng.integers(0, 2**34, 100000, dtype=np.uint64)) for _ in range(64)]
    text = corpus(100)[: 100 * 2**20]
    scanners = {}

    def scan():
        # One scanner per thread: a scanner's scans run one at a time.
        key = threading.get_ident()
        scanners.setdefault(key, mr.MemoryScanner()).scan(text)

    return {
        "construction Bitmap(array)": lambda: mr.Bitmap(random_positions),
        "algebra a | b": lambda: a | b,
        "algebra a & b": lambda: a & b,
        "algebra a ^ b": lambda: a ^ b,
        "algebra a == copy": lambda: a == twin,
        "export index_array": lambda: sparse.index_array(),
        "export bool_array": lambda: dense.bool_array(),
        "serialize write": lambda: sparse.write(bytearray(len(image))),
        "serialize read": lambda: mr.Bitmap.read(image),
        "serialize to_portable64": lambda: sparse.to_portable64(),
        "serialize from_portable64": lambda: mr.Bitmap.from_portable64(standard),
        "bulk contains_many": lambda: mr.contains_many(sparse, probes),
        "bulk nth_many": lambda: mr.nth_many(sparse, ordinals),
        "bulk union_all (64 sets)": lambda: mr.union_all(many),
        "scan 100 MB": scan,
    }, many


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--members", type=int, default=3000000)
    parser.add_argument("--jobs", type=int, default=4)
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--only", default="", help="rows whose name contains this text")
    args = parser.parse_args()
    table, many = rows(args.members)
    pool = ThreadPoolExecutor(2)
    print("%d members, %d calls per run, CPython %s, %d cores"
          % (args.members, 2 * args.jobs, sys.version.split()[0], os.cpu_count()))
    print("%-28s %10s %10s %9s" % ("row", "1 thread", "pool of 2", "speed-up"))
    for name, call in table.items():
        if args.only not in name:
            continue
        calls = 2 * args.jobs

        def dropped(_=None):
            call()

        runs = {
            "serial": lambda: [dropped() for _ in range(calls)],
            "pool": lambda: list(pool.map(dropped, range(calls))),
        }
        ms = {k: v * 1e3 for k, v in alternating_medians(runs, args.reps).items()}
        print("%-28s %10.1f %10.1f %8.2fx" % (name, ms["serial"], ms["pool"], ms["serial"] / ms["pool"]))
    fold = {
        "union_all": lambda: mr.union_all(many),
        "fold |": lambda: functools.reduce(lambda x, y: x | y, many),
    }
    ms = {k: v * 1e3 for k, v in alternating_medians(fold, args.reps).items()}
    print("union_all of 64 sets of 100,000 below 2^34: %.1f ms, folding | %.1f ms: %.2fx"
          % (ms["union_all"], ms["fold |"], ms["fold |"] / ms["union_all"]))
    pool.shutdown()


if __name__ == "__main__":
    main()
