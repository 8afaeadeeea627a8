"""Helpers shared by the tests.

`RawIbt` is a deliberately small, independent reading of an IBT file with `struct` (header fields
through `corvex.testing.layout`): the tests compare what the extension returns against it, never
against the extension itself. `real_sample` finds the real recording kept beside the project.
`parse` calls the extension with `corvex.base.LogFile` replaced by a recorder, so the tests see
exactly the four arguments the extension hands over. The benchmark imports this module by path for
`LAP_SCHEMA`, so it imports pytest only where it skips.
"""

from __future__ import annotations

import math
import struct
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import pyarrow as pa

from corvex.testing import layout

CHAR, BOOL, INT, BITFIELD, FLOAT, DOUBLE = range(6)
WIDTH = {CHAR: 1, BOOL: 1, INT: 4, BITFIELD: 4, FLOAT: 4, DOUBLE: 8}
STRUCT_CODE = {CHAR: "B", BOOL: "B", INT: "i", BITFIELD: "I", FLOAT: "f", DOUBLE: "d"}
BITS_CODE = {FLOAT: "I", DOUBLE: "Q"}
# The Arrow type of a channel's values, by variable type code.
ARROW_TYPE = {
    CHAR: pa.uint8(),
    BOOL: pa.bool_(),
    INT: pa.int32(),
    BITFIELD: pa.uint32(),
    FLOAT: pa.float32(),
    DOUBLE: pa.float64(),
}

INT64_MAX = 2**63 - 1
INT64_MIN = -(2**63)

REAL_DATA_DIR = Path(__file__).resolve().parents[2] / "shared" / "data" / "real"

# The lap table the extension hands to LogFile.
LAP_SCHEMA = pa.schema(
    [
        pa.field("num", pa.int32(), nullable=False),
        pa.field("start_time", pa.int64(), nullable=False),
        pa.field("end_time", pa.int64(), nullable=False),
        pa.field("lap_type", pa.string(), nullable=False),
        pa.field("session", pa.int32(), nullable=False),
    ]
)


RawVar = layout.VarHeaderInfo  # one variable header as stored in the file


class RawIbt:
    """Header fields, variable headers and record values of an IBT file, read with struct."""

    def __init__(self, data: bytes) -> None:
        self.data = bytes(data)
        fields = layout.read_fields(self.data)
        self.version = fields["version"]
        self.tick_rate = fields["tick_rate"]
        self.session_info_len = fields["session_info_len"]
        self.session_info_offset = fields["session_info_offset"]
        self.num_vars, self.var_header_offset = fields["num_vars"], fields["var_header_offset"]
        self.buf_len, self.buf_offset = fields["buf_len"], fields["buf_offset"]
        self.session_start_date = fields["session_start_date"]
        self.start_time, self.end_time = fields["start_time"], fields["end_time"]
        self.lap_count, self.record_count = fields["lap_count"], fields["session_record_count"]
        self.vars = layout.read_var_headers(self.data)

    def find(self, name: str) -> RawVar:
        """The last variable of that exact name, as a by-name lookup resolves duplicates."""
        return [var for var in self.vars if var.name == name][-1]

    var = find

    def scalars(self) -> list[RawVar]:
        """The variables with count exactly 1, in file order."""
        return [var for var in self.vars if var.count == 1]

    def scalar_names(self) -> list[str]:
        return list(dict.fromkeys(var.name for var in self.scalars()))

    def raw(self, var: RawVar, record: int, width: int) -> bytes:
        """`width` bytes of `var` in record `record`."""
        start = self.buf_offset + record * self.buf_len + var.offset
        return self.data[start : start + width]

    def values(self, var: str | RawVar) -> list[Any]:
        """The (first) value of `var`, a name or a header, in every record; Bool is True for any
        nonzero byte."""
        if isinstance(var, str):
            var = self.find(var)
        code = "<" + STRUCT_CODE[var.type]
        out = [
            struct.unpack(code, self.raw(var, i, WIDTH[var.type]))[0]
            for i in range(self.record_count)
        ]
        return [value != 0 for value in out] if var.type == BOOL else out

    def bits(self, var: RawVar) -> list[int]:
        """The raw bit pattern of a Float or Double variable in every record."""
        code = "<" + BITS_CODE[var.type]
        width = WIDTH[var.type]
        return [struct.unpack(code, self.raw(var, i, width))[0] for i in range(self.record_count)]

    def timecodes(self) -> list[int]:
        """SessionTime of every record in whole milliseconds."""
        return [seconds_to_ms(value) for value in self.values(self.find("SessionTime"))]

    def lap_runs(self) -> list[tuple[int, int, int]]:
        """(lap number, first record, one past the last record) for each run of equal "Lap"."""
        laps = self.values("Lap")
        runs = []
        start = 0
        for i in range(1, len(laps) + 1):
            if i == len(laps) or laps[i] != laps[start]:
                runs.append((laps[start], start, i))
                start = i
        return runs


