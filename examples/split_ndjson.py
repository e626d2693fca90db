"""Cut a large NDJSON file into document-aligned chunks while reading it in
blocks, then count the records of every chunk in parallel.

    python examples/split_ndjson.py FILE [--block-size BYTES] [--workers N]

MemoryScanner reports how many bytes at the front of a buffer hold complete
JSON documents, so each chunk ends exactly at a document boundary and the
unfinished tail is carried into the next block. The (offset, length) pairs
can feed any distributed engine in the same way they feed the pool here.
"""
import argparse
import json
import multiprocessing

from _morvane_rec_extension import MemoryScanner


def document_aligned_chunks(path, block_size):
    """Yields (offset, length) of consecutive chunks that end at document boundaries."""
    scanner = MemoryScanner()
    offset, pending = 0, b""
    with open(path, "rb") as source:
        while True:
            block = source.read(block_size)
            data = pending + block
            _, covered = scanner.scan(data)
            if covered:
                yield offset, covered
                offset += covered
            pending = data[covered:]
            if not block:
                break
    if pending.strip():
        raise ValueError("the file ends inside a document at byte %d" % offset)


def count_records(task):
    """Parses every line of one chunk; a worker process runs this."""
    path, offset, length = task
    with open(path, "rb") as source:
        source.seek(offset)
        data = source.read(length)
    return sum(1 for line in data.splitlines() if line.strip() and json.loads(line) is not None)


def split_and_count(path, block_size, workers):
    chunks = list(document_aligned_chunks(path, block_size))
    with multiprocessing.Pool(workers) as pool:
        counts = pool.map(count_records, [(path, offset, length) for offset, length in chunks])
    return list(zip(chunks, counts))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("path")
    parser.add_argument("--block-size", type=int, default=64 * 2**20)
    parser.add_argument("--workers", type=int, default=multiprocessing.cpu_count())
    args = parser.parse_args(argv)
    results = split_and_count(args.path, args.block_size, args.workers)
    for (offset, length), count in results:
        print("chunk at %d: %d bytes, %d records" % (offset, length, count))
    print("total: %d records in %d chunks" % (sum(c for _, c in results), len(results)))


if __name__ == "__main__":
    main()
