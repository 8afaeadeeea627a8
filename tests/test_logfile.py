"""LogFile conveniences: wide table, lap selection, Arrow stream export, repr, corvex.open.

The first half works on hand-built tables (no extension needed); the second reads files made by
the project's writer and compares against an independent struct reading of their bytes.
"""

from __future__ import annotations

import io
import math
import sys
from pathlib import Path

import pyarrow as pa
import pytest
from _helpers import RawIbt

import corvex
from corvex.base import LogFile
from corvex.formatting import format_lap_time

LAP_FIELDS = [
    pa.field("num", pa.int32(), nullable=False),
    pa.field("start_time", pa.int64(), nullable=False),
    pa.field("end_time", pa.int64(), nullable=False),
    pa.field("lap_type", pa.string(), nullable=False),
    pa.field("session", pa.int32(), nullable=False),
]


def channel(
    name: str, time: pa.Array, values: pa.Array, units: str = "", desc: str = ""
) -> pa.Table:
    interpolate = "True" if pa.types.is_floating(values.type) else "False"
    meta = {b"units": units.encode(), b"desc": desc.encode(), b"interpolate": interpolate.encode()}
    schema = pa.schema(
        [
            pa.field("timecodes", pa.int64(), nullable=False),
            pa.field(name, values.type, nullable=False, metadata=meta),
        ]
    )
    return pa.Table.from_batches([pa.RecordBatch.from_arrays([time, values], schema=schema)])


def lap_table(rows: list[tuple[int, int, int, str, int]]) -> pa.Table:
    columns = list(zip(*rows)) if rows else [[]] * 5
    return pa.Table.from_arrays(
        [pa.array(c, f.type) for c, f in zip(columns, LAP_FIELDS)], schema=pa.schema(LAP_FIELDS)
    )


def make_log(
    times: list[int], laps: list[tuple[int, int, int, str, int]], lap_values=None, **meta
) -> LogFile:
    """Speed = 10 * record index, Gear = record index, OnPitRoad alternating; one shared time.

    ``lap_values`` adds a "Lap" channel.
    """
    time = pa.array(times, pa.int64())
    n = len(times)
    channels = {
        "Speed": channel(
            "Speed", time, pa.array([10.0 * i for i in range(n)], pa.float32()), "m/s", "GPS speed"
        ),
        "Gear": channel("Gear", time, pa.array(list(range(n)), pa.int32()), "", "Gear"),
        "OnPitRoad": channel(
            "OnPitRoad", time, pa.array([i % 2 == 0 for i in range(n)]), "", "Pit"
        ),
    }
    if lap_values is not None:
        channels["Lap"] = channel("Lap", time, pa.array(lap_values, pa.int32()), "", "Laps started")
    metadata = {"session_info_yaml": "", "tick_rate": 10, "record_count": n, **meta}
    return LogFile(channels, lap_table(laps), metadata, "/tmp/synthetic.ibt")


def address(column: pa.ChunkedArray) -> tuple[int, int]:
    """(data buffer address, offset) of a one-chunk column."""
    (chunk,) = column.chunks
    return chunk.buffers()[-1].address, chunk.offset


THREE_LAPS = [(0, 0, 300, "out", 0), (1, 300, 700, "full", 0), (2, 700, 900, "in", 0)]


# -- wide table ------------------------------------------------------------------------------


def test_to_table_shares_buffers_and_keeps_metadata():
    log = make_log([i * 100 for i in range(10)], THREE_LAPS)
    wide = log.to_table()
    assert wide.column_names == ["timecodes", "Speed", "Gear", "OnPitRoad"]
    for name in log.channel_names:
        assert address(wide.column("timecodes")) == address(log[name].column(0))
        assert address(wide.column(name)) == address(log[name].column(1))
        assert wide.schema.field(name).metadata == log[name].schema.field(1).metadata
    assert wide.schema.field("Speed").metadata[b"units"] == b"m/s"
    assert not wide.schema.field("Speed").nullable


