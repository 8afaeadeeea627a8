"""The IBT writer, checked by reading its output back with struct at the format's offsets.

The offsets below are the IBT layout as independent readers of the format document it (a
112-byte main header, a 32-byte disk sub-header at 112, 144-byte variable headers); they are
written here, not taken from the writer or its header table, so a wrong offset in either fails.
"""

from __future__ import annotations

import math
import re
import struct

import pytest

from corvex.testing import (
    BITFIELD,
    BOOL,
    CHAR,
    DOUBLE,
    FLOAT,
    INT,
    Bits,
    Var,
    build_ibt,
    build_ibt_layout,
    sample_session,
    write_sample,
)
from corvex.testing import layout as header_table

# Header fields: (offset from the start of the file, struct code), little-endian.
HEADER_FIELDS = {
    "version": (0, "i"),
    "status": (4, "i"),
    "tick_rate": (8, "i"),
    "session_info_update": (12, "i"),
    "session_info_len": (16, "i"),
    "session_info_offset": (20, "i"),
    "num_vars": (24, "i"),
    "var_header_offset": (28, "i"),
    "num_buf": (32, "i"),
    "buf_len": (36, "i"),
    "tick_count": (48, "i"),  # the first of four 16-byte buffer descriptors at 48
    "buf_offset": (52, "i"),
    "session_start_date": (112, "q"),  # the disk sub-header
    "start_time": (120, "d"),
    "end_time": (128, "d"),
    "lap_count": (136, "i"),
    "session_record_count": (140, "i"),
}
# One variable header: (offset within its 144 bytes, struct code).
VAR_FIELDS = {
    "type": (0, "i"),
    "offset": (4, "i"),
    "count": (8, "i"),
    "count_as_time": (12, "?"),
    "name": (16, "32s"),
    "desc": (48, "64s"),
    "unit": (112, "32s"),
}
VAR_HEADER_BYTES = 144


def field(data: bytes, name: str) -> int | float:
    offset, code = HEADER_FIELDS[name]
    value: int | float = struct.unpack_from("<" + code, data, offset)[0]
    return value


def var_header(data: bytes, index: int) -> tuple[int, int, int, bytes, bytes, bytes]:
    base = int(field(data, "var_header_offset")) + VAR_HEADER_BYTES * index
    stored = {
        name: struct.unpack_from("<" + code, data, base + offset)[0]
        for name, (offset, code) in VAR_FIELDS.items()
    }
    return tuple(stored[name] for name in ("type", "offset", "count", "name", "desc", "unit"))


@pytest.mark.parametrize(
    ("table", "fields", "size"),
    [
        (header_table.MAIN_HEADER + header_table.DISK_SUB_HEADER, HEADER_FIELDS, 144),
        (header_table.VAR_HEADER, VAR_FIELDS, VAR_HEADER_BYTES),
    ],
)
def test_the_header_table_of_corvex_testing_lies_at_the_formats_offsets(table, fields, size):
    # The tests' struct reader (RawIbt) and the writer take their offsets from this table.
    assert {f.name: (f.offset, f.code) for f in table} == fields
    assert max(f.offset + f.size for f in table) == size
    assert header_table.HEADERS_END == 144 and header_table.VAR_HEADER_SIZE == 144


def record_bytes(data: bytes, record: int, offset: int, width: int) -> bytes:
    start = field(data, "buf_offset") + record * field(data, "buf_len") + offset
    return data[start : start + width]


def test_minimal_file_is_296_bytes_with_the_documented_fields():
    data = build_ibt([Var("SessionTime", DOUBLE)], {"SessionTime": [0.0]})
    assert len(data) == 296
    expected = {
        "version": 2,
        "num_vars": 1,
        "var_header_offset": 144,
        "session_info_offset": 288,
        "session_info_len": 0,
        "buf_len": 8,
        "buf_offset": 288,
        "session_record_count": 1,
    }
    assert {name: field(data, name) for name in expected} == expected
    vtype, offset, count, name, _, _ = var_header(data, 0)
    assert (vtype, offset, count) == (DOUBLE, 0, 1)
    assert name == b"SessionTime".ljust(32, b"\0")
    assert data[288:296] == struct.pack("<d", 0.0)


