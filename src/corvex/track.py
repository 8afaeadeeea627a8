"""The track model: the line a session's laps drive, in metres, from their ``Lat``/``Lon``.

Positions are projected onto the plane that touches the earth's ellipsoid (WGS84) at the
track's centre: east and north in metres (a local east-north-up frame, through earth-centred
coordinates). The plane is the ellipsoid to within the drop of the surface below it: a point
5 km from the centre, the edge of a 10 km track, is placed about 0.5 mm short of where it is,
and lengths along the line are shorter by less than 1 part in 3 million.

The line is the median, point by point, of the laps' positions at equal lap fractions
(``LapDistPct``), so it starts and closes at the start/finish line and its distance axis is the
simulator's own: the lap fraction times the length at which the simulator wraps ``LapDist``
(from ``LapDist``/``LapDistPct``, else the session info's track length). That is the distance
``LapDist`` and :func:`corvex.analysis.on_distance` use, so a corner at 1,230 m here is at
1,230 m on every distance plot. The line's own measured length (``line_length``) is that of the
racing line, usually within a few per cent of it.

A :class:`TrackModel` is a small value: the line (a table of ``distance``, ``x``, ``y``,
``curvature``), its corners (:mod:`corvex.corners`), the sector starts and the layout it
belongs to. It saves to one Parquet file and loads from it, so that laps of different files
can be put on one geometry. :meth:`TrackModel.project` puts any record on the line: distance
along it and lateral offset (metres, positive to the left of the direction of travel).

numpy does all of it: smoothing is one product of Fourier transforms and the nearest-point
search a coarse pass and a fine one; scipy's filters and k-d tree would add half a second or
more of import to every ``corvex map`` to win a millisecond or two on a lap.
"""

from __future__ import annotations

import json
import math
import os
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass
from functools import cached_property
from pathlib import Path
from typing import TYPE_CHECKING, Any, Protocol

import numpy as np
import pyarrow as pa

from corvex.analysis import lap_distance, sector_starts, track_metres
from corvex.columns import column_values, floats, from_numpy, table_from_lists
from corvex.corners import find_corners

if TYPE_CHECKING:
    from numpy.typing import NDArray

__all__ = [
    "LINE_STEP",
    "TrackModel",
    "build_track",
    "INPUT_LAP",
    "inputs_facts",
    "inputs_track",
    "layout_inputs",
    "layout_key",
    "layout_track",
    "same_layout",
    "jump_pieces",
    "lap_positions",
    "set_positions",
    "session_track",
    "to_plane",
]

# Metres between the points of the line (on its distance axis). A straight piece between
# points misses a 25 m radius by 2 cm.
LINE_STEP = 2.0

# WGS84, the ellipsoid of the simulator's Lat/Lon.
_A = 6_378_137.0
_F = 1.0 / 298.257223563
_E2 = _F * (2.0 - _F)

# A record whose position has not been set yet (the first records of a recording) is at 0, 0.
_UNSET = 1e-9

# Between two records a car cannot move further than this plus what its speed allows: a
# bigger step is a tow, a reset or a replay jump, and the line is not drawn across it.
_JUMP_METRES = 30.0
_MAX_SPEED = 150.0  # m/s, faster than any car

# The laps may leave gaps in the line this long (share of the lap), filled from both sides.
_MAX_GAP = 0.05
# A lap that covers less of the track than this share is not used for the line.
_MIN_COVER = 0.9
_NO_LAP = (
    "no full lap with positions (Lat/Lon) to build the track from: the recording needs at "
    "least one lap driven from line to line"
)

# The first pass of the nearest-point search looks at a line point every this many metres; a
# point found within _NEAR metres of the line near its hint needs no search along all of it.
_COARSE = 20.0
_NEAR = 30.0

_SCHEMA_KEY = b"corvex.track"
_FORMAT = 1


# -- projection -----------------------------------------------------------------------------


def _ecef(lat: NDArray[Any], lon: NDArray[Any]) -> NDArray[np.float64]:
    """Earth-centred coordinates (m) of points on the ellipsoid's surface."""
    phi = np.radians(np.asarray(lat, dtype=np.float64))
    lam = np.radians(np.asarray(lon, dtype=np.float64))
    n = _A / np.sqrt(1.0 - _E2 * np.sin(phi) ** 2)
    return np.stack(
        (
            n * np.cos(phi) * np.cos(lam),
            n * np.cos(phi) * np.sin(lam),
            n * (1.0 - _E2) * np.sin(phi),
        )
    )


