"""The IBT file layout in one place: where each header field lies and how it is stored.

An IBT file starts with a 112-byte main header, then (in disk recordings) a 32-byte disk
sub-header; the variable headers (144 bytes each), the session info text and the sample records
lie wherever the main header says. Every multi-byte value is little-endian. A live telemetry
snapshot has the same main header, with up to four buffer descriptors in use, and no meaningful
disk sub-header.

The writer, the command line's quick looks at a file and the tests read and patch headers through
this table instead of bare offsets.
"""

from __future__ import annotations

import struct
from dataclasses import dataclass
from typing import Any

__all__ = [
    "Field",
    "MAIN_HEADER",
    "DISK_SUB_HEADER",
    "VAR_HEADER",
    "MAIN_HEADER_SIZE",
    "DISK_SUB_HEADER_SIZE",
    "HEADERS_END",
    "VAR_HEADER_SIZE",
    "BUFFER_DESCRIPTOR_SIZE",
    "MAX_BUFFERS",
    "NON_NEGATIVE_FIELDS",
    "VarHeaderInfo",
    "field",
    "var_field",
    "read_fields",
    "read_field",
    "patch_field",
    "buffer_descriptors",
    "patch_buffer_descriptor",
    "read_var_headers",
]


@dataclass(frozen=True)
class Field:
    """One fixed header field: its name, its offset from the start of its block, its struct code."""

    name: str
    offset: int
    code: str  # a struct format code for one little-endian value: "i", "q", "d", or "32s" etc.

    @property
    def size(self) -> int:
        return struct.calcsize("<" + self.code)


MAIN_HEADER_SIZE = 112
DISK_SUB_HEADER_SIZE = 32
HEADERS_END = MAIN_HEADER_SIZE + DISK_SUB_HEADER_SIZE
VAR_HEADER_SIZE = 144
BUFFER_DESCRIPTOR_SIZE = 16
MAX_BUFFERS = 4
BUFFER_DESCRIPTORS_OFFSET = 48

# Offsets from the start of the file.
MAIN_HEADER: tuple[Field, ...] = (
    Field("version", 0, "i"),
    Field("status", 4, "i"),
    Field("tick_rate", 8, "i"),
    Field("session_info_update", 12, "i"),
    Field("session_info_len", 16, "i"),
    Field("session_info_offset", 20, "i"),
    Field("num_vars", 24, "i"),
    Field("var_header_offset", 28, "i"),
    Field("num_buf", 32, "i"),
    Field("buf_len", 36, "i"),
    # The first buffer descriptor: a disk recording keeps its data region here.
    Field("tick_count", 48, "i"),
    Field("buf_offset", 52, "i"),
)

DISK_SUB_HEADER: tuple[Field, ...] = (
    Field("session_start_date", 112, "q"),
    Field("start_time", 120, "d"),
    Field("end_time", 128, "d"),
    Field("lap_count", 136, "i"),
    Field("session_record_count", 140, "i"),
)

# Offsets from the start of one 144-byte variable header.
VAR_HEADER: tuple[Field, ...] = (
    Field("type", 0, "i"),
    Field("offset", 4, "i"),
    Field("count", 8, "i"),
    Field("count_as_time", 12, "?"),
    Field("name", 16, "32s"),
    Field("desc", 48, "64s"),
    Field("unit", 112, "32s"),
)

# The size and offset fields that must not be negative, in the order the reader checks them (its
# message names the first one that is).
NON_NEGATIVE_FIELDS: tuple[str, ...] = (
    "var_header_offset",
    "num_vars",
    "session_info_offset",
    "session_info_len",
    "buf_len",
    "buf_offset",
    "session_record_count",
)

_BY_NAME = {f.name: f for f in (*MAIN_HEADER, *DISK_SUB_HEADER)}
_VAR_BY_NAME = {f.name: f for f in VAR_HEADER}


def field(name: str) -> Field:
    """The main header or disk sub-header field called ``name``."""
    return _BY_NAME[name]


def var_field(name: str) -> Field:
    """The variable header field called ``name`` (its offset counts from the header's start)."""
    return _VAR_BY_NAME[name]


def read_field(data: bytes | bytearray | memoryview, name: str) -> Any:
    """The stored value of one main header or disk sub-header field."""
    f = _BY_NAME[name]
    return struct.unpack_from("<" + f.code, data, f.offset)[0]


def read_fields(data: bytes | bytearray | memoryview) -> dict[str, Any]:
    """Every main header field, and the disk sub-header's when the data is long enough."""
    fields = MAIN_HEADER + (DISK_SUB_HEADER if len(data) >= HEADERS_END else ())
    return {f.name: struct.unpack_from("<" + f.code, data, f.offset)[0] for f in fields}


def patch_field(data: bytearray, name: str, value: Any) -> None:
    """Store ``value`` into the field ``name`` of a main header or disk sub-header in place."""
    f = _BY_NAME[name]
    struct.pack_into("<" + f.code, data, f.offset, value)


def buffer_descriptors(data: bytes | bytearray | memoryview) -> list[tuple[int, int]]:
    """(tick count, buffer offset) of the four buffer descriptors of the main header."""
    return [
        struct.unpack_from("<2i", data, BUFFER_DESCRIPTORS_OFFSET + i * BUFFER_DESCRIPTOR_SIZE)
        for i in range(MAX_BUFFERS)
    ]


def patch_buffer_descriptor(data: bytearray, index: int, tick_count: int, offset: int) -> None:
    """Store buffer descriptor ``index`` (0 to 3): its tick count and its buffer offset."""
    if not 0 <= index < MAX_BUFFERS:
        raise IndexError(f"buffer descriptor {index} out of range (0..{MAX_BUFFERS - 1})")
    struct.pack_into(
        "<2i", data, BUFFER_DESCRIPTORS_OFFSET + index * BUFFER_DESCRIPTOR_SIZE, tick_count, offset
    )


@dataclass(frozen=True)
class VarHeaderInfo:
    """One variable header as stored; texts are UTF-8 with replacement, up to the first NUL."""

    index: int
    type: int
    offset: int
    count: int
    name: str
    desc: str
    unit: str


def _text(raw: bytes) -> str:
    return raw.split(b"\0", 1)[0].decode("utf-8", "replace")


def read_var_headers(data: bytes | bytearray | memoryview) -> list[VarHeaderInfo]:
    """The variable headers the main header points at; [] when they do not fit in ``data``."""
    num_vars = read_field(data, "num_vars")
    start = read_field(data, "var_header_offset")
    if num_vars < 0 or start < 0 or start + num_vars * VAR_HEADER_SIZE > len(data):
        return []
    out = []
    for i in range(num_vars):
        base = start + i * VAR_HEADER_SIZE
        values = {
            f.name: struct.unpack_from("<" + f.code, data, base + f.offset)[0] for f in VAR_HEADER
        }
        out.append(
            VarHeaderInfo(
                index=i,
                type=values["type"],
                offset=values["offset"],
                count=values["count"],
                name=_text(values["name"]),
                desc=_text(values["desc"]),
                unit=_text(values["unit"]),
            )
        )
    return out
