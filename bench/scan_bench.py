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


def multibyte_corpus(mebibytes):
    words = ["café", "東京の夜", "🚀 launch", "naïve — ok", "Zürich", "Ελληνικά"]
    rng = random.Random(2)
    lines = [json.dumps({"id": i, "text": " ".join(rng.choice(words) for _ in range(12))},
                        ensure_ascii=False).encode() for i in range(20000)]
    block = b"\n".join(lines) + b"\n"
    data = block * (mebibytes * 2**20 // len(block) + 1)
    # End inside the last character of a document.
    cut = data.rfind("の".encode()) + 1
    return data[:cut]


def large_documents(mebibytes):
    rng = random.Random(3)
    doc = json.dumps({"rows": [{"id": i, "v": rng.random(), "s": "x" * 20} for i in range(17000)]})
    data = (doc.encode() + b"\n") * (mebibytes * 2**20 // (len(doc) + 1) + 1)
    return data[: len(data) - len(doc) // 2]  # cut in the middle of the last document


PEAK_CHILD = """
import resource, sys
sys.path[:0] = %r
from scan_bench import corpus
from _morvane_rec_extension import MemoryScanner
data = corpus(%d)
if %r: data = data[:-1]
MemoryScanner().scan(data)
print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
"""


def peak_kib(mebibytes, cut):
    code = PEAK_CHILD % ([os.path.dirname(os.path.abspath(__file__))] + sys.path, mebibytes, cut)
    return int(subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                              check=True).stdout)


def first_small_scan():
    """A new scanner's first scan of 100 bytes (µs, best of many) and the
    address space each such scanner keeps afterwards (KiB)."""
    small = (b'{"id":1,"name":"x"}\n' * 5)[:100]
    best = float("inf")
    for _ in range(200):
        scanner = MemoryScanner()
        start = time.perf_counter()
        scanner.scan(small)
        best = min(best, time.perf_counter() - start)
    with open("/proc/self/statm") as statm:
        before = int(statm.read().split()[0])
    kept = [MemoryScanner() for _ in range(20)]
    for scanner in kept:
        scanner.scan(small)
    with open("/proc/self/statm") as statm:
        after = int(statm.read().split()[0])
    return best * 1e6, (after - before) * os.sysconf("SC_PAGE_SIZE") / 1024 / len(kept)


def main():
    mebibytes = int(sys.argv[1]) if len(sys.argv) > 1 else 256
    micros, kib = first_small_scan()
    print("new scanner, first 100-byte scan %7.1f µs; address space kept %.0f KiB per scanner"
          % (micros, kib))
    data = corpus(mebibytes)
    gb = len(data) / 1e9
    scanner = MemoryScanner()
    seconds, (documents, covered) = best_of(lambda: scanner.scan(data))
    assert covered == len(data)
    print("corpus: %.1f MiB, %d documents" % (len(data) / 2**20, documents))
    print("(a) ends in a newline          %7.2f GB/s" % (gb / seconds))
    rows = [
        ("(b) cut mid-document           ", data[: len(data) - 100]),
        ("(c) multi-byte, cut in a char  ", multibyte_corpus(mebibytes)),
        ("(d) 1 MB documents, cut mid-doc", large_documents(mebibytes // 4)),
    ]
    for label, buffer in rows:
        row_seconds, _ = best_of(lambda: scanner.scan(buffer))
        rate = len(buffer) / 1e9 / row_seconds
        print("%s %7.2f GB/s   /(a) = %.2fx" % (label, rate, rate / (gb / seconds)))
    if os.path.exists(CEILING):
        with tempfile.NamedTemporaryFile(suffix=".ndjson") as f:
            f.write(data)
            f.flush()
            out = subprocess.run([CEILING, f.name, "5"], capture_output=True, text=True, check=True)
        count, ceiling_seconds = out.stdout.split()
        assert int(count) == documents
        print("C++ loop (ceiling)             %7.2f GB/s   (a)/ceiling = %.2fx"
              % (gb / float(ceiling_seconds), float(ceiling_seconds) / seconds))
    peak_a, peak_b = peak_kib(mebibytes, False), peak_kib(mebibytes, True)
    print("peak RSS of a child scanning once: (a) %d KiB, (b) %d KiB, (b)/(a) = %.3f"
          % (peak_a, peak_b, peak_b / peak_a))
    sample = data[: 16 * 2**20]
    sample = sample[: sample.rfind(b"\n") + 1]
    py_seconds, _ = best_of(lambda: python_baseline(sample), repeats=1)
    py_rate = len(sample) / 1e9 / py_seconds
    print("Python raw_decode loop  %7.3f GB/s   scan/python = %.0fx" % (py_rate, gb / seconds / py_rate))


if __name__ == "__main__":
    main()