def to_plane(
    lat: NDArray[Any], lon: NDArray[Any], origin: tuple[float, float]
) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """East and north (m) of positions in degrees, on the plane touching the ellipsoid at
    ``origin`` (latitude, longitude in degrees)."""
    points = _ecef(lat, lon)
    centre = _ecef(np.array([origin[0]]), np.array([origin[1]]))
    delta = points - centre
    phi, lam = math.radians(origin[0]), math.radians(origin[1])
    east = -math.sin(lam) * delta[0] + math.cos(lam) * delta[1]
    north = (
        -math.sin(phi) * math.cos(lam) * delta[0]
        - math.sin(phi) * math.sin(lam) * delta[1]
        + math.cos(phi) * delta[2]
    )
    return np.asarray(east, dtype=np.float64), np.asarray(north, dtype=np.float64)


def set_positions(lat: NDArray[Any], lon: NDArray[Any]) -> NDArray[np.bool_]:
    """Records with a real position: finite, on the globe, and not the unset 0, 0."""
    lat = np.asarray(lat, dtype=np.float64)
    lon = np.asarray(lon, dtype=np.float64)
    with np.errstate(invalid="ignore"):
        ok = np.isfinite(lat) & np.isfinite(lon) & (np.abs(lat) <= 90.0) & (np.abs(lon) <= 180.0)
        ok &= (np.abs(lat) > _UNSET) | (np.abs(lon) > _UNSET)
    return ok


# -- one lap's positions ---------------------------------------------------------------------


@dataclass(frozen=True)
class LapPositions:
    """The records of one lap that have a position: time, lap fraction and degrees.

    ``fraction`` is unwrapped at the line (a record just short of it at the start of the lap is
    below 0, one past it at the end above 1). ``piece`` numbers the runs of records that follow
    each other without a jump (a tow, a reset): consecutive records of one piece were driven.
    """

    time: NDArray[np.float64]  # seconds
    fraction: NDArray[np.float64]
    lat: NDArray[np.float64]
    lon: NDArray[np.float64]
    piece: NDArray[np.intp]
    length: float | None  # metres at which the simulator wraps LapDist, when it tells


def _floats(table: pa.Table, name: str) -> NDArray[np.float64]:
    return floats(table.column(name))


def lap_length(table: pa.Table) -> float | None:
    """The length (m) at which the simulator wraps ``LapDist``, from ``LapDist``/``LapDistPct``
    in the middle of the lap; else the track length in the table's schema metadata."""
    names = table.column_names
    if "LapDist" in names and "LapDistPct" in names:
        dist, pct = _floats(table, "LapDist"), _floats(table, "LapDistPct")
        with np.errstate(invalid="ignore", divide="ignore"):
            middle = (pct > 0.25) & (pct < 0.75) & np.isfinite(dist)
            if middle.any():
                ratio = float(np.median(dist[middle] / pct[middle]))
                if 0.0 < ratio < math.inf:
                    return ratio
    meta = table.schema.metadata or {}
    return track_metres(meta.get(b"corvex.track_length"))


def lap_positions(table: pa.Table, length: float | None = None) -> LapPositions:
    """The positioned records of one lap (a wide table with ``timecodes``, ``Lat``, ``Lon`` and
    ``LapDistPct`` or ``LapDist``), records without a position left out."""
    names = table.column_names
    missing = [n for n in ("timecodes", "Lat", "Lon") if n not in names]
    if missing:
        raise ValueError(
            f"the lap has no {', '.join(missing)}: a track needs the positions Lat and Lon"
        )
    if length is None:
        length = lap_length(table)
    if "LapDistPct" in names:
        raw = _floats(table, "LapDistPct")
    elif "LapDist" in names and length is not None:
        raw = _floats(table, "LapDist") / length
    else:
        raise ValueError(
            "the lap has no LapDistPct (or LapDist and a track length) to find the "
            "start/finish line with"
        )
    lat, lon = _floats(table, "Lat"), _floats(table, "Lon")
    ok = set_positions(lat, lon) & np.isfinite(raw)
    time = _floats(table, "timecodes")[ok] / 1000.0
    fraction = lap_distance(raw[ok], 1.0)
    lat, lon = lat[ok], lon[ok]
    piece = jump_pieces(time, *to_plane(lat, lon, (float(lat[0]), float(lon[0]))))
    return LapPositions(time, fraction, lat, lon, piece, length)


def jump_pieces(
    time: NDArray[np.float64], x: NDArray[np.float64], y: NDArray[np.float64]
) -> NDArray[np.intp]:
    """Number the runs of records between jumps no car can make (positions in metres)."""
    if len(time) < 2:
        return np.zeros(len(time), dtype=np.intp)
    step = np.hypot(np.diff(x), np.diff(y))
    allowed = _JUMP_METRES + _MAX_SPEED * np.maximum(np.diff(time), 0.0)
    return np.concatenate(([0], np.cumsum(step > allowed))).astype(np.intp)