def lap_time_text(millis: int) -> str:
    """m:ss.mmm of a duration in milliseconds."""
    return f"{millis // 60000}:{millis % 60000 // 1000:02d}.{millis % 1000:03d}"


def seconds_to_ms(seconds: float) -> int:
    """Seconds to milliseconds: times 1000, halves away from zero, NaN 0, saturated to int64."""
    scaled = seconds * 1000.0
    if math.isnan(scaled):
        return 0
    if scaled >= 2.0**63:
        return INT64_MAX
    if scaled < -(2.0**63):
        return INT64_MIN
    magnitude = abs(scaled)
    whole = math.floor(magnitude)
    rounded = whole + (1 if magnitude - whole >= 0.5 else 0)
    return rounded if scaled >= 0 else -rounded


@dataclass
class Parsed:
    """The four positional arguments the extension passed to `LogFile`."""

    channels: dict
    laps: Any
    metadata: dict
    source: str


def parse(source: Any, progress: Callable[[int, int], Any] | None = None) -> Parsed:
    """Run the extension on `source` and return what it handed to `LogFile`."""
    import corvex.base
    from corvex import _corvex_rs

    calls: list[tuple[tuple, dict]] = []

    def record(*args: Any, **kwargs: Any) -> Parsed:
        calls.append((args, kwargs))
        return Parsed(*args)

    original = corvex.base.LogFile
    corvex.base.LogFile = record
    try:
        result = _corvex_rs.ibt(source) if progress is None else _corvex_rs.ibt(source, progress)
    finally:
        corvex.base.LogFile = original
    assert len(calls) == 1 and calls[0][1] == {}, calls
    assert result is not None
    return result


def times_ms(records: int, step_ms: int = 100) -> list[int]:
    """Evenly spaced session times in milliseconds."""
    return [i * step_ms for i in range(records)]


def ms_to_seconds(values: list[int]) -> list[float]:
    """Seconds that convert back to exactly these milliseconds."""
    return [value / 1000 for value in values]


def real_sample() -> Path:
    """The real recording kept beside the project, or a skip when this checkout has none."""
    import pytest

    files = sorted(REAL_DATA_DIR.glob("*.ibt"))
    if not files:
        pytest.skip(f"no real IBT file in {REAL_DATA_DIR}")
    return files[0]


def column_bits(chunk: Any, width: int) -> list[int]:
    """The stored bit patterns of a Float32 (width 4) or Float64 (width 8) Arrow array."""
    import numpy as np

    dtype = {4: "<u4", 8: "<u8"}[width]
    buffer = chunk.buffers()[1]
    return np.frombuffer(
        buffer, dtype=dtype, count=len(chunk), offset=chunk.offset * width
    ).tolist()


def value_bits(column: Any) -> Any:
    """A column's values (a fixed-size list's elements) as unsigned integers of their width, so
    that floats and their NaN payloads compare exactly; Booleans as 0 and 1."""
    import numpy as np

    if isinstance(column, pa.ChunkedArray):
        column = column.combine_chunks()
    if pa.types.is_fixed_size_list(column.type):
        column = column.flatten()
    values = column.to_numpy(zero_copy_only=False)
    if values.dtype == np.bool_:
        return values.astype(np.uint8)
    return values.view(f"u{values.itemsize}")


def assert_channel_matches(table: Any, raw: RawIbt, var: RawVar) -> None:
    """The value column of `table` holds exactly what struct reads for `var` in every record."""
    assert table.num_rows == raw.record_count
    chunk = table.column(1).combine_chunks()
    if var.type in (FLOAT, DOUBLE):
        assert column_bits(chunk, WIDTH[var.type]) == raw.bits(var), var.name
    else:
        assert chunk.to_pylist() == raw.values(var), var.name


