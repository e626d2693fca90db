"""Bitmap and MemoryScanner against the libraries users would pick instead.

Run by hand after scripts/setup.sh and bench/setup_peers.sh (scripts/bench.sh
does both):
    .venv/bin/python bench/compare.py [--repeats 5] [--scale 1.0]
Prints one table of medians with each peer's time divided by ours (above 1.0:
we are faster) and writes the same as JSON under bench/results/.
"""
import argparse
import json
import os
import platform
import subprocess
import sys
import time
from pathlib import Path

import _morvane_rec_extension as ext
import numpy as np
from timing import median_seconds, per_call_seconds

ROOT = Path(__file__).resolve().parent.parent
RESULTS = ROOT / "bench" / "results"
PEER_PYTHON = ROOT / ".venv-peers" / "bin" / "python"
sys.path.insert(0, str(ROOT / "build" / "release"))  # the call probe is not installed


# --- workloads ------------------------------------------------------------------

def positions(name, seed, scale):
    rng = np.random.default_rng(seed)
    if name == "S":
        return rng.integers(0, 2**34, int(10**7 * scale), dtype=np.uint64)
    if name == "C":
        starts = rng.integers(0, 2**48, int(10**4 * scale), dtype=np.uint64)
        return (starts[:, None] + np.arange(1000, dtype=np.uint64)).ravel()
    if name == "D":
        low, high = np.arange(2**26, dtype=np.uint64), np.arange(2**33, 2**33 + 2**25, dtype=np.uint64)
        dense = np.concatenate([low, high])
        return dense[rng.random(len(dense)) < 50e6 * scale / len(dense)]
    return rng.integers(0, 2**48, int(10**6 * scale), dtype=np.uint64)  # X


def save_workload(folder, name, scale):
    folder.mkdir(parents=True, exist_ok=True)
    rng = np.random.default_rng(99)
    a, b = np.unique(positions(name, 1, scale)), np.unique(positions(name, 2, scale))
    shuffled = a.copy()
    rng.shuffle(shuffled)
    half = 500_000
    probes = np.concatenate([rng.choice(a, half), rng.choice(a, half) + 1])
    rng.shuffle(probes)
    ordinals = rng.integers(0, len(a), 100_000, dtype=np.uint64)
    for key, values in dict(a_sorted=a, a_shuffled=shuffled, b_sorted=b, probes=probes,
                            ordinals=ordinals).items():
        np.save(str(folder / (key + ".npy")), values)


# --- contenders -------------------------------------------------------------------

def contains_loop(container, probes):
    for probe in probes:
        probe in container  # noqa: B015 - the membership test is what is timed


def dense_low_part(a_sorted):
    """The members below 2^26: bool_array needs a range that fits in memory."""
    low = a_sorted[a_sorted < 2**26]
    return low if len(low) > len(a_sorted) // 4 else None


