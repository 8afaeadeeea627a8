"""Channel tables: one Arrow table per scalar variable, its values, schema and time column."""

from __future__ import annotations

import random
import struct

import numpy as np
import pyarrow as pa
import pytest
from _helpers import (
    ARROW_TYPE,
    BITFIELD,
    BOOL,
    CHAR,
    DOUBLE,
    FLOAT,
    INT,
    WIDTH,
    RawIbt,
    assert_channel_matches,
    column_bits,
    is_one_batch,
    ms_to_seconds,
    parse,
    times_ms,
)

from corvex.testing import Bits, Var, build_ibt, build_ibt_layout, sample_session

TYPE_NAMES = {
    CHAR: "char",
    BOOL: "bool",
    INT: "int",
    BITFIELD: "bitfield",
    FLOAT: "float",
    DOUBLE: "double",
}
TIMECODES_FIELD = pa.field("timecodes", pa.int64(), nullable=False)


def session_time() -> Var:
    """The time base variable, first in every record."""
    return Var("SessionTime", DOUBLE, desc="Seconds since session start", unit="s")


def build_one(var: Var, values: list, **options) -> bytes:
    """A file with SessionTime and one more variable holding `values`, 100 ms apart."""
    columns = {"SessionTime": ms_to_seconds(times_ms(len(values))), var.name: values}
    return build_ibt([session_time(), var], columns, **options)


def value_field(name: str, var_type: int, unit: str, desc: str) -> pa.Field:
    """The value field a channel table must declare for such a variable."""
    interpolate = b"True" if var_type in (FLOAT, DOUBLE) else b"False"
    metadata = {b"units": unit.encode(), b"desc": desc.encode(), b"interpolate": interpolate}
    return pa.field(name, ARROW_TYPE[var_type], nullable=False, metadata=metadata)


# ---------------------------------------------------------------------------------------------
# Value conversion per variable type


@pytest.mark.parametrize(
    "var_type, written, expected",
    [
        pytest.param(
            CHAR, [0, 0xC3, 0x7F, 0xFF, 0x41], [0, 195, 127, 255, 65], id="char-no-decoding"
        ),
        pytest.param(
            BOOL, [0, 1, 2, 255, 0], [False, True, True, True, False], id="bool-any-nonzero"
        ),
        pytest.param(
            INT,
            [0, -1, 2**31 - 1, -(2**31), 0xFFFFFFFF],
            [0, -1, 2**31 - 1, -(2**31), -1],
            id="int-twos-complement",
        ),
        pytest.param(
            BITFIELD,
            [0, 0xFFFFFFFF, 0x80000000, 1, 0x00010000],
            [0, 4294967295, 2**31, 1, 65536],
            id="bitfield-unsigned",
        ),
        pytest.param(
            FLOAT,
            [0.0, -1.5, 3.4028234663852886e38, float("inf"), 1.401298464324817e-45],
            [0.0, -1.5, 3.4028234663852886e38, float("inf"), 1.401298464324817e-45],
            id="float",
        ),
        pytest.param(
            DOUBLE,
            [0.0, -2.5, 1e300, float("-inf"), 5e-324],
            [0.0, -2.5, 1e300, float("-inf"), 5e-324],
            id="double",
        ),
    ],
)
def test_value_conversion(var_type: int, written: list, expected: list) -> None:
    data = build_one(Var("X", var_type), written)
    table = parse(data).channels["X"]
    column = table.column(1)
    assert column.type == ARROW_TYPE[var_type]
    assert column.num_chunks == 1
    chunk = column.chunk(0)
    assert chunk.to_pylist() == expected
    assert chunk.null_count == 0
    assert chunk.buffers()[0] is None
    raw = RawIbt(data)
    assert_channel_matches(table, raw, raw.find("X"))


def test_four_ff_bytes_as_int_and_as_bitfield() -> None:
    # Both variables cover the same four bytes FF FF FF FF of every record.
    variables = [
        session_time(),
        Var("AsInt", INT, offset=8),
        Var("AsBits", BITFIELD, offset=8),
    ]
    records = 3
    region = b"".join(struct.pack("<d", i / 10) + b"\xff\xff\xff\xff" for i in range(records))
    data = build_ibt(variables, data=region, buf_len=12)
    channels = parse(data).channels
    assert channels["AsInt"].column(1).to_pylist() == [-1] * records
    assert channels["AsBits"].column(1).to_pylist() == [4294967295] * records


