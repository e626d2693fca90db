"""The examples run on small data and report what their inputs hold."""
import json
import os
import subprocess
import sys

import pytest

EXAMPLES = os.path.join(os.path.dirname(__file__), "..", "..", "examples")


def run(script, *args):
    return subprocess.run([sys.executable, os.path.join(EXAMPLES, script), *args],
                          capture_output=True, text=True, check=True, timeout=300).stdout


def test_split_ndjson_counts_every_record_once(tmp_path):
    path = tmp_path / "events.ndjson"
    words = ["x" * 40, "café", "東京の夜", "🚀 launch", "naïve — ok"]
    records = [json.dumps({"id": i, "text": words[i % 5] * (i % 7)}, ensure_ascii=False)
               for i in range(2000)]
    path.write_text("\n".join(records) + "\n", encoding="utf-8")
    out = run("split_ndjson.py", str(path), "--block-size", "4093", "--workers", "2").splitlines()
    chunks = [line for line in out if line.startswith("chunk")]
    assert len(chunks) > 30  # blocks far smaller than the file
    assert out[-1] == "total: 2000 records in %d chunks" % len(chunks)
    covered = sum(int(line.split(": ")[1].split(" bytes")[0]) for line in chunks)
    assert covered == path.stat().st_size


def test_row_filter_selects_and_persists(tmp_path):
    index = tmp_path / "index.bitmap"
    out = run("row_filter.py", "--rows", "20000", "--index-file", str(index))
    assert out.startswith("rows: 20000, selected: ")
    assert index.stat().st_size == int(out.split("index file: ")[1].split(" bytes")[0])


def test_dask_scale_out_matches_a_single_process_pass():
    pytest.importorskip("distributed")  # installed for the newer interpreters only
    out = run("dask_rows.py", "--records", "30000", "--partitions", "7").splitlines()
    assert out[0].startswith("records: 30000, matching: ")
    assert out[-1] == "same as single process: True"


def test_deletion_vectors_filter_the_cancelled_rows(tmp_path):
    out = run("deletion_vectors.py", "--rows", "5000", "--folder", str(tmp_path)).splitlines()
    deleted = int(out[0].split("deleted: ")[1].split(" ")[0])
    assert "read back equal: True" in out[1] and "read back equal: True" in out[2]
    assert out[3].startswith("surviving rows: %d, none cancelled: True" % (5000 - deleted))
