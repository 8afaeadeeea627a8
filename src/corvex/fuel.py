"""Fuel: what each lap used, the mean of the valid laps, and what it takes to finish.

``FuelLevel`` is the fuel in the tank, in the file's unit (litres). A lap used the sum of every
drop of the level between its first record and the first record of the next lap; every rise is
fuel added, so refuelling inside a lap (a stop) is counted as added, never as negative use, and
start minus end equals used minus added. A gap of NaN values changes nothing.

:func:`fuel_to_finish` reads the length of the session the recording belongs to from the
session info (``SessionLaps``, ``SessionTime``, either of them "unlimited"), and how far the car
had come when the recording ended, and works out the laps still to drive and the fuel they take
at the mean use of the valid laps, plus a margin.
"""

from __future__ import annotations

import math
import re
from collections.abc import Mapping, Sequence
from dataclasses import asdict, dataclass
from typing import TYPE_CHECKING, Any

import numpy as np
import pyarrow as pa

from corvex.columns import (
    bools,
    column_values,
    filled,
    floats_or_nan,
    from_numpy,
)
from corvex.errors import MissingChannelsError

if TYPE_CHECKING:
    from numpy.typing import NDArray

__all__ = [
    "FUEL_CHANNEL",
    "FuelToFinish",
    "MissingChannelsError",
    "added_between",
    "fuel_to_finish",
    "fuel_unit",
    "lap_fuel",
    "mean_valid",
    "session_length",
]

FUEL_CHANNEL = "FuelLevel"

# What the simulator writes for a session without a limit of laps or of time.
_UNLIMITED = "unlimited"
_SECONDS = re.compile(r"^\s*([0-9]+(?:\.[0-9]*)?)\s*(?:sec|s)?\s*$")


def fuel_unit(channels: Mapping[str, pa.Table]) -> str:
    """The unit of ``FuelLevel`` as the file gives it ("l" when it gives none)."""
    table = channels.get(FUEL_CHANNEL)
    if table is None:
        return "l"
    meta = table.schema.field(1).metadata or {}
    return meta.get(b"units", b"").decode("utf-8", "replace") or "l"


def _require_fuel(channels: Mapping[str, pa.Table], what: str) -> NDArray[Any]:
    """The fuel levels as the file stores them, a gap of NaN filled (see the module)."""
    if FUEL_CHANNEL not in channels:
        raise MissingChannelsError(
            f"{what} needs the {FUEL_CHANNEL} channel, which this file does not have",
            [FUEL_CHANNEL],
        )
    level = column_values(channels[FUEL_CHANNEL].column(1))
    if level.dtype not in (np.float32, np.float64):  # a file that stores it otherwise
        level = level.astype(np.float64)
    return filled(level)


def added_between(level: NDArray[Any], first: int, last: int) -> float:
    """The sum of the rises of ``level`` from record ``first`` to record ``last``."""
    part = filled(np.asarray(level[first : last + 1], dtype=np.float64))
    return float(np.maximum(np.diff(part), 0.0).sum())


LAP_FUEL_FIELDS = ("fuel_start", "fuel_end", "fuel_used", "fuel_added")


