"""Per-element calls: Bitmap against pyroaring's BitMap64 on the same interpreter,
NumPy on the sorted array and Python's array('Q'), ours and the peers
alternating rep by rep. ns per call, median of the reps.

Run by hand after scripts/setup.sh (any interpreter; BitMap64 where pyroaring
is installed in that venv, e.g. .venv-312/bin/pip install pyroaring==1.2.0):
    .venv-312/bin/python bench/per_element.py [--members 1000000] [--reps 5]
"""
import argparse
import array
import statistics
import sys
import time

import numpy as np
from _morvane_rec_extension import Bitmap

try:
    import morvane_rec
except ImportError:  # the package is installed beside the module by scripts/setup.sh
    morvane_rec = None

try:
    from pyroaring import BitMap64
except ImportError:  # no peer on this interpreter
    BitMap64 = None


def workloads(members):
    rng = np.random.default_rng(5)
    return {
        "S": np.unique(rng.integers(0, 2**34, members, dtype=np.uint64)),
        "D": np.arange(members, dtype=np.uint64),
        "X": np.unique(rng.integers(0, 2**48, members, dtype=np.uint64)),
        # One member in each of `members` keys: as many entries as members.
        "K": np.unique(rng.integers(0, 2**32, 2 * members, dtype=np.uint64))[:members] << np.uint64(32)
        | rng.integers(0, 2**32, members, dtype=np.uint64),
    }


def timed(run, calls):
    start = time.perf_counter()
    run()
    return (time.perf_counter() - start) / calls * 1e9


def loop(fn, arguments):
    def run():
        for argument in arguments:
            fn(argument)
    return run


def iterate(container):
    def run():
        for _ in container:
            pass
    return run


def rows_for(values, contender, probes, absent, ordinals):
    """(row, run, calls) for one contender; each run leaves the set as it found it."""
    n = len(probes)
    if contender == "numpy":
        return [("nth / a[i]", loop(values.__getitem__, ordinals), len(ordinals))]
    if contender == "array":
        return [("iterate (per member)", iterate(array.array("Q", values.tobytes())), len(values))]
    if contender == "ours":
        s = Bitmap(values)
        add, discard, member, nth = s.set, s.unset, s.contains, s.nth
        lower = s.lower_cardinality
        counted = probes
    else:
        s = BitMap64(values.tolist())
        add, discard, member, nth = s.add, s.discard, s.__contains__, s.__getitem__
        lower = s.rank
        # Its select and rank walk the set: up to milliseconds per call.
        ordinals, counted = ordinals[:200], probes[:200]
    contains_loop = loop(lambda p: p in s, probes)

    def set_unset_absent():
        for p in absent:
            add(p)
        for p in absent:
            discard(p)
    return [
        ("iterate (per member)", iterate(s), len(values)),
        ("p in b", contains_loop, n),
        ("contains(p)", loop(member, probes), n),
        ("set(p)+unset(p), absent", set_unset_absent, 2 * len(absent)),
        # Calls that change nothing: the member is there / is not.
        ("set(p), present", loop(add, probes), n),
        ("unset(p), absent", loop(discard, absent), len(absent)),
        ("nth(i)", loop(nth, ordinals), len(ordinals)),
        ("lower_cardinality(p)", loop(lower, counted), len(counted)),
    ]


def numpy_runs(values):
    breaks = np.flatnonzero(np.diff(values) != 1)
    return np.concatenate([values[:1], values[breaks + 1]]), np.concatenate([values[breaks], values[-1:]])


