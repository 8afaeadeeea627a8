"""Hostile files: cut, overwritten and randomly damaged IBT files.

Every input must give a LogFile, or a RuntimeError (bytes) / OSError (path) carrying the
reader's message; nothing may raise PanicException or take the interpreter down. Where the
outcome is fixed by the format's rules the tests check the exact message. Expectations are
computed here from the bytes with struct, never by the reader under test.
"""

from __future__ import annotations

import json
import random
import struct
import subprocess
import sys
import textwrap
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import pytest
from _helpers import WIDTH, real_sample

from corvex.testing import (
    BITFIELD,
    BOOL,
    CHAR,
    DOUBLE,
    FLOAT,
    INT,
    Var,
    build_ibt,
    lap_variables,
    layout,
)

INT32_MAX = 2**31 - 1
INT32_MIN = -(2**31)
EXTREMES = (-1, 0, INT32_MAX, INT32_MIN)
TYPE_NAMES = {
    CHAR: "Char",
    BOOL: "Bool",
    INT: "Int",
    BITFIELD: "BitField",
    FLOAT: "Float",
    DOUBLE: "Double",
}


def ibt(source: Any, progress: Any = None) -> Any:
    from corvex._corvex_rs import ibt as entry

    return entry(source, progress)


# -- base files -------------------------------------------------------------------------------

SESSION_INFO = "---\nWeekendInfo:\n TrackName: hostile ring\n TrackLength: 1.00 km\n...\n\0\0"


def writer_file() -> bytes:
    """Every value type, the lap variables, an array and a count-0 variable; six records."""
    variables = [
        *lap_variables(),
        Var("Gear", CHAR),
        Var("SessionFlags", BITFIELD),
        Var("Speed", FLOAT, unit="m/s"),
        Var("CarIdxLap", INT, count=3),
        Var("Spare", DOUBLE, count=0),
    ]
    columns = {
        "SessionTime": [0.0, 0.5, 1.0, 1.5, 2.0, 2.5],
        "Lap": [1, 1, 1, 2, 2, 2],
        "LapDistPct": [0.01, 0.5, 0.99, 0.01, 0.5, 0.99],
        "OnPitRoad": [True, False, False, False, False, True],
        "Gear": [1, 2, 3, 4, 5, 6],
        "SessionFlags": [1, 2, 4, 8, 16, 32],
        "Speed": [10.0, 20.0, 30.0, 40.0, 50.0, 60.0],
        "CarIdxLap": [[1, 2, 3]] * 6,
    }
    return build_ibt(variables, columns, session_info=SESSION_INFO)


def tiny_file() -> bytes:
    """Three records; a one-byte "Lap" read four bytes wide and a Double "LapDistPct"."""
    variables = [
        Var("SessionTime", DOUBLE),
        Var("Lap", CHAR),
        Var("OnPitRoad", BOOL),
        Var("LapDistPct", DOUBLE),
    ]
    columns = {
        "SessionTime": [0.0, 1.0, 2.0],
        "Lap": [1, 1, 2],
        "OnPitRoad": [0, 1, 0],
        "LapDistPct": [0.5, 0.99, 0.01],
    }
    return build_ibt(variables, columns)


def real_bytes() -> bytes:
    return real_sample().read_bytes()


BASES: dict[str, Callable[[], bytes]] = {"writer": writer_file, "real": real_bytes}


@dataclass(frozen=True)
class Shape:
    """Where the regions of a file are, read with struct from its headers."""

    num_vars: int
    var_header_offset: int
    session_info_offset: int
    session_info_len: int
    buf_len: int
    buf_offset: int
    record_count: int

    @classmethod
    def of(cls, data: bytes) -> Shape:
        names = ("num_vars", "var_header_offset", "session_info_offset", "session_info_len")
        names += ("buf_len", "buf_offset", "session_record_count")
        return cls(*(layout.read_field(data, name) for name in names))

    @property
    def vars_end(self) -> int:
        return self.var_header_offset + 144 * self.num_vars

    @property
    def info_end(self) -> int:
        return self.session_info_offset + self.session_info_len

    @property
    def data_end(self) -> int:
        return self.buf_offset + self.buf_len * self.record_count

    def var(self, data: bytes, i: int) -> tuple[int, int, int, str]:
        """(type, offset, count, name) of variable header i."""
        base = self.var_header_offset + layout.VAR_HEADER_SIZE * i
        vtype, offset, count, raw = (
            struct.unpack_from(
                "<" + layout.var_field(name).code, data, base + layout.var_field(name).offset
            )[0]
            for name in ("type", "offset", "count", "name")
        )
        return vtype, offset, count, raw.split(b"\0", 1)[0].decode("utf-8", "replace")


