"""`corvex record`: a recording read back, one cut by a kill and recovered, one ended by Ctrl-C.

The recorded rows are matched to the recording that was replayed by their timecodes, and every
column compared bit for bit with the file reader's.
"""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pyarrow as pa
import pyarrow.dataset as ds
import pyarrow.parquet as pq
import pytest
from _helpers import value_bits

import corvex
import corvex.live
from corvex.recording import partial_directories, read_laps
from corvex.testing import DOUBLE, Var, build_snapshot, keep_records, layout, sample_session

pytest.importorskip("corvex._corvex_rs")


def assert_rows_of(table: pa.Table, log: corvex.LogFile) -> None:
    """Every recorded row is the file's record of the same time, bit for bit."""
    times = log.timecodes.to_numpy()
    rows = np.searchsorted(times, table.column("timecodes").to_numpy())
    assert np.array_equal(times[rows], table.column("timecodes").to_numpy())
    take = pa.array(rows)
    for name, source in {**log.channels, **log.arrays}.items():
        assert np.array_equal(
            value_bits(table.column(name)), value_bits(source.column(1).take(take))
        ), name


@pytest.fixture(params=[600])
def session(tmp_path, request):
    path = tmp_path / "session.ibt"
    path.write_bytes(keep_records(sample_session(), request.param))
    return path, corvex.open(path, arrays=True)


def recorder(live_path, out, *extra):
    """`corvex record` on `live_path`, once it is recording: the file is there first as a
    writer that has published nothing yet, and the replay that replaces it comes after."""
    data = bytearray(build_snapshot([Var("SessionTime", DOUBLE)], {"SessionTime": [0.0]}, [0]))
    layout.patch_buffer_descriptor(data, 0, -1, layout.buffer_descriptors(data)[0][1])
    live_path.write_bytes(data)
    command = [sys.executable, "-m", "corvex", "record", "-o", str(out), "--path", str(live_path)]
    process = subprocess.Popen(
        [*command, "--timeout", "60", "--flush-every", "0.5", *extra],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    for line in process.stderr:  # "corvex: recording into ..." once connected
        if "recording into" in line:
            return process
    raise AssertionError(f"corvex record did not start: {process.communicate()}")


def publish(source, target, speed):
    thread = threading.Thread(
        target=corvex.live.replay, args=(source, target), kwargs={"speed": speed, "lead_in": 2.0}
    )
    thread.start()
    return thread


def test_a_whole_recording_holds_its_records_the_session_info_and_the_laps(tmp_path, session):
    path, log = session
    live, out = tmp_path / "live", tmp_path / "rec.parquet"
    process = recorder(live, out)
    publisher = publish(path, live, 2.0)
    stdout, stderr = process.communicate(timeout=60)
    publisher.join()
    assert process.returncode == 0, stderr
    table = pq.read_table(out)
    meta = pq.read_schema(out).metadata
    missed = int(meta[b"corvex.missed"])
    assert f"recorded {table.num_rows} records" in stdout
    assert_rows_of(table, log)
    # Every record from the first recorded to the last is there or counted missed (on a quiet
    # machine all are there: the recorder attached before the first record).
    times = log.timecodes.to_numpy()
    first = int(np.searchsorted(times, table.column("timecodes")[0].as_py()))
    assert table.num_rows + missed == log.record_count - first
    if table.num_rows == log.record_count:
        assert read_laps(out).equals(log.laps)
    else:
        assert set(read_laps(out).column("num").to_pylist()) <= set(log.laps["num"].to_pylist())
    assert meta[b"corvex.session_info"].decode() == log.metadata["session_info_yaml"]
    assert not partial_directories(tmp_path)


@pytest.mark.parametrize("session", [240], indirect=True)
@pytest.mark.parametrize("how", ["kill", "interrupt"])
def test_a_recording_cut_short_keeps_its_parts(tmp_path, session, how):
    path, log = session
    live, out = tmp_path / "live", tmp_path / "rec.parquet"
    process = recorder(live, out)
    publisher = publish(path, live, 1.0)
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:  # until two parts are written
        dirs = partial_directories(tmp_path)
        if dirs and len(list(dirs[0].glob("part-*.parquet"))) >= 2:
            break
        time.sleep(0.05)
    process.send_signal(signal.SIGKILL if how == "kill" else signal.SIGINT)
    stdout, stderr = process.communicate(timeout=30)
    if how == "interrupt":
        assert process.returncode == 0, stderr
        assert "(Ctrl-C)" in stdout and not partial_directories(tmp_path)
    else:
        assert not out.exists()
        (folder,) = partial_directories(tmp_path)
        parts = ds.dataset(folder, format="parquet").to_table()  # readable as it is
        assert parts.num_rows >= 60
        done = subprocess.run(
            [sys.executable, "-m", "corvex", "record", "--recover", str(folder)],
            capture_output=True,
            text=True,
            timeout=60,
        )
        assert done.returncode == 0, done.stderr
        assert not folder.exists()
        assert pq.read_table(out).num_rows == parts.num_rows
    publisher.join()
    table = pq.read_table(out)
    assert 60 <= table.num_rows < log.record_count
    assert_rows_of(table, log)
    assert pq.ParquetFile(out).num_row_groups >= 2
    assert os.path.basename(out) in {p.name for p in tmp_path.iterdir()}
