"""Tyres at each pit stop: the values the crew reads while the car stands in its stall.

The simulator refreshes the carcass temperatures (``LFtempCL``, ``LFtempCM``, ``LFtempCR``) and
the tread left (``LFwearL``, ``LFwearM``, ``LFwearR``) of each corner only while the car stands
in its pit stall, and holds them unchanged, bit for bit, in between. A stop's reading is taken
at the moment they change: the first record of the stop's stall part (:mod:`corvex.pits`) at
which one of them differs from its value before the car reached the stall by more than
:data:`TOLERANCE`, a margin for rounding only. A value that changes within :data:`SETTLE_MS`
after that moment is read at its own change, in case the simulator writes the corners a tick
apart; a later change (new tyres fitted) is not the reading. The pressures (``LFpressure``)
drift all the time, by hundredths of a kPa as a standing tyre cools, so they never decide the
moment; they are read at it, with the cold pressure set (``LFcoldPressure``). Nothing is
averaged. A stop in which the values did not change (the car left before the crew read the
tyres) has no reading.

L, M and R are the left, middle and right of a tyre as the driver sees it: on the left of the
car (LF, LR) L is the outer side, on the right (RF, RR) the inner one.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import TYPE_CHECKING, Any

import numpy as np
import pyarrow as pa

from corvex.columns import column_values, table_from_lists, timecodes
from corvex.errors import MissingChannelsError

if TYPE_CHECKING:
    from numpy.typing import NDArray

__all__ = [
    "CORNERS",
    "MissingChannelsError",
    "SETTLE_MS",
    "TOLERANCE",
    "TYRE_SCHEMA",
    "missing_tyre_channels",
    "tyre_channels",
    "tyre_readings",
]

CORNERS = ("LF", "RF", "LR", "RR")
SIDES = ("inner", "middle", "outer")

# The least change (in the channel's unit: C, and the fraction of tread left) that counts as a
# new reading. The held values do not move at all; this only absorbs rounding.
TOLERANCE = {"temp": 0.01, "wear": 1e-5}
# Values that change this soon (ms) after the first one belong to the same reading.
SETTLE_MS = 1000

_HELD = ("temp", "wear")  # the kinds of value the simulator holds between readings

TYRE_SCHEMA = pa.schema(
    [
        pa.field("stop", pa.int32(), nullable=False),
        pa.field("corner", pa.string(), nullable=False),
        pa.field("read_at", pa.int64()),
        *(pa.field(f"temp_{side}", pa.float64(), metadata={"units": "C"}) for side in SIDES),
        *(pa.field(f"wear_{side}", pa.float64(), metadata={"units": "%"}) for side in SIDES),
        pa.field("pressure", pa.float64(), metadata={"units": "kPa"}),
        pa.field("cold_pressure", pa.float64(), metadata={"units": "kPa"}),
    ]
)


def tyre_channels(corner: str) -> dict[str, str]:
    """The columns of :data:`TYRE_SCHEMA` for ``corner`` and the channels they are read from."""
    # L/M/R as the driver sees them: L is the outer side on the left of the car.
    letters = dict(zip(SIDES, "LMR" if corner in ("RF", "RR") else "RML"))
    names = {}
    for side, letter in letters.items():
        names[f"temp_{side}"] = f"{corner}tempC{letter}"
        names[f"wear_{side}"] = f"{corner}wear{letter}"
    names["pressure"] = f"{corner}pressure"
    names["cold_pressure"] = f"{corner}coldPressure"
    return names


def missing_tyre_channels(channels: Mapping[str, Any]) -> list[str]:
    """The tyre channels of :func:`tyre_readings` that ``channels`` lacks, in table order."""
    return [
        name
        for corner in CORNERS
        for name in tyre_channels(corner).values()
        if name not in channels
    ]


def _held(column: str) -> str | None:
    """The kind of a held column ("temp", "wear"), None for the pressures."""
    kind = column.split("_", 1)[0]
    return kind if kind in _HELD else None


def tyre_readings(channels: Mapping[str, pa.Table], stops: pa.Table) -> pa.Table:
    """The tyres at each stop of ``stops`` (:func:`corvex.pits.pit_stops`), a row per corner.

    Columns: ``stop``; ``corner`` ("LF", "RF", "LR", "RR"); ``read_at`` (ms of session time of
    the reading, null when the stop has none); ``temp_inner``, ``temp_middle`` and
    ``temp_outer`` (carcass, in the file's unit, C), ``wear_inner``, ``wear_middle`` and
    ``wear_outer`` (the tread left, as the file stores it: a fraction, 1.0 for new),
    ``pressure`` (the hot pressure read) and ``cold_pressure`` (as set), in kPa. A value whose
    channel the file lacks is null. Raises :class:`MissingChannelsError` when the file has
    none of the carcass temperature and wear channels.
    """
    columns = {corner: tyre_channels(corner) for corner in CORNERS}
    held = [
        (corner, column, name)
        for corner, names in columns.items()
        for column, name in names.items()
        if _held(column) and name in channels
    ]
    if not held:
        missing = [
            f"{c}{kind}{side}" for c in CORNERS for kind in ("tempC", "wear") for side in "LMR"
        ]
        raise MissingChannelsError(
            "tyre readings need the carcass temperature and wear channels ("
            f"{', '.join(missing[:3])}, ...); this file has none of them",
            missing,
        )
    time = timecodes(channels)
    # Views of the stored values: only the few records of each stall are compared and read.
    values = {
        name: column_values(channels[name].column(1))
        for names in columns.values()
        for name in names.values()
        if name in channels
    }
    out: dict[str, list[Any]] = {name: [] for name in TYRE_SCHEMA.names}
    for stop, first, last in zip(
        stops.column("stop").to_pylist(),
        stops.column("stall_first_record").to_pylist(),
        stops.column("stall_stop_record").to_pylist(),
    ):
        reads = _reading(values, held, time, first, last)
        for corner, names in columns.items():
            out["stop"].append(stop)
            out["corner"].append(corner)
            out["read_at"].append(None if reads is None else int(time[reads[0]]))
            for column, name in names.items():
                if reads is None or name not in values:
                    out[column].append(None)
                else:
                    out[column].append(float(values[name][reads[1].get(name, reads[0])]))
    return table_from_lists(_schema(channels, columns), out)


def _reading(
    values: Mapping[str, NDArray[Any]],
    held: list[tuple[str, str, str]],
    time: NDArray[np.int64],
    first: int,
    stop: int,
) -> tuple[int, dict[str, int]] | None:
    """The record of the reading in the stall records ``[first, stop)`` and, per held channel
    that changed within the settling time, the record of its change; None without a change."""
    if not 0 < first < stop <= len(time):
        return None
    changes: dict[str, int] = {}
    for _, column, name in held:
        stall = np.asarray(values[name][first:stop], dtype=np.float64)
        before = float(values[name][first - 1])
        moved = np.abs(stall - before) > TOLERANCE[_held(column) or ""]
        # A NaN before or in the stall is no change, rather than always one.
        moved &= np.isfinite(stall) & np.isfinite(before)
        hits = np.flatnonzero(moved)
        if len(hits):
            changes[name] = first + int(hits[0])
    if not changes:
        return None
    moment = min(changes.values())
    settled = {
        name: record for name, record in changes.items() if time[record] - time[moment] < SETTLE_MS
    }
    return moment, settled


def _schema(channels: Mapping[str, pa.Table], columns: Mapping[str, dict[str, str]]) -> pa.Schema:
    """:data:`TYRE_SCHEMA` with each value's unit as the file gives it."""
    units: dict[str, str] = {}
    for names in columns.values():
        for column, name in names.items():
            table = channels.get(name)
            if table is not None and column not in units:
                meta = table.schema.field(1).metadata or {}
                if meta.get(b"units"):
                    units[column] = meta[b"units"].decode("utf-8", "replace")
    return pa.schema(
        [f.with_metadata({"units": units[f.name]}) if f.name in units else f for f in TYRE_SCHEMA]
    )
