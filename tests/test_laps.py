"""Lap table: segmentation on "Lap", lap types from "OnPitRoad" and "LapDistPct", sessions."""

from __future__ import annotations

import math
import struct
from collections.abc import Sequence

import numpy as np
import pyarrow as pa
import pytest
from _helpers import (
    BITFIELD,
    BOOL,
    CHAR,
    DOUBLE,
    FLOAT,
    INT,
    LAP_SCHEMA,
    RawIbt,
    is_one_batch,
    ms_to_seconds,
    parse,
    seconds_to_ms,
    times_ms,
)
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from corvex.testing import Var, build_ibt

NAN = float("nan")
LOW = float(np.float32(0.02))
HIGH = float(np.float32(0.98))
ABOVE_LOW = float(np.nextafter(np.float32(0.02), np.float32(1)))
BELOW_HIGH = float(np.nextafter(np.float32(0.98), np.float32(0)))

Row = tuple[int, int, int, str, int]


# ---------------------------------------------------------------------------------------------
# Reference rules, written independently of the extension


def inside(fraction: float) -> bool:
    """Strictly between single-precision 0.02 and 0.98; NaN never is."""
    return LOW < fraction < HIGH


def reference_laps(
    laps: Sequence[int],
    times: Sequence[int],
    pit: Sequence[bool] | None = None,
    fractions: Sequence[float] | None = None,
) -> list[Row]:
    """Rows (num, start_time, end_time, lap_type, session) for per-record inputs."""
    n = len(laps)
    if n == 0:
        return []
    pit = pit if pit is not None else [False] * n
    fractions = fractions if fractions is not None else [0.0] * n
    bounds, start = [], 0
    for k in range(1, n):
        if laps[k] != laps[start]:
            bounds.append((start, k, times[k]))
            start = k
    bounds.append((start, n, times[n - 1]))
    rows: list[Row] = []
    session = 0
    for position, (first, end, end_time) in enumerate(bounds):
        last = end - 1
        if end - first < 2:
            kind = "incomplete"
        elif pit[first]:
            kind = "out"
        elif pit[last]:
            kind = "in"
        elif inside(fractions[first]) or inside(fractions[last]):
            kind = "partial"
        else:
            kind = "full"
        if position > 0 and laps[first] == 0:
            session += 1
        rows.append((laps[first], times[first], end_time, kind, session))
    return rows


def rows(table: pa.Table) -> list[Row]:
    """The lap table as tuples, after checking its schema."""
    assert table.schema.equals(LAP_SCHEMA, check_metadata=True), table.schema
    return [
        (r["num"], r["start_time"], r["end_time"], r["lap_type"], r["session"])
        for r in table.to_pylist()
    ]


def lap_file(
    laps: Sequence[int],
    seconds: Sequence[float] | None = None,
    pit: Sequence | None = None,
    fractions: Sequence | None = None,
    fraction_type: int = FLOAT,
    pit_type: int = BOOL,
) -> bytes:
    """A file with SessionTime, Lap (Int) and, when given, OnPitRoad and LapDistPct."""
    if seconds is None:
        seconds = ms_to_seconds(times_ms(len(laps)))
    variables = [
        Var("SessionTime", DOUBLE, unit="s"),
        Var("Speed", FLOAT, unit="m/s"),
        Var("Lap", INT),
    ]
    columns: dict = {"SessionTime": list(seconds), "Lap": list(laps), "Speed": [1.0] * len(laps)}
    if pit is not None:
        variables.append(Var("OnPitRoad", pit_type))
        columns["OnPitRoad"] = list(pit)
    if fractions is not None:
        variables.append(Var("LapDistPct", fraction_type, unit="%"))
        columns["LapDistPct"] = list(fractions)
    return build_ibt(variables, columns)


def laps_of(data: bytes) -> list[Row]:
    """The rows of the lap table the extension builds for `data`."""
    return rows(parse(data).laps)


# ---------------------------------------------------------------------------------------------
# Segmentation and sessions (no pit or fraction variables: every lap of 2+ records is full)


