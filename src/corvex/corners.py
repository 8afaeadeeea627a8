"""Corners of a track, found in the curvature of its line.

A corner is a stretch where the line bends one way: its curvature keeps one sign and stays
above :data:`EDGE_CURVATURE` (a radius under 500 m), reaches :data:`MIN_CURVATURE` somewhere (a
radius under 250 m) and turns the car through at least :data:`MIN_TURN` degrees in all.

Why these numbers: a car at 250 km/h with 2.5 g of grip takes a 200 m radius flat out, so a bend
of a larger radius costs no braking and is a kink, not a corner; the edge at twice that radius
marks where the bend begins and ends (the line is straight, to within the smoothing, beyond
it); and a bend through less than 20 degrees is a flick of the wheel, not a corner a racer
counts. Two bends the same way with less than :data:`MERGE_GAP` metres of near-straight line
between them are one corner (a hairpin with a straighter middle, a double apex); a bend one way
followed by a bend the other way is always two corners (a chicane).

The apex is the point where the line has made half of the corner's turn, which stays put when
the line is measured from different laps (the point of largest curvature wanders along a
constant-radius arc). Corners are numbered from 1 in driving order from the start/finish line,
by their apex; a corner whose entry lies before the line and apex after it has a negative entry,
one whose exit lies past the line an exit beyond the lap's length.
"""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any

import numpy as np
import pyarrow as pa

from corvex.columns import table_from_lists

if TYPE_CHECKING:
    from numpy.typing import NDArray

__all__ = [
    "EDGE_CURVATURE",
    "MERGE_GAP",
    "MIN_CURVATURE",
    "MIN_TURN",
    "corner_schema",
    "find_corners",
]

MIN_CURVATURE = 1.0 / 250.0  # 1/m: a corner's tightest point is at least this tight
EDGE_CURVATURE = 1.0 / 500.0  # 1/m: where a corner begins and ends
MIN_TURN = 20.0  # degrees a corner turns at least
MERGE_GAP = 25.0  # m of near-straight line that still joins two bends the same way

_M = {b"units": b"m"}


def corner_schema() -> pa.Schema:
    """The columns of a corner table."""
    return pa.schema(
        [
            pa.field("corner", pa.int32(), nullable=False),
            pa.field("direction", pa.string(), nullable=False),
            pa.field("entry", pa.float64(), nullable=False, metadata=_M),
            pa.field("apex", pa.float64(), nullable=False, metadata=_M),
            pa.field("exit", pa.float64(), nullable=False, metadata=_M),
            pa.field("angle", pa.float64(), nullable=False, metadata={b"units": b"deg"}),
            pa.field("radius", pa.float64(), nullable=False, metadata=_M),
        ]
    )


def find_corners(
    distance: NDArray[Any],
    curvature: NDArray[Any],
    length: float,
    *,
    min_curvature: float = MIN_CURVATURE,
    edge_curvature: float = EDGE_CURVATURE,
    min_turn: float = MIN_TURN,
    merge_gap: float = MERGE_GAP,
) -> pa.Table:
    """The corners of a closed line given by its curvature (1/m, left positive) at evenly
    spaced ``distance`` values (m) over a lap of ``length`` m.

    Columns: ``corner`` (1..), ``direction`` ("left" or "right"), ``entry``, ``apex`` and
    ``exit`` (m), ``angle`` (degrees turned, always positive) and ``radius`` (m, the tightest).
    """
    d = np.asarray(distance, dtype=np.float64)
    k = np.asarray(curvature, dtype=np.float64)
    n = len(k)
    if n < 3 or len(d) != n:
        return corner_schema().empty_table()
    step = length / n
    # Start the walk on the straightest point, so that no bend is cut by the array's end.
    start = int(np.argmin(np.abs(k)))
    k = np.roll(k, -start)
    sign = np.where(k >= edge_curvature, 1, np.where(k <= -edge_curvature, -1, 0))
    runs = _runs(sign)
    runs = _merge(runs, step, merge_gap)
    rows = []
    for first, stop, way in runs:
        bend = k[first:stop]
        turned = np.cumsum(np.abs(bend)) * step
        angle = math.degrees(float(turned[-1]))
        peak = float(np.abs(bend).max())
        if peak < min_curvature or angle < min_turn:
            continue
        apex_at = first + float(np.interp(turned[-1] / 2.0, turned, np.arange(len(bend)) + 0.5))
        apex = ((apex_at + start) * step) % length
        entry = apex - (apex_at - first) * step
        exit_ = apex + (stop - apex_at) * step
        rows.append(
            {
                "direction": "left" if way > 0 else "right",
                "entry": entry,
                "apex": apex,
                "exit": exit_,
                "angle": angle,
                "radius": 1.0 / peak,
            }
        )
    rows.sort(key=lambda row: row["apex"])
    for number, row in enumerate(rows, start=1):
        row["corner"] = number
    schema = corner_schema()
    return table_from_lists(schema, {f.name: [row[f.name] for row in rows] for f in schema})


def _runs(sign: NDArray[np.int_]) -> list[tuple[int, int, int]]:
    """(first, stop, sign) of each run of equal nonzero sign."""
    edges = np.flatnonzero(np.diff(sign)) + 1
    bounds = np.concatenate(([0], edges, [len(sign)]))
    return [(int(a), int(b), int(sign[a])) for a, b in zip(bounds[:-1], bounds[1:]) if sign[a] != 0]


def _merge(runs: list[tuple[int, int, int]], step: float, gap: float) -> list[tuple[int, int, int]]:
    """Join bends the same way separated by less than ``gap`` m of near-straight line."""
    out: list[tuple[int, int, int]] = []
    for first, stop, way in runs:
        if out:
            last_first, last_stop, last_way = out[-1]
            # Runs of every sign are in the list, so a bend the other way would lie between.
            if last_way == way and (first - last_stop) * step < gap:
                out[-1] = (last_first, stop, way)
                continue
        out.append((first, stop, way))
    return out