def measure_bitmap(a_sorted, a_shuffled, b_sorted, probes, ordinals, repeats):
    out = {}
    out["construct_sorted"] = median_seconds(lambda: ext.Bitmap(a_sorted), repeats)
    out["construct_shuffled"] = median_seconds(lambda: ext.Bitmap(a_shuffled), repeats)
    a, b = ext.Bitmap(a_sorted), ext.Bitmap(b_sorted)
    out["union"] = median_seconds(lambda: a | b, repeats)
    out["intersect"] = median_seconds(lambda: a & b, repeats)
    out["difference"] = median_seconds(lambda: a - b, repeats)
    out["xor"] = median_seconds(lambda: a ^ b, repeats)
    out["cardinality"] = median_seconds(lambda: a.cardinality, repeats)
    out["len_per_call"] = per_call_seconds(len, [a] * 256)
    out["bool_per_call"] = per_call_seconds(bool, [a] * 256)
    if probes is not None:
        out["contains_1M"] = median_seconds(lambda: contains_loop(a, probes), max(1, repeats // 2))
        out["lower_cardinality_per_probe"] = per_call_seconds(a.lower_cardinality, probes)
        out["upper_cardinality_per_probe"] = per_call_seconds(a.upper_cardinality, probes)
        out["nth_per_probe"] = per_call_seconds(a.nth, ordinals)
        out["set_then_lower_cardinality"] = alternating_seconds(a_sorted, probes)
        out["index_array"] = median_seconds(a.index_array, repeats)
        size = a.persisted_size()
        buffer = bytearray(size)
        out["persist"] = median_seconds(lambda: a.write(bytearray(a.persisted_size())), repeats)
        # Without the compaction pass, as the peer's serialize() does it.
        out["persist (no compaction)"] = median_seconds(
            lambda: a.write(bytearray(a.persisted_size(True, False, False))), repeats)
        a.write(buffer)
        out["read"] = median_seconds(lambda: ext.Bitmap.read(buffer), repeats)
        out["bytes_per_member"] = size / a.cardinality
        out["index_bytes_per_member"] = counting_index_bytes(a) / a.cardinality
    low = dense_low_part(a_sorted)
    if low is not None:
        masked = ext.Bitmap(low)
        out["bool_array (members < 2^26)"] = median_seconds(lambda: masked.bool_array(False, False), repeats)
    return out


def alternating_seconds(a_sorted, probes, pairs=20000):
    """Per pair of a loop alternating set(p) and lower_cardinality(q) on a copy:
    each change leaves part of the counts to redo on the next query."""
    bitmap = ext.Bitmap(a_sorted)
    rng = np.random.default_rng(7)
    changes = (rng.choice(a_sorted, pairs) + 1).tolist()
    queries = probes[:pairs]
    bitmap.lower_cardinality(queries[0])
    start = time.perf_counter()
    for change, query in zip(changes, queries):
        bitmap.set(change)
        bitmap.lower_cardinality(query)
    return (time.perf_counter() - start) / pairs


def counting_index_bytes(bitmap):
    """Bytes kept for counting queries once every part of them is built."""
    from _morvane_call_probe import counting_index_bytes as measure
    buffer = bytearray(bitmap.persisted_size(True, False, False))
    bitmap.write(buffer, True)
    return measure(bytes(buffer))


def measure_numpy(a_sorted, a_shuffled, b_sorted, probes, ordinals, repeats):
    out = {}
    out["construct_sorted"] = median_seconds(lambda: np.unique(a_sorted), repeats)
    out["construct_shuffled"] = median_seconds(lambda: np.unique(a_shuffled), repeats)
    a, b = a_sorted, b_sorted
    out["union"] = median_seconds(lambda: np.union1d(a, b), repeats)
    out["intersect"] = median_seconds(lambda: np.intersect1d(a, b, assume_unique=True), repeats)
    out["difference"] = median_seconds(lambda: np.setdiff1d(a, b, assume_unique=True), repeats)
    out["xor"] = median_seconds(lambda: np.setxor1d(a, b, assume_unique=True), repeats)
    out["cardinality"] = median_seconds(lambda: len(a), repeats)
    out["len_per_call"] = per_call_seconds(len, [a] * 256)
    out["bool_per_call"] = out["len_per_call"]  # bool() of an array of many is an error

    # Probes as uint64 scalars: a Python int would turn the array into floats.
    def member(probe):
        probe = np.uint64(probe)
        i = a.searchsorted(probe)
        return i < len(a) and a[i] == probe
    out["contains_1M"] = median_seconds(lambda: contains_loop_numpy(member, probes), 1)
    probe_array = np.array(probes, dtype=np.uint64)
    out["contains_vectorised"] = median_seconds(lambda: np.isin(probe_array, a), repeats)
    out["lower_cardinality_per_probe"] = per_call_seconds(lambda p: a.searchsorted(np.uint64(p)), probes)
    out["upper_cardinality_per_probe"] = per_call_seconds(
        lambda p: a.searchsorted(np.uint64(p), side="right"), probes)
    out["nth_per_probe"] = per_call_seconds(a.__getitem__, ordinals)
    low = dense_low_part(a_sorted)
    if low is not None:
        def mask():
            flags = np.zeros(int(low[-1]) + 1, dtype=bool)
            flags[low] = True
            return flags
        out["bool_array (members < 2^26)"] = median_seconds(mask, repeats)
    return out


def contains_loop_numpy(member, probes):
    for probe in probes:
        member(probe)


def measure_set(a_sorted, b_sorted, probes, repeats):
    """Python's set against Bitmap on 1-million-member subsets."""
    rng = np.random.default_rng(5)
    sub_a = np.sort(rng.choice(a_sorted, min(10**6, len(a_sorted)), replace=False))
    sub_b = np.sort(rng.choice(b_sorted, min(10**6, len(b_sorted)), replace=False))
    list_a, list_b = sub_a.tolist(), sub_b.tolist()
    ours, theirs = {}, {}
    ours["construct_sorted"] = median_seconds(lambda: ext.Bitmap(sub_a), repeats)
    theirs["construct_sorted"] = median_seconds(lambda: set(list_a), repeats)
    bitmaps = ext.Bitmap(sub_a), ext.Bitmap(sub_b)
    sets = set(list_a), set(list_b)
    for op, fn in [("union", lambda x, y: x | y), ("intersect", lambda x, y: x & y),
                   ("difference", lambda x, y: x - y), ("xor", lambda x, y: x ^ y)]:
        ours[op] = median_seconds(lambda: fn(*bitmaps), repeats)
        theirs[op] = median_seconds(lambda: fn(*sets), repeats)
    ours["cardinality"] = median_seconds(lambda: len(bitmaps[0]), repeats)
    theirs["cardinality"] = median_seconds(lambda: len(sets[0]), repeats)
    ours["contains_1M"] = median_seconds(lambda: contains_loop(bitmaps[0], probes), max(1, repeats // 2))
    theirs["contains_1M"] = median_seconds(lambda: contains_loop(sets[0], probes), max(1, repeats // 2))
    return ours, theirs


def measure_call_overhead(probes):
    """Per-call time of plain loops: no wrapper between the loop and the call."""
    from _morvane_call_probe import CallProbe
    # One small container: the calls' own work is a few instructions.
    probe, bitmap = CallProbe(), ext.Bitmap(np.arange(1000, dtype=np.uint64))
    small = [p % 1000 for p in probes[:200000]]
    ordinals = [p % 500 for p in small]

    # Best of several rounds: the figures are a few dozen nanoseconds, and
    # interruptions only ever add to them.
    def best(run, count):
        times = []
        for _ in range(9):
            start = time.perf_counter()
            run()
            times.append(time.perf_counter() - start)
        return min(times) / count

    def calls(fn, arguments):
        def run():
            for argument in arguments:
                fn(argument)
        return best(run, len(arguments))

    def calls_without_argument(fn, count):
        def run():
            for _ in small:
                fn()
        return best(run, len(small))
    empty, take = calls_without_argument(probe.empty, len(small)), calls(probe.take, small)
    return {
        "empty method": empty,
        "empty method taking a uint64": take,
        "contains": calls(bitmap.contains, small),
        "set(position)": calls(bitmap.set, small),
        "nth": calls(bitmap.nth, ordinals),
    }, min(empty, take)


def measure_scanner():
    sys.path.insert(0, str(ROOT / "bench"))
    from scan_bench import corpus, python_baseline
    data = corpus(256)
    scanner = ext.MemoryScanner()
    ours = median_seconds(lambda: scanner.scan(data), 5)
    sample = data[: 16 * 2**20]
    sample = sample[: sample.rfind(b"\n") + 1]
    theirs = median_seconds(lambda: python_baseline(sample), 1) * len(data) / len(sample)
    return {"bytes": len(data), "MemoryScanner.scan": ours, "json raw_decode loop": theirs}


# --- report -----------------------------------------------------------------------

def ratio(peer, ours):
    return "%7.2fx" % (peer / ours) if peer is not None and ours else "        "


def cell(seconds):
    if seconds is None:
        return "%12s" % "-"
    if seconds < 1e-3:
        return "%10.2fus" % (seconds * 1e6)
    return "%11.4fs" % seconds


def print_table(results):
    print("\n%-4s %-28s %12s %12s %8s %12s %8s" % (
        "load", "operation", "Bitmap", "BitMap64", "ratio", "NumPy", "ratio"))
    for name, rows in results["workloads"].items():
        ours, peer, numpy = rows["bitmap"], rows.get("bitmap64", {}), rows["numpy"]
        for op in list(ours) + [op for op in numpy if op not in ours]:
            if op in ("bytes_per_member", "index_bytes_per_member"):
                continue
            print("%-4s %-28s %s %s %s %s %s" % (
                name, op, cell(ours.get(op)), cell(peer.get(op)), ratio(peer.get(op), ours.get(op)),
                cell(numpy.get(op)), ratio(numpy.get(op), ours.get(op))))
        print("%-4s %-28s %12.3f %12.3f %s" % (
            name, "serialized bytes per member", ours["bytes_per_member"],
            peer.get("bytes_per_member", float("nan")),
            ratio(peer.get("bytes_per_member"), ours["bytes_per_member"])))
        print("%-4s %-28s %12.3f   (%.2f%% of serialized)" % (
            name, "counting index bytes/member", ours["index_bytes_per_member"],
            100 * ours["index_bytes_per_member"] / ours["bytes_per_member"]))
    print("\n%-4s %-28s %12s %12s %8s   (1-million-member subsets)" % ("load", "operation", "Bitmap", "set", "ratio"))
    for name, rows in results["workloads"].items():
        ours, theirs = rows["subset_bitmap"], rows["subset_set"]
        for op in ours:
            print("%-4s %-28s %s %s %s" % (name, op, cell(ours[op]), cell(theirs[op]), ratio(theirs[op], ours[op])))
    calls = results["call_overhead"]
    cheapest = min(calls["empty method"], calls["empty method taking a uint64"])
    print("\nper-call time                       seconds     / cheapest call")
    for op, seconds in calls.items():
        print("  %-30s %s %8.2fx" % (op, cell(seconds), seconds / cheapest))
    scan = results["scanner"]
    gb = scan["bytes"] / 1e9
    print("\nscanner on %.0f MiB of NDJSON" % (scan["bytes"] / 2**20))
    print("  MemoryScanner.scan     %7.2f GB/s" % (gb / scan["MemoryScanner.scan"]))
    print("  json raw_decode loop   %7.3f GB/s   ratio %.1fx" % (
        gb / scan["json raw_decode loop"], scan["json raw_decode loop"] / scan["MemoryScanner.scan"]))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--scale", type=float, default=1.0, help="workload size factor")
    parser.add_argument("--workloads", default="SCDX")
    parser.add_argument("--reuse-peer", action="store_true",
                        help="reuse the BitMap64 figures of the last run on the same workloads")
    args = parser.parse_args()
    data = RESULTS / "data"
    names = list(args.workloads)
    for name in names:
        print("generating", name, flush=True)
        save_workload(data / name, name, args.scale)
    (data / "manifest.json").write_text(json.dumps(names))

    peer = None
    peer_file = data / "bitmap64.json"
    if args.reuse_peer and peer_file.exists():
        peer = json.loads(peer_file.read_text())
    elif PEER_PYTHON.exists():
        print("measuring BitMap64 (peer environment)", flush=True)
        peer_run = subprocess.Popen([str(PEER_PYTHON), str(ROOT / "bench" / "peer_bitmap64.py"),
                                     str(data), str(args.repeats)], stdout=subprocess.PIPE,
                                    env=dict(os.environ, PYTHONPATH=str(ROOT / "bench")))
        peer = json.loads(peer_run.communicate()[0])  # run alone: both cores stay quiet
        peer_file.write_text(json.dumps(peer))
    else:
        print("no .venv-peers: run bench/setup_peers.sh to include BitMap64")

    results = {"machine": "%s, %d cores, %s" % (platform.processor() or platform.machine(),
                                                 os.cpu_count(), platform.platform()),
               "date": time.strftime("%Y-%m-%d %H:%M"), "repeats": args.repeats,
               "scale": args.scale, "workloads": {}}
    for name in names:
        print("measuring", name, flush=True)
        load = lambda key: np.load(str(data / name / (key + ".npy")))
        a, shuffled, b = load("a_sorted"), load("a_shuffled"), load("b_sorted")
        probes, ordinals = load("probes").tolist(), load("ordinals").tolist()
        repeats = args.repeats if name != "X" else max(1, args.repeats // 2)
        rows = {"members": len(a),
                "bitmap": measure_bitmap(a, shuffled, b, probes, ordinals, repeats),
                "numpy": measure_numpy(a, shuffled, b, probes, ordinals, repeats)}
        if peer:
            rows["bitmap64"] = peer[name]
        rows["subset_bitmap"], rows["subset_set"] = measure_set(a, b, probes, repeats)
        results["workloads"][name] = rows
    results["call_overhead"], _ = measure_call_overhead(probes)
    results["scanner"] = measure_scanner()
    print_table(results)
    out = RESULTS / ("compare-%s.json" % time.strftime("%Y%m%d-%H%M%S"))
    out.write_text(json.dumps(results, indent=1))
    print("\nwritten to", out.relative_to(ROOT))


if __name__ == "__main__":
    main()