@pytest.mark.parametrize(
    "laps, seconds, expected",
    [
        pytest.param(
            [1, 1, 1, 2, 2, 2],
            [0.0, 0.1, 0.2, 0.3, 0.4, 0.5],
            [(1, 0, 300, "full", 0), (2, 300, 500, "full", 0)],
            id="two-laps",
        ),
        pytest.param(
            [3, 3, 2, 2],
            None,
            [(3, 0, 200, "full", 0), (2, 200, 300, "full", 0)],
            id="counter-goes-back",
        ),
        pytest.param(
            [1, 1, 2, 2, 1, 1],
            None,
            [(1, 0, 200, "full", 0), (2, 200, 400, "full", 0), (1, 400, 500, "full", 0)],
            id="value-returns",
        ),
        pytest.param(
            [4, 4, 9, 4, 4],
            None,
            [(4, 0, 200, "full", 0), (9, 200, 300, "incomplete", 0), (4, 300, 400, "full", 0)],
            id="one-record-blip",
        ),
        pytest.param(
            [2, 2, 2, 3],
            None,
            [(2, 0, 300, "full", 0), (3, 300, 300, "incomplete", 0)],
            id="change-at-last-record",
        ),
        pytest.param(
            [0, 0, 1, 1, 0, 0, 1, 1],
            None,
            [
                (0, 0, 200, "full", 0),
                (1, 200, 400, "full", 0),
                (0, 400, 600, "full", 1),
                (1, 600, 700, "full", 1),
            ],
            id="lap-zero-starts-session",
        ),
        pytest.param(
            [5, 5, 0, 0],
            None,
            [(5, 0, 200, "full", 0), (0, 200, 300, "full", 1)],
            id="sessions-5-0",
        ),
        pytest.param(
            [0, 0, -1, -1],
            None,
            [(0, 0, 200, "full", 0), (-1, 200, 300, "full", 0)],
            id="negative-lap-no-session",
        ),
        pytest.param([7], [1.234], [(7, 1234, 1234, "incomplete", 0)], id="one-record"),
        pytest.param(
            [1, 1, 1, 2, 2],
            [0.0, 0.1, 50.0, 50.1, 50.2],
            [(1, 0, 50100, "full", 0), (2, 50100, 50200, "full", 0)],
            id="time-jump-inside-lap",
        ),
        pytest.param(
            [1, 1, 1, 2, 2],
            [10.0, 5.0, 20.0, 1.0, 2.0],
            [(1, 10000, 1000, "full", 0), (2, 1000, 2000, "full", 0)],
            id="time-going-back",
        ),
        pytest.param(
            [1, 1, 2, 2, 3, 3],
            [NAN, 0.1, NAN, 0.3, 0.4, NAN],
            [(1, 0, 0, "full", 0), (2, 0, 400, "full", 0), (3, 400, 0, "full", 0)],
            id="nan-session-time",
        ),
        pytest.param(
            [2**31 - 1, 2**31 - 1, -(2**31), -(2**31)],
            None,
            [(2**31 - 1, 0, 200, "full", 0), (-(2**31), 200, 300, "full", 0)],
            id="extreme-lap-numbers",
        ),
    ],
)
def test_segments_and_sessions(laps: list[int], seconds: list[float] | None, expected) -> None:
    data = lap_file(laps, seconds)
    assert laps_of(data) == expected
    raw = RawIbt(data)
    assert reference_laps(laps, raw.timecodes()) == expected


# ---------------------------------------------------------------------------------------------
# Lap types


@pytest.mark.parametrize(
    "pit, fractions, expected",
    [
        pytest.param([1, 0, 0, 1], None, "out", id="pit-first-and-last"),
        pytest.param([1, 0, 0, 0], None, "out", id="pit-first"),
        pytest.param([0, 0, 0, 1], None, "in", id="pit-last"),
        pytest.param([0, 1, 1, 0], None, "full", id="pit-middle-full"),
        pytest.param([0, 1, 1, 0], [0.5, 0.5, 0.5, 0.5], "partial", id="pit-middle-partial"),
        pytest.param([1, 0, 0, 0], [0.5, 0.5, 0.5, 0.5], "out", id="out-before-partial"),
        pytest.param([0, 0, 0, 1], [0.5, 0.5, 0.5, 0.5], "in", id="in-before-partial"),
        pytest.param([2, 0, 0, 0], None, "out", id="pit-byte-2"),
        pytest.param([0, 0, 0, 255], None, "in", id="pit-byte-255"),
    ],
)
def test_pit_flags(pit: list[int], fractions: list[float] | None, expected: str) -> None:
    data = lap_file([3, 3, 3, 3], pit=pit, fractions=fractions)
    assert laps_of(data) == [(3, 0, 300, expected, 0)]


