"""Write iRacing IBT telemetry files.

The writer produces the binary layout that the simulator records: a 112-byte main header at
offset 0, a 32-byte disk sub-header at 112, one 144-byte header per variable, the session info
text and a data region of fixed-size sample records. Every multi-byte field is little-endian.

It is meant for tests, demos and benchmarks, so besides well-formed files it can write broken
ones: any header field can be overridden with an arbitrary value, type codes and counts are not
checked, and the finished file can be truncated or padded.

Example, the smallest file a reader accepts (296 bytes, one record):

>>> data = build_ibt([Var("SessionTime", DOUBLE)], {"SessionTime": [0.0]})
>>> len(data)
296

:func:`build_snapshot` writes the other kind of file the simulator's telemetry gives: a live
telemetry snapshot, its shared memory saved to disk, with a ring of record buffers instead of a
data region.
"""

from __future__ import annotations

import struct
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any

from corvex.testing import layout as _layout

__all__ = [
    "CHAR",
    "BOOL",
    "INT",
    "BITFIELD",
    "FLOAT",
    "DOUBLE",
    "WIDTH",
    "HEADER_SIZE",
    "SUB_HEADER_SIZE",
    "VAR_HEADER_SIZE",
    "Var",
    "Bits",
    "Layout",
    "build_ibt",
    "build_ibt_layout",
    "build_snapshot",
    "keep_records",
    "lap_variables",
    "repeat_records",
]

CHAR, BOOL, INT, BITFIELD, FLOAT, DOUBLE = range(6)
WIDTH = {CHAR: 1, BOOL: 1, INT: 4, BITFIELD: 4, FLOAT: 4, DOUBLE: 8}

HEADER_SIZE = _layout.MAIN_HEADER_SIZE
SUB_HEADER_SIZE = _layout.DISK_SUB_HEADER_SIZE
VAR_HEADER_SIZE = _layout.VAR_HEADER_SIZE

_NAME_SIZE, _DESC_SIZE, _UNIT_SIZE = (
    _layout.var_field(name).size for name in ("name", "desc", "unit")
)
_U32_MASK = 0xFFFFFFFF
_U64_MASK = 0xFFFFFFFFFFFFFFFF

# Header fields that may be overridden; an override is stored verbatim and moves nothing.
_OVERRIDES = (
    "num_vars",
    "var_header_offset",
    "session_info_offset",
    "session_info_len",
    "buf_offset",
    "session_record_count",
)
_OPTIONS = {
    "version": 2,
    "tick_rate": 60,
    "lap_count": 0,
    "session_start_date": 0,
    "start_time": 0.0,
    "end_time": 0.0,
    "data": None,
    "record_count": None,
    "buf_len": None,
    "tail": b"",
    "truncate": None,
    **{name: None for name in _OVERRIDES},
}


@dataclass
class Var:
    """One variable header.

    ``name`` is cut to / NUL-padded to 32 bytes (``str`` is UTF-8 encoded, ``bytes`` written
    raw), ``desc`` to 64 and ``unit`` to 32. ``type`` and ``count`` are written as given, so
    invalid codes and negative counts can be produced; an unknown type code has width 0.
    ``offset`` None places the variable right after the previous variable's area.
    """

    name: str | bytes
    type: int
    offset: int | None = None
    count: int = 1
    desc: str | bytes = ""
    unit: str | bytes = ""

    @property
    def width(self) -> int:
        """Size in bytes of one element (0 for an unknown type code)."""
        return WIDTH.get(self.type, 0)

    @property
    def area(self) -> int:
        """Bytes the variable occupies in a record: count x width (0 for a negative count)."""
        return max(self.count, 0) * self.width


def lap_variables() -> list[Var]:
    """SessionTime, Lap, LapDistPct and OnPitRoad with the simulator's types and units.

    The time base and what the lap table is built from: put them first in a synthetic file's
    variables and give them columns, and the file reads back with laps like a recording.
    """
    return [
        Var("SessionTime", DOUBLE, unit="s"),
        Var("Lap", INT),
        Var("LapDistPct", FLOAT, unit="%"),
        Var("OnPitRoad", BOOL),
    ]