def test_header_options_land_at_their_offsets():
    data, layout = build_ibt_layout(
        [Var("SessionTime", DOUBLE), Var("Speed", FLOAT)],
        {"SessionTime": [1.0, 2.0, 3.0]},
        session_info="---\nWeekendInfo:\n",
        version=1,
        tick_rate=-7,
        lap_count=-3,
        session_start_date=-(2**40),
        start_time=float("inf"),
        end_time=Bits(0x7FF8_0000_0000_0001),
    )
    assert field(data, "version") == 1
    assert field(data, "tick_rate") == -7
    assert field(data, "lap_count") == -3
    assert field(data, "session_start_date") == -(2**40)
    assert field(data, "start_time") == math.inf
    assert struct.unpack_from("<Q", data, 128)[0] == 0x7FF8_0000_0000_0001
    assert field(data, "num_vars") == layout.num_vars == 2
    assert field(data, "var_header_offset") == layout.var_header_offset == 144
    assert field(data, "session_info_offset") == layout.session_info_offset == 144 + 2 * 144
    assert field(data, "session_info_len") == layout.session_info_len == 17
    assert data[432:449] == b"---\nWeekendInfo:\n"
    assert field(data, "buf_offset") == layout.buf_offset == 449
    assert field(data, "buf_len") == layout.buf_len == 12
    assert field(data, "session_record_count") == layout.record_count == 3
    assert layout.data_end == layout.size == len(data) == 449 + 3 * 12


def test_variable_headers_hold_type_offset_count_and_padded_texts():
    long_name = "N" * 40
    variables = [
        Var("A", CHAR),
        Var(long_name, 9, count=-1, desc="d" * 70, unit="u" * 33),
        Var(b"Raw\xff\x00tail", INT, offset=20, desc=b"x", unit="km/h"),
        Var("After", DOUBLE, count=2),
    ]
    data = build_ibt(variables)
    assert var_header(data, 0)[:3] == (CHAR, 0, 1)
    vtype, offset, count, name, desc, unit = var_header(data, 1)
    assert (vtype, offset, count) == (9, 1, -1)  # unknown type occupies nothing
    assert (name, desc, unit) == (b"N" * 32, b"d" * 64, b"u" * 32)
    vtype, offset, count, name, desc, unit = var_header(data, 2)
    assert (vtype, offset, count) == (INT, 20, 1)
    assert name == b"Raw\xff\x00tail".ljust(32, b"\0")
    assert desc == b"x".ljust(64, b"\0") and unit == b"km/h".ljust(32, b"\0")
    assert var_header(data, 3)[:3] == (DOUBLE, 24, 2)
    assert field(data, "buf_len") == 24 + 16


@pytest.mark.parametrize(
    ("var", "value", "raw"),
    [
        (Var("c", CHAR), 195, b"\xc3"),
        (Var("b", BOOL), True, b"\x01"),
        (Var("b", BOOL), 2, b"\x02"),
        (Var("b", BOOL), 255, b"\xff"),
        (Var("i", INT), -1, b"\xff\xff\xff\xff"),
        (Var("i", INT), 2**32 - 1, b"\xff\xff\xff\xff"),
        (Var("i", INT), -(2**31), b"\x00\x00\x00\x80"),
        (Var("f", BITFIELD), 2**32 - 1, b"\xff\xff\xff\xff"),
        (Var("f", BITFIELD), -2, b"\xfe\xff\xff\xff"),
        (Var("x", FLOAT), 1.5, struct.pack("<f", 1.5)),
        (Var("x", FLOAT), Bits(0x7FC0_1234), b"\x34\x12\xc0\x7f"),
        (Var("d", DOUBLE), -0.0025, struct.pack("<d", -0.0025)),
        (Var("d", DOUBLE), Bits(0xFFF0_0000_0000_0001), struct.pack("<Q", 0xFFF0_0000_0000_0001)),
    ],
)
def test_value_encoding(var, value, raw):
    data = build_ibt([Var("pad", CHAR), var], {var.name: [0 if var.type < FLOAT else 0.0, value]})
    assert record_bytes(data, 1, 1, len(raw)) == raw
    assert record_bytes(data, 0, 1, len(raw)) == bytes(len(raw))


@pytest.mark.parametrize(("vtype", "value"), [(CHAR, 256), (BOOL, -1), (INT, 2**32), (INT, 1.5)])
def test_unencodable_values_are_refused(vtype, value):
    with pytest.raises(ValueError):
        build_ibt([Var("v", vtype)], {"v": [value]})


def test_array_values_fill_elements_and_scalars_set_element_zero():
    var = Var("Arr", INT, count=3)
    data = build_ibt([var], {"Arr": [(1, 2, 3), 7, [4, 5]]})
    assert struct.unpack("<3i", record_bytes(data, 0, 0, 12)) == (1, 2, 3)
    assert struct.unpack("<3i", record_bytes(data, 1, 0, 12)) == (7, 0, 0)
    assert struct.unpack("<3i", record_bytes(data, 2, 0, 12)) == (4, 5, 0)
    with pytest.raises(ValueError):
        build_ibt([var], {"Arr": [(1, 2, 3, 4)]})


def test_duplicate_names_are_addressed_by_index():
    variables = [Var("X", INT), Var("X", INT)]
    data = build_ibt(variables, {0: [5], 1: [6]})
    assert struct.unpack("<2i", record_bytes(data, 0, 0, 8)) == (5, 6)
    with pytest.raises(KeyError):
        build_ibt(variables, {"X": [1]})