@pytest.mark.parametrize(
    "var_type, patterns",
    [
        pytest.param(
            FLOAT,
            [0x7FC12345, 0x7F800001, 0xFFC00001, 0x7FBFFFFF, 0x80000000, 0x00000001],
            id="float",
        ),
        pytest.param(
            DOUBLE,
            [0x7FF8000000012345, 0x7FF0000000000001, 0xFFF8000000000001, 0x8000000000000000, 1],
            id="double",
        ),
    ],
)
def test_float_bit_patterns_kept(var_type: int, patterns: list[int]) -> None:
    # Quiet and signalling NaNs with payloads, negative zero and the smallest subnormal.
    data = build_one(Var("X", var_type), [Bits(p) for p in patterns])
    raw = RawIbt(data)
    assert raw.bits(raw.find("X")) == patterns
    chunk = parse(data).channels["X"].column(1).chunk(0)
    assert column_bits(chunk, WIDTH[var_type]) == patterns


# ---------------------------------------------------------------------------------------------
# Schema and field metadata


@pytest.mark.parametrize(
    "var_type, name, desc, unit",
    [
        pytest.param(CHAR, "DriverMarker", "", "", id="char-empty-texts"),
        pytest.param(BOOL, "OnPitRoad", "Is the player car on pit road", "", id="bool"),
        pytest.param(INT, "Gear", "-1=reverse  0=neutral  1..n=current gear", "", id="int"),
        pytest.param(BITFIELD, "SessionFlags", "Session flags", "irsdk_Flags", id="bitfield"),
        pytest.param(FLOAT, "Speed", "GPS vehicle speed", "m/s", id="float"),
        pytest.param(DOUBLE, "Lat", "Latitude in decimal degrees", "deg", id="double"),
        pytest.param(FLOAT, "OilTemp", "Öltemperatur ✓", "°C", id="float-utf8-texts"),
        pytest.param(DOUBLE, "Lon", "", "", id="double-empty-texts"),
    ],
)
@pytest.mark.parametrize("records", [0, 1, 4], ids=lambda n: f"{n}-records")
def test_channel_schema(var_type: int, name: str, desc: str, unit: str, records: int) -> None:
    values = [i % 2 for i in range(records)]
    data = build_one(Var(name, var_type, desc=desc, unit=unit), values)
    table = parse(data).channels[name]
    expected = pa.schema([TIMECODES_FIELD, value_field(name, var_type, unit, desc)])
    assert table.schema.equals(expected, check_metadata=True), table.schema
    timecodes, value = table.schema.field(0), table.schema.field(1)
    assert not timecodes.metadata
    assert not table.schema.metadata
    assert not timecodes.nullable and not value.nullable
    assert value.metadata == {
        b"units": unit.encode(),
        b"desc": desc.encode(),
        b"interpolate": b"True" if var_type in (FLOAT, DOUBLE) else b"False",
    }
    assert table.num_rows == records
    assert [column.num_chunks for column in table.columns] == [1, 1]


@pytest.mark.parametrize(
    "desc, unit, expected_desc, expected_unit",
    [
        pytest.param(b"d" * 64, b"u" * 32, "d" * 64, "u" * 32, id="full-fields-without-nul"),
        pytest.param(b"rate\0junk", b"m/s\0\xff\xff", "rate", "m/s", id="text-ends-at-first-nul"),
        pytest.param(b"bad \xff byte", b"\xc3", "bad \ufffd byte", "\ufffd", id="invalid-utf8"),
        pytest.param(b"  padded  ", b" % ", "  padded  ", " % ", id="spaces-kept"),
    ],
)
def test_metadata_texts_from_header_fields(
    desc: bytes, unit: bytes, expected_desc: str, expected_unit: str
) -> None:
    data = build_one(Var("X", FLOAT, desc=desc, unit=unit), [1.0, 2.0])
    metadata = parse(data).channels["X"].schema.field(1).metadata
    assert metadata[b"desc"].decode() == expected_desc
    assert metadata[b"units"].decode() == expected_unit


def test_zero_records_give_empty_tables_with_full_schema() -> None:
    variables = [session_time()] + [
        Var(f"V{code}", code, desc=f"desc {code}", unit=f"unit {code}") for code in ARROW_TYPE
    ]
    data = build_ibt(variables, {"SessionTime": []})
    assert RawIbt(data).record_count == 0
    channels = parse(data).channels
    assert list(channels) == ["SessionTime"] + [f"V{code}" for code in ARROW_TYPE]
    for code in ARROW_TYPE:
        table = channels[f"V{code}"]
        expected = pa.schema(
            [TIMECODES_FIELD, value_field(f"V{code}", code, f"unit {code}", f"desc {code}")]
        )
        assert table.schema.equals(expected, check_metadata=True)
        assert table.num_rows == 0
        assert is_one_batch(table)


