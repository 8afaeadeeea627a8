"""File header and layout checks, in the order the reader applies them."""

from __future__ import annotations

import struct

import pytest
from corvex._corvex_rs import ibt

from corvex.testing import DOUBLE, FLOAT, Var, build_ibt, build_ibt_layout, layout

I32_MAX = 2**31 - 1


def minimal(**options) -> bytes:
    """The 296-byte file: SessionTime (Double) at offset 0, one 8-byte record at 288.

    A negative buf_len is patched into the header: the writer cannot lay out such records.
    """
    buf_len = options.pop("buf_len", None)
    data = build_ibt([Var("SessionTime", DOUBLE)], {"SessionTime": [0.125]}, **options)
    if buf_len is None:
        return data
    patched = bytearray(data)
    layout.patch_field(patched, "buf_len", buf_len)
    return bytes(patched)


def invalid(data: bytes) -> str:
    """The message of the RuntimeError that parsing `data` raises."""
    with pytest.raises(RuntimeError) as info:
        ibt(data)
    assert type(info.value) is RuntimeError
    return str(info.value)


def timecodes(log) -> list[int]:
    return log.channels["SessionTime"].column("timecodes").to_pylist()


def test_minimal_file_and_its_one_byte_cut():
    data = minimal()
    assert len(data) == 296
    fields = layout.read_fields(data)
    assert (fields["session_info_len"], fields["session_info_offset"]) == (0, 288)
    assert (fields["num_vars"], fields["var_header_offset"]) == (1, 144)
    log = ibt(data)
    assert timecodes(log) == [125]
    assert log.metadata["record_count"] == 1
    assert (
        invalid(data[:295]) == "Invalid header: File too small for 1 records: 295 bytes (need 296)"
    )


@pytest.mark.parametrize("length", [0, 1, 100, 111])
def test_shorter_than_main_header(length):
    assert invalid(minimal()[:length]) == (
        f"Invalid header: File too small for header: {length} bytes (need 112)"
    )


@pytest.mark.parametrize("version", [0, -1, 3, I32_MAX, -(2**31)])
def test_unsupported_versions(version):
    assert (
        invalid(minimal(version=version)) == f"Invalid header: Unsupported IBT version: {version}"
    )


@pytest.mark.parametrize("version", [1, 2])
def test_supported_versions(version):
    assert timecodes(ibt(minimal(version=version))) == [125]


@pytest.mark.parametrize(
    ("version", "length", "message"),
    [
        (2, 120, "File too small for disk sub-header: 120 bytes (need 144)"),
        (1, 143, "File too small for disk sub-header: 143 bytes (need 144)"),
        (2, 112, "File too small for disk sub-header: 112 bytes (need 144)"),
        (3, 120, "Unsupported IBT version: 3"),
        (3, 100, "File too small for header: 100 bytes (need 112)"),
    ],
)
def test_header_size_and_version_order(version, length, message):
    assert invalid(minimal(version=version)[:length]) == "Invalid header: " + message


@pytest.mark.parametrize(
    ("name", "value"),
    [
        ("var_header_offset", -1),
        ("num_vars", -1),
        ("num_vars", -(2**31)),
        ("session_info_offset", -1),
        ("session_info_len", -7),
        ("buf_len", -1),
        ("buf_offset", -288),
        ("session_record_count", -1),
    ],
)
def test_negative_fields(name, value):
    assert invalid(minimal(**{name: value})) == (
        f"Invalid header: {name} must be non-negative, got {value}"
    )


@pytest.mark.parametrize(
    ("options", "message"),
    [
        (
            {"var_header_offset": -1, "num_vars": -1},
            "var_header_offset must be non-negative, got -1",
        ),
        ({"num_vars": -2, "session_info_len": -1}, "num_vars must be non-negative, got -2"),
        (
            {"num_vars": 2, "session_info_offset": -1},
            "File too small for 2 variable headers at offset 144: 296 bytes (need 432)",
        ),
        (
            {"session_info_offset": -1, "session_info_len": -1, "buf_len": -1},
            "session_info_offset must be non-negative, got -1",
        ),
        ({"session_info_len": -3, "buf_len": -1}, "session_info_len must be non-negative, got -3"),
        (
            {"session_info_offset": 296, "session_info_len": 1, "buf_len": -1},
            "File too small for session info: 296 bytes (need 297)",
        ),
        ({"buf_len": -1, "buf_offset": -1}, "buf_len must be non-negative, got -1"),
        ({"buf_offset": -1, "session_record_count": -1}, "buf_offset must be non-negative, got -1"),
        ({"buf_offset": 289}, "File too small for 1 records: 296 bytes (need 297)"),
        ({"session_record_count": 2}, "File too small for 2 records: 296 bytes (need 304)"),
    ],
)
def test_first_failing_check_wins(options, message):
    assert invalid(minimal(**options)) == "Invalid header: " + message


@pytest.mark.parametrize(
    ("num_vars", "offset"),
    [(1, 153), (2, 144), (3, 0), (0, 297), (I32_MAX, 0), (I32_MAX, I32_MAX), (0, I32_MAX)],
)
def test_variable_header_block_must_fit(num_vars, offset):
    need = num_vars * 144 + offset
    assert invalid(minimal(num_vars=num_vars, var_header_offset=offset)) == (
        f"Invalid header: File too small for {num_vars} variable headers at offset {offset}: "
        f"296 bytes (need {need})"
    )


