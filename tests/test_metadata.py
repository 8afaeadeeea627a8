"""Session info extraction, weekend-field scanning and the metadata dictionary."""

from __future__ import annotations

import math
import struct

import pytest
from corvex._corvex_rs import ibt
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from corvex.testing import DOUBLE, Bits, Var, build_ibt, layout

HEADER_KEYS = [
    "tick_rate",
    "record_count",
    "lap_count",
    "session_start_date",
    "start_time",
    "end_time",
]
PREFIXES = {
    "TrackName: ": "track_name",
    "TrackDisplayName: ": "track_display_name",
    "TrackCity: ": "track_city",
    "TrackCountry: ": "track_country",
    "TrackLength: ": "track_length",
    "SeriesID: ": "series_id",
    "SeasonID: ": "season_id",
    "SessionID: ": "session_id",
    "SubSessionID: ": "sub_session_id",
}
# Characters with the Unicode White_Space property.
WHITE_SPACE = (
    "\t\n\x0b\x0c\r \x85\xa0\u1680"
    + "".join(chr(c) for c in range(0x2000, 0x200B))
    + "\u2028\u2029\u202f\u205f\u3000"
)
# Characters that str.isspace() or other notions of blank accept but White_Space does not.
NOT_WHITE_SPACE = "\x1c\x1d\x1e\x1f\u200b\u180e\ufeff\x00"


def metadata(session_info: str | bytes = b"", records: int = 1, **options) -> dict:
    data = build_ibt(
        [Var("SessionTime", DOUBLE)],
        {"SessionTime": [0.0] * records},
        session_info=session_info,
        **options,
    )
    return ibt(data).metadata


def weekend(session_info: str | bytes) -> dict[str, str]:
    meta = metadata(session_info)
    return {key: value for key, value in meta.items() if key in PREFIXES.values()}


# -- reference model of the text handling, written from the file format's rules ----------------


def reference_text(region: bytes) -> str:
    start = region.find(b"---") if len(region) >= 3 else -1
    if start < 0:
        start = next((i for i, b in enumerate(region) if b != 0), 0)
    end = len(region)
    while end > start and region[end - 1] == 0:
        end -= 1
    return region[start:end].decode("utf-8", "replace")


def reference_fields(text: str) -> dict[str, str]:
    lines = text.split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    found: dict[str, str] = {}
    for line in lines:
        if line.endswith("\r"):
            line = line[:-1]
        line = line.strip(WHITE_SPACE)
        for prefix, key in PREFIXES.items():
            if line.startswith(prefix):
                value = line[len(prefix) :].strip(WHITE_SPACE)
                if value:
                    found[key] = value
    return found


# -- the dictionary ----------------------------------------------------------------------------


def test_no_weekend_fields_gives_exactly_seven_keys():
    meta = metadata(
        "---\nWeekendInfo:\n TrackID: 1\n", tick_rate=60, lap_count=2, session_start_date=17
    )
    assert list(meta) == ["session_info_yaml", *HEADER_KEYS]
    assert meta["session_info_yaml"] == "---\nWeekendInfo:\n TrackID: 1\n"
    assert meta["tick_rate"] == 60 and meta["lap_count"] == 2
    assert meta["session_start_date"] == 17 and meta["record_count"] == 1


def test_value_types():
    meta = metadata(
        "SeriesID: 0\nTrackLength: 4.32 km\n", start_time=1.0, end_time=2, session_start_date=5
    )
    assert [type(meta[key]) for key in ["session_info_yaml", "series_id", "track_length"]] == [
        str,
        str,
        str,
    ]
    assert meta["series_id"] == "0"
    assert meta["track_length"] == "4.32 km"
    assert [type(meta[key]) for key in HEADER_KEYS] == [int, int, int, int, float, float]


@pytest.mark.parametrize(
    "options",
    [
        {"tick_rate": -60, "lap_count": -1},
        {"tick_rate": -(2**31), "lap_count": 2**31 - 1},
        {"session_start_date": -(2**63)},
        {"session_start_date": 2**63 - 1},
    ],
)
def test_header_values_are_reported_as_stored(options):
    meta = metadata(**options)
    for key, value in options.items():
        assert meta[key] == value and type(meta[key]) is int


@pytest.mark.parametrize(
    "bits",
    [
        0x7FF8_0000_0000_0000,  # NaN
        0x7FF8_0000_0000_1234,  # NaN with payload
        0xFFF0_0000_0000_0001,  # signalling NaN, sign set
        0x7FF0_0000_0000_0000,  # +inf
        0xFFF0_0000_0000_0000,  # -inf
        0x8000_0000_0000_0000,  # -0.0
        0x0000_0000_0000_0001,  # smallest subnormal
    ],
)
def test_start_and_end_time_keep_their_bits(bits):
    meta = metadata(start_time=Bits(bits), end_time=Bits(bits ^ (1 << 63)))
    assert struct.unpack("<Q", struct.pack("<d", meta["start_time"]))[0] == bits
    assert struct.unpack("<Q", struct.pack("<d", meta["end_time"]))[0] == bits ^ (1 << 63)


