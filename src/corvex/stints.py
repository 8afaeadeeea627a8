"""Stints: a session split at its pit stops, and how consistent each stint was.

A stint is a run of rows of the lap table. It starts with the first row, after each pit stop
(:mod:`corvex.pits`) with the first row that starts once the car has reached pit road, and with
each new session (as :func:`corvex.laps.lap_groups` counts them: a row of one record, such as
a reset leaves, starts none). So the out lap opens a stint and the in lap closes the one
before, wherever the stall lies: before the line (the stop falls in the in lap), after it (in
the out lap) or with the whole pit lane inside one lap (that lap closes the stint). A session
without stops is one stint; one that starts in the pit box starts with its out lap.

The lap times are the lap summary's ``lap_time`` and only its valid laps count (the valid-lap
rule of :attr:`LogFile.lap_summary`); fuel comes from :func:`corvex.fuel.lap_fuel`.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np
import pyarrow as pa

from corvex.columns import bools, floats, floats_or_nan, table_from_lists
from corvex.fuel import FUEL_CHANNEL, fuel_unit, lap_fuel
from corvex.laps import lap_groups, row_sessions
from corvex.pits import PIT_ROAD, STALL, STOP_SCHEMA, pit_stops

if TYPE_CHECKING:
    from numpy.typing import NDArray

__all__ = ["STINT_SCHEMA", "split_records", "stint_bounds", "stint_table"]

DISTANCE = "LapDistPct"
_TIMES = ("best", "mean", "median", "stdev", "best_to_median")

STINT_SCHEMA = pa.schema(
    [
        pa.field("stint", pa.int32(), nullable=False),
        pa.field("session", pa.int32(), nullable=False),
        pa.field("first_lap", pa.int32(), nullable=False),
        pa.field("last_lap", pa.int32(), nullable=False),
        pa.field("start_time", pa.int64(), nullable=False),
        pa.field("end_time", pa.int64(), nullable=False),
        pa.field("laps", pa.int32(), nullable=False),
        pa.field("valid_laps", pa.int32(), nullable=False),
        *(pa.field(name, pa.float64(), metadata={"units": "s"}) for name in _TIMES),
        pa.field("fuel_used", pa.float64(), metadata={"units": "l"}),
        pa.field("fuel_per_lap", pa.float64(), metadata={"units": "l"}),
        pa.field("stop", pa.int32()),
    ]
)


def stint_bounds(
    summary: pa.Table, ranges: Sequence[tuple[int, int]], splits: Sequence[tuple[int, int]]
) -> tuple[list[tuple[int, int]], list[int | None]]:
    """The lap-table rows ``[first, stop)`` of each stint, and the stop that ended each one
    (None when the session or the recording ended it). ``splits`` holds, per stop, its number
    and the record from which on a lap that starts belongs to the next stint."""
    rows = summary.num_rows
    if rows == 0:
        return [], []
    sessions = row_sessions(summary)
    starts = [first for first, _ in ranges]
    cuts = {0, *(r for r in range(1, rows) if sessions[r] != sessions[r - 1])}
    ended_by: dict[int, int] = {}  # the row after a stint -> the stop that ended it
    for number, record in splits:
        after = next((r for r, first in enumerate(starts) if first >= record), rows)
        if after == 0:
            continue  # the lap table starts after this stop
        ended_by[after] = number
        if after < rows:
            cuts.add(after)
    edges = [*sorted(cuts), rows]
    bounds = list(zip(edges[:-1], edges[1:]))
    return bounds, [ended_by.get(stop) for _, stop in bounds]


def stint_table(
    channels: Mapping[str, pa.Table],
    summary: pa.Table,
    ranges: Sequence[tuple[int, int]],
    *,
    stops: pa.Table | None = None,
    fuel: pa.Table | None = None,
) -> pa.Table:
    """One row per stint of the session.

    ``summary`` is the lap summary (``LogFile.lap_summary``: the lap table with ``lap_time``
    and ``valid``) and ``ranges`` the records of its rows (``LogFile.lap_record_ranges()``);
    ``stops`` (:func:`corvex.pits.pit_stops`) and ``fuel`` (:func:`corvex.fuel.lap_fuel`) are
    worked out from ``channels`` when not given. Without the pit channels the session is one
    stint per session of the lap table; without ``FuelLevel`` the fuel columns are null.

    Columns: ``stint`` (1, 2, ...), ``session``, ``first_lap`` and ``last_lap`` (lap numbers),
    ``start_time`` and ``end_time`` (ms, of its first and last lap), ``laps`` (laps as
    :func:`corvex.laps.lap_groups` gives them, in and out laps included) and ``valid_laps``;
    over the valid laps ``best``,
    ``mean``, ``median``, ``stdev`` (the sample standard deviation, null under two laps) and
    ``best_to_median`` (median minus best), in seconds, null without a valid lap;
    ``fuel_used`` (all its laps) and ``fuel_per_lap`` (the mean of its valid laps) in the unit
    of ``FuelLevel``; ``stop``, the number of the stop that ended it (null when it ran to the
    end of its session or of the recording).
    """
    if stops is None:
        stops = (
            pit_stops(channels, summary, ranges)
            if PIT_ROAD in channels or STALL in channels
            else STOP_SCHEMA.empty_table()
        )
    if fuel is None and FUEL_CHANNEL in channels:
        fuel = lap_fuel(channels, summary, ranges)
    bounds, ended_by = stint_bounds(summary, ranges, split_records(channels, ranges, stops))
    nums = summary.column("num").to_pylist()
    groups = lap_groups(summary)
    sessions = row_sessions(summary, groups)
    heads = {g.first for g in groups}  # the rows where a lap of the listings starts
    start_times = summary.column("start_time").to_pylist()
    end_times = summary.column("end_time").to_pylist()
    lap_times = floats(summary.column("lap_time"))
    valid = bools(summary.column("valid"))
    used = _values_or_nan(fuel, "fuel_used", summary.num_rows)

    out: dict[str, list[Any]] = {name: [] for name in STINT_SCHEMA.names}
    for stint, ((first, stop), ended) in enumerate(zip(bounds, ended_by), 1):
        counted = np.flatnonzero(valid[first:stop]) + first
        times = lap_times[counted]
        out["stint"].append(stint)
        out["session"].append(sessions[first])
        laps = [r for r in range(first, stop) if r in heads]
        out["first_lap"].append(nums[laps[0] if laps else first])
        out["last_lap"].append(nums[laps[-1] if laps else stop - 1])
        out["start_time"].append(start_times[first])
        out["end_time"].append(end_times[stop - 1])
        out["laps"].append(len(laps))
        out["valid_laps"].append(len(counted))
        spread = _spread(times)
        for name in _TIMES:
            out[name].append(spread[name])
        stint_fuel = used[first:stop]
        known = ~np.isnan(stint_fuel)
        out["fuel_used"].append(float(stint_fuel[known].sum()) if known.any() else None)
        valid_fuel = used[counted]
        valid_fuel = valid_fuel[~np.isnan(valid_fuel)]
        out["fuel_per_lap"].append(float(valid_fuel.mean()) if len(valid_fuel) else None)
        out["stop"].append(ended)
    unit = fuel_unit(channels)
    schema = pa.schema(
        [
            f.with_metadata({"units": unit}) if f.name.startswith("fuel_") else f
            for f in STINT_SCHEMA
        ]
    )
    return table_from_lists(schema, out)


def split_records(
    channels: Mapping[str, pa.Table], ranges: Sequence[tuple[int, int]], stops: pa.Table
) -> list[tuple[int, int]]:
    """Per stop, its number and the record from which on a starting lap opens the next stint.

    That is the record where the car reached pit road. A file without ``OnPitRoad`` only
    knows the stall: a stall in the first half of a lap lies past the line, so the lap it is
    in is the out lap and opens the next stint; a stall in the second half closes its lap.
    """
    numbers = stops.column("stop").to_pylist()
    if PIT_ROAD in channels or DISTANCE not in channels:
        return list(zip(numbers, stops.column("first_record").to_pylist()))
    fraction = floats(channels[DISTANCE].column(1))
    splits = []
    for number, stall in zip(numbers, stops.column("stall_first_record").to_pylist()):
        lap = next((first for first, stop in ranges if first <= stall < stop), stall)
        splits.append((number, lap if fraction[stall] < 0.5 else stall))
    return splits


def _values_or_nan(table: pa.Table | None, name: str, rows: int) -> NDArray[np.float64]:
    if table is None:
        return np.full(rows, np.nan)
    return floats_or_nan(table.column(name))


def _spread(times: NDArray[np.float64]) -> dict[str, float | None]:
    if len(times) == 0:
        return dict.fromkeys(_TIMES)
    best = float(np.min(times))
    median = float(np.median(times))
    return {
        "best": best,
        "mean": float(times.mean()),
        "median": median,
        "stdev": float(times.std(ddof=1)) if len(times) > 1 else None,
        "best_to_median": median - best,
    }