def _on_grid(
    lap: LapPositions, grid: NDArray[np.float64], origin: tuple[float, float]
) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """The lap's x, y at the lap fractions ``grid`` (0..1); NaN where it did not drive.

    Each piece of the lap is interpolated on its own records that reach new distance; a grid
    point is taken from the lap itself (0..1), or from its records before the line or past it.
    """
    x, y = to_plane(lap.lat, lap.lon, origin)
    out_x = np.full(len(grid), np.nan)
    out_y = np.full(len(grid), np.nan)
    for number in np.unique(lap.piece):
        mine = np.flatnonzero(lap.piece == number)
        f = lap.fraction[mine]
        best = np.maximum.accumulate(f)
        forward = np.concatenate(([True], f[1:] > best[:-1]))
        keep = mine[forward]
        f = lap.fraction[keep]
        if len(f) < 2:
            continue
        for shift in (0.0, -1.0, 1.0):
            g = grid + shift
            inside = (g >= f[0]) & (g <= f[-1]) & np.isnan(out_x)
            out_x[inside] = np.interp(g[inside], f, x[keep])
            out_y[inside] = np.interp(g[inside], f, y[keep])
    return out_x, out_y


# -- the model ------------------------------------------------------------------------------


@dataclass(frozen=True)
class TrackModel:
    """A track's line and corners, on the plane touching the ellipsoid at ``origin``.

    Attributes:
        line: table of ``distance`` (m from the line, every :data:`LINE_STEP` m), ``x`` and
            ``y`` (m east and north of ``origin``) and ``curvature`` (1/m, positive to the
            left); it closes on itself after ``length``.
        corners: one row per corner, see :func:`corvex.corners.find_corners`.
        sectors: distance (m) where each timing sector starts, the first at 0.
        origin: latitude and longitude (degrees) of the plane's centre.
        length: the distance axis's full lap (m), the simulator's own wrap length of LapDist.
        line_length: the length the line itself measures (m).
        track_id, config, name: the layout the model belongs to (session info's TrackID,
            TrackConfigName and TrackName; None where a recording did not say).
        laps: how many laps the line was built from.
    """

    line: pa.Table
    corners: pa.Table
    sectors: tuple[float, ...]
    origin: tuple[float, float]
    length: float
    line_length: float
    track_id: int | None = None
    config: str | None = None
    name: str | None = None
    laps: int = 0

    @cached_property
    def x(self) -> NDArray[np.float64]:
        return _floats(self.line, "x")

    @cached_property
    def y(self) -> NDArray[np.float64]:
        return _floats(self.line, "y")

    @cached_property
    def distance(self) -> NDArray[np.float64]:
        return _floats(self.line, "distance")

    def file_name(self) -> str:
        """A file name for this layout's model: ``track_403_grand-prix.parquet`` (TrackID and
        configuration), ``track_unknown_ring.parquet`` (the track's name) when the recordings
        gave no TrackID, ``track_unknown.parquet`` when they did not say either."""
        parts = [str(self.track_id) if self.track_id is not None else "unknown"]
        named = [self.name] if self.track_id is None and self.name else []
        for text in [*named, *([self.config] if self.config else [])]:
            slug = "".join(c if c.isalnum() else "-" for c in text.lower()).strip("-")
            parts.append("-".join(p for p in slug.split("-") if p))
        return "track_" + "_".join(p for p in parts if p) + ".parquet"

    def extent(self) -> tuple[float, float, float, float]:
        """West, east, south and north edges of the line (m on the plane)."""
        return (
            float(np.min(self.x)),
            float(np.max(self.x)),
            float(np.min(self.y)),
            float(np.max(self.y)),
        )

    def __repr__(self) -> str:
        layout = ", ".join(str(p) for p in (self.name, self.config) if p) or "unnamed layout"
        return (
            f"<corvex.TrackModel {layout}: {self.length:.0f} m, {self.corners.num_rows} corners,"
            f" from {self.laps} laps>"
        )

    # -- positions ----------------------------------------------------------------------------

    def to_plane(
        self, lat: NDArray[Any], lon: NDArray[Any]
    ) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
        """East and north (m) of positions in degrees, on this model's plane."""
        return to_plane(lat, lon, self.origin)

    def at(self, distance: NDArray[Any] | float) -> tuple[NDArray[np.float64], ...]:
        """x, y and heading (radians, counterclockwise from east) of the line at ``distance``
        (m, taken modulo the length)."""
        d = np.mod(np.asarray(distance, dtype=np.float64), self.length)
        grid = np.append(self.distance, self.length)
        xs = np.append(self.x, self.x[0])
        ys = np.append(self.y, self.y[0])
        i = np.clip(np.searchsorted(grid, d, side="right") - 1, 0, len(self.x) - 1)
        j = (i + 1) % len(self.x)
        heading = np.arctan2(self.y[j] - self.y[i], self.x[j] - self.x[i])
        return np.interp(d, grid, xs), np.interp(d, grid, ys), heading

    def project(
        self,
        lat: NDArray[Any],
        lon: NDArray[Any],
        hint: NDArray[Any] | None = None,
        window: float = 60.0,
    ) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
        """Distance along the line (m, 0..length) and lateral offset (m, positive to the
        left) of each position, NaN for records without a position.

        Each position goes to the nearest point of the line. Where the line passes close to
        itself (a crossing, the two legs of a hairpin) ``hint``, the distance a record is
        expected at (its LapDist, say), picks among near points those within ``window``
        metres of it.
        """
        lat = np.asarray(lat, dtype=np.float64)
        lon = np.asarray(lon, dtype=np.float64)
        distance = np.full(len(lat), np.nan)
        lateral = np.full(len(lat), np.nan)
        ok = set_positions(lat, lon)
        if not ok.any():
            return distance, lateral
        px, py = self.to_plane(lat[ok], lon[ok])
        d, off = self.project_plane(px, py, None if hint is None else np.asarray(hint)[ok], window)
        distance[ok] = d
        lateral[ok] = off
        return distance, lateral

    def project_plane(
        self,
        px: NDArray[np.float64],
        py: NDArray[np.float64],
        hint: NDArray[Any] | None = None,
        window: float = 60.0,
    ) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
        """:meth:`project` for points already on this model's plane (m east and north)."""
        if not len(px):
            return np.zeros(0), np.zeros(0)
        h = None if hint is None else np.asarray(hint, dtype=np.float64)
        return self._nearest(px, py, h, window)

    def _nearest(
        self,
        px: NDArray[np.float64],
        py: NDArray[np.float64],
        hint: NDArray[np.float64] | None,
        window: float,
    ) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
        index = self._nearest_vertex(px, py, hint, window)
        n = len(self.x)
        # The nearest point of the line lies on a segment next to the nearest vertex.
        starts = np.column_stack((index, (index - 1) % n))
        ends = (starts + 1) % n
        ax, ay = self.x[starts], self.y[starts]
        sx, sy = self.x[ends] - ax, self.y[ends] - ay
        t = np.clip(
            ((px[:, None] - ax) * sx + (py[:, None] - ay) * sy)
            / np.maximum(sx * sx + sy * sy, 1e-12),
            0.0,
            1.0,
        )
        fx, fy = ax + t * sx, ay + t * sy
        gap = np.hypot(px[:, None] - fx, py[:, None] - fy)
        best = np.argmin(gap, axis=1)
        rows = np.arange(len(px))
        s0, e0, tb = starts[rows, best], ends[rows, best], t[rows, best]
        step = np.where(e0 == 0, self.length, self.distance[e0]) - self.distance[s0]
        along = np.mod(self.distance[s0] + tb * step, self.length)
        cross = sx[rows, best] * (py - fy[rows, best]) - sy[rows, best] * (px - fx[rows, best])
        return along, np.sign(cross) * gap[rows, best]

    def _nearest_vertex(
        self,
        px: NDArray[np.float64],
        py: NDArray[np.float64],
        hint: NDArray[np.float64] | None,
        window: float,
    ) -> NDArray[np.intp]:
        """Index of the line's vertex nearest to each point.

        First among every :data:`_COARSE` metres of the line, then among the vertices around
        the coarse one. With a hint the coarse search looks only within ``window`` of it; a
        point that finds no vertex there within :data:`_NEAR` metres (a hint from another
        distance axis, a car off the track) is looked up along the whole line. A lap of 4,500
        records takes 3 ms (8 ms without hints); scipy's k-d tree takes 1.6 ms, after an
        import of 0.3 s or more that every command drawing a map would pay.
        """
        n = len(self.x)
        stride = max(1, round(_COARSE / (self.length / n)))
        coarse = np.arange(0, n, stride)
        index = np.zeros(len(px), dtype=np.intp)
        todo = np.ones(len(px), dtype=bool)
        if hint is not None and len(coarse) > 1:
            reach = int(math.ceil(window / _COARSE)) + 1
            steps = np.arange(-reach, reach + 1)
            centre = np.rint(np.nan_to_num(hint) / (self.length / len(coarse))).astype(np.intp)
            candidates = coarse[(centre[:, None] + steps) % len(coarse)]
            d2 = (px[:, None] - self.x[candidates]) ** 2 + (py[:, None] - self.y[candidates]) ** 2
            pick = np.argmin(d2, axis=1)
            rows = np.arange(len(px))
            index = candidates[rows, pick]
            todo = ~np.isfinite(hint) | (d2[rows, pick] > _NEAR**2)
        for first in range(0, len(px), 1024):
            chunk = np.flatnonzero(todo[first : first + 1024]) + first
            if not len(chunk):
                continue
            d2 = (px[chunk, None] - self.x[coarse]) ** 2 + (py[chunk, None] - self.y[coarse]) ** 2
            index[chunk] = coarse[np.argmin(d2, axis=1)]
        # The fine vertices around each coarse pick (the nearest is at most half a coarse step
        # and a little from it).
        reach = stride // 2 + 2
        around = (index[:, None] + np.arange(-reach, reach + 1)) % n
        d2 = (px[:, None] - self.x[around]) ** 2 + (py[:, None] - self.y[around]) ** 2
        return np.asarray(around[np.arange(len(px)), np.argmin(d2, axis=1)], dtype=np.intp)

    def _wrapped(self, a: NDArray[np.float64], b: NDArray[np.float64]) -> NDArray[np.float64]:
        """How far apart two distances are on the closed line (m)."""
        half = self.length / 2.0
        return np.asarray(np.abs((a - b + half) % self.length - half), dtype=np.float64)

    # -- storage -------------------------------------------------------------------------------

    def to_table(self) -> pa.Table:
        """The line with everything else of the model in its schema metadata."""
        facts = {
            "format": _FORMAT,
            "origin": list(self.origin),
            "length": self.length,
            "line_length": self.line_length,
            "sectors": list(self.sectors),
            "track_id": self.track_id,
            "config": self.config,
            "name": self.name,
            "laps": self.laps,
            "corners": self.corners.to_pylist(),
        }
        meta = dict(self.line.schema.metadata or {})
        meta[_SCHEMA_KEY] = json.dumps(facts).encode("utf-8")
        return self.line.replace_schema_metadata(meta)

    @classmethod
    def from_table(cls, table: pa.Table) -> TrackModel:
        """The model :meth:`to_table` made; ValueError for a table that is not one."""
        raw = (table.schema.metadata or {}).get(_SCHEMA_KEY)
        if raw is None or not {"distance", "x", "y", "curvature"} <= set(table.column_names):
            raise ValueError("the table is not a saved track model (no corvex.track metadata)")
        facts = json.loads(raw)
        if facts.get("format") != _FORMAT:
            raise ValueError(
                f"the track model is of format {facts.get('format')}, this corvex reads "
                f"format {_FORMAT}: build it again"
            )
        from corvex.corners import corner_schema

        return cls(
            line=table.select(["distance", "x", "y", "curvature"]).replace_schema_metadata(None),
            corners=_corner_table(facts["corners"], corner_schema()),
            sectors=tuple(facts["sectors"]),
            origin=(float(facts["origin"][0]), float(facts["origin"][1])),
            length=float(facts["length"]),
            line_length=float(facts["line_length"]),
            track_id=facts.get("track_id"),
            config=facts.get("config"),
            name=facts.get("name"),
            laps=int(facts.get("laps", 0)),
        )

    def save(self, path: str | os.PathLike[str]) -> Path:
        """Write the model as one Parquet file, put in place whole (see :mod:`corvex.files`)."""
        import pyarrow.parquet as pq

        from corvex.files import write_whole

        table = self.to_table()
        return write_whole(path, lambda tmp: pq.write_table(table, tmp))

    @classmethod
    def load(cls, path: str | os.PathLike[str]) -> TrackModel:
        """Read a model :meth:`save` wrote."""
        import pyarrow.parquet as pq

        return cls.from_table(pq.read_table(path))