def put_i32(data: bytes, at: int, value: int) -> bytes:
    out = bytearray(data)
    struct.pack_into("<i", out, at, value)
    return bytes(out)


def outcome(source: Any) -> Any:
    """The LogFile, or the RuntimeError/OSError raised; anything else propagates and fails."""
    try:
        return ibt(source)
    except (RuntimeError, OSError) as error:
        return error


def assert_error(result: Any, message: str, kind: type[Exception] = RuntimeError) -> None:
    assert type(result) is kind, f"expected {kind.__name__}({message!r}), got {result!r}"
    assert str(result) == message


def assert_log_file(result: Any, record_count: int) -> None:
    assert not isinstance(result, BaseException), f"expected a LogFile, got {result!r}"
    for name, table in result.channels.items():
        assert table.num_rows == record_count, name
        table.validate(full=True)
    result.laps.validate(full=True)
    assert result.laps.num_rows <= record_count


# -- cuts at every region boundary ------------------------------------------------------------


def boundaries(shape: Shape, size: int) -> list[int]:
    """Every region boundary of the file, and its neighbours."""
    points = {0, 4, 112, 144, shape.vars_end, shape.session_info_offset, shape.info_end, size}
    points.update(shape.var_header_offset + 144 * i for i in range(shape.num_vars + 1))
    records = range(shape.record_count + 1)
    if shape.record_count > 8:  # a long recording: its first and last records are enough
        records = [*range(4), *range(shape.record_count - 3, shape.record_count + 1)]
    points.update(shape.buf_offset + shape.buf_len * r for r in records)
    near = {p + d for p in points for d in (-1, 0, 1)}
    return sorted(p for p in near if 0 <= p <= size)


def cut_message(shape: Shape, length: int) -> str | None:
    """The reader's message for the file cut to `length` bytes; None when the cut is harmless.

    The checks run header, sub-header, variable block, session info, data region; in the files
    used here the regions follow each other in that order.
    """
    if length < 112:
        return f"File too small for header: {length} bytes (need 112)"
    if length < 144:
        return f"File too small for disk sub-header: {length} bytes (need 144)"
    if length < shape.vars_end:
        return (
            f"File too small for {shape.num_vars} variable headers at offset "
            f"{shape.var_header_offset}: {length} bytes (need {shape.vars_end})"
        )
    if length < shape.info_end:
        return f"File too small for session info: {length} bytes (need {shape.info_end})"
    if length < shape.data_end:
        return (
            f"File too small for {shape.record_count} records: {length} bytes "
            f"(need {shape.data_end})"
        )
    return None


@pytest.mark.parametrize("source_kind", ["bytes", "path"])
@pytest.mark.parametrize("base", BASES)
def test_every_cut_at_a_region_boundary(base: str, source_kind: str, tmp_path: Path) -> None:
    data = BASES[base]()
    shape = Shape.of(data)
    assert shape.vars_end <= shape.session_info_offset and shape.info_end <= shape.buf_offset
    path = tmp_path / "cut.ibt"
    for length in boundaries(shape, len(data)):
        cut = data[:length]
        if source_kind == "path":
            path.write_bytes(cut)
        result = outcome(cut if source_kind == "bytes" else path)
        message = cut_message(shape, length)
        if message is None:
            assert_log_file(result, shape.record_count)
        elif source_kind == "bytes":
            assert_error(result, f"Invalid header: {message}")
        else:
            assert_error(result, f"{path}: Invalid header: {message}", OSError)


# -- header fields set to extreme values ------------------------------------------------------

# Fields with a non-negative rule, in the order the reader checks them.
SIZE_FIELDS = {name: layout.field(name).offset for name in layout.NON_NEGATIVE_FIELDS}
# Words the reader copies or ignores: any value is accepted.
FREE_WORDS = [4, 8, 12, 32, 40, 44, 48, *range(56, 112, 4), *range(112, 140, 4)]


@pytest.mark.parametrize("value", EXTREMES)
@pytest.mark.parametrize("field", SIZE_FIELDS)
def test_size_field_at_an_extreme(field: str, value: int) -> None:
    data = writer_file()
    result = outcome(put_i32(data, SIZE_FIELDS[field], value))
    if value < 0:
        assert_error(result, f"Invalid header: {field} must be non-negative, got {value}")
    elif value == INT32_MAX:
        # Every such claim reaches past the end of a small file.
        assert isinstance(result, RuntimeError), result
        assert str(result).startswith("Invalid header: File too small for "), result
    elif isinstance(result, RuntimeError):
        assert str(result).startswith("Invalid header: "), result
    else:
        shape = Shape.of(put_i32(data, SIZE_FIELDS[field], value))
        assert_log_file(result, shape.record_count)


