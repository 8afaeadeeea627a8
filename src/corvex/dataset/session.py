"""One read session in the dataset's layout: its telemetry table, sessions row and laps."""

from __future__ import annotations

import os
import re
from collections.abc import Mapping, Sequence
from datetime import UTC, datetime
from functools import cached_property
from typing import TYPE_CHECKING, Any

import pyarrow as pa

from corvex.dataset.schema import KEY, KEY_FIELD, LAP_NUM, LAP_SCHEMA, LAP_SESSION, LAPS_FILE
from corvex.dataset.sources import display_path
from corvex.dataset.stints import STINTS_FILE, STINTS_SCHEMA, lap_fuel_used, session_stints
from corvex.laps import fastest_row
from corvex.session_info import player_entry, text_or_none
from corvex.track import layout_key

if TYPE_CHECKING:
    from corvex.base import LogFile
    from corvex.dataset.convert import Task


class SessionData:
    """One session on its way out: the read file, its key, its sessions row.

    ``table`` (built on first use) is the session's telemetry in the dataset's layout:
    ``session_key``, ``timecodes``, ``lap_num`` and ``lap_session`` (the lap table's ``num``
    and ``session`` of the lap each record belongs to), then the channels.
    """

    def __init__(self, log: LogFile, key: str, channels: list[str], row: dict[str, Any]):
        self.log = log
        self.key = key
        self.channels = channels
        self.row = row

    @cached_property
    def table(self) -> pa.Table:
        return telemetry_table(self.log, self.key, self.channels)


def telemetry_table(log: LogFile, key: str, channels: Sequence[str]) -> pa.Table:
    """The telemetry of one session in the dataset's layout (see :class:`SessionData`)."""
    wide = log.to_table(list(channels))
    count = wide.num_rows
    lap_num, lap_session = _lap_columns(log, count)
    columns = [pa.repeat(pa.scalar(key, pa.string()), count), wide.column(0), lap_num, lap_session]
    fields = [
        KEY_FIELD,
        wide.schema.field(0),
        pa.field(LAP_NUM, pa.int32()),
        pa.field(LAP_SESSION, pa.int32()),
    ]
    fields += [wide.schema.field(i) for i in range(1, wide.num_columns)]
    columns += [wide.column(i) for i in range(1, wide.num_columns)]
    return pa.Table.from_arrays(columns, schema=pa.schema(fields))


def _lap_columns(log: LogFile, count: int) -> tuple[pa.Array, pa.Array]:
    """Per record, the lap table's ``num`` and ``session`` of its lap (null outside laps)."""
    laps = log.laps
    if laps.num_rows == 0 or count == 0:
        return pa.nulls(count, pa.int32()), pa.nulls(count, pa.int32())
    ranges = log.lap_record_ranges()
    nums, sessions = [], []
    position = 0
    for (first, stop), num, session in zip(
        ranges, laps.column("num").to_pylist(), laps.column("session").to_pylist()
    ):
        first, stop = max(first, position), max(stop, position)
        if first > position:
            nums.append(pa.nulls(first - position, pa.int32()))
            sessions.append(pa.nulls(first - position, pa.int32()))
        nums.append(pa.repeat(pa.scalar(num, pa.int32()), stop - first))
        sessions.append(pa.repeat(pa.scalar(session, pa.int32()), stop - first))
        position = stop
    if position < count:
        nums.append(pa.nulls(count - position, pa.int32()))
        sessions.append(pa.nulls(count - position, pa.int32()))
    return pa.concat_arrays(nums), pa.concat_arrays(sessions)


def session_row(log: LogFile, task: Task) -> dict[str, Any]:
    """The sessions-table row of one read file, but for its "output", "source_hash" and
    "salvaged", which the conversion (:mod:`corvex.dataset.convert`) decides."""
    meta = log.metadata
    info = log.session_info
    driver, car = driver_and_car(info)
    track = text_or_none(meta.get("track_name"))
    track_id, track_config, _ = layout_key(info)
    summary = log.lap_summary
    best = fastest_row(summary)
    start = meta.get("session_start_date") or 0
    return {
        KEY: task.key,
        **source_columns(task.source),
        "source_size": task.size,
        "source_mtime_ns": task.mtime_ns,
        "source_hash": None,
        "converted_at": datetime.now(UTC),
        "salvaged": False,
        "track": track,
        "track_display_name": text_or_none(meta.get("track_display_name")),
        "track_id": track_id,
        "track_config": text_or_none(track_config),
        "track_length_km": _length_km(meta.get("track_length")),
        "car": car,
        "driver": driver,
        "series_id": _int(meta.get("series_id")),
        "season_id": _int(meta.get("season_id")),
        "session_id": _int(meta.get("session_id")),
        "sub_session_id": _int(meta.get("sub_session_id")),
        "start_date": datetime.fromtimestamp(start, UTC) if _valid_date(start) else None,
        "duration": log.duration,
        "tick_rate": _int32(meta.get("tick_rate")),
        "record_count": log.record_count,
        "channel_count": len(log.channels),
        "lap_count": log.laps.num_rows,
        "fastest_lap_time": None if best is None else summary.column("lap_time")[best].as_py(),
    }