def test_one_record_lap_is_incomplete_whatever_its_flags() -> None:
    data = lap_file([1, 1, 2, 3, 3], pit=[0, 0, 1, 0, 0], fractions=[0.0, 0.0, 0.5, 0.0, 0.0])
    assert [row[3] for row in laps_of(data)] == ["full", "incomplete", "full"]


@pytest.mark.parametrize(
    "value, expected",
    [
        pytest.param(1, "out", id="low-byte-1"),
        pytest.param(256, "full", id="low-byte-0"),
    ],
)
def test_pit_flag_reads_one_byte_whatever_the_type(value: int, expected: str) -> None:
    data = lap_file([1, 1, 1], pit=[value, 0, 0], pit_type=INT)
    assert laps_of(data) == [(1, 0, 200, expected, 0)]


@pytest.mark.parametrize(
    "first, last, expected",
    [
        pytest.param(0.01, 0.99, "full", id="0.01-0.99"),
        pytest.param(0.5, 0.99, "partial", id="partial-start"),
        pytest.param(0.01, 0.5, "partial", id="partial-end"),
        pytest.param(HIGH, 0.999, "full", id="exactly-0.98-start"),
        pytest.param(0.01, LOW, "full", id="exactly-0.02-end"),
        pytest.param(ABOVE_LOW, 0.99, "partial", id="just-above-0.02"),
        pytest.param(0.01, BELOW_HIGH, "partial", id="just-below-0.98"),
        pytest.param(NAN, NAN, "full", id="nan-both"),
        pytest.param(NAN, 0.5, "partial", id="nan-and-inside"),
        pytest.param(-0.5, 1.5, "full", id="outside-range"),
        pytest.param(float("-inf"), float("inf"), "full", id="infinities"),
    ],
)
def test_fraction_rules(first: float, last: float, expected: str) -> None:
    # The middle record holds 0.5 and must not matter.
    data = lap_file([1, 1, 1], fractions=[first, 0.5, last])
    assert laps_of(data) == [(1, 0, 200, expected, 0)]


@pytest.mark.parametrize(
    "first, expected",
    [
        pytest.param(0.5, "partial", id="0.5"),
        pytest.param(0.98000001, "full", id="rounds-to-single-0.98"),
        pytest.param(0.0199999997, "full", id="rounds-to-single-0.02"),
        pytest.param(0.97999, "partial", id="below-0.98"),
        pytest.param(NAN, "full", id="nan"),
    ],
)
def test_fraction_as_double(first: float, expected: str) -> None:
    data = lap_file([1, 1, 1], fractions=[first, 0.0, 0.99], fraction_type=DOUBLE)
    assert laps_of(data) == [(1, 0, 200, expected, 0)]


@pytest.mark.parametrize(
    "fraction_type, value",
    [
        pytest.param(INT, 0x3F000000, id="int-holding-bits-of-0.5"),
        pytest.param(INT, 1, id="int-1"),
        pytest.param(BITFIELD, 0x3F000000, id="bitfield-holding-bits-of-0.5"),
        pytest.param(CHAR, 0x3F, id="char"),
        pytest.param(BOOL, 1, id="bool"),
    ],
)
def test_fraction_of_other_types_never_partial(fraction_type: int, value: int) -> None:
    data = lap_file([1, 1, 1, 2, 2], fractions=[value] * 5, fraction_type=fraction_type)
    assert laps_of(data) == [(1, 0, 300, "full", 0), (2, 300, 400, "full", 0)]


def test_names_are_case_sensitive_and_exact() -> None:
    # Look-alike variables must not stand in for OnPitRoad or LapDistPct.
    variables = [
        Var("SessionTime", DOUBLE),
        Var("Lap", INT),
        Var("onpitroad", BOOL),
        Var("OnPitRoadX", BOOL),
        Var("lapdistpct", FLOAT),
        Var("LapDist", FLOAT),
        Var("lap", INT),
    ]
    columns = {
        "SessionTime": [0.0, 0.1, 0.2, 0.3],
        "Lap": [1, 1, 1, 1],
        "onpitroad": [True] * 4,
        "OnPitRoadX": [True] * 4,
        "lapdistpct": [0.5] * 4,
        "LapDist": [0.5] * 4,
        "lap": [1, 2, 3, 4],
    }
    assert laps_of(build_ibt(variables, columns)) == [(1, 0, 300, "full", 0)]


