"""Live telemetry snapshots: corvex.open_snapshot, its buffer table checks and corvex info."""

from __future__ import annotations

import itertools
import json
import struct

import pytest

import corvex
from corvex.cli import main
from corvex.testing import BOOL, DOUBLE, FLOAT, INT, Var, build_ibt, build_snapshot, layout

pytest.importorskip("corvex._corvex_rs")

VARIABLES = [
    Var("SessionTime", DOUBLE, unit="s"),
    Var("Speed", FLOAT, unit="m/s"),
    Var("OnPitRoad", BOOL),
    Var("CarIdxLap", INT, count=4),
]
INFO = "---\nWeekendInfo:\n TrackName: ring\n"


def snapshot(ticks: list[int], **options: object) -> bytes:
    n = len(ticks)
    columns = {
        "SessionTime": [100.0 + i for i in range(n)],
        "Speed": [10.0 * (i + 1) for i in range(n)],
        "OnPitRoad": [i % 2 for i in range(n)],
        "CarIdxLap": [(i, i + 1, i + 2, -i) for i in range(n)],
    }
    return build_snapshot(VARIABLES, columns, ticks, session_info=INFO, **options)


def expected_record(data: bytes, index: int) -> dict[str, object]:
    """The values of buffer `index`, read with struct from the buffer table and var headers."""
    offset = layout.buffer_descriptors(data)[index][1]
    out: dict[str, object] = {}
    for var in layout.read_var_headers(data):
        at = offset + var.offset
        if var.type == DOUBLE:
            out[var.name] = struct.unpack_from("<d", data, at)[0]
        elif var.type == FLOAT:
            out[var.name] = struct.unpack_from("<f", data, at)[0]
        elif var.type == BOOL:
            out[var.name] = data[at] != 0
        else:
            out[var.name] = list(struct.unpack_from(f"<{var.count}i", data, at))
    return out


ORDERS = [list(p) for n in (1, 2, 3, 4) for p in itertools.permutations([5, 9, 7, 2][:n])]


@pytest.mark.parametrize("ticks", ORDERS + [[3, 8, 8], [-4, -2, -9], [0, 0, 0]])
def test_the_newest_buffer_is_read(tmp_path, ticks):
    data = snapshot(ticks)
    newest = ticks.index(max(ticks))  # the first of equal tick counts
    want = expected_record(data, newest)
    path = tmp_path / "live.bin"
    path.write_bytes(data)
    for source in (path, data):
        log = corvex.open_snapshot(source)
        assert log.record_count == 1
        got = {name: table.column(1)[0].as_py() for name, table in log.channels.items()}
        got["CarIdxLap"] = log.arrays["CarIdxLap"].column(1)[0].as_py()
        assert got == want
        assert log.timecodes.to_pylist() == [round(want["SessionTime"] * 1000)]
        buffers = layout.buffer_descriptors(data)[: len(ticks)]
        assert log.metadata["snapshot"] == {"buffers": buffers, "newest": newest}
        assert log.metadata["track_name"] == "ring"
        assert log.session_info["WeekendInfo"]["TrackName"] == "ring"


def table_of(data: bytes) -> tuple[int, list[tuple[int, int]]]:
    return layout.read_field(data, "buf_len"), layout.buffer_descriptors(data)


def hostile(change: str) -> bytes:
    data = bytearray(snapshot([1, 2, 3]))
    buf_len, descriptors = table_of(data)
    if change.startswith("num_buf="):
        layout.patch_field(data, "num_buf", int(change.split("=")[1]))
    elif change == "negative offset":
        layout.patch_buffer_descriptor(data, 1, 2, -16)
    elif change == "past the end":
        layout.patch_buffer_descriptor(data, 2, 3, len(data) + 64)
    elif change == "one byte past the end":
        layout.patch_buffer_descriptor(data, 2, 3, len(data) - buf_len + 1)
    elif change == "overlap by one byte":
        layout.patch_buffer_descriptor(data, 2, 3, descriptors[0][1] + buf_len - 1)
    elif change == "same offset":
        layout.patch_buffer_descriptor(data, 1, 2, descriptors[0][1])
    elif change == "offset at 2**31-1":
        layout.patch_buffer_descriptor(data, 0, 1, 2**31 - 1)
    return bytes(data)


