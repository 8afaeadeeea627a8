"""`corvex info FILE`: the session at a glance."""

from __future__ import annotations

import argparse
from collections import Counter
from datetime import UTC, datetime
from typing import Any

import corvex
from corvex.base import LogFile, format_lap_time

DESCRIPTION = (
    "Show the track, car, series and session ids, start date, duration, record count, tick "
    "rate, channel count by type, and the laps with lap times, types and sessions."
)


def cmd_info(args: argparse.Namespace) -> None:
    log = corvex.open(args.file)
    print(format_info(log))


def format_info(log: LogFile) -> str:
    """The session at a glance, as printed by ``corvex info``."""
    meta = log.metadata
    rows: list[tuple[str, str]] = [("File", log.source)]
    track = meta.get("track_display_name") or meta.get("track_name")
    place = ", ".join(p for p in (meta.get("track_city"), meta.get("track_country")) if p)
    if track or place:
        rows.append(("Track", (track or "") + (f" ({place})" if place else "")))
    if meta.get("track_length"):
        rows.append(("Track length", meta["track_length"]))
    car = _car_name(log.session_info)
    if car:
        rows.append(("Car", car))
    for key, label in (
        ("series_id", "Series ID"),
        ("season_id", "Season ID"),
        ("session_id", "Session ID"),
        ("sub_session_id", "Sub-session ID"),
    ):
        if meta.get(key):
            rows.append((label, meta[key]))
    rows.append(("Started", _start_date(meta.get("session_start_date", 0))))
    rows.append(("Duration", format_lap_time(log.duration)))
    rows.append(("Records", str(log.record_count)))
    rows.append(("Tick rate", f"{meta.get('tick_rate', '?')} Hz"))
    rows.append(("Channels", _channel_summary(log)))
    width = max(len(label) for label, _ in rows) + 2
    lines = [f"{label:<{width}}{value}" for label, value in rows]
    lines.append("")
    lines.extend(_lap_lines(log))
    return "\n".join(lines)


def _car_name(info: dict[str, Any]) -> str:
    """The player's car from the parsed session info, or "" when it is not there."""
    drivers_info = info.get("DriverInfo")
    if not isinstance(drivers_info, dict):
        return ""
    drivers = drivers_info.get("Drivers")
    if not isinstance(drivers, list):
        return ""
    player = drivers_info.get("DriverCarIdx")
    for driver in drivers:
        if isinstance(driver, dict) and driver.get("CarIdx") == player:
            return str(driver.get("CarScreenName") or "")
    return ""


def _start_date(stamp: int) -> str:
    if not stamp:
        return "not recorded"
    try:
        return datetime.fromtimestamp(stamp, tz=UTC).strftime("%Y-%m-%d %H:%M:%S UTC")
    except (OverflowError, OSError, ValueError):
        return f"invalid ({stamp})"


def _channel_summary(log: LogFile) -> str:
    types = Counter(str(table.schema.field(1).type) for table in log.channels.values())
    detail = ", ".join(f"{count} {name}" for name, count in types.most_common())
    return f"{len(log.channels)}" + (f" ({detail})" if detail else "")


def _lap_lines(log: LogFile) -> list[str]:
    if log.laps.num_rows == 0:
        return ["Laps: none"]
    fastest = log.fastest_lap
    lines = [
        f"Laps: {log.laps.num_rows}",
        "  lap  session  type         start    lap time",
    ]
    for lap in log.lap_summary.to_pylist():
        is_fastest = fastest is not None and (lap["num"], lap["session"]) == (
            fastest,
            fastest.session,
        )
        mark = "  fastest" if is_fastest else ""
        lines.append(
            f"  {lap['num']:>3}  {lap['session']:>7}  {lap['lap_type']:<10}"
            f" {format_lap_time(lap['start_time'] / 1000):>9}"
            f"  {format_lap_time(lap['lap_time']):>9}{mark}"
        )
    return lines


def register(sub: Any) -> None:
    """Add the `info` command to the subparsers `sub`."""
    parser = sub.add_parser("info", help="the session at a glance", description=DESCRIPTION)
    parser.add_argument("file", metavar="FILE", help="IBT file")
    parser.set_defaults(run=cmd_info)
