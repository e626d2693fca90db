"""Bitmap as a row-id index over NumPy columns.

    python examples/row_filter.py [--rows N] [--index-file PATH]

Each filter becomes the set of row numbers that pass it; filters combine with
& and |, index_array() gathers the selected rows, bool_array() turns the set
back into a boolean mask, and persisted_size()/write()/read() keep the index
in a file for the next run.
"""
import argparse
import os
import tempfile

import numpy as np
from _morvane_rec_extension import Bitmap


def rows_where(mask):
    return Bitmap(np.flatnonzero(mask).astype(np.uint64))


def save(bitmap, path):
    buffer = bytearray(bitmap.persisted_size())
    written = bitmap.write(buffer)
    with open(path, "wb") as target:
        target.write(buffer[:written])
    return written


def load(path):
    with open(path, "rb") as source:
        return Bitmap.read(source.read())


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--index-file", default=os.path.join(tempfile.gettempdir(), "row_filter.bitmap"))
    args = parser.parse_args(argv)

    rng = np.random.default_rng(42)
    age = rng.integers(0, 100, args.rows)
    country = rng.choice(np.array(["FR", "DE", "US", "JP"]), args.rows)
    score = rng.random(args.rows)

    adults, french, top = rows_where(age >= 18), rows_where(country == "FR"), rows_where(score > 0.9)
    selected = adults & (french | top)

    rows = selected.index_array()
    mask = np.zeros(args.rows, dtype=bool)
    if len(selected):
        flags = selected.bool_array(invert=False, relative=False)  # positions 0..last member
        mask[: len(flags)] = flags
    expected = (age >= 18) & ((country == "FR") | (score > 0.9))
    assert np.array_equal(mask, expected) and np.array_equal(rows, np.flatnonzero(expected))

    written = save(selected, args.index_file)
    assert load(args.index_file) == selected
    print("rows: %d, selected: %d, mean score of selected: %.4f"
          % (args.rows, len(selected), score[rows].mean() if len(rows) else 0.0))
    print("index file: %d bytes (%.3f bytes per selected row)"
          % (written, written / max(1, len(selected))))


if __name__ == "__main__":
    main()