def lap_fuel(
    channels: Mapping[str, pa.Table], laps: pa.Table, ranges: Sequence[tuple[int, int]]
) -> pa.Table:
    """Fuel of each row of the lap table ``laps`` (or of a lap summary), in its order.

    ``ranges`` are the records of each row (``LogFile.lap_record_ranges()``). Columns: ``num``,
    ``session`` and ``lap_type`` of the lap, ``valid`` when ``laps`` has it, then
    ``fuel_start`` (the level at the lap's first record), ``fuel_end`` (at the first record of
    the next lap, or the lap's own last record when the next row does not follow on),
    ``fuel_used`` and ``fuel_added`` (see the module), in the unit of ``FuelLevel``; null for a
    lap without records. Raises :class:`MissingChannelsError` without ``FuelLevel``.
    """
    level = _require_fuel(channels, "fuel per lap")
    count = len(level)
    # The difference of two nearby float32 levels is exact in float32; the sums are float64.
    rises = np.diff(level)
    np.maximum(rises, 0, out=rises)
    rows = len(ranges)
    values = {name: np.full(rows, np.nan) for name in LAP_FUEL_FIELDS}
    sessions = laps.column("session").to_pylist()
    for row, (first, stop) in enumerate(ranges):
        if not 0 <= first < stop <= count:
            continue
        follows = (
            row + 1 < rows and ranges[row + 1][0] == stop and sessions[row + 1] == sessions[row]
        )
        end = stop if follows and stop < count else stop - 1
        values["fuel_start"][row] = level[first]
        values["fuel_end"][row] = level[end]
        # Records first..end rose by the rises first..end-1; a lap of one record by none.
        values["fuel_added"][row] = rises[first:end].sum(dtype=np.float64) if end > first else 0.0
    values["fuel_used"] = values["fuel_start"] - values["fuel_end"] + values["fuel_added"]
    unit = {"units": fuel_unit(channels)}
    fields = [laps.schema.field(name) for name in ("num", "session", "lap_type")]
    arrays = [laps.column(name) for name in ("num", "session", "lap_type")]
    if "valid" in laps.column_names:
        fields.append(laps.schema.field("valid"))
        arrays.append(laps.column("valid"))
    for name in LAP_FUEL_FIELDS:
        fields.append(pa.field(name, pa.float64(), metadata=unit))
        arrays.append(from_numpy(values[name], pa.float64(), ~np.isnan(values[name])))
    return pa.Table.from_arrays(arrays, schema=pa.schema(fields))


def mean_valid(values: pa.ChunkedArray | pa.Array, valid: pa.ChunkedArray) -> tuple[float, int]:
    """The mean of ``values`` over the rows where ``valid`` is true and the value is not null,
    and how many rows that is (NaN and 0 without any)."""
    numbers = floats_or_nan(values)
    counted = bools(valid) & ~np.isnan(numbers)
    n = int(np.count_nonzero(counted))
    return (float(numbers[counted].mean()) if n else math.nan), n


# -- fuel to finish ---------------------------------------------------------------------------


@dataclass(frozen=True)
class SessionLength:
    """The length of one session of the session info: laps and time, None when unlimited."""

    num: int | None
    kind: str | None
    laps: int | None
    time: float | None  # s


def session_length(session_info: Mapping[str, Any], session_num: int | None) -> SessionLength | str:
    """The length of session ``session_num`` of the session info's ``SessionInfo: Sessions:``
    list (the only one there when ``session_num`` is None), or why it cannot be told."""
    block = session_info.get("SessionInfo")
    sessions = block.get("Sessions") if isinstance(block, dict) else None
    entries = [s for s in sessions if isinstance(s, dict)] if isinstance(sessions, list) else []
    if not entries:
        return "the session info lists no sessions"
    if session_num is None:
        if len(entries) > 1:
            return (
                f"the session info lists {len(entries)} sessions and the file has no "
                "SessionNum channel to tell which one it recorded"
            )
        entry = entries[0]
    else:
        found = [s for s in entries if _integer(s.get("SessionNum")) == session_num]
        if not found:
            return f"the session info has no session {session_num}"
        entry = found[0]
    laps = entry.get("SessionLaps")
    time = entry.get("SessionTime")
    kind = entry.get("SessionType")
    return SessionLength(
        num=_integer(entry.get("SessionNum")),
        kind=None if kind is None else str(kind),
        laps=_laps_limit(laps),
        time=_time_limit(time),
    )


def _integer(value: Any) -> int | None:
    if isinstance(value, bool):
        return None
    if isinstance(value, int):
        return value
    if isinstance(value, float):
        return int(value) if value.is_integer() else None
    try:
        return int(str(value).strip())
    except (TypeError, ValueError):
        return None


def _laps_limit(value: Any) -> int | None:
    number = _integer(value)
    return number if number is not None and number > 0 else None