# -- building ------------------------------------------------------------------------------


def build_track(
    laps: Iterable[pa.Table],
    *,
    length: float | None = None,
    sectors: Sequence[float] = (0.0,),
    track_id: int | None = None,
    config: str | None = None,
    name: str | None = None,
    step: float = LINE_STEP,
) -> TrackModel:
    """The track model of laps of one layout, each a wide table of one lap.

    Each table has ``timecodes``, ``Lat``, ``Lon`` and ``LapDistPct`` (or ``LapDist``);
    ``length`` is the distance axis's lap (default: the simulator's wrap length found in the
    laps, else their schema metadata's track length); ``sectors`` are the sector starts as lap
    fractions. Raises ValueError when the laps do not cover the lap.
    """
    positions = [lap_positions(table) for table in laps]
    positions = [p for p in positions if len(p.time) >= 2]
    if not positions:
        raise ValueError(_NO_LAP)
    if length is None:
        found = [p.length for p in positions if p.length is not None]
        length = float(np.median(found)) if found else None
    if length is None or not 0.0 < length < math.inf:
        raise ValueError("the track length is unknown: pass length= in metres")
    count = max(16, round(length / step))
    grid = np.arange(count) / count
    first = positions[0]
    origin = (
        round(float(np.median(first.lat)), 6),
        round(float(np.median(first.lon)), 6),
    )
    traces = [_on_grid(p, grid, origin) for p in positions]
    # A lap that drove less than most of the track (the few metres before the line that a
    # recording starts with, a lap cut by a tow) says nothing about the rest of it.
    traces = [t for t in traces if np.isfinite(t[0]).mean() >= _MIN_COVER]
    if not traces:
        raise ValueError(_NO_LAP)
    with np.errstate(all="ignore"):
        import warnings

        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)  # all-NaN points are checked below
            x = np.nanmedian(np.stack([t[0] for t in traces]), axis=0)
            y = np.nanmedian(np.stack([t[1] for t in traces]), axis=0)
    x, y = _fill_gaps(x, y)
    # A light smoothing of the line (a 3 m Gaussian): it evens out the 60 Hz records' steps.
    x = _smooth(x, 3.0 / step)
    y = _smooth(y, 3.0 / step)
    curvature = _curvature(x, y, step)
    line_length = float(np.hypot(np.diff(np.append(x, x[0])), np.diff(np.append(y, y[0]))).sum())
    distance = grid * length
    line = pa.table(
        {
            "distance": from_numpy(distance, pa.float64()),
            "x": from_numpy(x, pa.float64()),
            "y": from_numpy(y, pa.float64()),
            "curvature": from_numpy(curvature, pa.float64()),
        }
    )
    corners = find_corners(distance * (line_length / length), curvature, line_length)
    corners = _rescale(corners, length / line_length)
    return TrackModel(
        line=line,
        corners=corners,
        sectors=tuple(float(s) * length for s in sectors),
        origin=origin,
        length=float(length),
        line_length=line_length,
        track_id=track_id,
        config=config,
        name=name,
        laps=len(traces),
    )


