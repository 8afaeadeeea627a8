"""Live telemetry: corvex.live on files of the simulator's shared-memory layout.

Records are checked against a struct reading of the bytes written (the writer's snapshots) or
against the file reader's tables of the recording a replay published; torn reads against a
writer thread that pauses in the middle of its records.
"""

from __future__ import annotations

import os
import struct
import threading
import time

import numpy as np
import pyarrow as pa
import pytest
from _helpers import value_bits

import corvex
import corvex.live
from corvex.testing import (
    BOOL,
    DOUBLE,
    FLOAT,
    INT,
    Var,
    build_ibt,
    build_snapshot,
    keep_records,
    layout,
    sample_session,
)

pytest.importorskip("corvex._corvex_rs")

INFO = "---\nWeekendInfo:\n TrackName: ring\n"


@pytest.fixture
def minute(tmp_path):
    """A writer-made session of 600 records with laps, and its file reader's LogFile."""
    path = tmp_path / "minute.ibt"
    path.write_bytes(keep_records(sample_session(), 600))
    return path, corvex.open(path, arrays=True)


def replayed(source, target, **options):
    corvex.live.replay(source, target, speed=None, lead_in=0, **options)
    return corvex.live.Live(corvex.reading._extension().live_open(str(target)), str(target))


# -- what a reader gets ----------------------------------------------------------------------


def test_a_record_equals_the_recordings_record_in_every_column(tmp_path, minute):
    path, log = minute
    live = replayed(path, tmp_path / "live", first_tick=100)
    batch = live.latest()
    assert live.last_ticks == [100 + log.record_count - 1]
    row = pa.array([log.record_count - 1])
    expected = {**log.channels, **log.arrays}
    assert batch.column_names == ["timecodes", *expected]  # file order, arrays among them
    assert np.array_equal(value_bits(batch.column(0)), value_bits(log.timecodes.take(row)))
    for name, table in expected.items():
        assert batch.schema.field(name) == table.schema.field(1), name
        assert np.array_equal(
            value_bits(batch.column(name)), value_bits(table.column(1).take(row))
        ), name


def test_after_the_writer_stopped_only_its_last_record_is_there(tmp_path, minute):
    path, log = minute
    live = replayed(path, tmp_path / "live")
    assert not live.connected  # the replay cleared the status flag when it ended
    n = log.record_count
    assert live.latest().num_rows == 1 and live.last_ticks == [n]
    assert live.wait(timeout=0.2) is None  # nothing newer: the writer is gone
    # A fresh reader waits for a writer; its latest() still reads the last record.
    again = corvex.live.Live(corvex.reading._extension().live_open(str(tmp_path / "live")), None)
    assert again.next(10, timeout=0.2) is None
    assert again.latest().column("SessionTime").equals(live.latest().column("SessionTime"))


def test_session_info_is_parsed_again_when_its_counter_changes(tmp_path):
    variables = [Var("SessionTime", DOUBLE)]
    data = bytearray(build_snapshot(variables, {"SessionTime": [1.0]}, [5], session_info=INFO))
    path = tmp_path / "snap"
    path.write_bytes(data)
    live = corvex.live.connect(path, timeout=5)
    assert live.session_info["WeekendInfo"]["TrackName"] == "ring"
    fields = layout.read_fields(data)
    offset, length = fields["session_info_offset"], fields["session_info_len"]
    new = b"---\nWeekendInfo:\n TrackName: loop\n"
    assert len(new) == length  # same room: only the counter tells the change
    with open(path, "r+b") as f:
        os.pwrite(f.fileno(), new, offset)
        assert live.session_info["WeekendInfo"]["TrackName"] == "ring"  # counter unchanged
        os.pwrite(f.fileno(), struct.pack("<i", fields["session_info_update"] + 1), 12)
    assert live.session_info["WeekendInfo"]["TrackName"] == "loop"


