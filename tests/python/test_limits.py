"""Allocations that cannot be made fail with a Python exception, not a crash.
Each run happens in a child process whose address space is capped."""
import os
import subprocess
import sys
import textwrap

import pytest

CHILD = textwrap.dedent("""
    import resource
    from _morvane_rec_extension import Bitmap, MemoryScanner

    def outcome(call):
        try:
            call()
            return "ok"
        except (MemoryError, ValueError) as error:
            return type(error).__name__

    dense = Bitmap()
    dense.set(0, 2**31)
    sparse = Bitmap([2**36])
    stream = b'{"a":1}\\n' * 2**20 + b'{"a":'
    scanner = MemoryScanner()
    with open("/proc/self/statm") as statm:
        in_use = int(statm.read().split()[0]) * resource.getpagesize()
    _, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (in_use + 256 * 2**20, hard))
    print("index_array", outcome(dense.index_array))
    print("bool_array", outcome(lambda: sparse.bool_array(False, False)))
    print("scan", outcome(lambda: scanner.scan(stream)))
    resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
    print("scan_after", scanner.scan(stream) == (2**20, 8 * 2**20))
""")


@pytest.mark.skipif(os.environ.get("MORVANE_SANITIZED") == "1",
                    reason="the sanitizer runtime needs an unlimited address space")
def test_allocations_beyond_the_address_space_limit_fail_cleanly():
    child = subprocess.run([sys.executable, "-c", CHILD], capture_output=True, text=True, timeout=300)
    assert child.returncode == 0, child.stderr
    assert child.stdout.split("\n")[:4] == [
        "index_array MemoryError",
        "bool_array MemoryError",
        "scan MemoryError",
        "scan_after True",
    ]


PRESSURE_CHILD = textwrap.dedent("""
    import resource, sys
    import numpy as np
    from _morvane_rec_extension import Bitmap, MemoryScanner

    def valid(bitmap):
        buf = bytearray(bitmap.persisted_size())
        bitmap.write(buf)
        # read validates every container it is given
        return Bitmap.read(buf) == bitmap and bitmap.nth(0) == bitmap.first

    sets = {"a": Bitmap(np.arange(0, 2**22, 3, dtype=np.uint64)), "b": Bitmap()}
    sets["b"].set(2**32 + 5, 2**32 + 2**31)
    frame = bytearray(sets["a"].persisted_size()); sets["a"].write(frame)
    calls = {
        "construct": lambda: Bitmap(np.arange(0, 2**27, 7, dtype=np.uint64)),
        "flip_range": lambda: sets["a"].flip(2**40, 2**40 + 2**36),
        "union": lambda: [sets["a"] | sets["b"] for _ in range(200)],
        "inplace_xor": lambda: [sets["a"].inplace_symmetric_difference(sets["b"]) for _ in range(200)],
        "expand": lambda: [sets["b"].expand(2**32 + 7, 2**31) for _ in range(40)],
        "read": lambda: [Bitmap.read(frame) for _ in range(400)],
        "index_array": lambda: [sets["b"].index_array() for _ in range(8)],
        "bool_array": lambda: sets["b"].bool_array(False, False),
        "scan": lambda: MemoryScanner().scan(b'[1]\\n' * 2**24 + b'['),
        "set_range": lambda: sets["a"].set(2**32, 2**32 * 2**22),  # fills what is left
    }
    with open("/proc/self/statm") as statm:
        in_use = int(statm.read().split()[0]) * resource.getpagesize()
    _, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (in_use + int(sys.argv[1]) * 2**20, hard))
    outcome = []
    for name, call in calls.items():
        try:
            call()
            outcome.append(name + " ok")
        except MemoryError:
            outcome.append(name + " MemoryError")
    resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
    print(" ".join(outcome))
    print("valid", all(valid(s) for s in sets.values()))
""")


@pytest.mark.skipif(os.environ.get("MORVANE_SANITIZED") == "1",
                    reason="the sanitizer runtime needs an unlimited address space")
@pytest.mark.parametrize("headroom_mib", [16, 128, 512])
def test_exhausted_memory_is_a_memory_error_and_sets_stay_valid(headroom_mib):
    child = subprocess.run([sys.executable, "-c", PRESSURE_CHILD, str(headroom_mib)],
                           capture_output=True, text=True, timeout=600)
    assert child.returncode == 0, child.stderr[-2000:]
    lines = child.stdout.splitlines()
    assert lines[-1] == "valid True", child.stdout
    assert "set_range MemoryError" in lines[0]  # 2^22 full slots never fit