def _fill_gaps(
    x: NDArray[np.float64], y: NDArray[np.float64]
) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """Fill short stretches no lap drove by straight lines; refuse long ones."""
    missing = np.isnan(x) | np.isnan(y)
    if not missing.any():
        return x, y
    n = len(x)
    if missing.all():
        raise ValueError("the laps drove none of the track")
    longest = _longest_run(missing)
    if longest > _MAX_GAP * n:
        covered = 100.0 * (1.0 - missing.mean())
        raise ValueError(
            f"the laps drove only {covered:.0f} % of the track (a gap of {100 * longest / n:.0f}"
            " % of the lap): give full laps"
        )
    known = np.flatnonzero(~missing)
    at = np.arange(n)
    x = np.interp(at, known, x[known], period=n)
    y = np.interp(at, known, y[known], period=n)
    return x, y


def _longest_run(mask: NDArray[np.bool_]) -> int:
    """The longest run of True, going round the end."""
    if mask.all():
        return len(mask)
    roll = int(np.argmin(mask))  # start at a False
    m = np.roll(mask, -roll).astype(np.int8)
    edges = np.diff(np.concatenate(([0], m, [0])))
    starts, ends = np.flatnonzero(edges == 1), np.flatnonzero(edges == -1)
    return int(np.max(ends - starts)) if len(starts) else 0


