"""Write the fuzzer's seed corpus: small valid IBT files of varied shapes.

Usage: python fuzz/make_seeds.py OUTPUT_DIR [REAL_DATA_DIR]

The files come from the project's IBT writer; a real recording found in REAL_DATA_DIR (by
default ../shared/data/real beside the project) is added as it is and cut down to a few
records. The output directory is git-ignored and must stay so: real recordings are never
committed.
"""

from __future__ import annotations

import hashlib
import math
import struct
import sys
from collections.abc import Iterator
from pathlib import Path

from corvex.testing import (
    BITFIELD,
    BOOL,
    CHAR,
    DOUBLE,
    FLOAT,
    INT,
    Bits,
    Var,
    build_ibt,
    build_snapshot,
    keep_records,
    lap_variables,
    layout,
    sample_session,
)

PROJECT = Path(__file__).resolve().parents[1]
DEFAULT_REAL_DIR = PROJECT.parent / "shared" / "data" / "real"

WEEKEND_INFO = (
    "---\nWeekendInfo:\n TrackName: redbullring gp\n TrackDisplayName: Red Bull Ring\n"
    " TrackCity: Spielberg\n TrackCountry: Austria\n TrackLength: 4.32 km\n SeriesID: 0\n"
    " SeasonID: 0\n SessionID: 1\n SubSessionID: 2\n...\n\x00\x00\x00"
)


def _times(n: int, step: float = 1 / 60) -> list[float]:
    return [i * step for i in range(n)]


def _every_type() -> bytes:
    """One scalar of each type, an array, a count-0 variable and the lap variables."""
    n = 12
    variables = [
        *lap_variables(),
        Var("Gear", CHAR),
        Var("SessionFlags", BITFIELD, unit="irsdk_Flags"),
        Var("Speed", FLOAT, unit="m/s"),
        Var("CarIdxLap", INT, count=4),
        Var("Empty", DOUBLE, count=0),
    ]
    columns = {
        "SessionTime": _times(n),
        "Lap": [0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 0, 0],
        "LapDistPct": [0.99, 0.995, 0.01, 0.02, 0.5, 0.97, 0.99, 0.0, 0.5, 0.981, 0.01, 0.5],
        "OnPitRoad": [1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 2],
        "Gear": [0, 1, 2, 3, 4, 5, 6, 255, 0, 1, 2, 3],
        "SessionFlags": [0, 1, 0xFFFFFFFF, 0x80000000, 4, 8, 16, 32, 64, 128, 256, 512],
        "Speed": [float(i) * 3.5 for i in range(n)],
        "CarIdxLap": [[i, i + 1, i + 2, i + 3] for i in range(n)],
    }
    return build_ibt(variables, columns, session_info=WEEKEND_INFO)


def _odd_values() -> bytes:
    """Times and fractions that round, saturate or are not numbers; a Double LapDistPct."""
    times = [0.0025, -0.0005, 1.2345, 12.3456, math.nan, math.inf, -math.inf, 1e16]
    variables = [
        Var("SessionTime", DOUBLE),
        Var("Lap", INT),
        Var("LapDistPct", DOUBLE),
        Var("Nan", FLOAT),
    ]
    columns = {
        "SessionTime": times,
        "Lap": [3, 3, 2, 2, 4, 9, 4, 4],
        "LapDistPct": [0.5, math.nan, 0.019999999552965164, 0.9800000190734863, 0.1, 0.2, 0.3, 0.4],
        "Nan": [Bits(0x7FC00001), Bits(0xFF800000), 0.0, -0.0, 1.0, 2.0, 3.0, 4.0],
    }
    return build_ibt(variables, columns, session_info="no marker here\x00", version=1)


def _narrow_lap() -> bytes:
    """A Char "Lap" read four bytes wide; duplicate names, the last one wins."""
    variables = [
        Var("SessionTime", DOUBLE),
        Var("Speed", FLOAT),
        Var("Speed", DOUBLE),
        Var("Lap", CHAR),
        Var("Pad", INT),
    ]
    columns = {"SessionTime": _times(6), 1: [1.0] * 6, 2: [2.0] * 6, "Lap": [1, 1, 2, 2, 2, 3]}
    return build_ibt(variables, columns)


