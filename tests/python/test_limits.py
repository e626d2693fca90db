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