def _smooth(values: NDArray[np.float64], sigma: float) -> NDArray[np.float64]:
    """``values`` of a closed line smoothed with a Gaussian of ``sigma`` points, round the end.

    A product of Fourier transforms: the Gaussian's transform is known in closed form.
    """
    frequency = np.fft.rfftfreq(len(values))
    kernel = np.exp(-2.0 * (np.pi * sigma * frequency) ** 2)
    return np.asarray(np.fft.irfft(np.fft.rfft(values) * kernel, len(values)), dtype=np.float64)


def _curvature(x: NDArray[np.float64], y: NDArray[np.float64], step: float) -> NDArray[np.float64]:
    """Signed curvature (1/m, left positive) of a closed line, smoothed over about 15 m.

    The line is smoothed with a Gaussian of 7 m (16 m wide at half its height), then
    differentiated by central differences;
    the formula does not depend on how the points are spaced along the line.
    """
    sigma = 7.0 / step
    xs, ys = _smooth(x, sigma), _smooth(y, sigma)
    dx = (np.roll(xs, -1) - np.roll(xs, 1)) / 2.0
    dy = (np.roll(ys, -1) - np.roll(ys, 1)) / 2.0
    ddx = np.roll(xs, -1) - 2.0 * xs + np.roll(xs, 1)
    ddy = np.roll(ys, -1) - 2.0 * ys + np.roll(ys, 1)
    speed = np.maximum(np.hypot(dx, dy), 1e-9)
    return np.asarray((dx * ddy - dy * ddx) / speed**3, dtype=np.float64)


