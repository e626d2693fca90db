"""Calls from several threads: long calls run without the interpreter lock,
each set and scanner stays atomic per call, results equal a serial run."""

import random
import threading
import time

import _morvane_rec_extension as ext
import numpy as np
import pytest

from morvane_rec import Bitmap, MemoryScanner, intersection_all, union_all

hooks = getattr(ext, "_testing", None)
pytestmark = pytest.mark.skipif(hooks is None, reason="needs the test build's hooks")


@pytest.fixture
def every_call_long():
    hooks.always_long(True)
    yield
    hooks.unpark()
    hooks.always_long(False)


def outcome(call):
    try:
        return ("value", call())
    except Exception as error:  # the class and text are compared
        return ("error", type(error), str(error))


def in_thread(call):
    box = {}
    thread = threading.Thread(target=lambda: box.setdefault("outcome", outcome(call)))
    thread.start()
    return thread, box


def parked(call):
    """call() in a thread, held mid-flight (without the lock, holding its claims)."""
    hooks.park_next()
    thread, box = in_thread(call)
    assert hooks.wait_parked(10.0)
    return thread, box


def comparable(value):
    if isinstance(value, tuple):
        return tuple(comparable(v) for v in value)
    if isinstance(value, Bitmap):
        return ("set", value.index_array().tolist())
    if isinstance(value, np.ndarray):
        return value.tolist()
    return value


def sets():
    a = Bitmap(np.arange(0, 300000, 3, dtype=np.uint64))
    b = Bitmap(np.arange(1, 200000, 7, dtype=np.uint64))
    c = Bitmap(np.arange(5, 50000, 2, dtype=np.uint64))
    return a, b, c


# The parked call on `a` (with `b`), then calls from a second thread: on `a`
# (its reads share a read, anything else waits) and on `c` (always proceeds).
PARKED = {"read": lambda a, b: a | b, "write": lambda a, b: a.inplace_union(b)}
CALLS = {
    "in": ("read", lambda x, c, it: 6 in x),
    "len": ("read", lambda x, c, it: len(x)),
    "contains": ("read", lambda x, c, it: x.contains(9)),
    "nth": ("read", lambda x, c, it: x.nth(10)),
    "cardinality": ("read", lambda x, c, it: x.cardinality),
    "next": ("read", lambda x, c, it: [next(it) for _ in range(3)]),
    "or": ("read", lambda x, c, it: x | c),
    "index_array": ("read", lambda x, c, it: x.index_array()),
    "to_portable64": ("read", lambda x, c, it: x.to_portable64()),
    "union_all": ("read", lambda x, c, it: union_all([x, c, x])),
    "set": ("write", lambda x, c, it: x.set(4)),
    "unset": ("write", lambda x, c, it: x.unset(3)),
    "flip": ("write", lambda x, c, it: x.flip(10, 20)),
    "self_or_next": ("write", lambda x, c, it: x.self_or_next(1 << 40)),
    "ior": ("write", lambda x, c, it: x.inplace_difference(c)),
    "expand": ("write", lambda x, c, it: x.expand(0, 1)),
}


@pytest.mark.parametrize("parked_kind", sorted(PARKED))
@pytest.mark.parametrize("target", ["same", "other"])
def test_conflicting_calls_wait_others_proceed_and_results_equal_a_serial_run(every_call_long, parked_kind, target):
    for name, (kind, call) in CALLS.items():
        a, b, c = sets()
        subject, other = (a, c) if target == "same" else (c, a.copy())
        iterator = iter(subject)
        serial = [outcome(lambda: PARKED[parked_kind](a, b)), outcome(lambda: call(subject, other, iterator))]
        expected = [comparable(v) for v in serial] + [subject.index_array().tolist(), a.index_array().tolist()]

        a, b, c = sets()
        subject, other = (a, c) if target == "same" else (c, a.copy())
        iterator = iter(subject)
        first = parked(lambda: PARKED[parked_kind](a, b))
        second = in_thread(lambda: call(subject, other, iterator))
        waits = target == "same" and "write" in (kind, parked_kind)
        second[0].join(0.25 if waits else 10.0)
        assert second[0].is_alive() == waits, name
        hooks.unpark()
        first[0].join()
        second[0].join()
        got = [comparable(box["outcome"]) for _, box in (first, second)]
        got += [subject.index_array().tolist(), a.index_array().tolist()]
        assert got == expected, name


