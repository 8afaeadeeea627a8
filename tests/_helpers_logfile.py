"""An independent reading of IBT bytes with `struct`, for the LogFile and command line tests.

It knows only the file layout (main header, disk sub-header, variable headers, records), so
values the tests compare against never come from the code under test.
"""

from __future__ import annotations

import math
import struct
from dataclasses import dataclass
from pathlib import Path

REAL_DATA_DIR = Path(__file__).resolve().parents[2] / "shared" / "data" / "real"

_FORMATS = {0: "B", 1: "B", 2: "i", 3: "I", 4: "f", 5: "d"}
_WIDTHS = {0: 1, 1: 1, 2: 4, 3: 4, 4: 4, 5: 8}


@dataclass(frozen=True)
class RawVar:
    name: str
    type: int
    offset: int
    count: int
    desc: str
    unit: str


def _text(raw: bytes) -> str:
    return raw.split(b"\0", 1)[0].decode("utf-8", "replace")


class RawIbt:
    """Header values, variable headers and per-record values read straight from the bytes."""

    def __init__(self, data: bytes) -> None:
        self.data = data
        head = struct.unpack_from("<10i", data, 0)
        self.tick_rate = head[2]
        self.session_info_len, self.session_info_offset = head[4], head[5]
        num_vars, var_header_offset, self.buf_len = head[6], head[7], head[9]
        (self.buf_offset,) = struct.unpack_from("<i", data, 52)
        self.session_start_date, self.start_time, self.end_time = struct.unpack_from(
            "<qdd", data, 112
        )
        self.lap_count, self.record_count = struct.unpack_from("<ii", data, 136)
        self.vars = []
        for k in range(num_vars):
            base = var_header_offset + 144 * k
            vtype, offset, count = struct.unpack_from("<iii", data, base)
            self.vars.append(
                RawVar(
                    _text(data[base + 16 : base + 48]),
                    vtype,
                    offset,
                    count,
                    _text(data[base + 48 : base + 112]),
                    _text(data[base + 112 : base + 144]),
                )
            )

    def var(self, name: str) -> RawVar:
        return [v for v in self.vars if v.name == name][-1]

    def scalar_names(self) -> list[str]:
        return list(dict.fromkeys(v.name for v in self.vars if v.count == 1))

    def values(self, name: str) -> list:
        """The first element of ``name`` in every record, decoded by its type."""
        var = self.var(name)
        fmt = "<" + _FORMATS[var.type]
        out = []
        for i in range(self.record_count):
            (value,) = struct.unpack_from(
                fmt, self.data, self.buf_offset + i * self.buf_len + var.offset
            )
            out.append(bool(value) if var.type == 1 else value)
        return out

    def timecodes(self) -> list[int]:
        """SessionTime in whole milliseconds, halves rounded away from zero."""
        return [
            int(math.copysign(math.floor(abs(t) * 1000.0 + 0.5), t))
            for t in self.values("SessionTime")
        ]

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
