"""Where a lap gains and loses time against a reference lap, corner by corner.

Both laps are put on one track model (:mod:`corvex.track`) by their positions, so the distance
of every record is where the car was on the shared line, whatever the laps' own ``LapDist``
says. Each lap's time at a distance is interpolated between its records, and every figure is
a difference of such times: the time at which each lap reaches each boundary on the line.

The lap is cut into zones that tile it from the start/finish line to the line: one per corner,
and the straights between them. A corner's zone is where driving decides the corner:

- it starts where the first of the two laps begins to brake (or lifts off the throttle) for
  it, a few metres earlier (:data:`ZONE_MARGIN`), and never after the corner's entry;
- it ends at the corner's exit, or later, where both laps are back on full throttle
  (:data:`FULL_THROTTLE`) and their speeds agree within :data:`SAME_SPEED`: a slower exit
  costs time along the straight that follows, and that time belongs to the corner;
- zones never overlap: a corner's zone ends where the next one starts.

So the zones' gains and losses add up exactly to the difference of the two laps' times from
line to line, and a braking point 10 m early or a slower apex is charged to its corner.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np
import pyarrow as pa

from corvex.analysis import lap_distance
from corvex.columns import floats, from_numpy, table_from_lists
from corvex.track import TrackModel, jump_pieces, set_positions

if TYPE_CHECKING:
    from numpy.typing import NDArray

__all__ = [
    "BRAKE_ON",
    "FULL_THROTTLE",
    "LIFT",
    "SAME_SPEED",
    "THROTTLE_ON",
    "ZONE_MARGIN",
    "CORNER_CHANNELS",
    "DrivenLap",
    "corner_table",
    "lap_table",
    "line_delta",
]

BRAKE_ON = 0.05  # Brake above this is braking (5 % of the pedal)
LIFT = 0.9  # Throttle falling below this, without braking, is a lift
THROTTLE_ON = 0.2  # Throttle rising above this after the slowest point is the pick-up
FULL_THROTTLE = 0.95  # Throttle at or above this is flat out
SAME_SPEED = 1.0 / 3.6  # m/s (1 km/h): two laps' speeds that agree
ZONE_MARGIN = 5.0  # m before the first braking point where a corner's zone starts

# A record this far (m) from the line is off it (the pit box after a tow): not driving the lap.
_OFF_LINE = 60.0
# How far (m) a lap's time may be extrapolated beyond its first or last record.
_EXTRAPOLATE = 30.0

# The channels a lap needs to be put on the line and measured corner by corner.
CORNER_CHANNELS = (
    "SessionTime",
    "Lat",
    "Lon",
    "LapDist",
    "LapDistPct",
    "Speed",
    "Brake",
    "Throttle",
    "Gear",
)

_M = {b"units": b"m"}
_S = {b"units": b"s"}
_V = {b"units": b"m/s"}


@dataclass
class DrivenLap:
    """One lap's records on the shared line, in the order they were driven.

    ``distance`` is unwrapped at the line (negative just before it at the start, above the
    lap's length just past it at the end); only records that reach new distance are kept, and
    ``piece`` numbers the runs between jumps (a tow, a reset), across which nothing is
    interpolated.
    """

    distance: NDArray[np.float64]
    time: NDArray[np.float64]  # seconds of session time
    piece: NDArray[np.intp]
    lateral: NDArray[np.float64]  # m, positive to the left of the line
    x: NDArray[np.float64]  # m east on the track model's plane
    y: NDArray[np.float64]  # m north
    channels: dict[str, NDArray[np.float64]]
    length: float

    def __post_init__(self) -> None:
        # [first, stop) of each piece: the records are in driving order, pieces one after another.
        edges = np.flatnonzero(np.diff(self.piece)) + 1
        bounds = np.concatenate(([0], edges, [len(self.piece)]))
        self.spans = [(int(a), int(b)) for a, b in zip(bounds[:-1], bounds[1:]) if b > a]

    @classmethod
    def of(cls, table: pa.Table, track: TrackModel) -> DrivenLap:
        """Put the records of ``table`` (a wide table of one lap) on ``track``'s line."""
        names = table.column_names
        for needed in ("timecodes", "Lat", "Lon"):
            if needed not in names:
                raise ValueError(f"the lap has no {needed}: it cannot be put on the track")
        lat, lon = _floats(table, "Lat"), _floats(table, "Lon")
        positioned = np.flatnonzero(set_positions(lat, lon))
        px, py = track.to_plane(lat[positioned], lon[positioned])
        hint = None
        if "LapDistPct" in names:
            hint = _floats(table, "LapDistPct")[positioned] * track.length
        elif "LapDist" in names:
            hint = _floats(table, "LapDist")[positioned]
        along, lateral = track.project_plane(px, py, hint)
        near = np.abs(lateral) <= _OFF_LINE
        on_line = positioned[near]
        along, lateral, px, py = along[near], lateral[near], px[near], py[near]
        # SessionTime to the microsecond where the table has it; the time column is whole ms.
        clock = _floats(table, "timecodes") / 1000.0
        if "SessionTime" in names:
            precise = _floats(table, "SessionTime")
            if np.isfinite(precise).all() and np.abs(precise - clock).max() < 0.001:
                clock = precise
        time = clock[on_line]
        d = lap_distance(along, track.length)
        piece = jump_pieces(time, px, py)
        keep = _forward(d, piece)
        rows = on_line[keep]
        channels = {
            name: _floats(table, name)[rows]
            for name in ("Speed", "Brake", "Throttle", "Gear")
            if name in names
        }
        return cls(
            d[keep],
            time[keep],
            piece[keep],
            lateral[keep],
            px[keep],
            py[keep],
            channels,
            track.length,
        )

    def time_at(self, at: NDArray[np.float64]) -> NDArray[np.float64]:
        """Session time (s) at which the lap reached each distance; NaN where it did not drive
        there (a short way past its first or last record is extrapolated)."""
        at = np.asarray(at, dtype=np.float64)
        out = np.full(at.shape, np.nan)
        d, t = self.distance, self.time
        if len(d) < 2:
            return out
        for first, stop in self.spans:
            dp, tp = d[first:stop], t[first:stop]
            if len(dp) < 2:
                continue
            inside = (at >= dp[0]) & (at <= dp[-1])
            out[inside] = np.interp(at[inside], dp, tp)
        # The lap's own ends: its line crossings lie just outside its first and last records.
        head = np.isnan(out) & (at < d[0]) & (at >= d[0] - _EXTRAPOLATE)
        if head.any() and self.piece[0] == self.piece[1]:
            rate = (t[1] - t[0]) / max(d[1] - d[0], 1e-9)
            out[head] = t[0] - (d[0] - at[head]) * rate
        tail = np.isnan(out) & (at > d[-1]) & (at <= d[-1] + _EXTRAPOLATE)
        if tail.any() and self.piece[-1] == self.piece[-2]:
            rate = (t[-1] - t[-2]) / max(d[-1] - d[-2], 1e-9)
            out[tail] = t[-1] + (at[tail] - d[-1]) * rate
        return out

    def value_at(self, name: str, at: NDArray[np.float64]) -> NDArray[np.float64]:
        """Channel ``name`` at each distance (linear between records), NaN without it."""
        at = np.asarray(at, dtype=np.float64)
        values = self.channels.get(name)
        if values is None or len(self.distance) < 2:
            return np.full(at.shape, np.nan)
        out = np.interp(at, self.distance, values)
        out[(at < self.distance[0] - _EXTRAPOLATE) | (at > self.distance[-1] + _EXTRAPOLATE)] = (
            np.nan
        )
        return out

    def first_crossing(
        self, name: str, level: float, low: float, high: float, rising: bool
    ) -> float | None:
        """The first distance in [low, high] where ``name`` crosses ``level`` upwards (or
        downwards), interpolated between records; None when it does not."""
        values = self.channels.get(name)
        if values is None:
            return None
        d = self.distance
        i = np.flatnonzero((d >= low) & (d <= high))
        if len(i) < 2:
            return None
        v = values[i]
        above = v > level if rising else v < level
        hits = np.flatnonzero(above[1:] & ~above[:-1]) + 1
        if not len(hits):
            return None
        j = hits[0]
        a, b = v[j - 1], v[j]
        share = (level - a) / (b - a) if b != a else 1.0
        return float(d[i[j - 1]] + share * (d[i[j]] - d[i[j - 1]]))


def lap_table(source: Any) -> pa.Table:
    """A lap as a wide table of :data:`CORNER_CHANNELS`: ``source`` is a one-lap ``LogFile``
    (or anything with ``channels`` and ``to_table``), a wide table, or a Parquet path."""
    import os

    if isinstance(source, pa.Table):
        return source
    if isinstance(source, (str, os.PathLike)):
        import pyarrow.parquet as pq

        return pq.read_table(source)
    if hasattr(source, "channels") and hasattr(source, "to_table"):
        return source.to_table([n for n in CORNER_CHANNELS if n in source.channels])
    raise TypeError(f"a lap is a LogFile, a pyarrow Table or a Parquet path, not {source!r}")


def _floats(table: pa.Table, name: str) -> NDArray[np.float64]:
    return floats(table.column(name))


def _forward(d: NDArray[np.float64], piece: NDArray[np.intp]) -> NDArray[np.intp]:
    """Indices of the records that reach new distance within their piece."""
    keep = []
    for number in np.unique(piece):
        mine = np.flatnonzero(piece == number)
        dp = d[mine]
        best = np.concatenate(([-np.inf], np.maximum.accumulate(dp)[:-1]))
        keep.append(mine[dp > best])
    return np.sort(np.concatenate(keep)) if keep else np.zeros(0, dtype=np.intp)


# -- the corner table ------------------------------------------------------------------------


def _schema() -> pa.Schema:
    def f(name: str, kind: pa.DataType, meta: dict[bytes, bytes] | None = None) -> pa.Field:
        return pa.field(name, kind, metadata=meta)

    fields = [
        pa.field("name", pa.string(), nullable=False),
        pa.field("kind", pa.string(), nullable=False),
        f("corner", pa.int32()),
        f("direction", pa.string()),
        pa.field("start", pa.float64(), nullable=False, metadata=_M),
        pa.field("end", pa.float64(), nullable=False, metadata=_M),
        f("entry", pa.float64(), _M),
        f("apex", pa.float64(), _M),
        f("exit", pa.float64(), _M),
        f("time", pa.float64(), _S),
        f("reference_time", pa.float64(), _S),
        f("delta", pa.float64(), _S),
    ]
    for name, meta in _PER_LAP:
        fields.append(f(name, pa.string() if name == "braking" else pa.float64(), meta))
        fields.append(
            f(f"reference_{name}", pa.string() if name == "braking" else pa.float64(), meta)
        )
    return pa.schema(fields)


# Figures of each corner, measured on each lap (the reference's carry a "reference_" prefix).
_PER_LAP: tuple[tuple[str, dict[bytes, bytes] | None], ...] = (
    ("braking_point", _M),
    ("braking", None),
    ("min_speed", _V),
    ("min_speed_at", _M),
    ("throttle_on", _M),
    ("entry_speed", _V),
    ("apex_speed", _V),
    ("exit_speed", _V),
    ("corner_time", _S),
)


def corner_table(
    lap: pa.Table | DrivenLap, reference: pa.Table | DrivenLap, track: TrackModel
) -> pa.Table:
    """The lap against the reference, zone by zone: each corner and each straight.

    ``lap`` and ``reference`` are wide tables of one lap each (``timecodes``, ``Lat``, ``Lon``
    and, for the corner figures, ``Speed``, ``Brake`` and ``Throttle``), from one file or two
    of the same track. One row per zone, in driving order from the line:

    - ``name`` ("T4", or "start-T1", "T4-T5", "T9-finish" for straights), ``kind``
      ("corner" or "straight"), ``corner`` (number) and ``direction`` ("left"/"right");
    - ``start`` and ``end`` (m on the line) of the zone, ``entry``, ``apex`` and ``exit`` of
      the corner;
    - ``time``, ``reference_time`` (s each lap spent in the zone) and ``delta`` (s, lap minus
      reference: positive where the lap loses time); null where a lap did not drive the zone;
    - for each lap (the reference's prefixed ``reference_``): ``braking_point`` (m, where the
      brake rose above 5 %, or where the throttle fell below 90 % without braking),
      ``braking`` ("brake", "lift" or null for neither), ``min_speed`` (m/s) and
      ``min_speed_at`` (m) between entry and exit, ``throttle_on`` (m, where the throttle
      came back above 20 % after the slowest point), ``entry_speed``, ``apex_speed``,
      ``exit_speed`` (m/s) and ``corner_time`` (s from entry to exit).

    The deltas add up to the difference of the laps' times from line to line, given in the
    schema metadata (``corvex.lap_time``, ``corvex.reference_lap_time``, in s).
    """
    ours = lap if isinstance(lap, DrivenLap) else DrivenLap.of(lap, track)
    theirs = reference if isinstance(reference, DrivenLap) else DrivenLap.of(reference, track)
    corners = track.corners.to_pylist()
    figures = [_figures(ours, corners, k) for k in range(len(corners))]
    ref_figures = [_figures(theirs, corners, k) for k in range(len(corners))]
    zones = _zones(ours, theirs, corners, figures, ref_figures, track.length)
    bounds = np.array([z[1] for z in zones] + [zones[-1][2]]) if zones else np.zeros(0)
    t_lap = ours.time_at(bounds)
    t_ref = theirs.time_at(bounds)
    rows = []
    for j, (kind, start, end, k) in enumerate(zones):
        time = _finite(t_lap[j + 1] - t_lap[j])
        ref_time = _finite(t_ref[j + 1] - t_ref[j])
        row: dict[str, Any] = {
            "name": _zone_name(kind, k, len(corners), start, end, track.length, corners),
            "kind": kind,
            "start": start,
            "end": end,
            "time": time,
            "reference_time": ref_time,
            "delta": None if time is None or ref_time is None else time - ref_time,
        }
        if k is not None:
            corner = corners[k]
            row.update(
                corner=corner["corner"],
                direction=corner["direction"],
                entry=corner["entry"],
                apex=corner["apex"],
                exit=corner["exit"],
            )
            row.update(figures[k])
            row.update({f"reference_{key}": value for key, value in ref_figures[k].items()})
        rows.append(row)
    schema = _schema()
    table = table_from_lists(schema, {f.name: [row.get(f.name) for row in rows] for f in schema})
    ends = np.array([0.0, track.length])
    lap_time = _finite(float(np.diff(ours.time_at(ends))[0]))
    ref_lap_time = _finite(float(np.diff(theirs.time_at(ends))[0]))
    meta = {
        b"corvex.lap_time": repr(lap_time).encode(),
        b"corvex.reference_lap_time": repr(ref_lap_time).encode(),
    }
    return table.replace_schema_metadata(meta)


def _finite(value: float) -> float | None:
    return float(value) if math.isfinite(value) else None


def _zone_name(
    kind: str,
    k: int | None,
    count: int,
    start: float,
    end: float,
    length: float,
    corners: Sequence[dict[str, Any]],
) -> str:
    if k is not None:
        return f"T{corners[k]['corner']}"
    before = [c["corner"] for c in corners if c["apex"] < start + 1e-6]
    after = [c["corner"] for c in corners if c["apex"] > end - 1e-6]
    left = f"T{before[-1]}" if before else "start"
    right = f"T{after[0]}" if after else "finish"
    return f"{left}-{right}"


def _figures(lap: DrivenLap, corners: Sequence[dict[str, Any]], k: int) -> dict[str, Any]:
    """The braking point, slowest point, pick-up and speeds of one lap through corner k."""
    corner = corners[k]
    entry, apex, exit_ = corner["entry"], corner["apex"], corner["exit"]
    previous = corners[k - 1]["apex"] - (lap.length if k == 0 else 0.0) if corners else 0.0
    nxt = corners[k + 1]["apex"] if k + 1 < len(corners) else corners[0]["apex"] + lap.length
    braking_point = lap.first_crossing("Brake", BRAKE_ON, previous, apex, rising=True)
    braking = "brake" if braking_point is not None else None
    if braking_point is None:
        braking_point = lap.first_crossing("Throttle", LIFT, previous, apex, rising=False)
        braking = "lift" if braking_point is not None else None
    out: dict[str, Any] = {"braking_point": braking_point, "braking": braking}
    speeds = lap.channels.get("Speed")
    low_at = None
    if speeds is not None:
        inside = np.flatnonzero((lap.distance >= entry) & (lap.distance <= exit_))
        if len(inside):
            i = inside[np.argmin(speeds[inside])]
            low_at = float(lap.distance[i])
            out.update(min_speed=float(speeds[i]), min_speed_at=low_at)
        v = lap.value_at("Speed", np.array([entry, apex, exit_]))
        out.update(
            entry_speed=_finite(float(v[0])),
            apex_speed=_finite(float(v[1])),
            exit_speed=_finite(float(v[2])),
        )
    if low_at is not None:
        out["throttle_on"] = _pick_up(lap, low_at, braking_point or entry, nxt)
    t = lap.time_at(np.array([entry, exit_]))
    out["corner_time"] = _finite(float(t[1] - t[0]))
    return out


def _pick_up(lap: DrivenLap, low_at: float, earliest: float, latest: float) -> float | None:
    """Where the throttle came back above :data:`THROTTLE_ON` around the slowest point.

    Already on it at the slowest point (holding speed): the start of that stretch on the
    throttle, not before ``earliest``; else the first rise after the slowest point.
    """
    throttle = lap.channels.get("Throttle")
    if throttle is None:
        return None
    d = lap.distance
    i = int(np.searchsorted(d, low_at))
    if i < len(d) and throttle[i] > THROTTLE_ON:
        j = i
        while j > 0 and throttle[j - 1] > THROTTLE_ON and d[j - 1] >= earliest:
            j -= 1
        return float(d[j])
    return lap.first_crossing("Throttle", THROTTLE_ON, low_at, latest, rising=True)


def _zones(
    ours: DrivenLap,
    theirs: DrivenLap,
    corners: Sequence[dict[str, Any]],
    figures: Sequence[dict[str, Any]],
    ref_figures: Sequence[dict[str, Any]],
    length: float,
) -> list[tuple[str, float, float, int | None]]:
    """(kind, start, end, corner index) of each zone, tiling 0..length."""
    starts = []
    for k, corner in enumerate(corners):
        points = [corner["entry"]] + [
            f["braking_point"] - ZONE_MARGIN
            for f in (figures[k], ref_figures[k])
            if f.get("braking_point") is not None
        ]
        floor = corners[k - 1]["apex"] if k else corner["entry"] - length / 2
        starts.append(max(min(points), floor))
    grid = np.arange(0.0, length + 1.0, 1.0)
    settled = _settled(ours, theirs, grid)
    zones: list[tuple[str, float, float, int | None]] = []
    position = 0.0
    for k, corner in enumerate(corners):
        start = min(max(starts[k], position), length)
        limit = starts[k + 1] if k + 1 < len(corners) else length
        end = _zone_end(grid, settled, corner["exit"], limit)
        end = min(max(end, start), length)
        if start > position:
            zones.append(("straight", position, start, None))
        if end > start:
            zones.append(("corner", start, end, k))
        position = max(position, end)
    if position < length:
        zones.append(("straight", position, length, None))
    return zones


def _settled(ours: DrivenLap, theirs: DrivenLap, grid: NDArray[np.float64]) -> NDArray[np.bool_]:
    """Where both laps are flat out at the same speed (True where a lap lacks the channel)."""
    ok = np.ones(len(grid), dtype=bool)
    for lap in (ours, theirs):
        if "Throttle" in lap.channels:
            ok &= lap.value_at("Throttle", grid) >= FULL_THROTTLE
    if "Speed" in ours.channels and "Speed" in theirs.channels:
        gap = np.abs(ours.value_at("Speed", grid) - theirs.value_at("Speed", grid))
        ok &= gap <= SAME_SPEED
    return ok


def _zone_end(
    grid: NDArray[np.float64], settled: NDArray[np.bool_], exit_: float, limit: float
) -> float:
    """The first grid point from the corner's exit on where both laps have settled."""
    first = int(np.searchsorted(grid, exit_))
    last = int(np.searchsorted(grid, limit))
    hits = np.flatnonzero(settled[first:last])
    return float(grid[first + hits[0]]) if len(hits) else limit


# -- delta along the lap ---------------------------------------------------------------------


def line_delta(
    lap: pa.Table | DrivenLap, reference: pa.Table | DrivenLap, track: TrackModel, step: float = 1.0
) -> pa.Table:
    """Time slip of the lap behind the reference along the shared line.

    Columns ``distance`` (m on the line, multiples of ``step``) and ``delta`` (s, positive
    where the lap is behind), where both laps drove; each lap's time counts from its own
    crossing of the start/finish line.
    """
    ours = lap if isinstance(lap, DrivenLap) else DrivenLap.of(lap, track)
    theirs = reference if isinstance(reference, DrivenLap) else DrivenLap.of(reference, track)
    grid = np.arange(0.0, track.length, step)
    mine, ref = ours.time_at(grid), theirs.time_at(grid)
    both = np.flatnonzero(np.isfinite(mine) & np.isfinite(ref))
    # From the line; a lap that did not cross it (an out-lap) from the first distance both drove.
    first = both[0] if len(both) else 0
    slip = (mine - mine[first]) - (ref - ref[first])
    keep = np.isfinite(slip)
    return pa.table(
        {
            "distance": from_numpy(grid[keep], pa.float64()),
            "delta": from_numpy(slip[keep], pa.float64()),
        }
    )
