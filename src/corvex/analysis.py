"""Lap analysis on a distance axis: resampling, delta to a reference lap, sectors, valid laps.

Everything here takes tables and arrays and gives tables: plain arrays of one file (session
time in ms, lap distance, channel values) or a wide table as ``to_table()`` of a
:class:`~corvex.LogFile` or a :class:`~corvex.Lap` makes it, so that a lap saved as Parquet
earlier is as good a reference as a lap of an open file.

Distance along a lap comes from ``LapDist`` (metres from the start/finish line) or, without it,
from ``LapDistPct`` times the track length. Real recordings do not give a clean 0..L ramp: the
counter of laps and the distance do not switch on the same tick, so a lap can begin with a few
records just short of the line and end with a few past it; the distance steps back a little on
resets, on the line and when the car goes off. :func:`lap_distance` turns the raw values into
one increasing distance, and only the records that reach new distance are used to resample.

A saved lap is ``lap.to_table()`` written with ``pyarrow.parquet.write_table``: the wide table
carries the track and the lap in its schema metadata (keys of :data:`META`), which
:func:`delta` compares before it compares two laps.
"""

from __future__ import annotations

import math
import os
from collections.abc import Iterable, Mapping, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np
import pyarrow as pa

from corvex.columns import floats, from_numpy

if TYPE_CHECKING:
    from numpy.typing import NDArray

__all__ = [
    "META",
    "VALID_DISTANCE_TOLERANCE",
    "delta",
    "forward_records",
    "lap_distance",
    "on_distance",
    "sector_starts",
    "track_metres",
]

# Schema metadata keys of a wide lap table (bytes, as Arrow stores them).
META = {
    "track_name": b"corvex.track_name",
    "track_display_name": b"corvex.track_display_name",
    "track_length": b"corvex.track_length",
    "sectors": b"corvex.sector_starts",
    "lap": b"corvex.lap",
    "session": b"corvex.session",
    "lap_time": b"corvex.lap_time",
}

# A "full" lap is valid when the distance it travelled (the integral of Speed over its time) is
# within this fraction of the track length. A lap driven on the racing line is 1-3 % shorter or
# longer than the centre line that the track length measures, the length text is rounded to
# 10 m (0.5 % of a 2 km track) and the trapezoid sum of a 60 Hz speed trace is good to well
# under 0.1 %; a lap cut short by a reset, a tow or a replay jump misses far more than 5 %.
VALID_DISTANCE_TOLERANCE = 0.05

_LENGTH_UNITS = {"km": 1000.0, "m": 1.0, "mi": 1609.344}


def track_metres(text: str | bytes | None) -> float | None:
    """``"4.32 km"`` -> 4320.0; None when the text is not a number with a known unit."""
    if isinstance(text, bytes):
        text = text.decode("utf-8", "replace")
    parts = (text or "").split()
    if len(parts) != 2 or parts[1] not in _LENGTH_UNITS:
        return None
    try:
        value = float(parts[0]) * _LENGTH_UNITS[parts[1]]
    except ValueError:
        return None
    return value if math.isfinite(value) and value > 0 else None


def sector_starts(session_info: Mapping[str, Any]) -> list[float]:
    """Start of each sector as a fraction of the lap, from the session info's split times.

    Always starts with 0.0; a track without split info is one sector, ``[0.0]``.
    """
    split = session_info.get("SplitTimeInfo")
    sectors = split.get("Sectors") if isinstance(split, dict) else None
    starts = {0.0}
    if isinstance(sectors, list):
        for sector in sectors:
            pct = sector.get("SectorStartPct") if isinstance(sector, dict) else None
            if isinstance(pct, (int, float)) and not isinstance(pct, bool) and 0.0 < pct < 1.0:
                starts.add(float(pct))
    return sorted(starts)


