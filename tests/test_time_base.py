"""The time column: SessionTime in whole milliseconds, shared by every channel table."""

from __future__ import annotations

import io
import math
import struct

import pyarrow as pa
import pytest
from _helpers import INT64_MAX, INT64_MIN, seconds_to_ms
from corvex._corvex_rs import ibt
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from corvex.testing import BITFIELD, BOOL, CHAR, DOUBLE, FLOAT, INT, Bits, Var, build_ibt, layout

I64_MAX, I64_MIN = INT64_MAX, INT64_MIN
reference_ms = seconds_to_ms  # seconds x 1000, half away from zero, saturated to int64


def timecodes(data, name: str = "SessionTime") -> list[int]:
    table = ibt(data).channels[name]
    assert table.schema.field(0).name == "timecodes"
    assert table.schema.field(0).type == pa.int64()
    return table.column("timecodes").to_pylist()


def session(times, **options) -> bytes:
    return build_ibt([Var("SessionTime", DOUBLE)], {"SessionTime": list(times)}, **options)


@pytest.mark.parametrize(
    ("seconds", "ms"),
    [
        (0.0025, 3),
        (-0.0005, -1),
        (1.2345, 1235),
        (12.3456, 12346),
        (0.0, 0),
        (-0.0, 0),
        (0.0004, 0),
        (-0.0004, 0),
        (0.0015, 2),
        (-0.0025, -3),
        (math.nan, 0),
        (-math.nan, 0),
        (math.inf, I64_MAX),
        (1e16, I64_MAX),
        (2.0**63 / 1000, I64_MAX),
        (-math.inf, I64_MIN),
        (-1e16, I64_MIN),
        (-(2.0**63) / 1000, I64_MIN),
        (5e-324, 0),
    ],
)
def test_rounding_examples(seconds, ms):
    assert timecodes(session([seconds])) == [ms]


@pytest.mark.parametrize(
    "bits", [0x7FF8_0000_0000_0001, 0xFFF8_0000_0000_0000, 0x7FF0_0000_0000_0001]
)
def test_any_nan_gives_zero(bits):
    assert timecodes(session([Bits(bits), 1.0])) == [0, 1000]


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(st.floats(allow_nan=True, allow_infinity=True), min_size=1, max_size=64))
def test_rounding_matches_reference(times):
    assert timecodes(session(times)) == [reference_ms(t) for t in times]


@settings(max_examples=100, deadline=None)
@given(st.lists(st.integers(-(10**9), 10**9), min_size=1, max_size=32))
def test_exact_halves_round_away_from_zero(halves):
    """k/2 milliseconds, given as seconds; covers the rounding of ties on both signs."""
    times = [h / 2000 for h in halves]
    assert timecodes(session(times)) == [reference_ms(t) for t in times]


def test_time_column_keeps_record_order():
    times = [10.0, 11.0, 3.0, math.nan, 4.0, 4.0, -2.0]
    assert timecodes(session(times)) == [10000, 11000, 3000, 0, 4000, 4000, -2000]


def test_records_are_addressed_by_stride_and_offset():
    """buf_len 100, SessionTime at offset 8: record 3's time is in region bytes 308 to 315."""
    records = 5
    region = bytearray(b"\xaa" * (100 * records))
    times = [0.5, 1.25, 2.0, 3.75, 4.5]
    for i, t in enumerate(times):
        struct.pack_into("<d", region, 100 * i + 8, t)
    variables = [Var("SessionTime", DOUBLE, offset=8), Var("Gear", INT, offset=60)]
    data = build_ibt(variables, data=bytes(region), buf_len=100)
    assert region[308:316] == struct.pack("<d", 3.75)
    assert timecodes(data, "Gear") == [500, 1250, 2000, 3750, 4500]


def test_zero_records_give_an_empty_time_column():
    variables = [Var("SessionTime", DOUBLE), Var("Speed", FLOAT)]
    log = ibt(build_ibt(variables, record_count=0))
    for table in log.channels.values():
        assert table.num_rows == 0
        assert table.schema.field(0).type == pa.int64()