def test_a_new_variable_set_gives_a_new_schema_and_a_warning(tmp_path):
    one = [Var("SessionTime", DOUBLE), Var("Speed", FLOAT)]
    two = [Var("SessionTime", DOUBLE), Var("Gear", INT), Var("Brake", BOOL)]
    path = tmp_path / "snap"
    path.write_bytes(build_snapshot(one, {"SessionTime": [1.0], "Speed": [3.0]}, [1]))
    live = corvex.live.connect(path, timeout=5)
    assert live.latest().column_names == ["timecodes", "SessionTime", "Speed"]
    data = build_snapshot(two, {"SessionTime": [2.0], "Gear": [3], "Brake": [1]}, [1])
    with open(path, "r+b") as f:  # the same file rewritten, as a simulator rewrites its memory
        os.pwrite(f.fileno(), data, 0)
    with pytest.warns(corvex.live.SchemaChanged, match="another variable set"):
        batch = live.latest()
    assert batch.column_names == ["timecodes", "SessionTime", "Gear", "Brake"]
    assert batch.column("Gear").to_pylist() == [3]


# -- torn reads ----------------------------------------------------------------------------

VALUES = 64  # INT variables per record, all holding the record's tick


def torn_writer(path, buffers, stop, invalidate, counts, step=1):
    """Publishes ticks round robin into the snapshot at `path`, each record written in two
    halves with a pause between them; with `invalidate` the buffer's tick is set to -1 first
    (the publisher's rule), without it the writer relies on the ring (the simulator's)."""
    data = open(path, "rb").read()
    table = layout.buffer_descriptors(data)
    record_len = layout.read_fields(data)["buf_len"]
    fd = os.open(path, os.O_RDWR)
    tick = 100
    try:
        while not stop.is_set():
            index = counts[0] % buffers
            offset = table[index][1]
            record = struct.pack("<d", tick / 60.0) + struct.pack(f"<{VALUES}i", *[tick] * VALUES)
            record = record.ljust(record_len, b"\0")
            descriptor = layout.BUFFER_DESCRIPTORS_OFFSET + index * layout.BUFFER_DESCRIPTOR_SIZE
            if invalidate:
                os.pwrite(fd, struct.pack("<i", -1), descriptor)
            half = len(record) // 2
            os.pwrite(fd, record[:half], offset)
            time.sleep(0.0003)
            os.pwrite(fd, record[half:], offset + half)
            os.pwrite(fd, struct.pack("<i", tick), descriptor)
            counts[0] += 1
            tick += step
            time.sleep(0.0005)
    finally:
        os.close(fd)


@pytest.mark.parametrize(
    ("buffers", "invalidate"), [(1, True), (2, True), (4, True), (3, False), (4, False)]
)
def test_a_torn_record_is_never_returned(tmp_path, buffers, invalidate):
    variables = [Var("SessionTime", DOUBLE)] + [Var(f"V{i}", INT) for i in range(VALUES)]
    columns = {"SessionTime": [0.0] * buffers, **{f"V{i}": [0] * buffers for i in range(VALUES)}}
    path = tmp_path / "snap"
    path.write_bytes(build_snapshot(variables, columns, [0] * buffers))
    stop, counts = threading.Event(), [0]
    writer = threading.Thread(target=torn_writer, args=(path, buffers, stop, invalidate, counts))
    live = corvex.live.connect(path, timeout=5)
    writer.start()
    kept = []

    def check(batch, ticks):
        values = np.stack([batch.column(f"V{i}").to_numpy() for i in range(VALUES)])
        assert (values == ticks).all(), "a record mixed from two ticks"
        assert np.array_equal(value_bits(batch.column(0)), np.rint(ticks / 60.0 * 1000))

    try:
        while counts[0] < buffers + 1:  # a whole ring written: a record to read
            time.sleep(0.001)
        deadline = time.monotonic() + 0.8
        while time.monotonic() < deadline:
            for read in (live.latest, lambda: live.next(8, timeout=0.1)):
                batch = read()
                if batch is not None:
                    check(batch, np.asarray(live.last_ticks))
                    kept.append((batch, np.asarray(live.last_ticks)))
    finally:
        stop.set()
        writer.join()
    for batch, ticks in kept:  # records read earlier are unchanged by the records read since
        check(batch, ticks)
    seen = sum(batch.num_rows for batch, _ in kept)
    assert seen > 50 and counts[0] > 50, (seen, counts, live.missed)