@pytest.mark.parametrize("value", EXTREMES)
def test_version_at_an_extreme(value: int) -> None:
    result = outcome(put_i32(writer_file(), 0, value))
    assert_error(result, f"Invalid header: Unsupported IBT version: {value}")


@pytest.mark.parametrize("value", EXTREMES)
@pytest.mark.parametrize("offset", FREE_WORDS)
def test_unchecked_word_takes_any_value(offset: int, value: int) -> None:
    data = writer_file()
    plain = ibt(data)
    result = outcome(put_i32(data, offset, value))
    assert_log_file(result, 6)
    assert list(result.channels) == list(plain.channels)
    for name, table in plain.channels.items():
        assert result.channels[name].equals(table), name
    assert result.laps.equals(plain.laps)


# -- variable headers with extreme types, offsets and counts ----------------------------------


def var_expectation(shape: Shape, vtype: int, offset: int, count: int, name: str) -> str | None:
    """The reader's message for a file whose only damaged header has these values, or None.

    In the writer file every variable lies at least four bytes before the end of the record,
    so a header that passes these checks is read without passing the data region.
    """
    if not 0 <= vtype <= 5:
        return f"Unknown variable type: {vtype}"
    if count < 0:
        return f"Variable count must be non-negative, got {count}"
    if offset < 0:
        return f"var offset must be non-negative, got {offset}"
    size = count * WIDTH[vtype]
    if offset + size > shape.buf_len:
        return (
            f"Variable '{name}' offset {offset} + size {size} exceeds buffer length {shape.buf_len}"
        )
    if name == "SessionTime" and vtype != DOUBLE:
        return f"SessionTime should be double, got {TYPE_NAMES[vtype]}"
    return None


def var_cases() -> Iterator[tuple[int, str, int]]:
    """(variable index, field, value) for every header of the writer file."""
    shape = Shape.of(writer_file())
    values = (*EXTREMES, shape.buf_len - 1, shape.buf_len, shape.buf_len + 1)
    for i in range(shape.num_vars):
        for field in ("type", "offset", "count"):
            for value in values:
                yield i, field, value


@pytest.mark.parametrize(("index", "field", "value"), list(var_cases()))
def test_variable_header_at_an_extreme(index: int, field: str, value: int) -> None:
    data = writer_file()
    shape = Shape.of(data)
    vtype, offset, count, name = shape.var(data, index)
    at = shape.var_header_offset + 144 * index + {"type": 0, "offset": 4, "count": 8}[field]
    changed = dict(type=vtype, offset=offset, count=count) | {field: value}
    result = outcome(put_i32(data, at, value))
    message = var_expectation(shape, changed["type"], changed["offset"], changed["count"], name)
    if message is None:
        assert_log_file(result, shape.record_count)
    else:
        assert_error(result, f"Invalid header: {message}")


# Variables the reader reads wider than a count-0 (or Char) declaration reserves: the read of the
# last record passes the end of the data region exactly when offset + width > buf_len.
WIDE_READS = [
    ("SessionTime", DOUBLE, 0, 8),
    ("Lap", INT, 0, 4),
    ("Lap", CHAR, 1, 4),
    ("Lap", BOOL, 0, 4),
    ("OnPitRoad", BOOL, 0, 1),
    ("OnPitRoad", DOUBLE, 0, 1),
    ("LapDistPct", FLOAT, 0, 4),
    ("LapDistPct", DOUBLE, 0, 8),
]
RECORD = 32


def wide_read_cases() -> Iterator[tuple[str, int, int, int, int]]:
    """(name, type, count, read width, offset) near the end of the record, where it fits."""
    for name, vtype, count, width in WIDE_READS:
        for offset in range(RECORD - 9, RECORD + 1):
            if offset + count * WIDTH[vtype] <= RECORD:
                yield name, vtype, count, width, offset


@pytest.mark.parametrize("records", [1, 3])
@pytest.mark.parametrize(("name", "vtype", "count", "width", "offset"), list(wide_read_cases()))
def test_read_past_the_record_end(
    name: str, vtype: int, count: int, width: int, offset: int, records: int
) -> None:
    others = [Var("SessionTime", DOUBLE, offset=0), Var("Lap", INT, offset=8)]
    variables = [v for v in others if v.name != name] + [Var(name, vtype, offset, count)]
    rng = random.Random(offset)
    data = bytes(rng.randrange(256) for _ in range(RECORD * records))
    result = outcome(build_ibt(variables, data=data, buf_len=RECORD))
    if offset + width > RECORD:
        assert isinstance(result, RuntimeError), result
        assert str(result).startswith("Invalid header: ") and f"'{name}'" in str(result), result
    else:
        assert_log_file(result, records)
        assert result.laps.num_rows >= 1


