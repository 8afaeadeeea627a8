"""MoTeC export: every value of an IBT file reads back from the .ld file, the header holds the
session's texts and the .ldx beacons split the log where the lap table does.

Expected values come from the struct reading of the IBT bytes (tests/_helpers.py) and
from closed forms, never from corvex.motec itself; the .ld files are read back with
``RawLd`` (tests/_helpers.py), at the offsets of docs/motec-ld-format.md, not with
``corvex.motec.read_ld``, which shares its offset table with the writer. ``read_ld`` and
``read_ldx`` are checked against that reading.
"""

from __future__ import annotations

import math
import struct
import time
from pathlib import Path

import pytest
from _helpers import RawIbt, RawLd, lap_time_text, ldx_laps
from hypothesis import given
from hypothesis import strategies as st

import corvex
from corvex.cli import main
from corvex.motec import NAME_LIMIT, ld_names, read_ld, read_ldx, write_motec
from corvex.testing import BITFIELD, CHAR, DOUBLE, FLOAT, INT, Bits, Var, build_ibt, lap_variables

pytest.importorskip("numpy")
pytest.importorskip("corvex._corvex_rs")

LONG_A = "SteeringWheelTorqueAtTheRackNo_1"  # 32 characters, the most an IBT name holds
LONG_B = "SteeringWheelTorqueAtTheRackNo_2"  # the same first 31 characters as LONG_A
SESSION_INFO = (
    "---\nWeekendInfo:\n TrackDisplayName: Testbahn\n TrackConfigName: Nord\n"
    " EventType: Race\nSessionInfo:\n Sessions:\n - SessionNum: 0\n   SessionName: RACE\n"
    "DriverInfo:\n DriverCarIdx: 1\n Drivers:\n - CarIdx: 0\n   UserName: Other\n"
    " - CarIdx: 1\n   UserName: Zoë Ng\n   CarScreenName: Proto 9\n...\n"
)


def typed_session(records: int, laps: list[int], pct: list[float]) -> bytes:
    """Every IBT type with awkward values, the two long names, and the lap table inputs."""
    n = records
    floats = [Bits(0x7FC0_1234), -0.0, 3.4e38, float("inf"), 1.5e-45, 0.1, -7.25, 2.0]
    doubles = [0.1, 1e300, -1e-320, 47.2196001234567, float("-inf"), 3.0, 1 / 3, -2.5]
    variables = [
        *lap_variables(),
        Var("Gear", INT),
        Var("SessionFlags", BITFIELD, unit="irsdk_Flags"),
        Var("CamGroup", CHAR),
        Var("Float32", FLOAT, unit="a unit longer than twelve"),
        Var("Lat", DOUBLE, unit="deg"),
        Var(LONG_A, FLOAT),
        Var(LONG_B, FLOAT),
    ]
    columns = {
        "SessionTime": [100.0 + i / 60 for i in range(n)],
        "Lap": laps,
        "LapDistPct": pct,
        "OnPitRoad": [2 if i < 10 or i >= n - 10 else 0 for i in range(n)],  # 2 is true as well
        "Gear": [-(2**31) if i == 1 else (-1) ** i * (i % 9) for i in range(n)],
        "SessionFlags": [0x8000_0001 if i % 2 else 0x0004_0000 for i in range(n)],
        "CamGroup": [(7 * i) % 256 for i in range(n)],
        "Float32": [floats[i % len(floats)] for i in range(n)],
        "Lat": [doubles[i % len(doubles)] for i in range(n)],
        LONG_A: [float(i) for i in range(n)],
        LONG_B: [-float(i) for i in range(n)],
    }
    return build_ibt(
        variables, columns, session_info=SESSION_INFO, session_start_date=1_700_000_000
    )


