"""The session info parser: the simulator's unquoted values, scalar types, the line fallback."""

from __future__ import annotations

import pytest
import yaml
from _helpers import RawIbt
from hypothesis import given, settings
from hypothesis import strategies as st

import corvex.session_info as session_info
from corvex.session_info import parse_session_info

LOADERS = [yaml.SafeLoader] + ([yaml.CSafeLoader] if hasattr(yaml, "CSafeLoader") else [])


@pytest.fixture(params=LOADERS, ids=lambda loader: loader.__name__)
def loader(request, monkeypatch):
    """Run the test with PyYAML's C loader and with its pure-Python one."""
    monkeypatch.setattr(session_info, "_BASE_LOADER", request.param)
    return request.param


def drivers_text(name: str, team: str) -> str:
    return (
        "---\n"
        "WeekendInfo:\n"
        " TrackName: spielberg gp\n"
        " TrackID: 403\n"
        "DriverInfo:\n"
        " DriverCarIdx: 0\n"
        " Drivers:\n"
        " - CarIdx: 0\n"
        f"   UserName: {name}\n"
        f"   TeamName: {team}\n"
        '   CarNumber: "64"\n'
        " - CarIdx: 1\n"
        "   UserName: Plain Name\n"
        "...\n"
    )


NAMES = [
    'John "JD" Doe',
    '"Quoted" at start',
    "'Single' at start",
    "O'Neil",
    "#1 Racing",
    "Team #5",
    "Joe: the fast",
    "Ends with colon:",
    "- Peter -",
    "-Rex- Varga",
    "-",
    "*star",
    "&anchor",
    "!tag",
    "%percent",
    "@handle",
    "`backquote`",
    "| pipe",
    "> greater",
    "[bracket",
    "{brace}",
    "? question",
    ", comma",
    "a\tb #tab comment",
    'back\\slash "q"',
    "null",
    "~",
    "Ünïcødé 名前",
]


@pytest.mark.parametrize("name", NAMES)
def test_names_that_break_yaml_are_kept_as_text(loader, name):
    team = name[::-1].strip() or "x"
    info = parse_session_info(drivers_text(name, team))
    drivers = info["DriverInfo"]["Drivers"]
    # "null" and "~" are YAML's empty value, the one reading of a name that is not its text
    expected = None if name in ("null", "~") else name
    assert drivers[0]["UserName"] == expected
    assert drivers[0]["TeamName"] == (None if team in ("null", "~") else team)
    assert drivers[0]["CarIdx"] == 0 and drivers[0]["CarNumber"] == "64"
    assert drivers[1] == {"CarIdx": 1, "UserName": "Plain Name"}
    assert info["WeekendInfo"] == {"TrackName": "spielberg gp", "TrackID": 403}


@pytest.mark.parametrize(
    "value, expected",
    [
        ("297", 297),
        ("-1", -1),
        ("0", 0),
        ("0x1F", 31),
        ("0.000000", 0.0),
        ("-2.5e3", -2500.0),
        ("true", True),
        ("False", False),
        ("", None),
        ('"12"', "12"),
        ("'it''s'", "it's"),
        ("4.32 km", "4.32 km"),
        ("5400.0000 sec", "5400.0000 sec"),
        ("NO", "NO"),
        ("yes", "yes"),
        ("off", "off"),
        ("007", "007"),
        ("08", "08"),
        ("1:30", "1:30"),
        ("2024-05-07", "2024-05-07"),
        ("1_000", "1_000"),
        ("<<", "<<"),
        ("52.5% (BBAL)", "52.5% (BBAL)"),
        ("-1.0 (BB+/BB-)", "-1.0 (BB+/BB-)"),
        ('"C:\\Users"', '"C:\\Users"'),
        ("a\x00b\x07c", "a\x00b\x07c"),
        ("x\x85y\u2028z", "x\x85y\u2028z"),
        ("lone\rcr", "lone\rcr"),
    ],
)
def test_scalar_values(loader, value, expected):
    info = parse_session_info(f"Section:\n Key: {value}\n Next: 1\n")
    assert info == {"Section": {"Key": expected, "Next": 1}}
    assert type(info["Section"]["Key"]) is type(expected)


@pytest.mark.parametrize(
    "text, expected",
    [
        ("", {}),
        ("just a line", {}),
        ("- a\n- b\n", {}),
        ("\x00\x00\x00", {}),
        # everything after the document end marker is padding
        ("A: 1\n...\n\x00\x00B: 2\n", {"A": 1}),
        ("---\r\nA:\r\n B: x\r\n", {"A": {"B": "x"}}),
        # the loader fails on these; the line parser keeps what it can place
        ("A:\n\tB: 1\nC: 2\n", {"A": {"B": 1}, "C": 2}),
        ("A:\n  B: 1\n C: 2\nD: 3\n", {"A": {"B": 1}, "D": 3}),
        ("A: 1\ngarbage line\nB: 2\n", {"A": 1, "B": 2}),
        (
            "A:\n - x: 1\n   y: 2\n -\n   z: 3\n - plain\nE: [\n",
            {"A": [{"x": 1, "y": 2}, {"z": 3}, "plain"], "E": "["},
        ),
        ("Key:value\nA: 1\n", {"A": 1}),
    ],
)
def test_awkward_texts(loader, text, expected):
    assert parse_session_info(text) == expected