def _corner_table(rows: list[dict[str, Any]], schema: pa.Schema) -> pa.Table:
    return table_from_lists(schema, {f.name: [row.get(f.name) for row in rows] for f in schema})


def _rescale(corners: pa.Table, factor: float) -> pa.Table:
    """Corner distances found on the line's own length, on the model's distance axis."""
    columns = {}
    for name in corners.column_names:
        column = corners.column(name)
        if name in ("entry", "apex", "exit"):
            column = from_numpy(_floats(corners, name) * factor, pa.float64())
        columns[name] = column
    return pa.Table.from_pydict(columns, schema=corners.schema)


# -- from sessions ---------------------------------------------------------------------------


class _Session(Protocol):
    """What the model needs of a session (a ``LogFile``)."""

    metadata: dict[str, Any]

    @property
    def lap_summary(self) -> pa.Table: ...

    @property
    def session_info(self) -> dict[str, Any]: ...

    def lap_at(self, row: int) -> Any: ...


_POSITION_CHANNELS = ("Lat", "Lon", "LapDist", "LapDistPct")
# The column of layout_inputs that numbers the laps, and the key of the facts in its schema.
INPUT_LAP = "lap"
_INPUTS_KEY = b"corvex.track_inputs"


def layout_key(session_info: Mapping[str, Any]) -> tuple[int | None, str | None, str | None]:
    """(TrackID, TrackConfigName, TrackName) of the session info's weekend: one layout."""
    weekend = session_info.get("WeekendInfo")
    weekend = weekend if isinstance(weekend, dict) else {}
    track_id = weekend.get("TrackID")
    config = weekend.get("TrackConfigName")
    name = weekend.get("TrackName")
    return (
        track_id if isinstance(track_id, int) and not isinstance(track_id, bool) else None,
        None if config is None else str(config),
        None if name is None else str(name),
    )


def same_layout(key: Sequence[Any]) -> tuple[Any, ...]:
    """What tells layouts apart in a :func:`layout_key`: TrackID and TrackConfigName, and the
    TrackName too when the recording gives no TrackID (two unnamed tracks are not one)."""
    track_id, config, name = key
    return (track_id, config) if track_id is not None else (None, config, name)


def _lap_rows(summary: pa.Table) -> list[int]:
    """The rows of a session's lap summary of the laps its line is built from: its valid
    laps, or its full laps when none is valid. A full lap that touched pit road or was reset
    or towed is left out even then: its positions start or end in the pit lane (a lap from
    the pit box to the line is "full" to the reader)."""
    valid = summary.column("valid").to_pylist()
    off_track = ("out", "in", "pit", "reset", "tow", "one record")
    statuses = summary.column("status").to_pylist() if "status" in summary.column_names else []
    full = [
        t == "full" and (not statuses or statuses[r] not in off_track)
        for r, t in enumerate(summary.column("lap_type").to_pylist())
    ]
    return [r for r, ok in enumerate(valid) if ok] or [r for r, ok in enumerate(full) if ok]


