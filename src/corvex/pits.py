"""Pit stops: where the car went down pit road and stood in its pit stall.

A pit road visit is a run of records with ``OnPitRoad`` true. It is a stop when the car stood
in its stall during it, ``PlayerCarInPitStall`` true at one record of it at least; a
drive-through is no stop. The simulator's stall flag can drop for a second while the car
stands still in its box, so the stall part of a stop runs from the first to the last stall
record of the visit. A visit that begins at the first record (the recording starts in the
pits) is where the session starts, not a stop.

Older files and other cars lack some of these channels. Without ``PlayerCarInPitStall`` a stop
is a pit road visit in which the car came to rest (``Speed`` under :data:`REST_SPEED`), its
stall part the records at rest; without ``Speed`` either, every visit is a stop. Without
``OnPitRoad`` the runs of the stall flag are the visits. :func:`stop_rule` says which rule a
file gets, and :func:`pit_stops` raises :class:`MissingChannelsError` when it has neither
channel.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np
import pyarrow as pa

from corvex.columns import (
    bools,
    column_values,
    table_from_lists,
    timecodes,
)
from corvex.errors import MissingChannelsError
from corvex.fuel import FUEL_CHANNEL, added_between
from corvex.laps import row_sessions

if TYPE_CHECKING:
    from numpy.typing import NDArray

__all__ = [
    "MissingChannelsError",
    "REST_SPEED",
    "STOP_SCHEMA",
    "pit_stops",
    "stop_rule",
]

# Below this speed (m/s) a car on pit road stands still: the simulator's speed of a parked car
# wanders around 1e-5 m/s, a car rolling into its box is well above it.
REST_SPEED = 0.5

PIT_ROAD, STALL, SPEED = "OnPitRoad", "PlayerCarInPitStall", "Speed"

STOP_SCHEMA = pa.schema(
    [
        pa.field("stop", pa.int32(), nullable=False),
        pa.field("session", pa.int32()),
        pa.field("lap", pa.int32()),
        pa.field("pit_in", pa.int64(), nullable=False),
        pa.field("pit_out", pa.int64(), nullable=False),
        pa.field("stall_in", pa.int64(), nullable=False),
        pa.field("stall_out", pa.int64(), nullable=False),
        pa.field("pit_road_time", pa.float64(), nullable=False),
        pa.field("stall_time", pa.float64(), nullable=False),
        pa.field("fuel_before", pa.float64(), metadata={"units": "l"}),
        pa.field("fuel_after", pa.float64(), metadata={"units": "l"}),
        pa.field("fuel_added", pa.float64(), metadata={"units": "l"}),
        pa.field("first_record", pa.int64(), nullable=False),
        pa.field("stop_record", pa.int64(), nullable=False),
        pa.field("stall_first_record", pa.int64(), nullable=False),
        pa.field("stall_stop_record", pa.int64(), nullable=False),
    ]
)


def stop_rule(channels: Mapping[str, Any]) -> str | None:
    """How stops are found in a file with these channels, when not by the pit stall flag.

    None when the file has ``OnPitRoad`` and ``PlayerCarInPitStall`` (the full rule).
    """
    if STALL in channels:
        if PIT_ROAD in channels:
            return None
        return f"no {PIT_ROAD} channel: the runs of {STALL} are the pit visits"
    if PIT_ROAD not in channels:
        return f"no {PIT_ROAD} or {STALL} channel: pit stops cannot be found"
    if SPEED in channels:
        return f"no {STALL} channel: a stop is a pit road visit where the car came to rest"
    return f"no {STALL} or {SPEED} channel: every pit road visit counts as a stop"


def runs(mask: NDArray[np.bool_]) -> list[tuple[int, int]]:
    """``[first, stop)`` of each run of true values."""
    if len(mask) == 0:
        return []
    edges = (np.flatnonzero(mask[1:] != mask[:-1]) + 1).tolist()
    bounds = [0, *edges, len(mask)]
    # Runs alternate: the first is a true run when the first value is true.
    return list(zip(bounds[0 if mask[0] else 1 :: 2], bounds[1 if mask[0] else 2 :: 2]))


def pit_stops(
    channels: Mapping[str, pa.Table], laps: pa.Table, ranges: Sequence[tuple[int, int]]
) -> pa.Table:
    """The pit stops of a session, one row per stop in the order they happened.

    ``laps`` is the lap table (or lap summary) and ``ranges`` the records of each of its rows
    (``LogFile.lap_record_ranges()``). Columns: ``stop`` (1, 2, ...); ``session`` and ``lap``,
    the session (as :func:`corvex.laps.lap_groups` counts them, like every listing) and number
    of the lap in which the car reached its stall;
    ``pit_in`` and ``pit_out`` (ms of session time: the first record on pit road and the first
    after it, or the last record when the recording ends on pit road), ``stall_in`` and
    ``stall_out`` (the same for the stall); ``pit_road_time`` and ``stall_time`` (s);
    ``fuel_before`` (at the record before the stall), ``fuel_after`` (at its last record) and
    ``fuel_added`` (all the rises of ``FuelLevel`` during the visit), in the file's unit,
    litres; null without ``FuelLevel``. ``first_record``, ``stop_record``,
    ``stall_first_record`` and ``stall_stop_record`` are the record indices ``[first, stop)``
    of the visit and of its stall part. Raises :class:`MissingChannelsError` without
    ``OnPitRoad`` and ``PlayerCarInPitStall``.
    """
    if PIT_ROAD not in channels and STALL not in channels:
        raise MissingChannelsError(
            f"pit stops need the {PIT_ROAD} or {STALL} channel; this file has neither",
            [PIT_ROAD, STALL],
        )
    time = timecodes(channels)
    count = len(time)
    stall = bools(channels[STALL].column(1)) if STALL in channels else None
    on_pit_road = bools(channels[PIT_ROAD].column(1)) if PIT_ROAD in channels else stall
    assert on_pit_road is not None
    speed = column_values(channels[SPEED].column(1)) if SPEED in channels else None
    fuel = column_values(channels[FUEL_CHANNEL].column(1)) if FUEL_CHANNEL in channels else None

    found: list[tuple[int, int, int, int]] = []
    for first, stop in runs(on_pit_road):
        if first == 0:
            continue  # the recording starts in the pits: no stop, the first stint's start
        window = _stall_part(first, stop, stall, speed)
        if window is not None:
            found.append((first, stop, *window))

    rows = _lap_rows(ranges, [stall_first for _, _, stall_first, _ in found])
    sessions = row_sessions(laps)
    nums = laps.column("num").to_pylist()
    last = count - 1

    def at(record: int) -> int:
        return int(time[min(record, last)])

    columns: dict[str, list[Any]] = {name: [] for name in STOP_SCHEMA.names}
    for k, ((first, stop, stall_first, stall_stop), row) in enumerate(zip(found, rows), 1):
        columns["stop"].append(k)
        columns["session"].append(None if row is None else sessions[row])
        columns["lap"].append(None if row is None else nums[row])
        columns["pit_in"].append(at(first))
        columns["pit_out"].append(at(stop))
        columns["stall_in"].append(at(stall_first))
        columns["stall_out"].append(at(stall_stop))
        columns["pit_road_time"].append((at(stop) - at(first)) / 1000.0)
        columns["stall_time"].append((at(stall_stop) - at(stall_first)) / 1000.0)
        columns["first_record"].append(first)
        columns["stop_record"].append(stop)
        columns["stall_first_record"].append(stall_first)
        columns["stall_stop_record"].append(stall_stop)
        if fuel is not None:
            columns["fuel_before"].append(float(fuel[max(stall_first - 1, 0)]))
            columns["fuel_after"].append(float(fuel[stall_stop - 1]))
            columns["fuel_added"].append(added_between(fuel, first - 1, stop - 1))
        else:
            for name in ("fuel_before", "fuel_after", "fuel_added"):
                columns[name].append(None)
    return table_from_lists(STOP_SCHEMA, columns)


def _stall_part(
    first: int,
    stop: int,
    stall: NDArray[np.bool_] | None,
    speed: NDArray[Any] | None,
) -> tuple[int, int] | None:
    """``[first, stop)`` of the stall part of the pit road visit ``[first, stop)``, or None."""
    if stall is not None:
        marks = np.flatnonzero(stall[first:stop])
    elif speed is not None:
        marks = np.flatnonzero(speed[first:stop] < REST_SPEED)
    else:
        return first, stop
    if len(marks) == 0:
        return None
    return first + int(marks[0]), first + int(marks[-1]) + 1


def _lap_rows(ranges: Sequence[tuple[int, int]], records: Sequence[int]) -> list[int | None]:
    """The row of ``ranges`` that holds each record, or None."""
    if not ranges:
        return [None] * len(records)
    starts = np.array([first for first, _ in ranges], dtype=np.int64)
    found: list[int | None] = []
    for record in records:
        row = int(np.searchsorted(starts, record, side="right")) - 1
        found.append(row if row >= 0 and ranges[row][0] <= record < ranges[row][1] else None)
    return found