def _time_limit(value: Any) -> float | None:
    if isinstance(value, (int, float)) and not isinstance(value, bool):
        seconds = float(value)
    else:
        match = _SECONDS.match(str(value or ""))
        if not match:
            return None
        seconds = float(match.group(1))
    return seconds if 0.0 < seconds < math.inf else None


@dataclass(frozen=True)
class FuelToFinish:
    """What it takes to finish the session from where the recording ends.

    Fuel in the unit of ``FuelLevel`` (``unit``, litres), times in seconds. A value that cannot
    be worked out is None, and ``reason`` says why the fuel to finish is missing.
    """

    unit: str
    session_num: int | None
    session_type: str | None
    laps_limit: int | None
    time_limit: float | None
    per_lap: float | None  # the mean use of the valid laps
    valid_laps: int
    lap_time: float | None  # the mean valid lap time
    laps_completed: int | None  # at the end of the recording
    lap_fraction: float | None  # of the lap under way at the end
    time_left: float | None
    laps_remaining: float | None
    fuel_in_tank: float | None
    margin_laps: float
    margin_percent: float
    fuel_needed: float | None  # for the laps remaining, margin included
    fuel_to_add: float | None  # needed minus what is in the tank, never below 0
    tank: float | None  # what the tank may hold
    stops: int | None  # stops the fuel to add takes, a full tank at each
    reason: str | None

    def as_dict(self) -> dict[str, Any]:
        """The fields as a dict of plain values (NaN as None), ready for JSON."""
        return {k: _plain(v) for k, v in asdict(self).items()}


def _plain(value: Any) -> Any:
    return None if isinstance(value, float) and not math.isfinite(value) else value


