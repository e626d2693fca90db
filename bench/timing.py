"""Timing helpers shared by the benchmark and its peer worker (any Python 3)."""
import statistics
import time


def median_seconds(fn, repeats, setup=None):
    """Median wall time of fn() over `repeats` runs; setup() runs untimed before each."""
    times = []
    for _ in range(repeats):
        argument = setup() if setup else None
        start = time.perf_counter()
        fn(argument) if setup else fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def per_call_seconds(fn, probes, budget=1.0):
    """Seconds per call of fn(probe), over as many probes as fit in `budget` seconds."""
    done, start = 0, time.perf_counter()
    while True:
        for first in range(0, len(probes), 256):
            for probe in probes[first:first + 256]:
                fn(probe)
            done += len(probes[first:first + 256])
            elapsed = time.perf_counter() - start
            if elapsed >= budget:
                return elapsed / done


def loop_seconds(fn, probes, repeats):
    """Median time of one Python loop calling fn on every probe."""
    def run():
        for probe in probes:
            fn(probe)
    return median_seconds(run, repeats)


def alternating_medians(runs, repeats):
    """{name: median seconds} of each run in `runs` ({name: fn}), the runs taking
    turns rep by rep so that a slow spell of the machine falls on all of them."""
    times = {name: [] for name in runs}
    for _ in range(repeats):
        for name, run in runs.items():
            start = time.perf_counter()
            run()
            times[name].append(time.perf_counter() - start)
    return {name: statistics.median(values) for name, values in times.items()}