@pytest.mark.parametrize(
    "picked, expected",
    [
        (["Gear", "Speed"], ["timecodes", "Gear", "Speed"]),
        ("Gear", ["timecodes", "Gear"]),
        (["Gear", "Gear"], ["timecodes", "Gear"]),
        ([], ["timecodes"]),
    ],
)
def test_to_table_picks_channels_in_the_given_order(picked, expected):
    log = make_log([0, 100, 200], THREE_LAPS[:1])
    assert log.to_table(picked).column_names == expected


def test_unknown_channel_names_the_close_match():
    log = make_log([0, 100], [])
    with pytest.raises(KeyError, match="Sped.*did you mean Speed"):
        log.to_table(["Sped"])
    with pytest.raises(KeyError, match="'Nope'"):
        log["Nope"]


def test_to_table_accepts_an_equal_copy_of_the_time_column_and_rejects_another():
    log = make_log([0, 100, 200], [])
    copy = pa.array([0, 100, 200], pa.int64())
    log.channels["Copy"] = channel("Copy", copy, pa.array([1.0, 2.0, 3.0]))
    assert log.to_table(["Speed", "Copy"]).column("Copy").to_pylist() == [1.0, 2.0, 3.0]
    log.channels["Other"] = channel(
        "Other", pa.array([0, 100, 201], pa.int64()), pa.array([1.0, 2.0, 3.0])
    )
    with pytest.raises(ValueError, match="'Other'"):
        log.to_table(["Speed", "Other"])


def test_no_channels():
    log = LogFile({}, lap_table([]), {"record_count": 0}, "<bytes>")
    assert log.to_table().column_names == ["timecodes"]
    assert log.to_table().num_rows == 0
    assert log.channel_names == []
    assert "channels: 0" in repr(log)
    with pytest.raises(KeyError, match="no lap 1"):
        log.lap(1)


# -- laps ------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "times, laps, num, records",
    [
        # a lap ends where the next begins: the end is exclusive ...
        ([0, 100, 200, 300, 400, 500, 600, 700, 800, 900], THREE_LAPS, 0, [0, 1, 2]),
        ([0, 100, 200, 300, 400, 500, 600, 700, 800, 900], THREE_LAPS, 1, [3, 4, 5, 6]),
        # ... except for the last lap, which ends at its own last record
        ([0, 100, 200, 300, 400, 500, 600, 700, 800, 900], THREE_LAPS, 2, [7, 8, 9]),
        # a one-record lap at the very end starts and ends at the last timecode
        (
            [0, 100, 200, 300],
            [(2, 0, 300, "full", 0), (3, 300, 300, "incomplete", 0)],
            2,
            [0, 1, 2],
        ),
        ([0, 100, 200, 300], [(2, 0, 300, "full", 0), (3, 300, 300, "incomplete", 0)], 3, [3]),
        # a gap in the session time does not move the boundaries
        (
            [0, 100, 5000, 5100, 5200],
            [(1, 0, 5100, "full", 0), (2, 5100, 5200, "in", 0)],
            1,
            [0, 1, 2],
        ),
    ],
)
@pytest.mark.parametrize("with_lap_channel", [False, True])
def test_lap_selects_the_records_between_start_and_end(times, laps, num, records, with_lap_channel):
    lap_values = None
    if with_lap_channel:  # the runs of "Lap" the table was built from
        lap_values = [n for n, start, end, _, _ in laps for t in times if start <= t < end]
        lap_values += [laps[-1][0]] * (len(times) - len(lap_values))
    log = make_log(times, laps, lap_values)
    lap = log.lap(num)
    assert lap.to_table(["Gear"]).column("Gear").to_pylist() == records
    assert lap["Speed"].column(1).to_pylist() == [10.0 * r for r in records]
    assert lap.laps.num_rows == 1 and lap.laps.column("num")[0].as_py() == num
    assert lap.metadata["record_count"] == len(records)


