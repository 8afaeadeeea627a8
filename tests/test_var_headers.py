"""Variable headers: type codes, counts, text fields, name lookup and placement checks."""

from __future__ import annotations

import pytest
from corvex._corvex_rs import ibt
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

from corvex.testing import BITFIELD, BOOL, CHAR, DOUBLE, FLOAT, INT, Var, build_ibt, layout

TIME = Var("SessionTime", DOUBLE)


def invalid(data: bytes) -> str:
    with pytest.raises(RuntimeError) as info:
        ibt(data)
    assert type(info.value) is RuntimeError
    return str(info.value)


def field_metadata(log, name: str) -> dict[bytes, bytes]:
    return dict(log.channels[name].schema.field(1).metadata)


@pytest.mark.parametrize(
    ("vtype", "count", "message"),
    [
        (6, 1, "Unknown variable type: 6"),
        (-1, 1, "Unknown variable type: -1"),
        (7, -1, "Unknown variable type: 7"),
        (2**31 - 1, 1, "Unknown variable type: 2147483647"),
        (-(2**31), 1, "Unknown variable type: -2147483648"),
        (INT, -1, "Variable count must be non-negative, got -1"),
        (DOUBLE, -(2**31), "Variable count must be non-negative, got -2147483648"),
    ],
)
def test_bad_type_or_count(vtype, count, message):
    data = build_ibt([TIME, Var("Bad", vtype, count=count)], {"SessionTime": [0.0]})
    assert invalid(data) == "Invalid header: " + message


@pytest.mark.parametrize(
    ("variables", "message"),
    [
        ([Var("A", 9), Var("B", INT, count=-1)], "Unknown variable type: 9"),
        ([Var("A", INT, count=-2), Var("B", 8)], "Variable count must be non-negative, got -2"),
        ([Var("A", INT), Var("B", 12), Var("C", 13)], "Unknown variable type: 12"),
    ],
)
def test_first_bad_header_in_file_order_wins(variables, message):
    data = build_ibt([TIME, *variables], {"SessionTime": [0.0]})
    assert invalid(data) == "Invalid header: " + message


@pytest.mark.parametrize(
    "options", [{"session_info_offset": -1}, {"session_info_len": 10_000}, {"buf_offset": -1}]
)
def test_variable_headers_are_decoded_before_later_checks(options):
    data = build_ibt([TIME, Var("X", 9)], {"SessionTime": [0.0]}, **options)
    assert invalid(data) == "Invalid header: Unknown variable type: 9"


def test_count_zero_is_accepted_and_gives_no_channel():
    variables = [TIME, Var("Nothing", INT, count=0), Var("Speed", FLOAT)]
    log = ibt(build_ibt(variables, {"SessionTime": [1.0], "Speed": [3.5]}))
    assert list(log.channels) == ["SessionTime", "Speed"]
    assert log.channels["Speed"].column("Speed").to_pylist() == [3.5]


@pytest.mark.parametrize(
    ("raw", "expected"),
    [
        (b"A" * 32, "A" * 32),
        (b"B" * 40, "B" * 32),
        (b"\0Name", ""),
        (b"Speed\0XYZ", "Speed"),
        (b"Sp\xffeed", "Sp\ufffdeed"),
        (b" Spaced ", " Spaced "),
        ("Geschwindigkeit-\u00fc\u20ac".encode(), "Geschwindigkeit-\u00fc\u20ac"),
        (b"\xe2\x82\xac" * 10 + b"\xe2\x82", "\u20ac" * 10 + "\ufffd"),
    ],
    ids=["32-bytes", "cut-at-32", "leading-nul", "nul-inside", "ff", "spaces", "utf8", "cut-utf8"],
)
def test_name_decoding(raw, expected):
    variables = [TIME, Var(raw, INT, desc="the description", unit="kg")]
    log = ibt(build_ibt(variables, {"SessionTime": [0.0], 1: [42]}))
    assert list(log.channels) == ["SessionTime", expected]
    table = log.channels[expected]
    assert table.schema.field(1).name == expected
    assert table.column(1).to_pylist() == [42]
    metadata = field_metadata(log, expected)
    assert metadata[b"desc"] == b"the description"
    assert metadata[b"units"] == b"kg"


@pytest.mark.parametrize(
    ("desc", "unit"),
    [
        (b"d" * 64, b"u" * 32),
        (b"d" * 70, b"u" * 40),
        (b"x\0y", b"m\0s"),
        (b"\xc3(\xa0", b"\xff\xfe"),
        (b"", b""),
    ],
)
def test_description_and_unit_decoding(desc, unit):
    variables = [TIME, Var("V", FLOAT, desc=desc, unit=unit)]
    metadata = field_metadata(ibt(build_ibt(variables, {"SessionTime": [0.0]})), "V")
    expected_desc = desc[:64].split(b"\0")[0].decode("utf-8", "replace")
    expected_unit = unit[:32].split(b"\0")[0].decode("utf-8", "replace")
    assert metadata[b"desc"].decode() == expected_desc
    assert metadata[b"units"].decode() == expected_unit


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(raw=st.binary(min_size=1, max_size=40))
def test_name_utf8_replacement_matches_python(raw):
    """Names decode like bytes.decode("utf-8", "replace"): one U+FFFD per maximal invalid part."""
    expected = raw[:32].split(b"\0")[0].decode("utf-8", "replace")
    assume(expected != "SessionTime")
    variables = [TIME, Var(raw, CHAR, unit=raw[:32])]
    log = ibt(build_ibt(variables, {"SessionTime": [0.0], 1: [7]}))
    assert list(log.channels) == ["SessionTime", expected]
    assert field_metadata(log, expected)[b"units"].decode() == expected