def bulk_table(name, values, reps):
    """Bulk forms per element at 1,000,000 positions against NumPy on the sorted array."""
    rng = np.random.default_rng(9)
    b = Bitmap(values)
    probes = rng.choice(values, 1_000_000) + rng.integers(0, 2, 1_000_000, dtype=np.uint64)
    ordinals = rng.integers(0, len(values), 1_000_000, dtype=np.uint64)

    def member():
        at = np.minimum(np.searchsorted(values, probes), len(values) - 1)
        return values[at] == probes
    rows = [
        ("contains_many / searchsorted", lambda: morvane_rec.contains_many(b, probes), member, len(probes)),
        ("lower_cardinality_many / searchsorted",
         lambda: morvane_rec.lower_cardinality_many(b, probes), lambda: np.searchsorted(values, probes), len(probes)),
        ("nth_many / a[i]", lambda: morvane_rec.nth_many(b, ordinals), lambda: values[ordinals], len(ordinals)),
        ("runs / np.diff", lambda: morvane_rec.runs(b), lambda: numpy_runs(values), len(values)),
    ]
    print("\nbulk, %s: %d members" % (name, len(values)))
    print("%-38s %10s %10s %9s" % ("ns per element", "ours", "NumPy", "np/ours"))
    for row, ours, peer, count in rows:
        times = {"ours": [], "numpy": []}
        for _ in range(reps):
            times["ours"].append(timed(ours, count))
            times["numpy"].append(timed(peer, count))
        mine, theirs = statistics.median(times["ours"]), statistics.median(times["numpy"])
        print("%-38s %10.2f %10.2f %8.2fx" % (row, mine, theirs, theirs / mine))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--members", type=int, default=1_000_000)
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--tables", default="element,bulk", help="element, bulk or both")
    parser.add_argument("--sets", default="SDXK", help="which of the sets S, D, X, K (and R, bulk only)")
    args = parser.parse_args()
    print("CPython %s, NumPy %s, BitMap64 %s" % (
        sys.version.split()[0], np.__version__, "present" if BitMap64 else "absent"))
    contenders = ["ours", "numpy", "array"] + (["peer"] if BitMap64 else [])
    for name, values in workloads(args.members).items() if "element" in args.tables else ():
        if name not in args.sets:
            continue
        rng = np.random.default_rng(7)
        probes = [int(p) for p in rng.choice(values, 100_000)]
        present = set(values.tolist())
        span = min(int(values[-1]) * 2 + 2, 2**64 - 1)
        absent = [p for p in dict.fromkeys(int(p) for p in rng.integers(0, span, 40_000, dtype=np.uint64))
                  if p not in present][:20_000]
        ordinals = [int(i) for i in rng.integers(0, len(values), 100_000)]
        plans = {c: rows_for(values, c, probes, absent, ordinals) for c in contenders}
        times = {}
        for _ in range(args.reps):  # alternate contenders rep by rep
            for contender, rows in plans.items():
                for row, run, calls in rows:
                    times.setdefault((row, contender), []).append(timed(run, calls))
        print("\n%s: %d members" % (name, len(values)))
        print("%-26s %10s %10s %10s %9s" % ("call (ns)", "ours", "BitMap64", "NumPy/arr", "peer/ours"))
        for row, _, _ in plans["ours"]:
            ours = statistics.median(times[(row, "ours")])
            peer = statistics.median(times[(row, "peer")]) if BitMap64 else None
            base = times.get((row, "array")) or times.get(("nth / a[i]", "numpy"))
            base = statistics.median(base) if row in ("iterate (per member)", "nth(i)") else None
            print("%-26s %10.1f %10s %10s %9s" % (
                row, ours, "%.1f" % peer if peer else "-", "%.1f" % base if base else "-",
                "%.2fx" % (peer / ours) if peer else "-"))
    if morvane_rec is not None and "bulk" in args.tables:
        sets = workloads(args.members)
        starts = np.sort(np.random.default_rng(3).choice(2**40, 10_000, replace=False)).astype(np.uint64) * 2048
        lengths = np.random.default_rng(4).integers(1, 1001, 10_000)
        sets["R"] = np.concatenate([np.arange(s, s + n, dtype=np.uint64) for s, n in zip(starts, lengths)])
        for name, values in sets.items():
            if name in args.sets + "R":
                bulk_table(name, values, args.reps)


if __name__ == "__main__":
    main()