def test_nan_and_infinite_times():
    meta = metadata(start_time=math.nan, end_time=-math.inf)
    assert math.isnan(meta["start_time"]) and meta["end_time"] == -math.inf


def test_record_count_zero():
    meta = metadata(records=0)
    assert meta["record_count"] == 0 and type(meta["record_count"]) is int


def test_weekend_keys_follow_text_order_and_last_value_wins():
    text = (
        "---\nWeekendInfo:\n SessionID: 11\n TrackName: first\n SeriesID: 0\n"
        " TrackName: second\n SessionID: 22\n"
    )
    meta = metadata(text)
    assert list(meta) == [
        "session_info_yaml",
        "session_id",
        "track_name",
        "series_id",
        *HEADER_KEYS,
    ]
    assert (meta["session_id"], meta["track_name"], meta["series_id"]) == ("22", "second", "0")


def test_all_nine_fields_of_a_simulator_text():
    text = (
        "---\nWeekendInfo:\n TrackName: spielberg gp\n TrackID: 9\n TrackLength: 4.2 km\n"
        " TrackDisplayName: Red Bull Ring\n TrackCity: Spielberg\n TrackCountry: Austria\n"
        " SeriesID: 0\n SeasonID: 0\n SessionID: 0\n SubSessionID: 0\n"
        "SessionInfo:\n Sessions:\n - SessionNum: 0\n...\n"
    )
    assert weekend(text) == {
        "track_name": "spielberg gp",
        "track_length": "4.2 km",
        "track_display_name": "Red Bull Ring",
        "track_city": "Spielberg",
        "track_country": "Austria",
        "series_id": "0",
        "season_id": "0",
        "session_id": "0",
        "sub_session_id": "0",
    }
    assert list(weekend(text)) == [
        "track_name",
        "track_length",
        "track_display_name",
        "track_city",
        "track_country",
        "series_id",
        "season_id",
        "session_id",
        "sub_session_id",
    ]


# -- scanning rules ----------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("text", "expected"),
    [
        ("  TrackName: X  \n", {"track_name": "X"}),
        ("TrackName: X", {"track_name": "X"}),
        ("TrackName: X\r\nTrackCity: Y\r\n", {"track_name": "X", "track_city": "Y"}),
        ("TrackName: X\rTrackCity: Y\n", {"track_name": "X\rTrackCity: Y"}),
        ("TrackCity:\n", {}),
        ("TrackCity:   \n", {}),
        ("TrackCity: \u3000\n", {}),
        ("TrackCity:  X\n", {"track_city": "X"}),
        ("TrackCity:\tX\n", {}),
        ("TrackCity :X\n", {}),
        ("TrackNames: X\nTrackNameShort: Y\nSessionIDs: 3\n", {}),
        ("TrackDisplayShortName: X\nSubSessionIDX: 2\n", {}),
        ("trackname: X\nTRACKNAME: Y\nTrackname: Z\nsessionid: 1\n", {}),
        ('TrackName: "Red Bull Ring"\n', {"track_name": '"Red Bull Ring"'}),
        ("TrackName: 'quoted'  # comment\n", {"track_name": "'quoted'  # comment"}),
        ("- TrackName: X\n", {}),
        ("# TrackName: X\n", {}),
        ("Deep:\n   Deeper:\n      TrackCountry: AT\n", {"track_country": "AT"}),
        ("TrackName: a: b: c\n", {"track_name": "a: b: c"}),
        ("TrackName: A\u2028TrackCity: B\n", {"track_name": "A\u2028TrackCity: B"}),
        ("TrackName: A\x85\n", {"track_name": "A"}),
        ("TrackLength: 4.3180 km\n", {"track_length": "4.3180 km"}),
        ("SessionID: 1\nSessionID: 2\n", {"session_id": "2"}),
        ("SessionID: 1\nSessionID:\n", {"session_id": "1"}),
        ("SubSessionID: 5\nSessionID: 6\n", {"sub_session_id": "5", "session_id": "6"}),
        ("", {}),
        ("\n\n\n", {}),
    ],
)
def test_scan_rules(text, expected):
    assert weekend(text) == expected


def test_crlf_and_lf_give_the_same_values():
    lf = "---\nWeekendInfo:\n TrackName: gp\n TrackCity: Town \n SeriesID: 4\n"
    crlf = lf.replace("\n", "\r\n")
    assert (
        weekend(crlf) == weekend(lf) == {"track_name": "gp", "track_city": "Town", "series_id": "4"}
    )
    assert metadata(crlf)["session_info_yaml"] == crlf


@pytest.mark.parametrize(
    "char", list(WHITE_SPACE.replace("\n", "")), ids=lambda c: f"U+{ord(c):04X}"
)
def test_unicode_white_space_is_trimmed(char):
    text = f"{char}{char}TrackName: {char}Value X{char}\nSeriesID: 7{char}\n"
    assert weekend(text) == {"track_name": "Value X", "series_id": "7"}