def _lap_overruns() -> bytes:
    """A Char "Lap" at the very end of the record: the four-byte read of the last record fails."""
    variables = [Var("SessionTime", DOUBLE), Var("Lap", CHAR)]
    return build_ibt(variables, {"SessionTime": _times(3), "Lap": [1, 2, 2]})


def _count_zero_time() -> bytes:
    """SessionTime with count 0 placed near the end of the record."""
    variables = [Var("Lap", INT, offset=0), Var("SessionTime", DOUBLE, offset=4, count=0)]
    data = b"".join(struct.pack("<id", 1, float(i)) for i in range(4))
    return build_ibt(variables, data=data, buf_len=12)


def _no_records() -> bytes:
    return build_ibt([Var("SessionTime", DOUBLE), Var("Lap", INT)], {"SessionTime": [], "Lap": []})


def _overlapping_regions() -> bytes:
    """The session info region lies inside the data region; a tail follows it."""
    variables = [Var("SessionTime", DOUBLE), Var("Lap", INT)]
    plain = build_ibt(variables, {"SessionTime": _times(4), "Lap": [1, 1, 2, 2]})
    buf_offset = layout.read_field(plain, "buf_offset")
    return build_ibt(
        variables,
        {"SessionTime": _times(4), "Lap": [1, 1, 2, 2]},
        session_info_offset=buf_offset,
        session_info_len=16,
        tail=b"---\nWeekendInfo:\n",
    )


def _minimal() -> bytes:
    return build_ibt([Var("SessionTime", DOUBLE)], {"SessionTime": [0.0]})


def _live_snapshot() -> bytes:
    """Three record buffers, the newest in the middle, with a Bool array across a byte."""
    variables = [
        Var("SessionTime", DOUBLE),
        Var("Speed", FLOAT),
        Var("CarIdxOnPitRoad", BOOL, count=11),
        Var("Torque_ST", FLOAT, count=6),
    ]
    columns = {
        "SessionTime": [1.0, 3.0, 2.0],
        "Speed": [1.0, 3.0, 2.0],
        "CarIdxOnPitRoad": [[i % 2] * 11 for i in range(3)],
        "Torque_ST": [[i + j / 6 for j in range(6)] for i in range(3)],
    }
    return build_snapshot(variables, columns, [7, 9, 8], session_info=WEEKEND_INFO)


def seeds(real_dir: Path) -> Iterator[tuple[str, bytes]]:
    """(name, bytes) of every seed."""
    yield "minimal", _minimal()
    yield "every_type", _every_type()
    yield "odd_values", _odd_values()
    yield "narrow_lap", _narrow_lap()
    yield "lap_overruns", _lap_overruns()
    yield "count_zero_time", _count_zero_time()
    yield "no_records", _no_records()
    yield "overlapping_regions", _overlapping_regions()
    yield "sample_session_8", keep_records(sample_session(), 8)
    yield "live_snapshot", _live_snapshot()
    cut = _every_type()
    yield "cut_mid_record", cut[: len(cut) - 5]
    for path in sorted(real_dir.glob("*.ibt")):
        real = path.read_bytes()
        yield f"real_{path.stem}", real
        yield f"real_{path.stem}_6", keep_records(real, 6)


def main(argv: list[str]) -> int:
    if len(argv) not in (2, 3):
        print(__doc__, file=sys.stderr)
        return 2
    out = Path(argv[1])
    real_dir = Path(argv[2]) if len(argv) == 3 else DEFAULT_REAL_DIR
    out.mkdir(parents=True, exist_ok=True)
    for name, data in seeds(real_dir):
        digest = hashlib.sha1(data).hexdigest()[:12]
        (out / f"{name}-{digest}.ibt").write_bytes(data)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