# ---------------------------------------------------------------------------------------------
# Which variables become channels


def test_only_count_one_variables_in_file_order() -> None:
    variables = [
        Var("Throttle", FLOAT),
        Var("CarIdxLapDistPct", FLOAT, count=64),
        session_time(),
        Var("Unused", INT, count=0),
        Var("Gear", INT),
        Var("CarIdxGear", INT, count=2),
        Var("OnPitRoad", BOOL),
    ]
    columns = {
        "SessionTime": [0.0, 0.5],
        "Throttle": [0.25, 0.75],
        "Gear": [3, 4],
        "OnPitRoad": [True, False],
        "CarIdxLapDistPct": [[0.5] * 64, [0.6] * 64],
    }
    data = build_ibt(variables, columns)
    channels = parse(data).channels
    assert list(channels) == ["Throttle", "SessionTime", "Gear", "OnPitRoad"]
    assert all(type(name) is str for name in channels)
    assert all(isinstance(table, pa.Table) for table in channels.values())
    raw = RawIbt(data)
    for var in raw.scalars():
        assert_channel_matches(channels[var.name], raw, var)


def test_variable_named_timecodes() -> None:
    values = [7, -3, 12]
    data = build_one(Var("timecodes", INT, unit="n"), values)
    table = parse(data).channels["timecodes"]
    assert table.schema.names == ["timecodes", "timecodes"]
    assert table.schema.field(0).type == pa.int64()
    assert table.schema.field(1).type == pa.int32()
    assert table.column(0).to_pylist() == times_ms(3)
    assert table.column(1).to_pylist() == values


def test_duplicate_scalar_names() -> None:
    variables = [
        session_time(),
        Var("Dup", INT, desc="first"),
        Var("Other", BOOL),
        Var("Dup", FLOAT, desc="second", unit="m"),
    ]
    columns = {
        "SessionTime": [0.0, 0.1, 0.2],
        1: [1, 2, 3],
        "Other": [True] * 3,
        3: [0.5, 1.5, 2.5],
    }
    data = build_ibt(variables, columns)
    calls: list[tuple[int, int]] = []
    channels = parse(data, lambda done, total: calls.append((done, total))).channels
    assert list(channels) == ["SessionTime", "Dup", "Other"]
    dup = channels["Dup"]
    assert dup.schema.field(1).type == pa.float32()
    assert dup.schema.field(1).metadata[b"desc"] == b"second"
    assert dup.column(1).to_pylist() == [0.5, 1.5, 2.5]
    assert calls == [(1, 4), (2, 4), (3, 4), (4, 4)]


@pytest.mark.parametrize("var_type", list(ARROW_TYPE), ids=TYPE_NAMES.get)
def test_variable_ending_at_record_end(var_type: int) -> None:
    # The variable sits at an odd offset and fills the record to its last byte; the bytes after
    # the data region differ from every value, so a read past the variable would show.
    width = WIDTH[var_type]
    offset = 11
    variables = [session_time(), Var("Pad", CHAR, offset=8), Var("Last", var_type, offset=offset)]
    records = 5
    values = {
        CHAR: [1, 2, 3, 4, 0xC3],
        BOOL: [0, 1, 0, 1, 1],
        INT: [-5, 6, -7, 8, -9],
        BITFIELD: [5, 6, 7, 8, 0xFFFFFFFE],
        FLOAT: [0.5, 1.5, 2.5, 3.5, -4.5],
        DOUBLE: [0.25, 1.25, 2.25, 3.25, -4.25],
    }[var_type]
    columns = {"SessionTime": ms_to_seconds(times_ms(records)), "Last": values}
    data, layout = build_ibt_layout(variables, columns, tail=b"\xaa" * 16)
    assert layout.buf_len == offset + width
    table = parse(data).channels["Last"]
    expected = [bool(v) for v in values] if var_type == BOOL else values
    assert table.column(1).to_pylist() == expected
    raw = RawIbt(data)
    assert_channel_matches(table, raw, raw.find("Last"))


# ---------------------------------------------------------------------------------------------
# Values against an independent reading of the bytes


RANDOM_LAYOUT = [
    Var("SessionTime", DOUBLE, offset=0),
    Var("C", CHAR, offset=8),
    Var("B", BOOL, offset=9),
    Var("I", INT, offset=10),
    Var("U", BITFIELD, offset=13),
    Var("F", FLOAT, offset=17),
    Var("D", DOUBLE, offset=21),
    Var("IOverD", INT, offset=23),
    Var("FOverD", FLOAT, offset=25),
    Var("Arr", DOUBLE, offset=8, count=3),
    Var("B2", BOOL, offset=36),
    Var("Nothing", INT, offset=37, count=0),
]


