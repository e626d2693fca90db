"""Deleting rows of a Parquet file the way the table formats do: by a
deletion vector beside it, written and read back as an Iceberg Puffin file
and as a Delta deletion vector file.

    python examples/deletion_vectors.py [--rows N] [--folder PATH]

It writes a Parquet file of N orders (with pyarrow, where it is installed;
otherwise the same columns as a NumPy .npz file), deletes the cancelled
orders by position, stores that set in both formats, reads each back and
prints the rows that survive the filter.
"""
import argparse
import os
import tempfile

import numpy as np

import morvane_rec as mr


def write_orders(folder, rows):
    rng = np.random.default_rng(7)
    columns = {"order_id": np.arange(rows, dtype=np.int64),
               "cancelled": rng.random(rows) < 0.1,
               "amount": rng.integers(1, 500, rows)}
    try:
        import pyarrow as pa
        import pyarrow.parquet as pq
    except ImportError:
        path = os.path.join(folder, "orders.npz")
        np.savez(path, **columns)
        return path
    path = os.path.join(folder, "orders.parquet")
    pq.write_table(pa.table(columns), path)
    return path


def read_orders(path):
    if path.endswith(".npz"):
        with np.load(path) as data:
            return {name: data[name] for name in data.files}
    import pyarrow.parquet as pq
    table = pq.read_table(path)
    return {name: table.column(name).to_numpy() for name in table.column_names}


def surviving(columns, deleted):
    """The columns without the deleted row positions."""
    keep = np.ones(len(columns["order_id"]), dtype=bool)
    keep[deleted.index_array()] = False
    return {name: values[keep] for name, values in columns.items()}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=100000)
    parser.add_argument("--folder", help="where the files go (a temporary folder by default)")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as scratch:
        folder = args.folder or scratch
        data_file = write_orders(folder, args.rows)
        columns = read_orders(data_file)
        deleted = mr.Bitmap(np.flatnonzero(columns["cancelled"]).astype(np.uint64))
        print("rows: %d, deleted: %d (%s)" % (args.rows, len(deleted), os.path.basename(data_file)))

        puffin = os.path.join(folder, "deletes.puffin")
        mr.write_puffin_deletion_vectors(puffin, {data_file: deleted})
        from_iceberg = mr.read_puffin_deletion_vectors(puffin)[data_file]
        print("iceberg puffin file: %d bytes, read back equal: %s"
              % (os.path.getsize(puffin), from_iceberg == deleted))

        (descriptor,) = mr.write_delta_deletion_vectors(folder, [deleted])
        from_delta = mr.read_delta_deletion_vector(descriptor, folder)
        print("delta vector: %d bytes at offset %d, read back equal: %s"
              % (descriptor["sizeInBytes"], descriptor["offset"], from_delta == deleted))

        kept = surviving(columns, from_delta)
        print("surviving rows: %d, none cancelled: %s, amount: %d"
              % (len(kept["order_id"]), not kept["cancelled"].any(), int(kept["amount"].sum())))


if __name__ == "__main__":
    main()