def test_missed_ticks_are_counted_exactly(tmp_path):
    """Ticks that never reach the reader (here the writer skips two of every three) are the
    gaps between those it got, batch by batch, whatever the consumer's pauses."""
    variables = [Var("SessionTime", DOUBLE)] + [Var(f"V{i}", INT) for i in range(VALUES)]
    columns = {"SessionTime": [0.0] * 4, **{f"V{i}": [0] * 4 for i in range(VALUES)}}
    path = tmp_path / "snap"
    path.write_bytes(build_snapshot(variables, columns, [0] * 4))
    stop, counts = threading.Event(), [0]
    writer = threading.Thread(target=torn_writer, args=(path, 4, stop, True, counts, 3))
    live = corvex.live.connect(path, timeout=5)
    writer.start()
    ticks, missed = [], 0
    try:
        for _ in range(40):
            batch = live.next(5, timeout=0.5)
            assert batch is not None
            ticks += live.last_ticks
            missed += int(batch.schema.metadata[b"corvex.missed"])
            time.sleep(0.01)  # slower than the writer
    finally:
        stop.set()
        writer.join()
    assert ticks == sorted(set(ticks))
    gaps = sum(b - a - 1 for a, b in zip(ticks, ticks[1:]))
    assert missed == gaps >= 2 * (len(ticks) - 1) and live.missed == missed


# -- hostile layouts ---------------------------------------------------------------------------


def hostile(patch):
    variables = [Var("SessionTime", DOUBLE), Var("Speed", FLOAT)]
    data = bytearray(
        build_snapshot(variables, {"SessionTime": [1.0, 2.0], "Speed": [1.0, 2.0]}, [1, 2])
    )
    patch(data)
    return bytes(data)


HOSTILE = {
    "no buffers": (lambda d: layout.patch_field(d, "num_buf", 0), "1 to 4 record buffers"),
    "two billion buffers": (
        lambda d: layout.patch_field(d, "num_buf", 2_000_000_000),
        "1 to 4 record buffers",
    ),
    "buffer past the end": (
        lambda d: layout.patch_buffer_descriptor(d, 1, 2, len(d) - 4),
        "passes the end of the file",
    ),
    "negative buffer offset": (
        lambda d: layout.patch_buffer_descriptor(d, 0, 1, -64),
        "must be non-negative",
    ),
    "variable headers past the end": (
        lambda d: layout.patch_field(d, "var_header_offset", len(d)),
        "File too small for 2 variable headers",
    ),
    "two billion variables": (
        lambda d: layout.patch_field(d, "num_vars", 2_000_000_000),
        "File too small for 2000000000 variable headers",
    ),
    "session info past the end": (
        lambda d: layout.patch_field(d, "session_info_len", 2_000_000_000),
        "session info",
    ),
    "record length past the end": (
        lambda d: layout.patch_field(d, "buf_len", 2_000_000_000),
        "passes the end of the file",
    ),
    "header cut": (lambda d: d.__delitem__(slice(100, None)), "File too small for header"),
}


@pytest.mark.parametrize("case", HOSTILE, ids=list(HOSTILE))
def test_a_hostile_layout_is_a_clear_error(tmp_path, case):
    patch, message = HOSTILE[case]
    path = tmp_path / "snap"
    path.write_bytes(hostile(patch))
    handle = corvex.reading._extension().live_open(str(path))
    live = corvex.live.Live(handle, str(path))
    with pytest.raises((RuntimeError, OSError), match=message):
        live.latest()
    if case == "no buffers":
        start = time.monotonic()
        with pytest.raises((RuntimeError, OSError), match=message):
            live.wait(timeout=5)  # waited out for a second (a writer may be mid-rewrite)
        assert time.monotonic() - start < 4


def test_ticks_that_go_back_start_a_new_run_and_a_cut_file_is_followed(tmp_path):
    variables = [Var("SessionTime", DOUBLE)]
    path = tmp_path / "snap"
    path.write_bytes(build_snapshot(variables, {"SessionTime": [1.0, 2.0]}, [40, 41]))
    live = corvex.live.connect(path, timeout=5)
    assert live.latest() is not None and live.last_ticks == [41]
    data = bytearray(path.read_bytes())
    layout.patch_buffer_descriptor(data, 0, 3, layout.buffer_descriptors(data)[0][1])
    layout.patch_buffer_descriptor(data, 1, -1, layout.buffer_descriptors(data)[1][1])
    with open(path, "r+b") as f:
        os.pwrite(f.fileno(), bytes(data[:112]), 0)
    batch = live.wait(timeout=1)  # the simulator started again: tick 3 is new, not old
    assert batch is not None and live.last_ticks == [3]
    assert batch.column("timecodes").to_pylist() == [1000]
    # A file cut under the reader: an error or a wait, never a fault.
    os.truncate(path, 50)
    with pytest.raises((RuntimeError, OSError)):
        live.latest()


