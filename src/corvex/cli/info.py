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
    from corvex.session_info import weekend_fields

    meta = dict(log.metadata)
    text = log.session_info_text
    if text != meta.get("session_info_yaml"):
        # The reader's weekend fields come from its UTF-8 reading of the text; take them from
        # the text decoded the right way instead, by the same rule.
        meta.update(weekend_fields(text))
    rows: list[tuple[str, str]] = [("File", log.source)]
    track = meta.get("track_display_name") or meta.get("track_name")
    place = ", ".join(p for p in (meta.get("track_city"), meta.get("track_country")) if p)
    if track or place:
        rows.append(("Track", (track or "") + (f" ({place})" if place else "")))
    if meta.get("track_length"):
        rows.append(("Track length", meta["track_length"]))
    player = _player(log.session_info)
    for key, label in (("CarScreenName", "Car"), ("UserName", "Driver"), ("TeamName", "Team")):
        value = player.get(key)
        if (
            value is not None
            and value != ""
            and (key != "TeamName" or value != player.get("UserName"))
        ):
            rows.append((label, str(value)))
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
    lines = [f"{label:<{width}}{_shown(value)}" for label, value in rows]
    lines.append("")
    lines.extend(_lap_lines(log))
    return "\n".join(lines)


def _player(info: dict[str, Any]) -> dict[str, Any]:
    """The player's entry of DriverInfo.Drivers in the parsed session info, or {}."""
    drivers_info = info.get("DriverInfo")
    if not isinstance(drivers_info, dict):
        return {}
    drivers = drivers_info.get("Drivers")
    if not isinstance(drivers, list):
        return {}
    player = drivers_info.get("DriverCarIdx")
    for driver in drivers:
        if isinstance(driver, dict) and driver.get("CarIdx") == player:
            return driver
    return {}


# Control characters (C0, DEL, C1) as escapes, so that a name cannot move the cursor or
# send a terminal a command; a line break in a name shows as \n.
_CONTROLS = {code: f"\\x{code:02x}" for code in (*range(0x20), *range(0x7F, 0xA0))} | {
    0x09: "\\t",
    0x0A: "\\n",
    0x0D: "\\r",
}


def _shown(text: str) -> str:
    return text.translate(_CONTROLS)


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
    for row, lap in enumerate(log.lap_summary.to_pylist()):
        mark = "  fastest" if row == fastest else ""
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