def test_columns_must_agree_on_the_record_count():
    variables = [Var("A", INT), Var("B", INT)]
    with pytest.raises(ValueError):
        build_ibt(variables, {"A": [1, 2], "B": [1]})
    with pytest.raises(ValueError):
        build_ibt(variables, {"A": [1, 2]}, record_count=3)
    assert field(build_ibt(variables, record_count=4), "session_record_count") == 4


def test_no_variables_give_an_empty_record():
    data, layout = build_ibt_layout([])
    assert len(data) == 144
    assert (layout.buf_len, layout.num_vars, layout.record_count) == (0, 0, 0)


def test_overrides_change_only_the_stored_fields():
    plain = build_ibt([Var("SessionTime", DOUBLE)], {"SessionTime": [1.0]})
    overrides = {
        "num_vars": -5,
        "var_header_offset": -1,
        "session_info_offset": 290,
        "session_info_len": 6,
        "buf_offset": 7,
        "session_record_count": 3,
    }
    data, layout = build_ibt_layout(
        [Var("SessionTime", DOUBLE)], {"SessionTime": [1.0]}, **overrides
    )
    assert {name: field(data, name) for name in overrides} == overrides
    assert data[144:] == plain[144:]  # regions stay where they were
    assert layout.data_end == 7 + 8 * 3
    assert (layout.num_vars, layout.var_header_offset) == (-5, -1)


def test_raw_data_tail_and_truncate():
    variables = [Var("SessionTime", DOUBLE, offset=8)]
    data, layout = build_ibt_layout(variables, data=bytes(range(48)), buf_len=16)
    assert layout.record_count == field(data, "session_record_count") == 3
    assert data[layout.buf_offset :] == bytes(range(48))
    data = build_ibt(variables, data=bytes(48), buf_len=16, record_count=1, tail=b"XYZ")
    assert field(data, "session_record_count") == 1 and data.endswith(b"XYZ")
    cut = build_ibt([Var("SessionTime", DOUBLE)], {"SessionTime": [0.0]}, truncate=295)
    assert len(cut) == 295
    with pytest.raises(ValueError):
        build_ibt(variables, {"SessionTime": [1.0]}, data=bytes(16))


def _column(data: bytes, name: bytes) -> tuple[int, int, int]:
    for index in range(field(data, "num_vars")):
        vtype, offset, count, raw, _, _ = var_header(data, index)
        if raw.rstrip(b"\0") == name:
            return vtype, offset, count
    raise KeyError(name)


def test_sample_session_is_deterministic_and_plausible(tmp_path):
    data = sample_session()
    assert data == sample_session()
    assert write_sample(tmp_path / "s.ibt").read_bytes() == data
    n = field(data, "session_record_count")
    assert field(data, "tick_rate") == 60
    assert n == (len(data) - field(data, "buf_offset")) // field(data, "buf_len")
    assert 5 * 60 * 60 <= n <= 5 * 120 * 60  # five laps of one to two minutes

    def values(name: bytes, fmt: str) -> list:
        _, offset, _ = _column(data, name)
        width = struct.calcsize("<" + fmt)
        return [struct.unpack("<" + fmt, record_bytes(data, i, offset, width))[0] for i in range(n)]

    time = values(b"SessionTime", "d")
    steps = {round(b - a, 9) for a, b in zip(time, time[1:])}
    assert steps == {round(1 / 60, 9)}
    laps = values(b"Lap", "i")
    assert sorted(set(laps)) == [1, 2, 3, 4, 5] and laps == sorted(laps)
    pit = values(b"OnPitRoad", "B")
    assert pit[0] == 1 and pit[-1] == 1 and 0 in pit
    assert _column(data, b"CarIdxLapDistPct")[2] == 64
    assert _column(data, b"CarIdxPosition")[2] == 64

    start, length = field(data, "session_info_offset"), field(data, "session_info_len")
    info = data[start : start + length]
    assert info.startswith(b"---\nWeekendInfo:\n TrackName: ")
    # The track length, rounded to 10 m as the simulator writes it, is the distance driven.
    length = re.search(rb"\n TrackLength: (\d+\.\d\d) km\n", info)
    assert length is not None
    assert abs(float(length[1]) * 1000.0 - max(values(b"LapDist", "f"))) < 10.0
    text = info.rstrip(b"\0")
    assert text.endswith(b"...\n") and len(text) < len(info)


def test_negative_buf_len_is_stored_with_raw_data_only():
    variables = [Var("SessionTime", DOUBLE)]
    data, layout = build_ibt_layout(variables, data=b"\x01" * 8, buf_len=-8, record_count=1)
    assert field(data, "buf_len") == layout.buf_len == -8
    assert data.endswith(b"\x01" * 8)
    with pytest.raises(ValueError):
        build_ibt(variables, {"SessionTime": [0.0]}, buf_len=-8)