def layout_inputs(session: _Session, max_laps: int | None = None) -> pa.Table:
    """What :func:`layout_track` takes of one session, as one table to keep: the records of
    the laps its line is built from (its valid laps, else its full laps on track; the fastest
    ``max_laps`` of them when given) with ``timecodes``, the positions (``Lat``, ``Lon``,
    ``LapDist``, ``LapDistPct``, those the session has) and ``lap``, numbering those laps from
    0. The schema metadata holds the layout (:func:`layout_key`), the sector starts, the track
    length and each lap's time. No rows when no such lap has positions.
    :func:`inputs_track` builds the model from such tables.
    """
    summary = session.lap_summary
    rows = _lap_rows(summary)
    times = summary.column("lap_time").to_pylist()
    if max_laps is not None and len(rows) > max_laps:
        rows = sorted(sorted(rows, key=lambda r: (times[r], r))[:max_laps])
    tables: list[tuple[int, pa.Table]] = []
    for row in rows:
        lap = session.lap_at(row)
        names = [n for n in _POSITION_CHANNELS if n in lap.channels]
        if "Lat" in names and "Lon" in names:
            table = lap.to_table(names).replace_schema_metadata(None)
            number = from_numpy(np.full(table.num_rows, len(tables), np.int32), pa.int32())
            tables.append((row, table.append_column(INPUT_LAP, number)))
    if tables:
        table = pa.concat_tables([t for _, t in tables])
    else:
        table = pa.table(
            {"timecodes": pa.array([], pa.int64()), INPUT_LAP: pa.array([], pa.int32())}
        )
    facts = {
        "layout": list(layout_key(session.session_info)),
        "sectors": list(sector_starts(session.session_info)),
        "track_length": track_metres(session.metadata.get("track_length")),
        "lap_times": [times[row] for row, _ in tables],
    }
    return table.replace_schema_metadata({_INPUTS_KEY: json.dumps(facts).encode("utf-8")})


def inputs_facts(inputs: pa.Table | pa.Schema) -> dict[str, Any]:
    """The facts :func:`layout_inputs` keeps in its table's schema: "layout", "sectors",
    "track_length", "lap_times". ValueError for a table it did not make."""
    schema = inputs if isinstance(inputs, pa.Schema) else inputs.schema
    raw = (schema.metadata or {}).get(_INPUTS_KEY)
    if raw is None:
        raise ValueError("the table holds no track inputs (no corvex.track_inputs metadata)")
    facts: dict[str, Any] = json.loads(raw)
    return facts


def session_track(session: _Session) -> TrackModel:
    """The track model of one session (a ``LogFile``), from its valid laps (its full laps
    when none is valid). ValueError when it has no full lap with positions."""
    return layout_track([session])


def layout_track(sessions: Iterable[_Session]) -> TrackModel:
    """One track model from the laps of several sessions of one layout.

    Every session must name the same layout (TrackID and TrackConfigName of the session
    info, see :func:`same_layout`); ValueError otherwise, and when no session has a full lap
    with positions.
    """
    sessions = list(sessions)
    _check_layouts([layout_key(s.session_info) for s in sessions])
    return inputs_track([layout_inputs(s) for s in sessions])


def inputs_track(inputs: Iterable[pa.Table], max_laps: int | None = None) -> TrackModel:
    """One track model from the :func:`layout_inputs` of sessions of one layout, as
    :func:`layout_track` builds it; with ``max_laps``, from the fastest that many of their
    laps. The first session's sector starts and track length count. ValueError for mixed
    layouts and when no lap has positions."""
    inputs = list(inputs)
    facts = [inputs_facts(t) for t in inputs]
    _check_layouts([tuple(f["layout"]) for f in facts])
    laps: list[tuple[float, int, pa.Table]] = []  # (lap time, order, the lap's records)
    for table, found in zip(inputs, facts):
        times = found["lap_times"]
        numbers = column_values(table.column(INPUT_LAP))
        starts = np.flatnonzero(np.diff(numbers, prepend=-1))
        for first, stop in zip(starts.tolist(), [*starts[1:].tolist(), len(numbers)]):
            number = int(numbers[first])
            seconds = times[number] if 0 <= number < len(times) else None
            lap = table.slice(first, stop - first).drop_columns([INPUT_LAP])
            laps.append((math.inf if seconds is None else float(seconds), len(laps), lap))
    if max_laps is not None and len(laps) > max_laps:
        laps = sorted(sorted(laps, key=lambda item: item[:2])[:max_laps], key=lambda i: i[1])
    tables = [lap for _, _, lap in laps]
    if not tables:
        raise ValueError(_NO_LAP)
    lead = facts[0]
    track_id, config, name = lead["layout"]
    length = None
    if all(lap_length(t) is None for t in tables):
        length = lead["track_length"]
    return build_track(
        tables,
        length=length,
        sectors=lead["sectors"],
        track_id=track_id,
        config=config,
        name=name,
    )


def _check_layouts(keys: Sequence[Sequence[Any]]) -> None:
    if not keys:
        raise ValueError("no session to build the track from")
    found = {same_layout(k) for k in keys}
    if len(found) > 1:
        shown = ", ".join(
            " ".join([str(k[0]), repr(k[1]), *([repr(k[2])] if len(k) > 2 else [])])
            for k in sorted(found, key=str)
        )
        raise ValueError(f"the sessions are of different layouts ({shown}): one at a time")