def fuel_to_finish(
    channels: Mapping[str, pa.Table],
    summary: pa.Table,
    fuel_laps: pa.Table,
    session_info: Mapping[str, Any],
    *,
    margin_laps: float = 1.0,
    margin_percent: float = 0.0,
    driver_info: Mapping[str, Any] | None = None,
) -> FuelToFinish:
    """The laps left and the fuel they take, from the end of the recording.

    ``summary`` is the lap summary (``lap_time`` and ``valid``), ``fuel_laps`` the table of
    :func:`lap_fuel` for it, ``session_info`` the parsed session info. The session is the one
    ``SessionNum`` names at the last record. Its end: after ``SessionLaps`` laps, or at the
    first crossing of the line after ``SessionTime`` has run out, whichever comes first (the
    car finishes the lap under way when time runs out). Laps completed come from
    ``LapCompleted`` (``Lap`` minus one without it), the part of the lap under way from
    ``LapDistPct``, the clock from the time column. Fuel needed is the mean use of the valid
    laps times the laps remaining, ``margin_percent`` more, plus ``margin_laps`` laps. The tank
    holds ``DriverCarFuelMaxLtr`` times ``DriverCarMaxFuelPct`` of the session info's
    ``DriverInfo``. Raises :class:`MissingChannelsError` without ``FuelLevel``.
    """
    if not (math.isfinite(margin_laps) and margin_laps >= 0):
        raise ValueError(f"the margin must be 0 laps or more, not {margin_laps}")
    if not (math.isfinite(margin_percent) and margin_percent >= 0):
        raise ValueError(f"the margin must be 0 % or more, not {margin_percent}")
    level = _require_fuel(channels, "fuel to finish")
    per_lap, valid_laps = mean_valid(fuel_laps.column("fuel_used"), summary.column("valid"))
    lap_time, _ = mean_valid(summary.column("lap_time"), summary.column("valid"))
    last = _last_values(channels)
    in_tank = float(level[-1]) if len(level) else None
    length = session_length(session_info, _integer(last.get("SessionNum")))
    completed = _integer(last.get("LapCompleted"))
    if completed is None and _integer(last.get("Lap")) is not None:
        completed = _integer(last["Lap"] - 1)
    if completed is not None:
        completed = max(completed, 0)  # before the start the counters run below 0
    fraction = last.get("LapDistPct")
    if fraction is not None:
        fraction = min(max(float(fraction), 0.0), 1.0) if math.isfinite(fraction) else None
    clock = last.get("time")
    tank = _tank(driver_info if driver_info is not None else session_info.get("DriverInfo"))

    reason: str | None = None
    laps_remaining: float | None = None
    time_left: float | None = None
    if isinstance(length, str):
        reason = length
        length = SessionLength(None, None, None, None)
    elif length.laps is None and length.time is None:
        reason = "the session has no set length: unlimited laps and unlimited time"
    else:
        candidates: list[float] = []
        missing: list[str] = []
        if length.laps is not None:
            if completed is None:
                missing.append("the laps completed (no LapCompleted or Lap channel)")
            else:
                candidates.append(max(length.laps - completed - (fraction or 0.0), 0.0))
        if length.time is not None and clock is None:
            missing.append("the session clock (no records)")
        elif length.time is not None and clock is not None:
            time_left = length.time - clock
            if time_left <= 0:
                candidates.append(0.0)
            elif not lap_time > 0:
                missing.append("the mean lap time (no valid lap)")
            else:
                done = fraction or 0.0
                laps_in_time = time_left / lap_time + done
                if math.isfinite(laps_in_time):
                    candidates.append(math.ceil(laps_in_time) - done)
                else:
                    missing.append(f"{time_left:g} s left at a mean lap of {lap_time:g} s")
        if candidates:
            laps_remaining = min(candidates)
        else:
            reason = "cannot tell the laps remaining: " + "; ".join(missing)

    needed: float | None = None
    to_add: float | None = None
    stops: int | None = None
    if laps_remaining is not None:
        if valid_laps == 0:
            reason = "no valid lap to take the fuel per lap from"
        else:
            needed = per_lap * (laps_remaining * (1.0 + margin_percent / 100.0) + margin_laps)
            if in_tank is not None:
                to_add = max(needed - in_tank, 0.0)
                if tank is not None and tank > 0:
                    stops = math.ceil(to_add / tank - 1e-9) if to_add > 0 else 0
    return FuelToFinish(
        unit=fuel_unit(channels),
        session_num=length.num,
        session_type=length.kind,
        laps_limit=length.laps,
        time_limit=length.time,
        per_lap=per_lap if valid_laps else None,
        valid_laps=valid_laps,
        lap_time=lap_time if valid_laps else None,
        laps_completed=completed,
        lap_fraction=fraction,
        time_left=time_left,
        laps_remaining=laps_remaining,
        fuel_in_tank=in_tank,
        margin_laps=margin_laps,
        margin_percent=margin_percent,
        fuel_needed=needed,
        fuel_to_add=to_add,
        tank=tank,
        stops=stops,
        reason=reason,
    )


def _last_values(channels: Mapping[str, pa.Table]) -> dict[str, Any]:
    """The last record's SessionNum, LapCompleted, Lap, LapDistPct and clock (s), where present."""
    out: dict[str, Any] = {}
    for name in ("SessionNum", "LapCompleted", "Lap", "LapDistPct"):
        table = channels.get(name)
        if table is not None and table.num_rows:
            value = table.column(1)[table.num_rows - 1].as_py()
            out[name] = value if not isinstance(value, bool) else int(value)
    for table in channels.values():
        if table.num_rows:
            out["time"] = table.column(0)[table.num_rows - 1].as_py() / 1000.0
        break
    return out


def _tank(driver: Any) -> float | None:
    """The fuel the tank may hold: the car's capacity times the share the series allows."""
    if not isinstance(driver, dict):
        return None
    capacity = _number(driver.get("DriverCarFuelMaxLtr"))
    if capacity is None or capacity <= 0:
        return None
    share = _number(driver.get("DriverCarMaxFuelPct"))
    return capacity * (share if share is not None and 0 < share <= 1 else 1.0)


def _number(value: Any) -> float | None:
    if isinstance(value, bool):
        return None
    try:
        number = float(str(value).split()[0]) if isinstance(value, str) else float(value)
    except (TypeError, ValueError, IndexError):
        return None
    return number if math.isfinite(number) else None