def table_metadata(
    metadata: Mapping[str, Any], session_info: Mapping[str, Any] | None, laps: pa.Table | None
) -> dict[bytes, bytes]:
    """Schema metadata of a wide table: the track and, for a one-lap table, the lap."""
    out: dict[bytes, bytes] = {}
    for key in ("track_name", "track_display_name", "track_length"):
        if metadata.get(key):
            out[META[key]] = str(metadata[key]).encode("utf-8")
    if session_info is not None:
        out[META["sectors"]] = ",".join(repr(s) for s in sector_starts(session_info)).encode()
    if laps is not None and laps.num_rows == 1:
        lap = laps.to_pylist()[0]
        out[META["lap"]] = str(lap["num"]).encode()
        out[META["session"]] = str(lap["session"]).encode()
        out[META["lap_time"]] = repr((lap["end_time"] - lap["start_time"]) / 1000.0).encode()
    return out


# -- distance ---------------------------------------------------------------------------------


def lap_distance(raw: NDArray[Any], period: float | None) -> NDArray[np.float64]:
    """One lap's raw distance values unwrapped at the line, in the units of ``raw``.

    ``period`` is the distance at which the raw values wrap to 0 (the track length, or 1.0 for
    a lap fraction). A drop by more than half a period is a crossing of the line forwards, a
    rise by more than half a period one backwards. The result is shifted by whole periods so
    that its median lies on the lap: records before the line come out negative, records past
    the line at the end come out above ``period``. Without a period nothing is unwrapped.
    """
    if period is not None and not 0.0 < period < math.inf:
        raise ValueError(f"the wrap period must be a positive length, not {period}")
    values = np.asarray(raw, dtype=np.float64)
    if period is None or len(values) < 2:
        return values.copy()
    steps = np.diff(values)
    turns = np.where(steps < -period / 2, period, np.where(steps > period / 2, -period, 0.0))
    unwrapped = values + np.concatenate(([0.0], np.cumsum(turns)))
    finite = unwrapped[np.isfinite(unwrapped)]
    if len(finite):
        unwrapped -= math.floor(float(np.median(finite)) / period) * period
    return unwrapped


def forward_records(distance: NDArray[np.float64]) -> NDArray[np.intp]:
    """Indices of the records that reach distance no earlier record reached."""
    finite = np.isfinite(distance)
    cleaned = np.where(finite, distance, -np.inf)
    best_before = np.concatenate(([-np.inf], np.maximum.accumulate(cleaned)[:-1]))
    return np.flatnonzero(finite & (cleaned > best_before))


def _distance_source(
    table: pa.Table, length: float | None
) -> tuple[NDArray[np.float64], float | None, float]:
    """(raw values, wrap period, metres per raw unit) of the table's distance channel."""
    names = table.column_names
    if "LapDist" in names:
        raw = floats(table.column("LapDist"))
        period = length
        if "LapDistPct" in names:
            # The two channels give the length the simulator itself wraps at, which the rounded
            # text of the session info only approximates.
            pct = floats(table.column("LapDistPct"))
            # A ratio that is no length (0, negative, not finite) leaves the session info's.
            middle = (pct > 0.25) & (pct < 0.75) & np.isfinite(raw)
            if middle.any():
                estimate = float(np.median(raw[middle] / pct[middle]))
                if 0.0 < estimate < math.inf:
                    period = estimate
        return raw, period, 1.0
    if "LapDistPct" in names:
        if length is None:
            raise ValueError(
                "the lap has LapDistPct but no LapDist, and the track length is unknown"
            )
        return floats(table.column("LapDistPct")), 1.0, length
    raise ValueError("the lap has no LapDist or LapDistPct channel to measure distance with")


# The longest lap on_distance resamples: longer than any circuit (the longest are about 25 km), so
# that a lap distance no track can have is refused instead of sizing a grid.
MAX_LAP_METRES = 50_000.0