# ---------------------------------------------------------------------------------------------
# How "Lap" is read: always the four bytes at its offset


def region(records: Sequence[bytes]) -> bytes:
    """A data region of `records`, each prefixed with its SessionTime (100 ms apart)."""
    return b"".join(struct.pack("<d", i / 10) + rec for i, rec in enumerate(records))


@pytest.mark.parametrize(
    "lap_type, payloads",
    [
        pytest.param(CHAR, [b"\x02\x01\x00\x00"] * 2 + [b"\x03\x01\x00\x00"] * 2, id="char"),
        pytest.param(BOOL, [b"\x01\x00\x00\x00"] * 2 + [b"\x01\x00\x00\x01"] * 2, id="bool"),
        pytest.param(
            FLOAT, [struct.pack("<f", 1.0)] * 2 + [struct.pack("<f", -2.0)] * 2, id="float"
        ),
        pytest.param(
            BITFIELD, [b"\xff\xff\xff\xff"] * 2 + [b"\x00\x00\x00\x80"] * 2, id="bitfield"
        ),
    ],
)
def test_lap_value_is_four_bytes_whatever_its_type(lap_type: int, payloads: list[bytes]) -> None:
    variables = [
        Var("SessionTime", DOUBLE),
        Var("Lap", lap_type, offset=8),
        Var("Pad", CHAR, offset=11),
    ]
    data = build_ibt(variables, data=region(payloads), buf_len=12)
    nums = [struct.unpack("<i", p)[0] for p in payloads]
    assert laps_of(data) == [(nums[0], 0, 200, "full", 0), (nums[2], 200, 300, "full", 0)]


def test_lap_of_count_zero_is_still_used() -> None:
    variables = [
        Var("SessionTime", DOUBLE),
        Var("Lap", INT, offset=8, count=0),
        Var("Pad", INT, offset=8),
    ]
    payloads = [struct.pack("<i", v) for v in (4, 4, 5, 5, 5)]
    parsed = parse(build_ibt(variables, data=region(payloads), buf_len=12))
    assert "Lap" not in parsed.channels
    assert rows(parsed.laps) == [(4, 0, 200, "full", 0), (5, 200, 400, "full", 0)]


@pytest.mark.parametrize("tail", [b"", b"\x01" * 64], ids=["file-ends-with-region", "bytes-after"])
@pytest.mark.parametrize(
    "variables, buf_len",
    [
        pytest.param([Var("Lap", CHAR, offset=8)], 9, id="lap-char-last-byte"),
        pytest.param([Var("Lap", BOOL, offset=8)], 9, id="lap-bool-last-byte"),
        pytest.param([Var("Lap", CHAR, offset=10), Var("P", CHAR, offset=12)], 13, id="lap-3-left"),
        pytest.param([Var("Lap", INT, offset=10, count=0)], 12, id="lap-count-0"),
        pytest.param(
            [Var("Lap", INT, offset=8), Var("OnPitRoad", BOOL, offset=12, count=0)],
            12,
            id="pit-count-0-at-record-end",
        ),
        pytest.param(
            [Var("Lap", INT, offset=8), Var("LapDistPct", FLOAT, offset=10, count=0)],
            12,
            id="fraction-count-0",
        ),
        pytest.param(
            [Var("Lap", INT, offset=8), Var("LapDistPct", DOUBLE, offset=8, count=0)],
            12,
            id="double-fraction-count-0",
        ),
    ],
)
@pytest.mark.parametrize("records", [1, 3])
def test_read_past_data_region_fails(
    variables: list[Var], buf_len: int, records: int, tail: bytes
) -> None:
    payload = bytes(range(1, buf_len - 8 + 1))
    data = build_ibt(
        [Var("SessionTime", DOUBLE, offset=0)] + variables,
        data=region([payload] * records),
        buf_len=buf_len,
        tail=tail,
    )
    assert RawIbt(data).record_count == records
    calls: list[tuple[int, int]] = []
    with pytest.raises(RuntimeError, match=r"^Invalid header: "):
        parse(data, lambda done, total: calls.append((done, total)))
    # The lap table is built after every channel has been handed over.
    scalars = 1 + sum(1 for var in variables if var.count == 1)
    assert calls == [(k, scalars) for k in range(1, scalars + 1)]