@pytest.mark.parametrize(
    "times, lap_values, laps, expected",
    [
        # the session clock restarts with a new session: the times alone are ambiguous
        (
            [500, 600, 700, 0, 100, 200],
            [3, 3, 3, 0, 0, 0],
            [(3, 500, 0, "in", 0), (0, 0, 200, "out", 1)],
            {3: [0, 1, 2], 0: [3, 4, 5]},
        ),
        # "Lap" runs that do not match the table are ignored: the times decide
        (
            [500, 600, 700, 800],
            [1, 1, 1, 1],
            [(3, 500, 700, "full", 0), (0, 700, 800, "out", 1)],
            {3: [0, 1], 0: [2, 3]},
        ),
    ],
)
def test_lap_runs_decide_when_the_clock_restarts(times, lap_values, laps, expected):
    log = make_log(times, laps, lap_values)
    for num, records in expected.items():
        assert log.lap(num)["Gear"].column(1).to_pylist() == records


def test_ambiguous_lap_number_needs_a_session():
    log = make_log([0, 100, 200, 0, 100, 200], [(1, 0, 0, "full", 0), (1, 0, 200, "full", 1)])
    with pytest.raises(ValueError, match=r"lap 1 occurs 2 times; pick one with session= \(0, 1\)"):
        log.lap(1)


def test_lap_by_session_and_missing_laps():
    log = make_log([0, 100, 200, 300, 400, 500], [(1, 0, 300, "full", 0), (1, 300, 500, "full", 1)])
    assert log.lap(1, session=1)["Gear"].column(1).to_pylist() == [3, 4, 5]
    assert log.lap(1, session=0)["Gear"].column(1).to_pylist() == [0, 1, 2]
    with pytest.raises(KeyError, match="no lap 7 .*laps: 1"):
        log.lap(7)
    with pytest.raises(KeyError, match="no lap 1 in session 2"):
        log.lap(1, session=2)


def test_lap_slices_without_copying():
    log = make_log([i * 100 for i in range(10)], THREE_LAPS)
    lap = log.lap(1)
    base_time, _ = address(log["Speed"].column(0))
    base_speed, _ = address(log["Speed"].column(1))
    assert address(lap["Speed"].column(0)) == (base_time, 3)
    assert address(lap["Speed"].column(1)) == (base_speed, 3)
    wide = lap.to_table()
    assert address(wide.column("timecodes")) == (base_time, 3)


def test_a_lap_knows_its_row_its_time_and_its_recording(monkeypatch):
    monkeypatch.setattr(
        "shutil.get_terminal_size", lambda fallback=(80, 24): type("S", (), {"columns": 100})()
    )
    log = make_log([i * 100 for i in range(10)], THREE_LAPS)
    lap = log.lap(1)
    assert (lap.num, lap.num.session, lap.session, lap.row, lap.lap_type) == (1, 0, 0, 1, "full")
    assert lap.log is log and log.lap(lap.num).row == 1
    # It runs from 300 ms to where lap 2 starts, 700 ms; its last record is at 600 ms.
    assert (lap.lap_time, lap.duration, lap.record_count) == (0.4, 0.3, 4)
    assert not lap.valid  # it touched pit road
    assert lap.metadata["record_count"] == 4 and log.metadata["record_count"] == 10
    assert lap.lap_summary.to_pylist() == log.lap_summary.slice(1, 1).to_pylist()
    lines = repr(lap).splitlines()
    assert lines[0] == "<corvex.Lap 1 of session 0 in /tmp/synthetic.ibt"
    assert lines[1] == "  lap time: 0:00.400 (full, not valid: out)"
    assert lines[-1].endswith(">")
    with pytest.raises(IndexError, match="row 3 out of range"):
        log.lap_at(3)