# -- random damage ----------------------------------------------------------------------------

INTERESTING_WORDS = (*EXTREMES, 1, 2, 5, 6, 8, 144, 255, 0x7FFFFFF8)
FLIPS_PER_BATCH = 500


def mutate(data: bytes, rng: random.Random) -> tuple[bytes, list[tuple[str, int, int]]]:
    """One to four random changes, half of them aimed at the headers."""
    out = bytearray(data)
    shape = Shape.of(data)
    headers_end = max(shape.vars_end, 144)
    changes = []
    for _ in range(rng.randint(1, 4)):
        aimed = rng.random() < 0.5
        if aimed and rng.random() < 0.5:
            at = rng.randrange(0, headers_end - 3) // 4 * 4
            value = rng.choice(INTERESTING_WORDS)
            struct.pack_into("<i", out, at, value)
            changes.append(("word", at, value))
        else:
            at = rng.randrange(headers_end if aimed else len(out))
            value = rng.randrange(256)
            out[at] = value
            changes.append(("byte", at, value))
    return bytes(out), changes


@pytest.mark.parametrize("seed", range(6))
def test_random_byte_flips(seed: int) -> None:
    rng = random.Random(seed)
    base = writer_file() if seed % 2 == 0 else tiny_file()
    wrong = []
    for index in range(FLIPS_PER_BATCH):
        mutant, changes = mutate(base, rng)
        result = outcome(mutant)
        try:
            if isinstance(result, RuntimeError):
                assert str(result).startswith("Invalid header: "), result
            else:
                assert_log_file(result, Shape.of(mutant).record_count)
        except AssertionError as failure:
            wrong.append(f"seed {seed} mutant {index} {changes}: {failure}")
    assert not wrong, "\n".join(wrong[:10])


# -- huge claims fail their size checks without allocating for them ---------------------------

PROBE = textwrap.dedent("""
    import json, resource, sys
    from corvex._corvex_rs import ibt

    def peak_kib():
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss

    ibt(open(sys.argv[1], "rb").read())  # warm up: imports, pools
    report = {}
    for path in sys.argv[2:]:
        data = open(path, "rb").read()
        before = peak_kib()
        try:
            ibt(data)
            outcome = "LogFile"
        except RuntimeError as error:
            outcome = str(error)
        report[path] = [outcome, peak_kib() - before]
    print(json.dumps(report))
    """)


def huge_claims() -> dict[str, bytes]:
    """Files whose headers claim far more than they hold."""
    base = writer_file()
    shape = Shape.of(base)
    zero_stride = build_ibt(
        [Var("SessionTime", DOUBLE, offset=0, count=0), Var("Lap", INT, offset=0, count=0)],
        data=b"",
        buf_len=0,
        record_count=0,
        session_record_count=INT32_MAX,
    )
    return {
        "num_vars": put_i32(base, SIZE_FIELDS["num_vars"], INT32_MAX),
        "session_record_count": put_i32(base, SIZE_FIELDS["session_record_count"], INT32_MAX),
        "buf_len": put_i32(base, SIZE_FIELDS["buf_len"], INT32_MAX),
        "buf_len_near_max": put_i32(base, SIZE_FIELDS["buf_len"], INT32_MAX - 8),
        "session_info_len": put_i32(base, SIZE_FIELDS["session_info_len"], INT32_MAX),
        "var_count": put_i32(
            base, shape.var_header_offset + layout.var_field("count").offset, INT32_MAX
        ),
        # Records of zero bytes fit any file; the time column must not be allocated for them.
        "zero_stride_records": zero_stride,
    }


def test_huge_claims_fail_without_allocating_for_them(tmp_path: Path) -> None:
    warm = tmp_path / "warm.ibt"
    warm.write_bytes(writer_file())
    paths = {}
    for name, data in huge_claims().items():
        paths[name] = tmp_path / f"{name}.ibt"
        paths[name].write_bytes(data)
    run = subprocess.run(
        [sys.executable, "-c", PROBE, str(warm), *map(str, paths.values())],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert run.returncode == 0, run.stderr
    report = json.loads(run.stdout)
    for name, path in paths.items():
        outcome_text, growth_kib = report[str(path)]
        assert outcome_text.startswith("Invalid header: "), (name, outcome_text)
        # The smallest of these claims is 2**31 records x 8 bytes of time column.
        assert growth_kib < 64 * 1024, (name, growth_kib)