# ---------------------------------------------------------------------------------------------
# Empty lap tables


@pytest.mark.parametrize(
    "variables, columns",
    [
        pytest.param(
            [Var("SessionTime", DOUBLE), Var("LapCompleted", INT), Var("OnPitRoad", BOOL)],
            {"SessionTime": [0.0, 0.1, 0.2], "LapCompleted": [1, 2, 3], "OnPitRoad": [1, 1, 1]},
            id="no-lap-variable",
        ),
        pytest.param(
            [Var("SessionTime", DOUBLE), Var("Lap", INT)],
            {"SessionTime": [], "Lap": []},
            id="zero-records",
        ),
        pytest.param(
            [Var("SessionTime", DOUBLE), Var("Lap", CHAR, offset=8)],
            {"SessionTime": [], "Lap": []},
            id="zero-records-char-lap-at-end",
        ),
    ],
)
def test_empty_lap_table(variables: list[Var], columns: dict) -> None:
    laps = parse(build_ibt(variables, columns)).laps
    assert isinstance(laps, pa.Table)
    assert laps.schema.equals(LAP_SCHEMA, check_metadata=True)
    assert not laps.schema.metadata
    assert all(not field.metadata for field in laps.schema)
    assert laps.num_columns == 5 and laps.num_rows == 0
    assert is_one_batch(laps)


# ---------------------------------------------------------------------------------------------
# Random files against the reference rules

FRACTIONS = st.one_of(
    st.sampled_from([0.0, 0.01, LOW, ABOVE_LOW, 0.5, BELOW_HIGH, HIGH, 0.99, 1.0, NAN, -0.25]),
    st.floats(width=32, allow_nan=True, allow_infinity=True),
)
DOUBLE_FRACTIONS = st.one_of(
    st.sampled_from([0.0199999997, 0.0200000001, 0.97999999, 0.98000001, NAN]),
    st.floats(min_value=-2.0, max_value=2.0),
)


@st.composite
def lap_cases(draw: st.DrawFn) -> dict:
    """Per-record lap values in runs, with optional pit flags, fractions and odd times."""
    runs = draw(st.lists(st.tuples(st.integers(-2, 4), st.integers(1, 5)), min_size=1, max_size=8))
    laps = [value for value, length in runs for _ in range(length)]
    n = len(laps)
    ms = draw(st.lists(st.integers(-(10**6), 10**9) | st.none(), min_size=n, max_size=n))
    case = {"laps": laps, "seconds": [NAN if v is None else v / 1000 for v in ms]}
    if draw(st.booleans()):
        case["pit"] = draw(st.lists(st.sampled_from([0, 0, 0, 1, 2, 255]), min_size=n, max_size=n))
    if draw(st.booleans()):
        double = draw(st.booleans())
        values = draw(st.lists(DOUBLE_FRACTIONS if double else FRACTIONS, min_size=n, max_size=n))
        case["fractions"] = values
        case["fraction_type"] = DOUBLE if double else FLOAT
    return case


def single(value: float) -> float:
    """The nearest single-precision value, as a Python float."""
    return float(np.float32(value)) if not math.isnan(value) else NAN


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(case=lap_cases())
def test_lap_table_matches_reference(case: dict) -> None:
    data = lap_file(**case)
    times = [seconds_to_ms(s) for s in case["seconds"]]
    pit = [bool(v) for v in case["pit"]] if "pit" in case else None
    fractions = [single(v) for v in case["fractions"]] if "fractions" in case else None
    assert laps_of(data) == reference_laps(case["laps"], times, pit, fractions)


# ---------------------------------------------------------------------------------------------
# The real recording


def test_real_file_laps(real_file) -> None:
    raw = RawIbt(real_file.read_bytes())
    laps = raw.values(raw.find("Lap"))
    pit = raw.values(raw.find("OnPitRoad"))
    fractions = raw.values(raw.find("LapDistPct"))
    times = raw.timecodes()
    expected = reference_laps(laps, times, pit, fractions)
    changes = [k for k in range(1, len(laps)) if laps[k] != laps[k - 1]]
    assert len(expected) == len(changes) + 1
    assert [row[1] for row in expected] == [times[0]] + [times[k] for k in changes]
    assert laps_of(str(real_file)) == expected
