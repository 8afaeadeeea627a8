"""Session info from every era of the simulator: the corpus in data/session_info, race-size
texts from the writer, and names from the whole of Unicode, read through corvex.open."""

from __future__ import annotations

import io
import json
import math
import re
from pathlib import Path

import pytest
import yaml
from hypothesis import assume, given, settings
from hypothesis import strategies as st

import corvex
import corvex.session_info as session_info
from corvex.cli import main
from corvex.testing import DOUBLE, Var, build_ibt, race_session_info

CORPUS = Path(__file__).parent / "data" / "session_info"
SHAPES = sorted(p.stem for p in CORPUS.glob("*.txt"))
LOADERS = [yaml.SafeLoader] + ([yaml.CSafeLoader] if hasattr(yaml, "CSafeLoader") else [])

# Windows-1252 as the WHATWG encoding table has it: the five undefined bytes are C1 controls.
CP1252 = {
    (bytes([b]).decode("cp1252") if b not in (0x81, 0x8D, 0x8F, 0x90, 0x9D) else chr(b)): b
    for b in range(256)
}


def encode_cp1252(text: str) -> bytes:
    return bytes(CP1252[ch] for ch in text)


def ibt_with(info: bytes) -> bytes:
    return build_ibt([Var("SessionTime", DOUBLE)], {"SessionTime": [0.0, 0.5]}, session_info=info)


def typed(value):
    """A tree with every leaf tagged by its type, so that 1 == True == 1.0 cannot pass."""
    if isinstance(value, dict):
        return {k: typed(v) for k, v in value.items()}
    if isinstance(value, list):
        return [typed(v) for v in value]
    if isinstance(value, float) and math.isnan(value):
        return ("nan",)
    return (type(value).__name__, value)


def corpus(shape: str) -> tuple[bytes, dict]:
    raw = (CORPUS / f"{shape}.txt").read_bytes()
    return raw, json.loads((CORPUS / f"{shape}.json").read_text(encoding="utf-8"))


SOURCES = {
    "path": lambda path, data: path,
    "bytes": lambda path, data: data,
    "bytearray": lambda path, data: bytearray(data),
    "memoryview": lambda path, data: memoryview(data),
    "file": lambda path, data: io.BytesIO(data),
    "list": lambda path, data: list(data),  # cannot be read again: the reading keeps the bytes
}


@pytest.mark.parametrize("source", list(SOURCES))
@pytest.mark.parametrize("shape", SHAPES)
def test_corpus(shape, source, tmp_path):
    raw, expected = corpus(shape)
    data = ibt_with(raw)
    path = tmp_path / "s.ibt"
    path.write_bytes(data)
    given_source = SOURCES[source](str(path), data)
    log = corvex.open(given_source)
    assert typed(log.session_info) == typed(expected)
    text = raw[raw.index(b"---") :].rstrip(b"\0")
    # the reader's own text is unchanged: UTF-8 with replacement
    assert log.metadata["session_info_yaml"] == text.decode("utf-8", "replace")
    try:
        decoded = text.decode("utf-8")
    except UnicodeDecodeError:
        decoded = "".join(next(ch for ch, b in CP1252.items() if b == byte) for byte in text)
    assert log.session_info_text == decoded
    if source == "file":
        assert given_source.tell() == len(data)  # where the reader left it


@pytest.mark.parametrize("loader", LOADERS, ids=lambda loader: loader.__name__)
@pytest.mark.parametrize("shape", SHAPES)
def test_corpus_without_the_one_pass_parser(shape, loader, monkeypatch):
    """The pre-pass, loader and line parser, which take every text the one-pass parser refuses."""
    monkeypatch.setattr(session_info, "_BASE_LOADER", loader)
    raw, expected = corpus(shape)
    text = session_info.decode_session_info(raw[raw.index(b"---") :].rstrip(b"\0"))
    assert typed(session_info._parse_by_loader(session_info._lines(text))) == typed(expected)


def test_a_file_changed_since_it_was_read_keeps_the_readers_text(tmp_path):
    from corvex import _corvex_rs

    raw, _ = corpus("latin1_names")
    path = tmp_path / "s.ibt"
    path.write_bytes(ibt_with(raw))
    log = _corvex_rs.ibt(str(path))  # no bytes kept: the text is read again from the path
    fresh = _corvex_rs.ibt(str(path))
    path.write_bytes(ibt_with(raw.replace(b"Jan", b"Ian")))
    assert log.session_info_text == log.metadata["session_info_yaml"]
    path.write_bytes(ibt_with(raw))
    assert "Jan Müller" in fresh.session_info_text


@pytest.mark.parametrize(
    "encode, name, team",
    [
        (encode_cp1252, "Jan Müller", "Zoë € Racing"),
        (str.encode, "Anna Czerwiński", "Łódź Racing"),
    ],
)
def test_info_and_session_info_show_the_names(encode, name, team, tmp_path, capsys):
    text, tree = race_session_info([(f"Driver {i}", "T") for i in range(3)] + [(name, team)])
    path = tmp_path / "s.ibt"
    path.write_bytes(ibt_with(encode(text)))
    assert tree["DriverInfo"]["DriverCarIdx"] == 3
    log = corvex.open(path)
    assert log.session_info["DriverInfo"]["Drivers"][3]["UserName"] == name
    assert main(["info", str(path)]) == 0
    rows = {line[:16].strip(): line[16:] for line in capsys.readouterr().out.splitlines()}
    assert rows["Driver"] == name and rows["Team"] == team


