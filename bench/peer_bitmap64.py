"""Peer worker: times pyroaring's BitMap64 on the workloads that bench/compare.py
saved, and prints the medians as JSON. Runs in the peers' virtual environment
(bench/setup_peers.sh), since BitMap64 has no build for CPython 3.7."""
import array
import json
import sys
from pathlib import Path

import numpy as np
from pyroaring import BitMap64
from timing import median_seconds, per_call_seconds


def contains_loop(bitmap, probes):
    for probe in probes:
        probe in bitmap  # noqa: B015 - the membership test is what is timed


def measure(folder, repeats):
    load = lambda name: np.load(str(folder / (name + ".npy")))
    as_q = lambda values: array.array("Q", values.tobytes())
    sorted_a, shuffled_a, sorted_b = as_q(load("a_sorted")), as_q(load("a_shuffled")), as_q(load("b_sorted"))
    probes, ordinals = load("probes").tolist(), load("ordinals").tolist()
    out = {}
    out["construct_sorted"] = median_seconds(lambda: BitMap64(sorted_a), repeats)
    out["construct_shuffled"] = median_seconds(lambda: BitMap64(shuffled_a), repeats)
    a, b = BitMap64(sorted_a), BitMap64(sorted_b)
    out["union"] = median_seconds(lambda: a | b, repeats)
    out["intersect"] = median_seconds(lambda: a & b, repeats)
    out["difference"] = median_seconds(lambda: a - b, repeats)
    out["xor"] = median_seconds(lambda: a ^ b, repeats)
    out["cardinality"] = median_seconds(lambda: len(a), repeats)
    out["contains_1M"] = median_seconds(lambda: contains_loop(a, probes), max(1, repeats // 2))
    out["lower_cardinality_per_probe"] = per_call_seconds(a.rank, probes)
    out["nth_per_probe"] = per_call_seconds(a.__getitem__, ordinals)
    out["index_array"] = median_seconds(lambda: np.frombuffer(a.to_array(), dtype=np.uint64), repeats)
    a.run_optimize()
    out["persist"] = median_seconds(a.serialize, repeats)
    out["persist (no compaction)"] = out["persist"]
    image = a.serialize()
    out["read"] = median_seconds(lambda: BitMap64.deserialize(image), repeats)
    out["bytes_per_member"] = len(image) / len(a)
    return out


def main():
    root, repeats = Path(sys.argv[1]), int(sys.argv[2])
    names = json.loads((root / "manifest.json").read_text())
    results = {name: measure(root / name, repeats if name != "X" else max(1, repeats // 2))
               for name in names}
    print(json.dumps(results))


if __name__ == "__main__":
    main()