def test_lap_summary_gives_lap_times_in_seconds():
    log = make_log([i * 100 for i in range(10)], THREE_LAPS)
    summary = log.lap_summary
    assert summary.column_names == [
        "num",
        "start_time",
        "end_time",
        "lap_type",
        "session",
        "lap_time",
        "valid",
        "status",
        "sector_1",  # no split info: the whole lap is one sector
    ]
    assert summary.column("lap_time").to_pylist() == pytest.approx([0.3, 0.4, 0.2])
    assert summary.column("sector_1").to_pylist() == [None, pytest.approx(0.4), None]
    # The only "full" lap touched pit road (OnPitRoad alternates), so no lap is valid.
    assert summary.column("valid").to_pylist() == [False, False, False]
    assert log.fastest_lap is None


@pytest.mark.parametrize(
    "seconds, text",
    [
        (0.0, "0:00.000"),
        (72.6164, "1:12.616"),
        (59.9996, "1:00.000"),
        (3725.5, "1:02:05.500"),
        (-1.5, "-0:01.500"),
    ],
)
def test_format_lap_time(seconds, text):
    assert format_lap_time(seconds) == text


# -- Arrow stream export ---------------------------------------------------------------------


def test_pyarrow_and_polars_take_the_log_through_the_stream_protocol():
    polars = pytest.importorskip("polars")
    log = make_log([i * 100 for i in range(10)], THREE_LAPS)
    assert pa.table(log).equals(log.to_table())
    frame = polars.DataFrame(log)
    assert frame.columns == ["timecodes", "Speed", "Gear", "OnPitRoad"]
    assert frame["Gear"].to_list() == list(range(10))
    assert frame["OnPitRoad"].to_list() == [i % 2 == 0 for i in range(10)]


def test_stream_honours_a_requested_schema():
    log = make_log([0, 100, 200], [])
    wanted = pa.schema(
        [
            ("timecodes", pa.int64()),
            ("Speed", pa.float64()),
            ("Gear", pa.int64()),
            ("OnPitRoad", pa.bool_()),
        ]
    )
    if hasattr(pa.RecordBatchReader, "from_stream"):
        reader = pa.RecordBatchReader.from_stream(log, schema=wanted)
    else:  # pyarrow 14 has only the capsule import
        stream = log.__arrow_c_stream__(wanted.__arrow_c_schema__())
        reader = pa.RecordBatchReader._import_from_c_capsule(stream)
    table = reader.read_all()
    assert table.schema.types == wanted.types
    assert table.column("Speed").to_pylist() == [0.0, 10.0, 20.0]


# -- repr and session info -------------------------------------------------------------------


@pytest.mark.parametrize("columns", [40, 60, 100])
def test_repr_fits_the_terminal(monkeypatch, columns):
    monkeypatch.setattr(
        "shutil.get_terminal_size", lambda fallback=(80, 24): type("S", (), {"columns": columns})()
    )
    log = make_log(
        [i * 100 for i in range(10)],
        THREE_LAPS,
        track_display_name="A Very Long Circuit Name " * 4,
        track_city="Somewhere",
        track_country="Nowhere",
        track_length="4.32 km",
    )
    log.source = "/a/very/long/path/" * 10 + "session.ibt"
    lines = repr(log).splitlines()
    assert lines[0].startswith("<corvex.LogFile") and lines[-1].endswith(">")
    assert all(len(line) <= columns for line in lines)
    assert len(lines) <= 6


def test_session_info_property_parses_the_raw_text():
    log = make_log(
        [0], [], session_info_yaml='---\nDriverInfo:\n Drivers:\n - UserName: A "B" #1\n...\n'
    )
    assert log.session_info == {"DriverInfo": {"Drivers": [{"UserName": 'A "B" #1'}]}}
    assert make_log([0], [], session_info_yaml="").session_info == {}


# -- files built by the writer, compared with a struct reading -------------------------------

CHECKED = [
    "SessionTime",
    "Speed",
    "Gear",
    "OnPitRoad",
    "SessionFlags",
    "DisplayUnits",
    "Lat",
    "Lap",
]