@pytest.mark.parametrize("seed", [0, 1, 2])
def test_random_region_matches_struct_reading(seed: int) -> None:
    # Unaligned and overlapping variables over random bytes: every channel, time column included,
    # must equal what struct reads at record * buf_len + offset.
    rng = random.Random(seed)
    buf_len, records = 37, 64
    region = bytes(rng.getrandbits(8) for _ in range(buf_len * records))
    data = build_ibt(RANDOM_LAYOUT, data=region, buf_len=buf_len)
    raw = RawIbt(data)
    assert raw.record_count == records and raw.buf_len == buf_len
    channels = parse(data).channels
    assert list(channels) == [var.name for var in raw.scalars()]
    expected_times = raw.timecodes()
    for var in raw.scalars():
        table = channels[var.name]
        assert_channel_matches(table, raw, var)
        assert table.column(0).to_pylist() == expected_times


def test_sample_session_matches_struct_reading() -> None:
    data = sample_session()
    raw = RawIbt(data)
    channels = parse(data).channels
    scalars = raw.scalars()
    assert len(scalars) < len(raw.vars), "the sample is expected to hold array variables"
    assert list(channels) == [var.name for var in scalars]
    for var in scalars:
        table = channels[var.name]
        assert_channel_matches(table, raw, var)
        metadata = table.schema.field(1).metadata
        assert metadata[b"units"].decode() == var.unit
        assert metadata[b"desc"].decode() == var.desc


def shared_time_buffers(channels: dict) -> set[tuple[int, int]]:
    """(buffer address, array offset) of the time column of every channel table."""
    out = set()
    for table in channels.values():
        chunk = table.column(0).chunk(0)
        assert chunk.buffers()[0] is None
        out.add((chunk.buffers()[1].address, chunk.offset))
    return out


def test_time_column_is_one_shared_buffer() -> None:
    data = sample_session()
    channels = parse(data).channels
    assert len(channels) > 2
    assert len(shared_time_buffers(channels)) == 1
    expected = RawIbt(data).timecodes()
    for table in channels.values():
        assert table.column(0).to_pylist() == expected


# ---------------------------------------------------------------------------------------------
# The real recording

REAL_CHANNELS = [
    ("Speed", FLOAT),
    ("RPM", FLOAT),
    ("Throttle", FLOAT),
    ("Gear", INT),
    ("PlayerCarIdx", INT),
    ("SessionTick", INT),
    ("OnPitRoad", BOOL),
    ("IsOnTrack", BOOL),
    ("Lat", DOUBLE),
    ("Lon", DOUBLE),
    ("SessionFlags", BITFIELD),
    ("EngineWarnings", BITFIELD),
]


@pytest.fixture(scope="module")
def real(real_file):
    """The real recording read independently and by the extension."""
    data = real_file.read_bytes()
    return RawIbt(data), parse(str(real_file)).channels


def test_real_file_channel_set(real) -> None:
    raw, channels = real
    scalars = raw.scalars()
    assert len(channels) == len(scalars) == 275
    assert list(channels) == [var.name for var in scalars]
    assert {table.num_rows for table in channels.values()} == {raw.record_count} == {390}


@pytest.mark.parametrize("name, var_type", REAL_CHANNELS, ids=[name for name, _ in REAL_CHANNELS])
def test_real_file_channel_values(real, name: str, var_type: int) -> None:
    raw, channels = real
    var = raw.find(name)
    assert var.type == var_type and var.count == 1
    table = channels[name]
    assert table.schema.field(1).type == ARROW_TYPE[var_type]
    assert_channel_matches(table, raw, var)
    expected = pa.schema([TIMECODES_FIELD, value_field(name, var_type, var.unit, var.desc)])
    assert table.schema.equals(expected, check_metadata=True)


def test_real_file_every_channel_matches_struct(real) -> None:
    raw, channels = real
    for var in raw.scalars():
        assert channels[var.name].schema.field(1).type == ARROW_TYPE[var.type]
        assert_channel_matches(channels[var.name], raw, var)


def test_real_file_time_column(real) -> None:
    raw, channels = real
    assert len(shared_time_buffers(channels)) == 1
    times = np.asarray(channels["Speed"].column(0).chunk(0))
    assert times.tolist() == raw.timecodes()