def twelve_variables(third: Var, tenth: Var) -> list[Var]:
    variables = [Var(f"F{i}", INT, offset=4 * i) for i in range(12)]
    variables[3], variables[10] = third, tenth
    return variables


def test_duplicate_names_last_header_is_found():
    """The SessionTime used for the time base is the last header of that name."""
    single = Var("SessionTime", FLOAT, offset=100)
    double = Var("SessionTime", DOUBLE, offset=104)
    data = build_ibt(
        twelve_variables(single, double), {3: [1.25, 2.5], 10: [0.5, 7.0]}, buf_len=112
    )
    assert ibt(data).channels["F0"].column("timecodes").to_pylist() == [500, 7000]

    data = build_ibt(
        twelve_variables(double, single), {3: [0.5, 7.0], 10: [1.25, 2.5]}, buf_len=112
    )
    assert invalid(data) == "Invalid header: SessionTime should be double, got Float"


def test_duplicate_channel_names_keep_first_position_and_last_table():
    variables = [TIME, Var("Speed", FLOAT), Var("Gear", INT), Var("Speed", FLOAT)]
    log = ibt(build_ibt(variables, {"SessionTime": [0.0, 1.0], 1: [1.0, 2.0], 3: [8.0, 9.0]}))
    assert list(log.channels) == ["SessionTime", "Speed", "Gear"]
    assert log.channels["Speed"].column("Speed").to_pylist() == [8.0, 9.0]


@pytest.mark.parametrize(
    "name",
    ["sessiontime", "SESSIONTIME", "SessionTime ", " SessionTime", "SessionTimeX", "Session"],
)
def test_lookup_is_exact(name):
    data = build_ibt([Var(name, DOUBLE)], {name: [1.0]})
    assert invalid(data) == "Invalid header: Missing SessionTime variable"


def test_lookup_uses_the_decoded_name():
    data = build_ibt([Var(b"Session\xffTime", DOUBLE)], {0: [1.0]})
    assert invalid(data) == "Invalid header: Missing SessionTime variable"


@pytest.mark.parametrize(
    ("variables", "buf_len", "message"),
    [
        ([Var("A", INT, offset=9)], 12, "Variable 'A' offset 9 + size 4 exceeds buffer length 12"),
        (
            [Var("A", INT, offset=8), Var("B", INT, offset=10), Var("C", INT, offset=11)],
            12,
            "Variable 'B' offset 10 + size 4 exceeds buffer length 12",
        ),
        (
            [Var("Arr", FLOAT, offset=4, count=3)],
            12,
            "Variable 'Arr' offset 4 + size 12 exceeds buffer length 12",
        ),
        (
            [Var("Z", INT, offset=13, count=0)],
            12,
            "Variable 'Z' offset 13 + size 0 exceeds buffer length 12",
        ),
        (
            [Var("B", BOOL, offset=12)],
            12,
            "Variable 'B' offset 12 + size 1 exceeds buffer length 12",
        ),
        (
            [Var(b"T\xc3\xbcr\xff", BITFIELD, offset=10)],
            12,
            "Variable 'T\u00fcr\ufffd' offset 10 + size 4 exceeds buffer length 12",
        ),
        (
            [Var("Big", INT, offset=2**31 - 1, count=2**31 - 1)],
            12,
            f"Variable 'Big' offset {2**31 - 1} + size {4 * (2**31 - 1)} exceeds buffer length 12",
        ),
        (
            [Var("Neg", INT, offset=-1), Var("Over", INT, offset=20)],
            12,
            "var offset must be non-negative, got -1",
        ),
        (
            [Var("Over", INT, offset=20), Var("Neg", INT, offset=-1)],
            12,
            "Variable 'Over' offset 20 + size 4 exceeds buffer length 12",
        ),
    ],
)
def test_placement_checks(variables, buf_len, message):
    data = build_ibt([TIME, *variables], {"SessionTime": [0.0]}, buf_len=buf_len)
    assert invalid(data) == "Invalid header: " + message


@pytest.mark.parametrize(
    ("options", "message"),
    [
        ({"session_info_len": -1}, "session_info_len must be non-negative, got -1"),
        ({"session_info_offset": 10_000}, "File too small for session info: "),
        ({"buf_offset": -1}, "var offset must be non-negative, got -1"),
        ({"session_record_count": -1}, "var offset must be non-negative, got -1"),
    ],
)
def test_variable_placement_is_checked_between_session_info_and_data_region(options, message):
    data = build_ibt([TIME, Var("Neg", INT, offset=-1)], buf_len=8, record_count=0, **options)
    assert invalid(data).startswith("Invalid header: " + message)


def test_negative_buf_len_is_reported_before_variable_placement():
    data = bytearray(build_ibt([TIME, Var("Neg", INT, offset=-1)], buf_len=8, record_count=0))
    layout.patch_field(data, "buf_len", -5)
    assert invalid(bytes(data)) == "Invalid header: buf_len must be non-negative, got -5"


def test_variable_ending_exactly_at_buf_len_is_read_in_every_record():
    variables = [TIME, Var("Tail", INT, offset=12), Var("Flag", BOOL, offset=11)]
    data = build_ibt(
        variables, {"SessionTime": [0.0, 0.1, 0.2], "Tail": [-1, 5, 2**31 - 1], "Flag": [0, 2, 255]}
    )
    log = ibt(data)
    assert log.channels["Tail"].column("Tail").to_pylist() == [-1, 5, 2**31 - 1]
    assert log.channels["Flag"].column("Flag").to_pylist() == [False, True, True]