def is_one_batch(table: Any) -> bool:
    """Whether every column of `table` is one chunk, as a table made from one record batch is."""
    return all(column.num_chunks == 1 for column in table.columns)


# -- MoTeC files, read at the offsets of docs/motec-ld-format.md --------------------------------
# Written from the document's tables, not from corvex.motec, whose writer and reader share one
# offset table: a wrong offset there would round-trip unnoticed.

LD_CHANNEL_BLOCK = 124
LD_TYPES = {(0x07, 4): "<I", (0x07, 2): "<H", (0x05, 4): "<I", (0x03, 2): "<h"}  # stored bits


@dataclass
class RawLdChannel:
    """One 124-byte channel block and its stored samples (4-byte samples as their bits)."""

    at: int
    prev: int
    next: int
    data_ptr: int
    count: int
    type_class: int
    sample_size: int
    rate: int
    scaling: tuple[int, int, int, int]  # shift, multiplier, scale, decimal places
    name: str
    short_name: str
    unit: str
    samples: list[int]


class RawLd:
    """An ``.ld`` file read with struct: header and block texts, and the channel list."""

    def __init__(self, data: bytes) -> None:
        self.data = data
        self.marker = self.u32(0x000)
        self.channel_ptr, self.data_ptr = self.u32(0x008), self.u32(0x00C)
        self.event_ptr = self.u32(0x024)
        self.channel_count = self.u32(0x056)
        self.date, self.time = self.text(0x05E, 16), self.text(0x07E, 16)
        self.driver, self.vehicle = self.text(0x09E, 64), self.text(0x0DE, 64)
        self.venue = self.text(0x15E, 64)
        self.pro_logging = self.u32(0x5DE)
        self.short_comment = self.text(0x624, 64)
        event = self.event_ptr
        self.event, self.session = self.text(event, 64), self.text(event + 64, 64)
        self.long_comment = self.text(event + 128, 1024)
        venue = struct.unpack_from("<H", data, event + 1152)[0]
        self.venue_name = self.text(venue, 64)
        vehicle = struct.unpack_from("<H", data, venue + 1098)[0]
        self.vehicle_id = self.text(vehicle, 64)
        self.vehicle_weight = self.u32(vehicle + 192)
        self.vehicle_type = self.text(vehicle + 196, 32)
        self.vehicle_comment = self.text(vehicle + 228, 32)
        self.channels: list[RawLdChannel] = []
        at = self.channel_ptr
        while at and len(self.channels) <= self.channel_count:
            self.channels.append(self._channel(at))
            at = self.channels[-1].next

    def u32(self, at: int) -> int:
        return int(struct.unpack_from("<I", self.data, at)[0])

    def text(self, at: int, size: int) -> str:
        return self.data[at : at + size].split(b"\0", 1)[0].decode("cp1252")

    def _channel(self, at: int) -> RawLdChannel:
        prev, following, data_ptr, count = struct.unpack_from("<4I", self.data, at)
        _, kind, size, rate = struct.unpack_from("<4H", self.data, at + 0x10)
        scaling = struct.unpack_from("<4h", self.data, at + 0x18)
        code = LD_TYPES[(kind, size)]
        samples = [
            struct.unpack_from(code, self.data, data_ptr + i * size)[0] for i in range(count)
        ]
        name, short, unit = (self.text(at + o, n) for o, n in ((0x20, 32), (0x40, 8), (0x48, 12)))
        return RawLdChannel(
            at, prev, following, data_ptr, count, kind, size, rate, scaling, name, short, unit,
            samples,
        )  # fmt: skip

    def __getitem__(self, name: str) -> RawLdChannel:
        return next(channel for channel in self.channels if channel.name == name)


def ldx_laps(path: Path) -> tuple[list[float], dict[str, str]]:
    """The beacon times (microseconds) and the details strings of an ``.ldx`` file."""
    import xml.etree.ElementTree as ET

    root = ET.parse(path).getroot()
    groups = [g for g in root.iter("MarkerGroup") if g.get("Name") == "Beacons"]
    beacons = [float(m.attrib["Time"]) for g in groups for m in g.iter("Marker")]
    details = {s.attrib["Id"]: s.attrib["Value"] for s in root.iter("String")}
    return beacons, details