def test_every_channel_has_the_same_time_column():
    variables = [Var("Speed", FLOAT), Var("SessionTime", DOUBLE), Var("Gear", INT)]
    times = [0.0, 1 / 60, 2 / 60, 0.05]
    log = ibt(build_ibt(variables, {"SessionTime": times}))
    expected = [reference_ms(t) for t in times]
    assert expected == [0, 17, 33, 50]
    for table in log.channels.values():
        assert table.column("timecodes").to_pylist() == expected


SOURCES = ["path", "bytes", "file-like"]


def parse_as(kind: str, data: bytes, write_file):
    if kind == "path":
        return ibt(str(write_file(data)))
    if kind == "bytes":
        return ibt(data)
    return ibt(io.BytesIO(data))


@pytest.mark.parametrize("kind", SOURCES)
@pytest.mark.parametrize(
    ("variables", "message"),
    [
        ([Var("Speed", FLOAT)], "Missing SessionTime variable"),
        ([], "Missing SessionTime variable"),
        ([Var("sessiontime", DOUBLE)], "Missing SessionTime variable"),
        ([Var("SessionTime", FLOAT)], "SessionTime should be double, got Float"),
        ([Var("SessionTime", INT)], "SessionTime should be double, got Int"),
        ([Var("SessionTime", CHAR)], "SessionTime should be double, got Char"),
        ([Var("SessionTime", BOOL)], "SessionTime should be double, got Bool"),
        ([Var("SessionTime", BITFIELD)], "SessionTime should be double, got BitField"),
    ],
)
@pytest.mark.parametrize("records", [0, 2])
def test_missing_or_mistyped_session_time(kind, variables, message, records, write_file):
    data = build_ibt(variables, record_count=records)
    with pytest.raises(RuntimeError) as info:
        parse_as(kind, data, write_file)
    assert type(info.value) is RuntimeError
    assert str(info.value) == "Invalid header: " + message


def test_session_time_array_uses_its_first_element():
    variables = [Var("SessionTime", DOUBLE, count=3), Var("Speed", FLOAT)]
    data = build_ibt(variables, {"SessionTime": [(1.0, 9.0, 9.0), (2.0, 8.0, 8.0)]})
    log = ibt(data)
    assert list(log.channels) == ["Speed"]
    assert log.channels["Speed"].column("timecodes").to_pylist() == [1000, 2000]


def test_session_time_of_count_zero_inside_the_record_is_read():
    variables = [Var("SessionTime", DOUBLE, offset=0, count=0), Var("Speed", FLOAT, offset=8)]
    region = b"".join(struct.pack("<df", t, 0.0) for t in (0.5, 0.75))
    log = ibt(build_ibt(variables, data=region, buf_len=12))
    assert list(log.channels) == ["Speed"]
    assert log.channels["Speed"].column("timecodes").to_pylist() == [500, 750]


@pytest.mark.parametrize("kind", SOURCES)
@pytest.mark.parametrize(
    ("offset", "buf_len", "records"),
    [(8, 8, 1), (4, 8, 2), (8, 12, 3), (11, 12, 1), (100, 100, 2)],
)
def test_session_time_read_past_the_data_region_fails(kind, offset, buf_len, records, write_file):
    """A count-0 SessionTime near the record end would be read beyond the last record."""
    variables = [Var("SessionTime", DOUBLE, offset=offset, count=0)]
    region = struct.pack("<d", 1.0) * (buf_len * records // 8) + bytes(buf_len * records % 8)
    data = build_ibt(variables, data=region, buf_len=buf_len, tail=struct.pack("<d", 2.0) * 8)
    with pytest.raises(RuntimeError) as info:
        parse_as(kind, data, write_file)
    assert type(info.value) is RuntimeError
    assert str(info.value).startswith("Invalid header: ")


def test_real_file_time_column_matches_struct_reading(real_file):
    data = real_file.read_bytes()
    fields = layout.read_fields(data)
    buf_len, buf_offset = fields["buf_len"], fields["buf_offset"]
    records = fields["session_record_count"]
    for var in layout.read_var_headers(data):
        if var.name == "SessionTime":
            time_offset = var.offset
            assert var.type == DOUBLE
    expected = [
        reference_ms(struct.unpack_from("<d", data, buf_offset + i * buf_len + time_offset)[0])
        for i in range(records)
    ]
    log = ibt(str(real_file))
    assert log.metadata["record_count"] == records
    for table in log.channels.values():
        assert table.column("timecodes").to_pylist() == expected