@pytest.mark.parametrize(
    "change, message",
    [
        ("num_buf=0", "1 to 4 record buffers, the header says 0"),
        ("num_buf=5", "the header says 5"),
        ("num_buf=-1", "the header says -1"),
        ("num_buf=2000000000", "the header says 2000000000"),
        ("negative offset", "Buffer 1 offset must be non-negative, got -16"),
        ("past the end", "Buffer 2 at offset"),
        ("one byte past the end", "passes the end of the file"),
        ("overlap by one byte", "Buffer 2 at offset"),
        ("same offset", "overlaps buffer 0"),
        ("offset at 2**31-1", "Buffer 0 at offset 2147483647"),
    ],
)
def test_hostile_buffer_tables_are_refused(tmp_path, change, message):
    data = hostile(change)
    with pytest.raises(RuntimeError, match="Invalid header") as raised:
        corvex.open_snapshot(data)
    assert message in str(raised.value)
    path = tmp_path / "live.bin"
    path.write_bytes(data)
    with pytest.raises(OSError, match=str(path)):
        corvex.open_snapshot(path)


def test_adjacent_buffers_are_accepted():
    data = bytearray(snapshot([1, 2, 3]))
    buf_len, descriptors = table_of(data)
    layout.patch_buffer_descriptor(data, 2, 9, descriptors[1][1] + buf_len)  # touches buffer 1
    log = corvex.open_snapshot(bytes(data))
    assert log.metadata["snapshot"]["newest"] == 2


def test_a_snapshot_given_to_open_says_what_reads_it(tmp_path, capsys):
    # The writer's snapshot has variable headers where a recording's record count lies: read as
    # a recording it has no records, and the warning says what it is.
    with pytest.warns(corvex.CorvexWarning, match="corvex.open_snapshot reads it"):
        log = corvex.open(snapshot([1, 2, 3]))
    assert log.record_count == 0
    # The command line names its own way to read it.
    path = tmp_path / "live.bin"
    path.write_bytes(snapshot([1, 2, 3]))
    assert main(["laps", str(path)]) == 0
    err = capsys.readouterr().err
    assert "corvex info shows it" in err and "open_snapshot" not in err


@pytest.mark.parametrize("as_path", [True, False])
def test_a_recording_given_to_open_snapshot_is_refused(tmp_path, as_path):
    data = build_ibt(VARIABLES, {"SessionTime": [1.0, 2.0, 3.0], "Speed": [5.0, 6.0, 7.0]})
    path = tmp_path / "recording.ibt"
    path.write_bytes(data)
    with pytest.raises(ValueError, match="a disk recording of 3 records.*corvex.open reads it"):
        corvex.open_snapshot(path if as_path else data)
    assert corvex.open(path).record_count == 3


@pytest.mark.parametrize("as_json", [False, True])
def test_info_shows_a_snapshot_and_its_values(tmp_path, capsys, as_json):
    data = snapshot([4, 6, 5])
    path = tmp_path / "live.bin"
    path.write_bytes(data)
    want = expected_record(data, 1)
    assert main(["info", str(path), *(["--json"] if as_json else [])]) == 0
    out = capsys.readouterr().out
    if as_json:
        facts = json.loads(out)
        assert facts["kind"] == "live telemetry snapshot"
        assert facts["tick_count"] == 6 and facts["newest_buffer"] == 1
        assert {k: v["value"] for k, v in facts["values"].items()} == want
        assert facts["values"]["Speed"]["unit"] == "m/s"
        return
    assert "live telemetry snapshot" in out and "tick counts 4, 6, 5" in out
    lines = {line.split()[0]: line.split()[1:] for line in out.splitlines() if line[:2] == "  "}
    assert lines["Speed"] == [str(want["Speed"]), "m/s"]
    assert " ".join(lines["CarIdxLap"]) == str(want["CarIdxLap"])