def test_no_variables_passes_the_layout_checks():
    """num_vars 0 with the block offset at the very end: only SessionTime is then missing."""
    assert invalid(minimal(num_vars=0, var_header_offset=296)) == (
        "Invalid header: Missing SessionTime variable"
    )


@pytest.mark.parametrize(
    ("offset", "length"),
    [(290, 7), (0, 297), (I32_MAX, I32_MAX), (I32_MAX, 0), (297, 0)],
)
def test_session_info_region_must_fit(offset, length):
    data = minimal(session_info_offset=offset, session_info_len=length)
    assert invalid(data) == (
        f"Invalid header: File too small for session info: 296 bytes (need {offset + length})"
    )


def test_session_info_region_ending_at_file_end_is_accepted():
    log = ibt(minimal(session_info_offset=296, session_info_len=0))
    assert log.metadata["session_info_yaml"] == ""
    assert ibt(minimal(session_info_offset=200, session_info_len=96)).metadata["record_count"] == 1


def test_exact_data_end_accepted_one_short_rejected():
    variables = [Var("SessionTime", DOUBLE), Var("Speed", FLOAT)]
    columns = {"SessionTime": [0.0, 0.5, 1.0]}
    data, layout = build_ibt_layout(variables, columns, session_info="---\n")
    assert layout.data_end == len(data)
    assert timecodes(ibt(data)) == [0, 500, 1000]
    assert invalid(data[:-1]) == (
        f"Invalid header: File too small for 3 records: {len(data) - 1} bytes "
        f"(need {layout.data_end})"
    )


def test_surplus_after_the_data_region_is_ignored():
    data = minimal(tail=b"\xff" * 1000)
    log = ibt(data)
    assert timecodes(log) == [125]
    assert log.metadata["record_count"] == 1


@pytest.mark.parametrize("buf_offset", [0, 144, 287, 288])
def test_zero_records_accept_any_region_start_within_the_file(buf_offset):
    data = build_ibt([Var("SessionTime", DOUBLE)], record_count=0, buf_offset=buf_offset)
    assert len(data) == 288
    log = ibt(data)
    assert log.metadata["record_count"] == 0
    assert timecodes(log) == []


def test_zero_records_with_region_start_past_the_end():
    data = build_ibt([Var("SessionTime", DOUBLE)], record_count=0, buf_offset=289)
    assert invalid(data) == "Invalid header: File too small for 0 records: 288 bytes (need 289)"


@pytest.mark.parametrize(("records", "buf_len"), [(I32_MAX, 8), (I32_MAX, I32_MAX), (2, I32_MAX)])
def test_data_end_is_computed_without_overflow(records, buf_len):
    data = bytearray(minimal())
    layout.patch_field(data, "buf_len", buf_len)
    layout.patch_field(data, "session_record_count", records)
    assert invalid(bytes(data)) == (
        f"Invalid header: File too small for {records} records: 296 bytes "
        f"(need {288 + buf_len * records})"
    )


def test_overlapping_regions_are_accepted():
    """The session info region lies over the variable name, the data region over the
    disk sub-header: record 0's SessionTime is then the stored start_time."""
    data = build_ibt(
        [Var("SessionTime", DOUBLE)],
        record_count=0,
        start_time=12.5,
        session_info_offset=144 + 16,
        session_info_len=32,
        buf_offset=120,
        session_record_count=2,
    )
    log = ibt(data)
    assert log.metadata["session_info_yaml"] == "SessionTime"
    # record 1 is the end_time (0.0) stored right after start_time
    assert timecodes(log) == [12500, 0]


def test_fields_that_are_not_validated_may_hold_anything():
    data = bytearray(minimal(tick_rate=60, lap_count=3))
    for start, end in [(4, 8), (12, 16), (32, 36), (40, 52), (56, 112)]:
        data[start:end] = b"\xff" * (end - start)
    log = ibt(bytes(data))
    assert timecodes(log) == [125]
    assert (log.metadata["tick_rate"], log.metadata["lap_count"]) == (60, 3)


def test_only_the_first_buffer_offset_is_used():
    data = bytearray(minimal())
    for descriptor in (1, 2, 3):
        layout.patch_buffer_descriptor(data, descriptor, 0, 7)
    assert timecodes(ibt(bytes(data))) == [125]


def test_real_file_header_matches_struct_reading(real_file):
    data = real_file.read_bytes()
    fields = layout.read_fields(data)
    version, tick_rate = fields["version"], fields["tick_rate"]
    start_date, lap_count = fields["session_start_date"], fields["lap_count"]
    records = fields["session_record_count"]
    log = ibt(str(real_file))
    assert version in (1, 2)
    assert log.source == str(real_file)
    meta = log.metadata
    assert meta["tick_rate"] == tick_rate
    assert meta["record_count"] == records
    assert meta["lap_count"] == lap_count
    assert meta["session_start_date"] == start_date
    for name in ("start_time", "end_time"):  # bit for bit, NaN payloads included
        at = layout.field(name).offset
        assert struct.pack("<d", meta[name]) == data[at : at + 8], name
    assert ibt(data).metadata == meta
