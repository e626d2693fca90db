"""Scale out over a Dask cluster: split a large NDJSON file into byte ranges,
cut each range at document boundaries with MemoryScanner, filter its records,
build a Bitmap of the matching row numbers per partition, ship the sets back
and union them on the client.

    python examples/dask_rows.py [--records N] [--partitions P] [--workers W]

Each task starts after the first newline at or past its range's start (the
previous task finishes that record) and reads past its range's end to finish
its last document, as split readers of line-delimited files do. Row numbers
are global: a first pass counts the records before each range.
"""
import argparse
import json
import os
import random
import tempfile
import time

import numpy as np

from morvane_rec import Bitmap, MemoryScanner, union_all

BLOCK = 1 << 20


def make_file(path, records, seed=7):
    rng = random.Random(seed)
    cities = ["Zürich", "東京", "São Paulo", "Kraków", "Reykjavík", "Lagos"]
    with open(path, "w", encoding="utf-8") as out:
        for i in range(records):
            out.write(json.dumps({"id": i, "city": rng.choice(cities),
                                  "score": rng.randrange(1000)}, ensure_ascii=False) + "\n")


def _documents(source, start, stop):
    """Yields the complete documents that begin in [start, stop) of the file."""
    scanner = MemoryScanner()
    source.seek(start)
    if start > 0:
        # The record straddling `start` belongs to the previous range.
        source.seek(start - 1)
        skipped = source.readline()
        start += len(skipped) - 1
    offset, pending = start, b""
    while offset < stop or pending.strip():
        block = source.read(BLOCK)
        data = pending + block
        count, covered = scanner.scan(data)
        consumed = 0
        for line in data[:covered].splitlines(keepends=True):
            if offset + consumed >= stop:
                return
            if line.strip():
                yield line
            consumed += len(line)
        offset += covered
        pending = data[covered:]
        if not block:
            if pending.strip():
                raise ValueError("the file ends inside a document at byte %d" % offset)
            return


def count_rows(path, start, stop):
    with open(path, "rb") as source:
        return sum(1 for _ in _documents(source, start, stop))


def matching_rows(path, start, stop, first_row, predicate):
    """Row numbers (counted from first_row) of the records in the range that match."""
    rows = []
    with open(path, "rb") as source:
        for row, line in enumerate(_documents(source, start, stop), first_row):
            if predicate(json.loads(line)):
                rows.append(row)
    return Bitmap(np.array(rows, dtype=np.uint64))


def wanted(record):
    return record["city"] in ("東京", "Kraków") and record["score"] >= 500


def ranges(path, partitions):
    size = os.path.getsize(path)
    step = -(-size // partitions)
    return [(start, min(size, start + step)) for start in range(0, size, step)]


def run_on_cluster(path, partitions, workers):
    from dask.distributed import Client, LocalCluster

    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        spans = ranges(path, partitions)
        counts = client.gather(client.map(count_rows, [path] * len(spans),
                                          *zip(*spans), pure=False))
        firsts = [sum(counts[:i]) for i in range(len(counts))]
        futures = client.map(matching_rows, [path] * len(spans), [s for s, _ in spans],
                             [e for _, e in spans], firsts, [wanted] * len(spans), pure=False)
        # One pass per key over every partition's set, not a fold of |.
        return union_all(client.gather(futures)), sum(counts)


def run_single(path):
    with open(path, "rb") as source:
        size = os.fstat(source.fileno()).st_size
    return matching_rows(path, 0, size, 0, wanted), count_rows(path, 0, size)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--records", type=int, default=2_000_000)
    parser.add_argument("--partitions", type=int, default=16)
    parser.add_argument("--workers", type=int, default=2)
    args = parser.parse_args(argv)
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "records.ndjson")
        make_file(path, args.records)
        began = time.perf_counter()
        rows, records = run_on_cluster(path, args.partitions, args.workers)
        cluster_seconds = time.perf_counter() - began
        began = time.perf_counter()
        single_rows, single_records = run_single(path)
        single_seconds = time.perf_counter() - began
        print("records: %d, matching: %d" % (records, len(rows)))
        print("cluster: %.2f s on %d workers, single process: %.2f s" %
              (cluster_seconds, args.workers, single_seconds))
        print("same as single process:", rows == single_rows and records == single_records)


if __name__ == "__main__":
    main()
