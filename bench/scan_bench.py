"""Scanner throughput: MemoryScanner.scan against the bare C++ loop and a pure-Python loop.

Run by hand after scripts/setup.sh:  .venv/bin/python bench/scan_bench.py [MiB]
"""
import json
import os
import random
import subprocess
import sys
import tempfile
import time

from _morvane_rec_extension import MemoryScanner

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CEILING = os.path.join(ROOT, "build", "release", "scan_ceiling")


def corpus(mebibytes, seed=1):
    rng = random.Random(seed)
    words = ["alpha", "beta", "gamma", "delta", "omega", "kappa", "sigma", "lambda"]
    lines = []
    for i in range(20000):
        record = {
            "id": i, "user": "user%d" % rng.randrange(10**6), "score": rng.random() * 100,
            "tags": rng.sample(words, rng.randint(1, 4)), "active": rng.random() < 0.5,
            "text": " ".join(rng.choice(words) for _ in range(rng.randint(3, 30))),
            "geo": {"lat": rng.uniform(-90, 90), "lon": rng.uniform(-180, 180)},
        }
        lines.append(json.dumps(record).encode())
    block = b"\n".join(lines) + b"\n"
    return block * (mebibytes * 2**20 // len(block) + 1)


def best_of(fn, repeats=5):
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - start)
    return best, result


def python_baseline(data):
    decoder = json.JSONDecoder()
    text = data.decode()
    index, count, length = 0, 0, len(text)
    while True:
        while index < length and text[index] in " \n\r\t":
            index += 1
        if index >= length:
            return count
        _, index = decoder.raw_decode(text, index)
        count += 1


def main():
    mebibytes = int(sys.argv[1]) if len(sys.argv) > 1 else 256
    data = corpus(mebibytes)
    gb = len(data) / 1e9
    scanner = MemoryScanner()
    seconds, (documents, covered) = best_of(lambda: scanner.scan(data))
    assert covered == len(data)
    print("corpus: %.1f MiB, %d documents" % (len(data) / 2**20, documents))
    print("MemoryScanner.scan      %7.2f GB/s" % (gb / seconds))
    unterminated = data[:-1]  # last byte not whitespace: scanned from a padded copy
    seconds_copy, _ = best_of(lambda: scanner.scan(unterminated))
    print("  (buffer not ending in whitespace: %.2f GB/s)" % (gb / seconds_copy))
    if os.path.exists(CEILING):
        with tempfile.NamedTemporaryFile(suffix=".ndjson") as f:
            f.write(data)
            f.flush()
            out = subprocess.run([CEILING, f.name, "5"], capture_output=True, text=True, check=True)
        count, ceiling_seconds = out.stdout.split()
        assert int(count) == documents
        print("C++ loop (ceiling)      %7.2f GB/s   scan/ceiling = %.2fx"
              % (gb / float(ceiling_seconds), float(ceiling_seconds) / seconds))
    sample = data[: 16 * 2**20]
    sample = sample[: sample.rfind(b"\n") + 1]
    py_seconds, _ = best_of(lambda: python_baseline(sample), repeats=1)
    py_rate = len(sample) / 1e9 / py_seconds
    print("Python raw_decode loop  %7.3f GB/s   scan/python = %.0fx" % (py_rate, gb / seconds / py_rate))


if __name__ == "__main__":
    main()