def on_distance(
    table: pa.Table, step: float = 1.0, channels: Iterable[str] | None = None
) -> pa.Table:
    """Resample one lap (a wide table with ``timecodes``) onto a regular distance grid.

    Columns: ``distance`` (metres from the line, multiples of ``step``), ``time`` (seconds
    since the lap crossed the line, or since its first record for a lap that starts out on
    the track) and the channels (default: all but the time column).
    Channels whose field says ``interpolate`` "True" are interpolated linearly; the others
    (integers, booleans, bit fields) take the value of the last record at or before the grid
    point. Only the distance the lap covered is resampled, within 0 and the track length.
    The schema metadata of ``table`` is kept. A lap covering more than ``MAX_LAP_METRES`` is
    refused with ValueError.
    """
    if not step > 0 or not math.isfinite(step):
        raise ValueError(f"step must be a positive number of metres, not {step}")
    meta = table.schema.metadata or {}
    names = (
        [n for n in table.column_names if n != "timecodes"] if channels is None else list(channels)
    )
    missing = [n for n in names if n not in table.column_names]
    if missing:
        raise KeyError(f"no channel {', '.join(map(repr, missing))} in the lap")
    if "timecodes" not in table.column_names:
        raise ValueError("the lap table has no timecodes column")
    length = track_metres(meta.get(META["track_length"]))
    raw, period, scale = _distance_source(table, length)
    distance = lap_distance(raw, period) * scale
    track = period * scale if period is not None else None
    time_ms = floats(table.column("timecodes"))
    kept = forward_records(distance)
    fields = [
        pa.field("distance", pa.float64(), nullable=False, metadata={b"units": b"m"}),
        pa.field("time", pa.float64(), nullable=False, metadata={b"units": b"s"}),
    ]
    fields += [table.schema.field(n) for n in names]
    schema = pa.schema(fields, metadata=meta)
    if len(kept) < 2:
        return schema.empty_table()
    d = distance[kept]
    if track is not None and d[-1] - d[0] > 1.5 * track:
        raise ValueError(
            f"the table covers {d[-1] - d[0]:.0f} m on a {track:.0f} m track: pick one lap first"
        )
    low, high = d[0], d[-1]
    if track is not None:
        low, high = max(low, 0.0), min(high, track)
    if high - low > MAX_LAP_METRES:
        raise ValueError(
            f"the lap covers {high - low:.0f} m, more than the {MAX_LAP_METRES:.0f} m any track"
            " has: its LapDist values are not distances along one lap"
        )
    grid = np.arange(math.ceil(low / step - 1e-9), math.floor(high / step + 1e-9) + 1) * step
    if len(grid) == 0:
        return schema.empty_table()
    seconds = (time_ms[kept] - time_ms[0]) / 1000.0
    if track is not None:
        seconds -= _line_crossing(d, seconds, track)
    time = np.interp(grid, d, seconds)
    before = kept[np.searchsorted(d, grid, side="right") - 1]
    columns: list[pa.Array] = [from_numpy(grid, pa.float64()), from_numpy(time, pa.float64())]
    for name in names:
        field = table.schema.field(name)
        column = table.column(name)
        smooth = (field.metadata or {}).get(b"interpolate") == b"True"
        if smooth and pa.types.is_floating(field.type):
            values = np.interp(grid, d, floats(column)[kept])
            columns.append(from_numpy(values, field.type))
        else:
            columns.append(column.take(from_numpy(before, pa.int64())).combine_chunks())
    return pa.Table.from_arrays(columns, schema=schema)


def _line_crossing(d: NDArray[np.float64], seconds: NDArray[np.float64], track: float) -> float:
    """When the lap crossed the line, in the time of ``seconds``.

    Interpolated when the records reach back over the line; extrapolated from the first two
    records when the lap starts just past it (within the 2 % that still makes a lap "full");
    otherwise the lap's first record, for a lap that starts out on the track.
    """
    if d[0] <= 0.0 <= d[-1]:
        return float(np.interp(0.0, d, seconds))
    if d[0] <= 0.02 * track:
        return float(seconds[0] - d[0] * (seconds[1] - seconds[0]) / (d[1] - d[0]))
    return 0.0


# -- delta to a reference -----------------------------------------------------------------------