@dataclass(frozen=True)
class Bits:
    """A raw bit pattern for a FLOAT (32-bit) or DOUBLE (64-bit) value, e.g. a NaN payload."""

    bits: int


@dataclass
class Layout:
    """The header values a built file carries, and the size of the file.

    ``data_end`` is ``buf_offset + buf_len * record_count`` computed from those stored values,
    i.e. the file length a reader needs for the data region.
    """

    var_header_offset: int
    num_vars: int
    session_info_offset: int
    session_info_len: int
    buf_offset: int
    buf_len: int
    record_count: int
    data_end: int
    size: int


# Column values by variable name, bytes name or index; one key type or a mix of them.
Columns = Mapping[str, Sequence[Any]] | Mapping[str | bytes | int, Sequence[Any]]


def build_ibt(
    variables: Sequence[Var],
    columns: Columns | None = None,
    *,
    session_info: str | bytes = "",
    **options: Any,
) -> bytes:
    """Return the bytes of an IBT file; see :func:`build_ibt_layout`."""
    return build_ibt_layout(variables, columns, session_info=session_info, **options)[0]


def build_ibt_layout(
    variables: Sequence[Var],
    columns: Columns | None = None,
    *,
    session_info: str | bytes = "",
    **options: Any,
) -> tuple[bytes, Layout]:
    """Build an IBT file and report where its regions are.

    ``columns`` maps a variable name (or its index in ``variables``, for duplicate names) to one
    value per record; variables without a column are zero-filled. For a variable with count > 1
    a value may be a sequence of up to ``count`` elements.

    Keyword options: ``version``, ``tick_rate``, ``lap_count``, ``session_start_date``,
    ``start_time``, ``end_time`` (header values); ``buf_len`` and ``record_count`` (the record
    layout; by default the smallest record holding every variable, and the column length);
    ``data`` (the raw data region instead of columns; a negative ``buf_len`` is stored as given
    and then only raw data can be written); the verbatim header overrides
    ``num_vars``, ``var_header_offset``, ``session_info_offset``, ``session_info_len``,
    ``buf_offset`` and ``session_record_count``; ``tail`` (bytes appended to the file) and
    ``truncate`` (cut the file to this many bytes).

    The variable headers start at 144, the session info follows them and the data region
    follows the session info.
    """
    opts = _check_options(options)
    variables = list(variables)
    offsets = _place(variables)
    buf_len = opts["buf_len"]
    if buf_len is None:
        buf_len = _default_buf_len(variables, offsets)
    info = session_info.encode("utf-8") if isinstance(session_info, str) else bytes(session_info)

    if opts["data"] is not None:
        if columns:
            raise ValueError("give either columns or data, not both")
        data = bytes(opts["data"])
        record_count = opts["record_count"]
        if record_count is None:
            record_count = len(data) // buf_len if buf_len > 0 else 0
    else:
        record_count = _record_count(columns or {}, opts["record_count"])
        data = _data_region(variables, offsets, columns or {}, buf_len, record_count)

    var_header_offset = HEADER_SIZE + SUB_HEADER_SIZE
    session_info_offset = var_header_offset + VAR_HEADER_SIZE * len(variables)
    buf_offset = session_info_offset + len(info)

    stored = {
        "num_vars": len(variables),
        "var_header_offset": var_header_offset,
        "session_info_offset": session_info_offset,
        "session_info_len": len(info),
        "buf_offset": buf_offset,
        "session_record_count": record_count,
    }
    for name in _OVERRIDES:
        if opts[name] is not None:
            stored[name] = opts[name]

    out = bytearray()
    out += _main_header(opts, stored, buf_len)
    out += _sub_header(opts, stored["session_record_count"])
    for var, offset in zip(variables, offsets):
        out += _var_header(var, offset)
    out += info
    out += data
    out += bytes(opts["tail"])
    if opts["truncate"] is not None:
        del out[opts["truncate"] :]

    layout = Layout(
        var_header_offset=stored["var_header_offset"],
        num_vars=stored["num_vars"],
        session_info_offset=stored["session_info_offset"],
        session_info_len=stored["session_info_len"],
        buf_offset=stored["buf_offset"],
        buf_len=buf_len,
        record_count=stored["session_record_count"],
        data_end=stored["buf_offset"] + buf_len * stored["session_record_count"],
        size=len(out),
    )
    return bytes(out), layout