def full_laps_session() -> bytes:
    n = 360  # laps 0 to 3, 90 records each; laps 1 and 2 run from 0 to 1 of the lap distance
    return typed_session(n, [i // 90 for i in range(n)], [(i % 90) / 89 for i in range(n)])


SESSIONS = {
    "laps": full_laps_session,
    "one record": lambda: typed_session(1, [1], [0.5]),
    "no full lap": lambda: typed_session(120, [i // 40 for i in range(120)], [0.5] * 120),
    "no records": lambda: typed_session(0, [], []),
}


@pytest.fixture(params=[*SESSIONS, "sample", "real"])
def ibt_file(request, tmp_path) -> Path:
    if request.param == "real":
        return request.getfixturevalue("real_file")
    if request.param == "sample":
        from corvex.testing import write_sample

        return write_sample(tmp_path / "sample.ibt")
    path = tmp_path / "session.ibt"
    path.write_bytes(SESSIONS[request.param]())
    return path


def stored_float(value: float) -> int:
    """Bits of the float32 nearest to a double; beyond float32's range, infinity."""
    try:
        return struct.unpack("<I", struct.pack("<f", value))[0]
    except OverflowError:
        return struct.unpack("<I", struct.pack("<f", math.copysign(math.inf, value)))[0]


def expected_samples(raw: RawIbt, name: str) -> tuple[str, list[int]]:
    """The .ld type of a variable and its samples as the integers the .ld bytes must hold."""
    var = raw.var(name)
    if var.type == FLOAT:
        return "f4", raw.bits(var)
    if var.type == DOUBLE:
        return "f4", [stored_float(v) for v in raw.values(var)]
    if var.type in (INT, BITFIELD):
        return "i4", [v & 0xFFFF_FFFF for v in raw.values(var)]
    return "i2", [int(v) for v in raw.values(var)]


def test_round_trip(ibt_file, tmp_path):
    raw = RawIbt(ibt_file.read_bytes())
    log = corvex.open(ibt_file)
    ld_path, ldx_path = write_motec(log, tmp_path / "out.ld")
    assert ldx_path == tmp_path / "out.ldx" and sorted(tmp_path.glob("out.*")) == [
        ld_path,
        ldx_path,
    ]
    ld = RawLd(ld_path.read_bytes())
    assert (ld.marker, ld.pro_logging) == (0x40, 0xC81A4)

    names = raw.scalar_names()
    assert [c.name for c in ld.channels] == ld_names(names)
    assert ld.channel_count == len(names)
    # A doubly linked list in channel order; the samples follow the last block, back to back.
    blocks = [c.at for c in ld.channels]
    assert ld.channel_ptr == blocks[0] and blocks == sorted(blocks)
    assert [c.prev for c in ld.channels] == [0, *blocks[:-1]]
    assert [c.next for c in ld.channels] == [*blocks[1:], 0]
    ends = [blocks[-1] + 124] + [c.data_ptr + c.count * c.sample_size for c in ld.channels]
    assert [ld.data_ptr] + [c.data_ptr for c in ld.channels] == ends[:1] + ends[:-1]
    assert len(ld.data) == ends[-1]
    for name, channel in zip(names, ld.channels):
        kind, expected = expected_samples(raw, name)
        assert (channel.type_class, channel.sample_size) == {
            "f4": (0x07, 4), "i4": (0x05, 4), "i2": (0x03, 2)
        }[kind]  # fmt: skip
        assert channel.scaling == (0, 1, 1, 0)
        assert channel.rate == raw.tick_rate
        assert channel.unit == raw.var(name).unit[:11]
        assert channel.count == raw.record_count
        assert channel.samples == expected, name

    start = time.gmtime(raw.session_start_date)
    assert ld.date == time.strftime("%d/%m/%Y", start)
    assert ld.time == time.strftime("%H:%M:%S", start)
    assert ld.short_comment == ibt_file.name and ld.long_comment.endswith(f" {ibt_file.name}")
    assert str(ibt_file.parent) not in ld.long_comment  # where it lay only when asked:
    asked, _ = write_motec(log, tmp_path / "asked.ld", names[:1], source_path=True)
    assert RawLd(asked.read_bytes()).long_comment.endswith(f" {ibt_file}")

    runs = raw.lap_runs() if "Lap" in names else []
    beacons, details = ldx_laps(ldx_path)
    assert beacons == [first * 1e6 / raw.tick_rate for _, first, _ in runs[1:]]
    assert details["Total Laps"] == str(len(runs))
    best = log.fastest_lap
    if best is None:
        assert "Fastest Lap" not in details and "Fastest Time" not in details
    else:
        laps = log.laps.to_pylist()
        row = next(
            r for r, lap in enumerate(laps) if (lap["num"], lap["session"]) == (best, best.session)
        )
        lap = laps[row]
        assert details["Fastest Lap"] == str(row + 1)
        assert details["Fastest Time"] == lap_time_text(lap["end_time"] - lap["start_time"])

    # corvex.motec's own reader gives what the document's offsets give.
    ours = read_ld(ld_path)
    assert ours.start == datetime_utc(raw.session_start_date)
    for key in ("driver", "vehicle", "venue", "short_comment", "long_comment", "channel_count"):
        assert getattr(ours, key) == getattr(ld, key), key
    for mine, theirs in zip(ours.channels, ld.channels, strict=True):
        stored = mine.data.view("<u4") if mine.sample_size == 4 else mine.data
        assert (mine.name, mine.rate, stored.tolist()) == (theirs.name, theirs.rate, theirs.samples)
    ldx = read_ldx(ldx_path)
    assert (ldx.beacons_us, ldx.details, ldx.total_laps) == (beacons, details, len(runs))


def datetime_utc(seconds: int):
    from datetime import datetime

    return datetime(*time.gmtime(seconds)[:6])


@pytest.mark.parametrize(
    ("make", "texts"),
    [
        (
            full_laps_session,
            {"driver": "Zoë Ng", "vehicle": "Proto 9", "venue": "Testbahn - Nord",
             "event": "Race", "session": "RACE"},
        ),
        (lambda: build_ibt([Var("SessionTime", DOUBLE)], {"SessionTime": [0.0]}),
         {"driver": "", "vehicle": "", "venue": "", "event": "", "session": ""}),
    ],
)  # fmt: skip
def test_header_texts(make, texts, tmp_path):
    source = tmp_path / "in.ibt"
    source.write_bytes(make())
    ld = RawLd(corvex.open(source).to_motec(tmp_path / "out.ld")[0].read_bytes())
    assert {key: getattr(ld, key) for key in texts} == texts
    assert ld.venue_name == texts["venue"] and ld.vehicle_id == texts["vehicle"]


def test_full_laps_fixture_has_what_it_claims():
    """The lap-table cases above only test something if the fixtures make these laps."""
    path_bytes = full_laps_session()
    log = corvex.open(path_bytes)
    assert log.laps.column("lap_type").to_pylist() == ["out", "full", "full", "in"]
    assert corvex.open(SESSIONS["no full lap"]()).fastest_lap is None


@pytest.mark.parametrize(
    ("names", "expected"),
    [
        (["Speed", "RPM"], ["Speed", "RPM"]),
        ([LONG_A], [LONG_A[:31]]),
        ([LONG_A, LONG_B], [LONG_A[:31], None]),  # None: any other unique name
        ([LONG_A, LONG_A[:31]], [None, LONG_A[:31]]),  # a name that fits keeps its text
        (["speed", "Speed"], ["speed", None]),  # names that differ only in case
        (["Gänge", "G_nge"], [None, "G_nge"]),
    ],
)
def test_ld_names(names, expected):
    result = ld_names(names)
    assert ld_names(names) == result
    assert len({name.casefold() for name in result}) == len(names)
    for name, want in zip(result, expected):
        assert len(name) <= NAME_LIMIT and name.isascii() and name.isprintable()
        if want is not None:
            assert name == want


@given(st.lists(st.text(min_size=1, max_size=40), max_size=12, unique=True))
def test_ld_names_are_short_unique_and_keep_names_that_fit(names):
    result = ld_names(names)
    assert len({name.casefold() for name in result}) == len(names)
    assert all(len(n) <= NAME_LIMIT and n.isascii() and n.isprintable() for n in result)
    first_fitting = {}
    for name in names:
        if name.isascii() and name.isprintable() and len(name) <= NAME_LIMIT:
            first_fitting.setdefault(name.casefold(), name)
    assert {n for n in first_fitting.values()} <= set(result)


def test_cli_exports_one_lap(tmp_path, capsys):
    source = tmp_path / "in.ibt"
    source.write_bytes(full_laps_session())
    raw = RawIbt(source.read_bytes())
    out = tmp_path / "lap.ld"
    status = main(["export", str(source), "-o", str(out), "--lap", "2", "--channels", "Gear,Lap"])
    assert status == 0 and str(out.with_suffix(".ldx")) in capsys.readouterr().out
    _, first, stop = next(run for run in raw.lap_runs() if run[0] == 2)
    ld = RawLd(out.read_bytes())
    assert [c.name for c in ld.channels] == ["Gear", "Lap"]
    assert ld["Gear"].samples == [v & 0xFFFF_FFFF for v in raw.values("Gear")[first:stop]]
    beacons, details = ldx_laps(out.with_suffix(".ldx"))
    assert beacons == [] and details["Fastest Lap"] == "1"


def test_failed_write_leaves_no_files(tmp_path):
    log = corvex.open(full_laps_session())

    def fail(done: int, total: int) -> None:
        raise RuntimeError("stop")

    with pytest.raises(RuntimeError, match="stop"):
        write_motec(log, tmp_path / "out.ld", progress=fail)
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("cut", [100, 2000, 4300, -1])
def test_reader_refuses_a_truncated_file(tmp_path, cut):
    path = corvex.open(full_laps_session()).to_motec(tmp_path / "out.ld")[0]
    path.write_bytes(path.read_bytes()[:cut])
    with pytest.raises(ValueError, match="outside the file"):
        read_ld(path)
