"""The standard portable 64-bit form: to_portable64/from_portable64 against
pyroaring's BitMap64.serialize()/deserialize() and against our own
write/read, on the sets S, D and X of bench/per_element.py, in one process,
alternating rep by rep. Microseconds per call, median of the reps.

    .venv-312/bin/python bench/portable64_bench.py [--members 1000000] [--reps 15]
"""
import argparse

from _morvane_rec_extension import Bitmap
from per_element import workloads
from timing import alternating_medians

try:
    from pyroaring import BitMap64
except ImportError:  # no peer on this interpreter
    BitMap64 = None


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--members", type=int, default=1000000)
    parser.add_argument("--reps", type=int, default=15)
    args = parser.parse_args()
    print("%-4s %14s %14s %14s | %14s %14s %14s | %8s %8s %8s %8s"
          % ("set", "to_portable64", "serialize", "write", "from_portable64", "deserialize", "read",
             "w/peer", "r/peer", "w/own", "r/own"))
    for name, values in workloads(args.members).items():
        if name == "K":
            continue
        ours = Bitmap(values)
        ours.persisted_size()  # both sides compacted, so the bytes are the same
        data = ours.to_portable64()
        frame = bytearray(ours.persisted_size())
        ours.write(frame)
        runs = {"to": ours.to_portable64, "from": lambda: Bitmap.from_portable64(data),
                "write": lambda: ours.write(frame), "read": lambda: Bitmap.read(frame)}
        if BitMap64 is not None:
            peer = BitMap64(values)
            peer.run_optimize()
            peer.shrink_to_fit()
            assert peer.serialize() == data
            runs.update(serialize=peer.serialize, deserialize=lambda: BitMap64.deserialize(data))
        us = {key: seconds * 1e6 for key, seconds in alternating_medians(runs, args.reps).items()}
        peer_w, peer_r = us.get("serialize", float("nan")), us.get("deserialize", float("nan"))
        print("%-4s %14.1f %14.1f %14.1f | %14.1f %14.1f %14.1f | %7.2fx %7.2fx %7.2fx %7.2fx"
              % (name, us["to"], peer_w, us["write"], us["from"], peer_r, us["read"],
                 peer_w / us["to"], peer_r / us["from"], us["write"] / us["to"], us["read"] / us["from"]))


if __name__ == "__main__":
    main()