def _check_options(options: Mapping[str, Any]) -> dict[str, Any]:
    unknown = sorted(set(options) - set(_OPTIONS))
    if unknown:
        raise TypeError(f"unknown option(s): {', '.join(unknown)}")
    return {**_OPTIONS, **options}


def _place(variables: Sequence[Var]) -> list[int]:
    """Resolve each variable's offset; None follows the previous variable's area."""
    offsets: list[int] = []
    end = 0
    for var in variables:
        offset = end if var.offset is None else var.offset
        offsets.append(offset)
        end = offset + var.area
    return offsets


def _default_buf_len(variables: Sequence[Var], offsets: Sequence[int]) -> int:
    if not variables:
        return 0
    return max(1, max(offset + var.area for var, offset in zip(variables, offsets)))


def _record_count(columns: Mapping[Any, Sequence[Any]], given: int | None) -> int:
    lengths = {len(values) for values in columns.values()}
    if len(lengths) > 1:
        raise ValueError(f"columns differ in length: {sorted(lengths)}")
    if given is None:
        return lengths.pop() if lengths else 0
    if lengths and lengths != {given}:
        raise ValueError(f"columns hold {lengths.pop()} records, record_count is {given}")
    return given


def _column_target(key: str | bytes | int, variables: Sequence[Var]) -> int:
    """Index of the variable a column key addresses."""
    if isinstance(key, int) and not isinstance(key, bool):
        if not 0 <= key < len(variables):
            raise KeyError(f"no variable at index {key}")
        return key
    matches = [i for i, var in enumerate(variables) if var.name == key]
    if not matches:
        raise KeyError(f"no variable named {key!r}")
    if len(matches) > 1:
        raise KeyError(f"{key!r} names {len(matches)} variables; address them by index")
    return matches[0]


def _data_region(
    variables: Sequence[Var],
    offsets: Sequence[int],
    columns: Mapping[Any, Sequence[Any]],
    buf_len: int,
    record_count: int,
) -> bytes:
    if buf_len < 0:
        if columns:
            raise ValueError(f"no record data can be written with buf_len {buf_len}")
        return b""
    data = bytearray(buf_len * record_count)
    for key, values in columns.items():
        index = _column_target(key, variables)
        var = variables[index]
        if var.width == 0 or record_count == 0:
            continue
        for element, column in enumerate(_elements(var, values)):
            position = offsets[index] + element * var.width
            if position < 0 or position + var.width > buf_len:
                raise ValueError(
                    f"element {element} of {var.name!r} at {position} does not fit "
                    f"in a record of {buf_len} bytes"
                )
            packed = _pack_column(var, column)
            for byte in range(var.width):
                data[position + byte :: buf_len] = packed[byte :: var.width]
    return bytes(data)


def _elements(var: Var, values: Sequence[Any]) -> list[Sequence[Any]]:
    """Split a column into one column per array element (element 0 only for scalars)."""
    if var.count <= 1:
        return [values]
    rows = [v if type(v) is tuple else tuple(v) if _is_sequence(v) else (v,) for v in values]
    width = max(map(len, rows), default=1)
    if width > var.count:
        raise ValueError(f"{var.name!r} has {var.count} elements, a value holds {width}")
    rows = [row if len(row) == width else row + (0,) * (width - len(row)) for row in rows]
    return list(zip(*rows))