def delta(
    lap: pa.Table | str | os.PathLike[str],
    reference: pa.Table | str | os.PathLike[str],
    step: float = 1.0,
) -> pa.Table:
    """Time gained or lost along the lap against a reference lap, on a distance grid.

    ``lap`` and ``reference`` are each a wide table of one lap (``lap.to_table()``), a table
    that :func:`on_distance` made, or the path of a Parquet file holding either
    (:func:`corvex.delta` takes a :class:`~corvex.Lap` too). Columns: ``distance`` (m),
    ``delta`` (s, positive where the lap is behind the reference), ``time`` and
    ``reference_time`` (s since each lap's start), ``speed`` and ``reference_speed`` (m/s, null
    without a Speed channel), on the distance both laps covered. Raises ``ValueError`` for laps
    of different tracks.
    """
    ours = _on_grid(lap, step)
    theirs = _on_grid(reference, step)
    check_same_track(ours.schema.metadata or {}, theirs.schema.metadata or {})
    a = np.rint(floats(ours.column("distance")) / step).astype(np.int64)
    b = np.rint(floats(theirs.column("distance")) / step).astype(np.int64)
    common, in_a, in_b = np.intersect1d(a, b, assume_unique=True, return_indices=True)
    time_a = floats(ours.column("time"))[in_a]
    time_b = floats(theirs.column("time"))[in_b]
    seconds = {b"units": b"s"}
    speed = {b"units": b"m/s"}
    schema = pa.schema(
        [
            pa.field("distance", pa.float64(), nullable=False, metadata={b"units": b"m"}),
            pa.field("delta", pa.float64(), nullable=False, metadata=seconds),
            pa.field("time", pa.float64(), nullable=False, metadata=seconds),
            pa.field("reference_time", pa.float64(), nullable=False, metadata=seconds),
            pa.field("speed", pa.float64(), metadata=speed),
            pa.field("reference_speed", pa.float64(), metadata=speed),
        ],
        metadata=ours.schema.metadata,
    )
    return pa.Table.from_arrays(
        [
            from_numpy(common * step, pa.float64()),
            from_numpy(time_a - time_b, pa.float64()),
            from_numpy(time_a, pa.float64()),
            from_numpy(time_b, pa.float64()),
            _speed(ours, in_a),
            _speed(theirs, in_b),
        ],
        schema=schema,
    )


def _speed(table: pa.Table, rows: NDArray[np.intp]) -> pa.Array:
    if "Speed" not in table.column_names:
        return pa.nulls(len(rows), pa.float64())
    return from_numpy(floats(table.column("Speed"))[rows], pa.float64())


def _on_grid(source: pa.Table | str | os.PathLike[str], step: float) -> pa.Table:
    """A lap on the distance grid of ``step`` metres, from any of the accepted sources."""
    if isinstance(source, (str, os.PathLike)):
        import pyarrow.parquet as pq

        source = pq.read_table(source)
    if not isinstance(source, pa.Table):
        raise TypeError(
            f"a lap is a pyarrow Table or a Parquet path, not a {type(source).__name__}"
        )
    if "timecodes" in source.column_names:
        return on_distance(source, step, [n for n in ("Speed",) if n in source.column_names])
    if {"distance", "time"} <= set(source.column_names):
        return _regrid(source, step)
    raise ValueError("the lap table has neither timecodes nor distance and time columns")


def _regrid(table: pa.Table, step: float) -> pa.Table:
    """A table already on distance, interpolated onto multiples of ``step``."""
    d = floats(table.column("distance"))
    keep = forward_records(d)
    d = d[keep]
    if len(d) < 2:
        return table.slice(0, 0)
    grid = np.arange(math.ceil(d[0] / step - 1e-9), math.floor(d[-1] / step + 1e-9) + 1) * step
    columns = {"distance": grid, "time": np.interp(grid, d, floats(table.column("time"))[keep])}
    if "Speed" in table.column_names:
        columns["Speed"] = np.interp(grid, d, floats(table.column("Speed"))[keep])
    return pa.table(columns).replace_schema_metadata(table.schema.metadata)


def check_same_track(a: Mapping[bytes, bytes], b: Mapping[bytes, bytes]) -> None:
    """Raise ``ValueError`` when two laps' metadata name different tracks or lengths.

    A side that does not name its track (a table written without metadata) is not refused.
    """
    name_a, name_b = a.get(META["track_name"]), b.get(META["track_name"])
    if name_a and name_b and name_a != name_b:
        raise ValueError(
            f"the laps are from different tracks: {name_a.decode('utf-8', 'replace')!r} and "
            f"{name_b.decode('utf-8', 'replace')!r}"
        )
    len_a = track_metres(a.get(META["track_length"]))
    len_b = track_metres(b.get(META["track_length"]))
    if len_a and len_b and abs(len_a - len_b) > 0.005 * max(len_a, len_b):
        raise ValueError(
            f"the laps are from tracks of different length: {len_a:.0f} m and {len_b:.0f} m"
        )