@pytest.mark.parametrize("char", list(NOT_WHITE_SPACE), ids=lambda c: f"U+{ord(c):04X}")
def test_other_characters_are_not_trimmed(char):
    assert weekend(f"---\nTrackName: X{char}\n") == {"track_name": f"X{char}"}
    assert weekend(f"---\n{char}TrackCity: Y\n") == {}


# -- extraction of the region ------------------------------------------------------------------


@pytest.mark.parametrize(
    ("region", "text"),
    [
        (b"\0\0---\nTrackName: A\n\0\0\0", "---\nTrackName: A\n"),
        (b"\0\0TrackName: A\n", "TrackName: A\n"),
        (b"\0" * 50, ""),
        (b"", ""),
        (b"junk TrackName: B\n---\nTrackName: A\n", "---\nTrackName: A\n"),
        (b"TrackName: B\n--- x\n\0", "--- x\n"),
        (b"----\n\0", "----\n"),
        (b"---\nA\0B\n\0\0", "---\nA\0B\n"),
        (b"\0A\0\0B\0\0", "A\0\0B"),
        (b"\0x", "x"),
        (b"--", "--"),
        (b"\0-", "-"),
        (b"-\0-\0-", "-\0-\0-"),
        (b"\0\0---", "---"),
        (b"abc\0\0", "abc"),
    ],
)
def test_region_extraction(region, text):
    meta = metadata(region)
    assert meta["session_info_yaml"] == text


def test_dropped_prefix_hides_its_fields():
    meta = metadata(b"TrackName: before\n---\nTrackCity: after\n")
    assert "track_name" not in meta and meta["track_city"] == "after"


INVALID_UTF8 = [
    b"\xc0\xaf",  # overlong "/"
    b"\xc1\xbf",
    b"\xe0\x80\xaf",  # overlong, three bytes
    b"\xf0\x80\x80\xaf",  # overlong, four bytes
    b"\xed\xa0\x80",  # UTF-16 surrogate
    b"\xed\xbf\xbf",
    b"\xe2\x82",  # truncated three-byte sequence
    b"\xf0\x9f\x98",  # truncated four-byte sequence
    b"\xf4\x90\x80\x80",  # above U+10FFFF
    b"\xf4\x90",
    b"\xf5\x80",
    b"\xf8\x88\x80\x80\x80",
    b"\xfe\xff",
    b"\xff",
    b"\x80",
    b"\xbf\x80\xbf",
    b"\xe2\x28\xa1",
    b"\xc3",
    b"\xe1\x80\xe2\xf0\x91\x92\xf1\xbf\x41",
    "\u00e9\u20ac\U0001f600".encode(),  # valid, for contrast
]


@pytest.mark.parametrize("sequence", INVALID_UTF8, ids=lambda b: b.hex())
def test_utf8_replacement_matches_python(sequence):
    region = b"---\nTrackName: X" + sequence + b"Y\nTrackCity: " + sequence + b"\0\0"
    meta = metadata(region)
    text = region.rstrip(b"\0").decode("utf-8", "replace")
    assert meta["session_info_yaml"] == text
    assert meta["track_name"] == (b"X" + sequence + b"Y").decode("utf-8", "replace")
    assert meta["track_city"] == sequence.decode("utf-8", "replace")


FRAGMENTS = [
    *PREFIXES,
    "TrackName:",
    "trackname: ",
    "SessionID:",
    "---",
    "--",
    "-",
    "\n",
    "\r\n",
    "\r",
    " ",
    "  ",
    "\t",
    "\u00a0",
    "\u3000",
    "\u2028",
    "\x1f",
    "\0",
    "\0\0\0",
    "x",
    "Spielberg",
    "4.3 km",
    '"q"',
    ":",
    "#",
    "\u00e9",
]


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    parts=st.lists(
        st.one_of(
            st.sampled_from(FRAGMENTS).map(lambda s: s.encode("utf-8")),
            st.binary(min_size=1, max_size=4),
        ),
        max_size=40,
    )
)
def test_text_and_fields_match_a_reference_model(parts):
    region = b"".join(parts)
    text = reference_text(region)
    meta = metadata(region)
    assert meta["session_info_yaml"] == text
    expected = reference_fields(text)
    assert {k: v for k, v in meta.items() if k in PREFIXES.values()} == expected
    assert list(meta) == ["session_info_yaml", *expected, *HEADER_KEYS]


def test_real_file_session_info(real_file):
    data = real_file.read_bytes()
    length = layout.read_field(data, "session_info_len")
    offset = layout.read_field(data, "session_info_offset")
    text = reference_text(data[offset : offset + length])
    meta = ibt(str(real_file)).metadata
    assert meta["session_info_yaml"] == text
    assert text.startswith("---")
    fields = reference_fields(text)
    assert {k: v for k, v in meta.items() if k in PREFIXES.values()} == fields
    assert "track_name" in fields