def _is_sequence(value: Any) -> bool:
    if isinstance(value, (tuple, list)):
        return True
    return isinstance(value, Sequence) and not isinstance(value, (str, bytes, bytearray))


def _pack_column(var: Var, column: Sequence[Any]) -> bytes:
    """Pack one element of every record as consecutive little-endian values."""
    n = len(column)
    try:
        if var.type in (CHAR, BOOL):
            return struct.pack(f"<{n}B", *column)
        if var.type in (INT, BITFIELD):
            try:
                return struct.pack(f"<{n}{'i' if var.type == INT else 'I'}", *column)
            except struct.error:
                return struct.pack(f"<{n}I", *(_u32(v) for v in column))
        if var.type == FLOAT:
            return _pack_real(column, "f", "I")
        return _pack_real(column, "d", "Q")
    except (struct.error, OverflowError, TypeError) as exc:
        raise ValueError(f"cannot encode a value of {var.name!r}: {exc}") from exc


def _u32(value: int) -> int:
    """Two's-complement 32-bit pattern of a signed or unsigned 32-bit integer."""
    if not -(2**31) <= value < 2**32:
        raise OverflowError(f"{value} does not fit in 32 bits")
    return value & _U32_MASK


def _pack_real(column: Sequence[Any], real: str, raw: str) -> bytes:
    """Pack floats, keeping the exact pattern of Bits values."""
    try:
        return struct.pack(f"<{len(column)}{real}", *column)
    except struct.error:
        if not any(isinstance(v, Bits) for v in column):
            raise
    mask = _U32_MASK if raw == "I" else _U64_MASK
    words = [
        v.bits & mask if isinstance(v, Bits) else struct.unpack(raw, struct.pack(real, v))[0]
        for v in column
    ]
    return struct.pack(f"<{len(column)}{raw}", *words)


def _main_header(opts: Mapping[str, Any], stored: Mapping[str, int], buf_len: int) -> bytes:
    header = bytearray(HEADER_SIZE)
    for name, value in (
        ("version", opts["version"]),
        ("status", 1),  # connected
        ("tick_rate", opts["tick_rate"]),
        ("session_info_update", 0),
        ("session_info_len", stored["session_info_len"]),
        ("session_info_offset", stored["session_info_offset"]),
        ("num_vars", stored["num_vars"]),
        ("var_header_offset", stored["var_header_offset"]),
        ("num_buf", 1),
        ("buf_len", buf_len),
        # The first buffer descriptor holds the data region of a disk recording.
        ("tick_count", stored["session_record_count"]),
        ("buf_offset", stored["buf_offset"]),
    ):
        _layout.patch_field(header, name, value)
    return bytes(header)


def _sub_header(opts: Mapping[str, Any], record_count: int) -> bytes:
    # Offsets of the disk sub-header fields count from the start of the file.
    block = bytearray(HEADER_SIZE + SUB_HEADER_SIZE)
    _layout.patch_field(block, "session_start_date", opts["session_start_date"])
    for name in ("start_time", "end_time"):
        at = _layout.field(name).offset
        block[at : at + 8] = _double_bytes(opts[name])
    _layout.patch_field(block, "lap_count", opts["lap_count"])
    _layout.patch_field(block, "session_record_count", record_count)
    return bytes(block[HEADER_SIZE:])


def _double_bytes(value: float | Bits) -> bytes:
    if isinstance(value, Bits):
        return struct.pack("<Q", value.bits & _U64_MASK)
    return struct.pack("<d", value)


def _text_field(value: str | bytes, size: int) -> bytes:
    raw = value.encode("utf-8") if isinstance(value, str) else bytes(value)
    return raw[:size].ljust(size, b"\0")