# -- connecting, replaying, recording -----------------------------------------------------------


def test_connect_waits_for_the_file_and_says_what_is_missing(tmp_path):
    start = time.monotonic()
    with pytest.raises(TimeoutError, match="no live telemetry after 0.3 s"):
        corvex.live.connect(tmp_path / "absent", timeout=0.3)
    variables = [Var("SessionTime", DOUBLE)]
    data = bytearray(build_snapshot(variables, {"SessionTime": [1.0]}, [1]))
    layout.patch_field(data, "status", 0)
    (tmp_path / "off").write_bytes(data)
    with pytest.raises(TimeoutError, match="no writer connected"):
        corvex.live.connect(tmp_path / "off", timeout=0.3)
    assert time.monotonic() - start < 3


def test_a_replay_publishes_at_the_files_pace_and_every_tick_is_accounted_for(tmp_path):
    """Every tick from the first one read to the last is read or counted missed (on a quiet
    machine none is missed; `make live-check` holds the chain to that), in order, each with the
    file's values; the replay takes at least the file's own time."""
    variables = [Var("SessionTime", DOUBLE), Var("Speed", FLOAT)]
    n = 30
    source = tmp_path / "s.ibt"
    source.write_bytes(
        build_ibt(variables, {"SessionTime": [i / 60 for i in range(n)], "Speed": list(range(n))})
    )
    target = tmp_path / "live"
    done: dict[str, object] = {}

    def publish():
        done.update(corvex.live.replay(source, target, speed=1.0, lead_in=0.5))

    publisher = threading.Thread(target=publish)
    publisher.start()
    live = corvex.live.connect(target, timeout=5)
    ticks = []
    for batch in live.stream(every=7, timeout=1):
        assert batch.column("Speed").to_pylist() == [t - 1 for t in live.last_ticks]
        ticks += live.last_ticks
    publisher.join()
    assert ticks == sorted(set(ticks)) and ticks[-1] == n  # the last, read after the writer left
    assert len(ticks) + live.missed == n - ticks[0] + 1
    assert done["published"] == n and done["seconds"] >= (n - 1) / 60 * 0.99  # lead-in apart
    assert oct(os.stat(target).st_mode & 0o777) == oct(0o600)


@pytest.mark.parametrize(
    ("argv", "message"),
    [
        (["--speed", "0", "--path", "x"], "--speed takes"),
        (["--speed", "fast", "--path", "x"], "--speed takes"),
        ([], "pass --path FILE"),
    ],
)
def test_replay_refuses_what_it_cannot_do(tmp_path, capsys, argv, message):
    from corvex.cli import main

    source = tmp_path / "s.ibt"
    source.write_bytes(build_ibt([Var("SessionTime", DOUBLE)], {"SessionTime": [0.0]}))
    assert main(["replay", str(source), *argv]) == 1
    assert message in capsys.readouterr().err


@pytest.mark.parametrize("which", ["writer", "real"])
def test_lap_table_of_columns_is_the_file_readers(request, minute, which):
    log = minute[1] if which == "writer" else corvex.open(request.getfixturevalue("real_file"))
    laps = corvex.reading._extension().lap_table(
        np.ascontiguousarray(log.timecodes.to_numpy()),
        np.ascontiguousarray(log["Lap"].column(1).to_numpy().astype(np.int32)),
        np.ascontiguousarray(log["OnPitRoad"].column(1).to_numpy(zero_copy_only=False)).astype(
            np.uint8
        ),
        np.ascontiguousarray(log["LapDistPct"].column(1).to_numpy().astype(np.float32)),
    )
    assert laps.equals(log.laps) and laps.num_rows > 0