TROUBLE = [
    'Sam "Sideways" O\'Neil',
    "-Rex- Varga",
    "#1 Racing: Team",
    "? Quiz & *Star! | >",
    "%x @y {a} [b] `c`",
    "Tab\tand\x00NUL\x1bESC",
    "Anna\nLisa Berg",
    "Müller Ødegård",
    "Zoë ‰ «Ibáñez»",
    "Ends with colon:",
    "x" * 3000,
]


@pytest.mark.parametrize("encoding", ["utf-8", "cp1252"])
def test_a_60_car_race(encoding, tmp_path):
    names = [(TROUBLE[i % len(TROUBLE)], TROUBLE[-1 - i % len(TROUBLE)]) for i in range(60)]
    text, tree = race_session_info(names, setup_name="réglage: été #2.sto")
    raw = encode_cp1252(text) if encoding == "cp1252" else text.encode()
    path = tmp_path / "race.ibt"
    path.write_bytes(ibt_with(raw + b"\0" * 100))
    log = corvex.open(path)
    assert typed(log.session_info) == typed(tree)
    drivers = log.session_info["DriverInfo"]["Drivers"]
    assert [(d["UserName"], d["TeamName"]) for d in drivers] == names


# -- names from the whole of Unicode --------------------------------------------------------

# Plain scalars that YAML 1.2's core schema reads as null, booleans or numbers (YAML 1.2.2,
# 10.3.2); a name spelled like one of them comes back as that value.
CORE_SCHEMA = re.compile(
    r"null|Null|NULL|~|true|True|TRUE|false|False|FALSE|[-+]?[0-9]+|0o[0-7]+|0x[0-9a-fA-F]+"
    r"|[-+]?(\.[0-9]+|[0-9]+(\.[0-9]*)?)([eE][-+]?[0-9]+)?|[-+]?\.(inf|Inf|INF)|\.nan|\.NaN|\.NAN"
)


def unambiguous(name: str) -> bool:
    """A name the unquoted layout can carry: see "Names with line breaks" in the README.

    Not spelled like a number, boolean or null, not one whole quoted scalar, no blanks around
    it or at the end of any of its lines, and every line after a line break blank or one that
    cannot be read as a key, a list item, a comment or the end marker.
    """
    lines = name.split("\n")
    first = lines[0]
    if not first or first != first.strip(" \t") or CORE_SCHEMA.fullmatch(first):
        return False
    if first[0] in "\"'" and first[-1] == first[0] and len(first) > 1:
        return False
    for line in lines:
        if line != line.rstrip(" \t\r"):
            return False
    if lines[-1] == "":
        return False
    for line in lines[1:]:
        # The parser reads a line without the blanks around it, a carriage return among them.
        body = line.lstrip(" \t\r")
        if line and (
            not body
            or body[0] == "#"
            or body == "-"
            or body.startswith("- ")
            or ": " in body
            or body.endswith(":")
            or re.fullmatch(r"\.\.\.\s*", line)
        ):
            return False
    return True


TROUBLESOME = list("\n-?&*!|>%@{}[]\"'#: \t\x00\x1b\r\x7f") + [": ", " #", "- "]
names = st.lists(
    st.one_of(
        st.characters(exclude_categories=("Cs",)), st.sampled_from([*TROUBLESOME, "\x85", "\u2028"])
    ),
    min_size=1,
    max_size=12,
).map("".join)
cp1252_names = st.lists(
    st.one_of(st.sampled_from(sorted(CP1252)), st.sampled_from(TROUBLESOME)),
    min_size=1,
    max_size=12,
).map("".join)


def check_names(user: str, team: str, setup: str, encode) -> None:
    assume(unambiguous(user) and unambiguous(team) and unambiguous(setup))
    text, tree = race_session_info([(user, team)] * 2, cars=3, setup_name=setup)
    raw = encode(text)
    if encode is encode_cp1252:  # a Windows-1252 text that is also valid UTF-8 reads as UTF-8
        try:
            assume(raw.decode("utf-8") == text)
        except UnicodeDecodeError:
            pass
    info = corvex.open(ibt_with(raw)).session_info
    drivers = info["DriverInfo"]["Drivers"]
    assert [(d["UserName"], d["TeamName"]) for d in drivers[:2]] == [(user, team)] * 2
    assert info["DriverInfo"]["DriverSetupName"] == setup
    assert typed(info) == typed(tree)


@settings(max_examples=200, deadline=None)
@given(names, names, names)
def test_any_name_comes_back_unchanged(user, team, setup):
    check_names(user, team, setup, str.encode)


@settings(max_examples=100, deadline=None)
@given(cp1252_names, cp1252_names, cp1252_names)
def test_any_windows_1252_name_comes_back_unchanged(user, team, setup):
    check_names(user, team, setup, encode_cp1252)