def _var_header(var: Var, offset: int) -> bytes:
    header = bytearray(VAR_HEADER_SIZE)
    values: dict[str, Any] = {
        "type": var.type,
        "offset": offset,
        "count": var.count,
        "count_as_time": False,
        "name": _text_field(var.name, _NAME_SIZE),
        "desc": _text_field(var.desc, _DESC_SIZE),
        "unit": _text_field(var.unit, _UNIT_SIZE),
    }
    for f in _layout.VAR_HEADER:
        struct.pack_into("<" + f.code, header, f.offset, values[f.name])
    return bytes(header)


def build_snapshot(
    variables: Sequence[Var],
    columns: Mapping[str | bytes | int, Sequence[Any]] | None,
    ticks: Sequence[int],
    *,
    session_info: str | bytes = "",
    tick_rate: int = 60,
    version: int = 2,
    buf_len: int | None = None,
    align: int = 16,
) -> bytes:
    """Return the bytes of a live telemetry snapshot with one record buffer per tick count.

    The shared memory's layout: the 112-byte main header (no disk sub-header follows it) with
    ``num_buf`` = ``len(ticks)`` and one buffer descriptor per buffer, the variable headers at
    112, the session info, then the buffers in order, each starting at a multiple of ``align``.
    ``columns`` holds one value per buffer (``columns[name][i]`` goes to buffer ``i``, whose
    tick count is ``ticks[i]``), as :func:`build_ibt` takes one value per record. The buffer
    table and the header fields can be broken afterwards with :mod:`corvex.testing.layout`
    (``patch_field``, ``patch_buffer_descriptor``).
    """
    if not 1 <= len(ticks) <= _layout.MAX_BUFFERS:
        raise ValueError(f"a snapshot has 1 to {_layout.MAX_BUFFERS} buffers, got {len(ticks)}")
    variables = list(variables)
    offsets = _place(variables)
    record_len = _default_buf_len(variables, offsets) if buf_len is None else buf_len
    records = _data_region(variables, offsets, columns or {}, record_len, len(ticks))
    info = session_info.encode("utf-8") if isinstance(session_info, str) else bytes(session_info)

    var_header_offset = _layout.MAIN_HEADER_SIZE
    session_info_offset = var_header_offset + VAR_HEADER_SIZE * len(variables)
    first = -(-(session_info_offset + len(info)) // align) * align
    stride = -(-record_len // align) * align if record_len > 0 else align
    out = bytearray(first + stride * len(ticks))
    for name, value in (
        ("version", version),
        ("status", 1),
        ("tick_rate", tick_rate),
        ("session_info_len", len(info)),
        ("session_info_offset", session_info_offset),
        ("num_vars", len(variables)),
        ("var_header_offset", var_header_offset),
        ("num_buf", len(ticks)),
        ("buf_len", record_len),
    ):
        _layout.patch_field(out, name, value)
    headers = b"".join(_var_header(var, offset) for var, offset in zip(variables, offsets))
    out[var_header_offset:session_info_offset] = headers
    out[session_info_offset : session_info_offset + len(info)] = info
    for i, tick in enumerate(ticks):
        start = first + i * stride
        _layout.patch_buffer_descriptor(out, i, tick, start)
        out[start : start + record_len] = records[i * record_len : (i + 1) * record_len]
    return bytes(out)


def _record_layout(data: bytes | bytearray) -> tuple[int, int, int]:
    fields = _layout.read_fields(data)
    return fields["buf_offset"], fields["buf_len"], fields["session_record_count"]


def keep_records(data: bytes | bytearray, records: int) -> bytes:
    """An IBT file cut after its first ``records`` records, its record count set to match."""
    start, length, _ = _record_layout(data)
    out = bytearray(data[: start + length * records])
    _layout.patch_field(out, "session_record_count", records)
    return bytes(out)


def repeat_records(data: bytes | bytearray, times: int) -> bytes:
    """An IBT file whose data region is repeated ``times`` times: a longer recording to read."""
    start, length, records = _record_layout(data)
    out = bytearray(data[:start]) + bytes(data[start : start + length * records]) * times
    _layout.patch_field(out, "session_record_count", records * times)
    return bytes(out)