# -- per-lap figures of a whole file -------------------------------------------------------------


def travelled(
    time_ms: NDArray[Any], speed: NDArray[Any], ranges: Sequence[tuple[int, int]]
) -> NDArray[np.float64]:
    """Metres travelled in each record range [first, stop): the trapezoid sum of speed.

    A lap runs until the first record of the next lap, so the interval from the range's last
    record to the next one counts. Backward steps of the clock count as no time.
    """
    t = np.asarray(time_ms, dtype=np.float64) / 1000.0
    v = np.nan_to_num(np.asarray(speed, dtype=np.float64), nan=0.0)
    pieces = np.maximum(np.diff(t), 0.0) * (v[1:] + v[:-1]) / 2.0
    total = np.concatenate(([0.0], np.cumsum(pieces)))
    count = len(t)
    firsts = np.array([first for first, _ in ranges], dtype=np.intp)
    ends = np.array([min(stop, count - 1) for _, stop in ranges], dtype=np.intp)
    if count == 0:
        return np.zeros(len(ranges))
    return np.asarray(total[ends] - total[firsts], dtype=np.float64)


def any_true(flags: NDArray[Any], ranges: Sequence[tuple[int, int]]) -> NDArray[np.bool_]:
    """Whether any flag is set in each record range [first, stop)."""
    counts = np.concatenate(([0], np.cumsum(np.asarray(flags, dtype=bool), dtype=np.int64)))
    firsts = np.array([first for first, _ in ranges], dtype=np.intp)
    stops = np.array([stop for _, stop in ranges], dtype=np.intp)
    return np.asarray(counts[stops] - counts[firsts] > 0)


def sector_times(
    time_ms: NDArray[Any],
    raw: NDArray[Any],
    period: float | None,
    starts: Sequence[float],
    ranges: Sequence[tuple[int, int]],
    bounds_ms: Sequence[tuple[int, int]],
) -> list[list[float | None]]:
    """The sector times (s) of each lap; None where the lap does not reach a boundary.

    ``raw`` is the distance in the units of ``starts`` (lap fraction times ``period``), each
    range is a lap's records and ``bounds_ms`` its start and end time. The first sector starts
    at the lap's start and the last ends at its end, so the sectors add up to the lap time;
    the crossings between them are interpolated in time on the records' distance.
    """
    t = np.asarray(time_ms, dtype=np.float64)
    values = np.asarray(raw, dtype=np.float64)
    out: list[list[float | None]] = []
    inner = np.asarray(starts[1:], dtype=np.float64) * (period or 1.0)
    for (first, stop), (begin, end) in zip(ranges, bounds_ms):
        d = lap_distance(values[first:stop], period)
        kept = forward_records(d)
        crossings: list[float | None] = [float(begin)]
        if len(inner):
            if len(kept) >= 2:
                dk = d[kept]
                at = np.interp(inner, dk, t[first:stop][kept])
                reached = (inner >= dk[0]) & (inner <= dk[-1])
                crossings += [float(x) if ok else None for x, ok in zip(at, reached)]
            else:
                crossings += [None] * len(inner)
        crossings.append(float(end))
        out.append(
            [
                None if a is None or b is None else (b - a) / 1000.0
                for a, b in zip(crossings, crossings[1:])
            ]
        )
    return out


def distance_channel(
    channels: Mapping[str, pa.Table], length: float | None
) -> tuple[NDArray[np.float64], float | None] | None:
    """(raw values, period) in units where a sector start fraction times period is a position.

    ``LapDistPct`` with period 1; else ``LapDist`` with the track length; None without either.
    """
    if "LapDistPct" in channels:
        return floats(channels["LapDistPct"].column(1)), 1.0
    if "LapDist" in channels and length is not None:
        return floats(channels["LapDist"].column(1)), length
    return None