def session_text(data: bytes) -> str:
    """The session info region of an IBT file, from "---" to the NUL padding."""
    raw = RawIbt(data)
    region = data[raw.session_info_offset : raw.session_info_offset + raw.session_info_len]
    return region[region.index(b"---") :].rstrip(b"\0").decode("utf-8", "replace")


def test_the_line_parser_agrees_with_the_loader_on_a_whole_session():
    from corvex.testing import sample_session

    text = session_text(sample_session())
    parsed = [session_info._split_line(line) for line in session_info._lines(text)]
    by_lines = session_info._LineParser(parsed).parse()
    assert parse_session_info(text) == by_lines
    drivers = by_lines["DriverInfo"]["Drivers"]
    names = [line.split("UserName: ", 1)[1] for line in text.splitlines() if "UserName: " in line]
    assert [d["UserName"] for d in drivers] == names
    lengths = [line.split(": ", 1)[1] for line in text.splitlines() if "TrackLength: " in line]
    assert by_lines["WeekendInfo"]["TrackLength"] == lengths[0] and lengths[0].endswith(" km")


def test_real_session_info(real_file):
    text = session_text(real_file.read_bytes())
    info = parse_session_info(text)
    lines = {
        line.strip().split(": ", 1)[0]: line.strip().split(": ", 1)[1]
        for line in text.splitlines()
        if line.startswith(" Track") and ": " in line
    }
    assert info["WeekendInfo"]["TrackDisplayName"] == lines["TrackDisplayName"]
    assert info["WeekendInfo"]["TrackLength"] == lines["TrackLength"]
    parsed = [session_info._split_line(line) for line in session_info._lines(text)]
    assert session_info._LineParser(parsed).parse() == info


@settings(max_examples=300, deadline=None)
@given(
    st.lists(
        st.tuples(
            st.integers(0, 4),
            st.booleans(),
            st.text(alphabet="ab:#-\"'*&!%@` \t[]{}|>?\x00\x85\r", max_size=12),
        ),
        max_size=12,
    )
)
def test_any_text_parses_to_a_dict(lines):
    text = "\n".join(" " * indent + ("- " if dash else "") + body for indent, dash, body in lines)
    assert isinstance(parse_session_info(text), dict)


def test_loader_name():
    expected = "CSafeLoader" if hasattr(yaml, "CSafeLoader") else "SafeLoader"
    assert session_info.loader_name() == expected


def typed(value):
    """The tree with each leaf tagged by its type (1, 1.0 and True differ; NaN equals NaN)."""
    if isinstance(value, dict):
        return {k: typed(v) for k, v in value.items()}
    if isinstance(value, list):
        return [typed(v) for v in value]
    if isinstance(value, float) and value != value:
        return ("nan",)
    return (type(value).__name__, value)


VALUES = st.one_of(
    st.sampled_from(
        [
            "1",
            "-1",
            "0x1F",
            "007",
            "1.5",
            "1e5",
            "+.5",
            ".inf",
            "-.inf",
            ".NaN",
            "true",
            "NO",
            "~",
            "null",
            '"q"',
            "'s''t'",
            '"a\\"b"',
            '"x',
            '""',
            "#c",
            "a: b",
            "- x",
            "a #b",
            "[x",
        ]
    ),
    st.text(alphabet="ab -:#\"'\t\\\x00\x85\r", max_size=6),
)
KEYS = st.sampled_from(["A", "B", "Key", "x_1", "Y"])
TREES = st.recursive(
    VALUES,
    lambda children: st.one_of(
        st.dictionaries(KEYS, children, min_size=1, max_size=4),
        st.lists(st.dictionaries(KEYS, children, min_size=1, max_size=3), min_size=1, max_size=3),
    ),
    max_leaves=12,
)
NOISE = st.sampled_from(
    [
        "",
        "---",
        "# c",
        "  ",
        "- ",
        "bare",
        "...",
        "\tA: 1",
        " - - A: 1",
        "A:\tb",
        "true: 1",
        " Null:",
    ]
)


@settings(max_examples=500, deadline=None)
@given(
    st.dictionaries(KEYS, TREES, min_size=1, max_size=4),
    st.lists(st.tuples(st.integers(0, 40), NOISE), max_size=2),
    st.integers(0, 2),
)
def test_the_one_pass_parser_agrees_with_the_loader(tree, noise, shift):
    from corvex.testing.sessions import _emit

    lines: list[str] = []
    _emit(tree, shift, lines)  # the simulator's layout; lists of text as their own key lines
    for position, line in noise:
        lines.insert(position, line)
    document = session_info._document("\n".join(lines))
    fast = session_info._parse_fast(document)
    if fast is not None:
        assert typed(fast) == typed(session_info._parse_by_loader(document.split("\n")))
    else:
        assert noise


def test_the_one_pass_parser_takes_a_race():
    from corvex.testing import race_session_info

    text, tree = race_session_info()
    assert typed(session_info._parse_fast(session_info._document(text))) == typed(tree)
