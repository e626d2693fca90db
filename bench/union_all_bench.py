"""union_all and intersection_all against folding | and & pairwise, in one
process, alternating: 64 sets of 100,000 random members below 2^34 (and 64
supersets of one common set for the intersection). ms, median of the reps.

    .venv/bin/python bench/union_all_bench.py [--sets 64] [--members 100000] [--reps 7]
"""
import argparse
import functools

import numpy as np
from timing import alternating_medians

import morvane_rec as mr


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sets", type=int, default=64)
    parser.add_argument("--members", type=int, default=100000)
    parser.add_argument("--reps", type=int, default=7)
    args = parser.parse_args()
    rng = np.random.default_rng(3)
    sets = [mr.Bitmap(rng.integers(0, 2**34, args.members, dtype=np.uint64)) for _ in range(args.sets)]
    common = rng.integers(0, 2**34, args.members, dtype=np.uint64)
    supersets = [mr.Bitmap(np.concatenate([common, rng.integers(0, 2**34, args.members, dtype=np.uint64)]))
                 for _ in range(args.sets)]
    runs = {
        "union_all": lambda: mr.union_all(sets),
        "fold |": lambda: functools.reduce(lambda a, b: a | b, sets),
        "intersection_all": lambda: mr.intersection_all(supersets),
        "fold &": lambda: functools.reduce(lambda a, b: a & b, supersets),
    }
    assert runs["union_all"]() == runs["fold |"]() and runs["intersection_all"]() == runs["fold &"]()
    ms = {name: seconds * 1e3 for name, seconds in alternating_medians(runs, args.reps).items()}
    print("%d sets of %d members below 2^34" % (args.sets, args.members))
    print("union_all %.1f ms, fold | %.1f ms: %.2fx" % (ms["union_all"], ms["fold |"], ms["fold |"] / ms["union_all"]))
    print("intersection_all %.1f ms, fold & %.1f ms: %.2fx"
          % (ms["intersection_all"], ms["fold &"], ms["fold &"] / ms["intersection_all"]))


if __name__ == "__main__":
    main()