@pytest.fixture(scope="module")
def sample(tmp_path_factory) -> tuple[Path, RawIbt]:
    pytest.importorskip("corvex._corvex_rs")
    from corvex.testing import write_sample

    path = write_sample(tmp_path_factory.mktemp("sample") / "sample.ibt")
    return path, RawIbt(path.read_bytes())


def test_wide_table_of_a_written_file_matches_the_bytes(sample):
    path, raw = sample
    log = corvex.open(str(path))
    wide = log.to_table(CHECKED)
    assert wide.num_rows == raw.record_count
    assert wide.column("timecodes").to_pylist() == raw.timecodes()
    for name in CHECKED:
        expected = raw.values(name)
        got = wide.column(name).to_pylist()
        assert got == expected, name
    first = log[CHECKED[0]].column(0)
    for name in log.channel_names:
        assert address(log[name].column(0)) == address(first)
    assert address(log.to_table().column("timecodes")) == address(first)
    assert set(log.channel_names) == set(raw.scalar_names())


def test_lap_of_a_written_file_is_the_run_of_its_lap_number(sample):
    path, raw = sample
    log = corvex.open(str(path))
    runs = raw.lap_runs()
    assert log.laps.column("num").to_pylist() == [num for num, _, _ in runs]
    speed = raw.values("Speed")
    times = raw.timecodes()
    for num, first, stop in runs:
        lap = log.lap(num)
        assert lap.record_count == stop - first
        assert lap.to_table(["Lap"]).column("Lap").to_pylist() == [num] * (stop - first)
        assert lap["Speed"].column(1).to_pylist() == speed[first:stop]
        end = times[stop] if stop < len(times) else times[-1]
        assert lap.lap_summary.column("lap_time")[0].as_py() == pytest.approx(
            (end - times[first]) / 1000
        )


def test_to_pandas_and_polars_on_a_written_file(sample):
    pytest.importorskip("pandas")
    polars = pytest.importorskip("polars")
    path, raw = sample
    log = corvex.open(str(path))
    frame = log.to_pandas(["Speed", "Gear"])
    assert list(frame.columns) == ["timecodes", "Speed", "Gear"]
    assert frame["Gear"].tolist() == raw.values("Gear")
    lap = log.lap(2)
    pl_frame = polars.DataFrame(lap)
    assert pl_frame.height == lap.record_count
    assert pl_frame["Lap"].unique().to_list() == [2]


@pytest.mark.parametrize("kind", ["path", "pathlike", "bytes", "file"])
def test_open_accepts_every_kind_of_source(sample, kind):
    path, raw = sample
    source = {
        "path": str(path),
        "pathlike": path,
        "bytes": path.read_bytes(),
        "file": io.BytesIO(path.read_bytes()),
    }[kind]
    calls = []
    log = corvex.open(source, progress=lambda done, total: calls.append((done, total)))
    assert isinstance(log, LogFile)
    assert log.record_count == raw.record_count
    assert calls[-1] == (len(raw.scalar_names()), len(raw.scalar_names()))


def test_open_without_the_extension_says_how_to_build_it(monkeypatch):
    monkeypatch.setitem(sys.modules, "corvex._corvex_rs", None)
    monkeypatch.delattr(corvex, "_corvex_rs", raising=False)
    with pytest.raises(ImportError, match="make install"):
        corvex.open("whatever.ibt")


def test_real_file(real_file):
    pytest.importorskip("corvex._corvex_rs")
    raw = RawIbt(real_file.read_bytes())
    log = corvex.open(str(real_file))
    assert log.to_table(["Speed"]).column("Speed").to_pylist() == raw.values("Speed")
    for num, first, stop in raw.lap_runs():
        assert log.lap(num)["Speed"].column(1).to_pylist() == raw.values("Speed")[first:stop]
    info = log.session_info
    assert info["WeekendInfo"]["TrackName"] == log.metadata["track_name"]
    assert str(info["WeekendInfo"]["TrackLength"]) == log.metadata["track_length"]
    assert all(len(line) <= 200 for line in repr(log).splitlines())
    assert not math.isnan(log.duration)
