"""One build of the module against another on the same interpreter: the
machine's own build (gcc, in the venv) against a wheel's module (the zig
manylinux2014 toolchain), the two run in child processes by turns, round by
round. Whole-set calls in ms and per-element calls in ns; medians of the rounds.

    .venv-312/bin/python bench/toolchains.py wheelhouse/morvane_rec-*-cp312-*x86_64.whl [--rounds 5]
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import zipfile

CHILD = r"""
import json, sys, time
import numpy as np
import _morvane_rec_extension as ext
rng = np.random.default_rng(5)
S = np.unique(rng.integers(0, 2**34, 1000000, dtype=np.uint64))
D = np.arange(1000000, dtype=np.uint64)
X = np.unique(rng.integers(0, 2**48, 1000000, dtype=np.uint64))
def best(run, calls=1, reps=5):
    times = []
    for _ in range(reps):
        start = time.perf_counter(); run(); times.append((time.perf_counter() - start) / calls)
    return min(times)
out = {}
for name, values in (("S", S), ("D", D), ("X", X)):
    a, b = ext.Bitmap(values), ext.Bitmap(values[::2] + np.uint64(1))
    out[name + " Bitmap(array) ms"] = best(lambda: ext.Bitmap(values)) * 1e3
    out[name + " a | b ms"] = best(lambda: a | b) * 1e3
    out[name + " a & b ms"] = best(lambda: a & b) * 1e3
    out[name + " index_array ms"] = best(a.index_array) * 1e3
    out[name + " to_portable64 ms"] = best(a.to_portable64) * 1e3
    probes = values[::997].tolist()
    def contains():
        for p in probes: p in a
    def point():
        for p in probes: a.set(p)
    out[name + " p in a ns"] = best(contains, len(probes)) * 1e9
    out[name + " set(p) present ns"] = best(point, len(probes)) * 1e9
    ordinals = list(range(0, len(values), 997))
    out[name + " nth ns"] = best(lambda: [a.nth(i) for i in ordinals], len(ordinals)) * 1e9
data = b"".join(b'{"id": %d, "tags": ["x", "y"], "v": 1.5}\n' % i for i in range(600000))
out["scan 25 MB ms"] = best(lambda: ext.MemoryScanner().scan(data)) * 1e3
print(json.dumps(out))
"""


def measure(path):
    env = dict(os.environ)
    if path:
        env["PYTHONPATH"] = path
    result = subprocess.run([sys.executable, "-c", CHILD], env=env, capture_output=True, text=True, check=True)
    return json.loads(result.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("wheel")
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        zipfile.ZipFile(args.wheel).extractall(folder)
        rows = {"venv build": [], "wheel": []}
        for _ in range(args.rounds):
            rows["venv build"].append(measure(None))
            rows["wheel"].append(measure(folder))
    print("%-28s %12s %12s %8s" % ("row", "venv build", "wheel", "wheel/own"))
    for key in rows["wheel"][0]:
        own = statistics.median(r[key] for r in rows["venv build"])
        wheel = statistics.median(r[key] for r in rows["wheel"])
        print("%-28s %12.2f %12.2f %7.2fx" % (key, own, wheel, wheel / own))


if __name__ == "__main__":
    main()