def source_columns(path: str) -> dict[str, Any]:
    """The "source_path" (text to show) and "source_path_bytes" (the name as the file system
    has it) of a path that may not be UTF-8 (a str with lone surrogates, as os.fsdecode gives)."""
    raw = os.fsencode(path)
    return {"source_path": display_path(path), "source_path_bytes": raw}


def session_tables(log: LogFile, key: str) -> dict[str, pa.Table]:
    """The per-session tables kept with the session and combined over the dataset at each
    commit, by file name. A new per-session table is one more entry here (and its schema in
    :data:`SESSION_TABLE_SCHEMAS`)."""
    summary = log.lap_summary
    return {
        LAPS_FILE: session_laps(log, key, summary),
        STINTS_FILE: session_stints(log, key, summary),
    }


# The schema of each per-session table (what an empty dataset's combined table has).
SESSION_TABLE_SCHEMAS = {LAPS_FILE: LAP_SCHEMA, STINTS_FILE: STINTS_SCHEMA}


def session_laps(log: LogFile, key: str, summary: pa.Table | None = None) -> pa.Table:
    """The laps of one session in the layout of laps.parquet: the lap summary's columns, the
    sector times as one list per lap, and the fuel each lap used. A new per-lap column is one
    more entry in ``columns``."""
    summary = log.lap_summary if summary is None else summary
    rows = summary.num_rows
    sectors = sorted(
        (int(name.removeprefix("sector_")), name)
        for name in summary.column_names
        if name.startswith("sector_") and name.removeprefix("sector_").isdigit()
    )
    per_lap = zip(*(summary.column(name).to_pylist() for _, name in sectors), strict=True)
    sector_times = [list(times) if any(t is not None for t in times) else None for times in per_lap]
    columns: dict[str, Any] = {
        KEY: pa.repeat(pa.scalar(key, pa.string()), rows),
        "sector_times": pa.array(sector_times if sectors else [None] * rows,
                                 pa.list_(pa.float64())),
        "fuel_used": lap_fuel_used(log, summary),
    }  # fmt: skip
    for name in LAP_SCHEMA.names:
        if name not in columns:
            columns[name] = (
                summary.column(name)
                if name in summary.column_names
                else pa.nulls(rows, LAP_SCHEMA.field(name).type)
            )
    return pa.Table.from_pydict({n: columns[n] for n in LAP_SCHEMA.names}).cast(LAP_SCHEMA)


def driver_and_car(info: Mapping[str, Any]) -> tuple[str | None, str | None]:
    """The player's name and car (screen name, else path) from the parsed session info."""
    entry = player_entry(info)
    car = entry.get("CarScreenName") or entry.get("CarPath")
    return text_or_none(entry.get("UserName")), text_or_none(car)


def _int(value: Any) -> int | None:
    try:
        number = int(str(value).strip())
    except (TypeError, ValueError):
        return None
    return number if -(2**63) <= number < 2**63 else None


def _int32(value: Any) -> int | None:
    number = _int(value)
    return number if number is not None and -(2**31) <= number < 2**31 else None


def _valid_date(seconds: Any) -> bool:
    # 0 is what a recording without a start date holds; beyond year 9999 datetime gives up.
    return isinstance(seconds, int) and 0 < seconds < 253_402_300_800


_LENGTH = re.compile(r"^\s*([0-9]*\.?[0-9]+)\s*(km|mi|m)?\s*$", re.IGNORECASE)


def _length_km(text: Any) -> float | None:
    """ "4.32 km" -> 4.32; miles and metres are converted; None when it is not a length."""
    match = _LENGTH.match(str(text or ""))
    if not match:
        return None
    value = float(match.group(1))
    unit = (match.group(2) or "km").lower()
    return value * {"km": 1.0, "mi": 1.609344, "m": 0.001}[unit]