def test_a_scan_waits_for_a_scan_of_the_same_scanner_only(every_call_long):
    stream = b'{"a": 1} [2, 3] "x" {"b'
    busy, idle = MemoryScanner(), MemoryScanner()
    first = parked(lambda: busy.scan(stream))
    same, other = in_thread(lambda: busy.scan(stream[:9])), in_thread(lambda: idle.scan(stream))
    other[0].join(10.0)
    same[0].join(0.25)
    assert not other[0].is_alive() and same[0].is_alive()
    hooks.unpark()
    for thread, _ in (first, same):
        thread.join()
    serial = MemoryScanner()
    expected = [("value", serial.scan(stream)), ("value", serial.scan(stream[:9])), ("value", serial.scan(stream))]
    assert [box["outcome"] for box in (first[1], same[1], other[1])] == expected


def test_a_long_union_lets_other_threads_run():
    # Real sizes, no forcing: the union passes the threshold by itself.
    a = Bitmap(np.arange(0, 6000000, 2, dtype=np.uint64))
    b = Bitmap(np.arange(0, 6000000, 3, dtype=np.uint64))
    ticks, stop = [0], threading.Event()

    def count():
        while not stop.is_set():
            ticks[0] += 1

    counter = threading.Thread(target=count)
    counter.start()
    try:
        union = parked(lambda: a | b)
        before = ticks[0]
        time.sleep(0.05)
        assert ticks[0] > before and union[0].is_alive()
    finally:
        hooks.unpark()
        stop.set()
        counter.join()
    union[0].join()
    assert union[1]["outcome"][1] == Bitmap(np.union1d(a.index_array(), b.index_array()))


def test_threads_mixing_reads_and_writes_equal_a_serial_replay(every_call_long):
    rng = np.random.default_rng(7)
    shared = [Bitmap(rng.integers(0, 1 << 34, 2000, dtype=np.uint64)) for _ in range(3)]
    written = Bitmap()  # every thread adds its own residue modulo 8, and reads it
    scanner, stream = MemoryScanner(), b'{"a": [1, 2]} 7 "x" {'
    operations = [
        lambda own, s, p: own.inplace_union(s),
        lambda own, s, p: own.inplace_difference(s),
        lambda own, s, p: (own | s).cardinality,
        lambda own, s, p: own.set(p),
        lambda own, s, p: own.unset(p),
        lambda own, s, p: p in s,
        lambda own, s, p: s.nth(p % len(s)),
        lambda own, s, p: union_all([own, s]).cardinality,
        lambda own, s, p: intersection_all([s, own, s]).cardinality,
        lambda own, s, p: int(own.index_array().sum()),
        lambda own, s, p: scanner.scan(stream),
    ]

    def program(seed):
        picks = random.Random(seed)
        return [(picks.randrange(len(operations)), picks.randrange(3), picks.randrange(1 << 34)) for _ in range(400)]

    def run(seed, own, log, barrier):
        barrier.wait()
        for index, which, position in program(seed):
            log.append(operations[index](own, shared[which], position))
            written.set(position - position % 8 + seed)
            assert written.cardinality >= 1 and 1 <= len(written.index_array())
            outcome(lambda: [next(iter(written)) for _ in range(2)])

    barrier = threading.Barrier(8)
    owns = [Bitmap(rng.integers(0, 1 << 34, 500, dtype=np.uint64)) for _ in range(8)]
    starts = [own.copy() for own in owns]
    logs = [[] for _ in range(8)]
    threads = [threading.Thread(target=run, args=(seed, owns[seed], logs[seed], barrier)) for seed in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()

    hooks.always_long(False)
    for seed in range(8):
        replayed = [operations[i](starts[seed], shared[w], p) for i, w, p in program(seed)]
        assert [comparable(v) for v in logs[seed]] == [comparable(v) for v in replayed]
        assert starts[seed] == owns[seed]
    expected = {p - p % 8 + seed for seed in range(8) for _, _, p in program(seed)}
    assert written.index_array().tolist() == sorted(expected)
