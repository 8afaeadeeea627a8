"""`corvex info FILE`: the session at a glance, as text or as JSON."""

from __future__ import annotations

import argparse
import json
import math
import shutil
import warnings
from typing import TYPE_CHECKING, Any

import corvex
from corvex.cli._common import add_command, add_file_argument, open_log

if TYPE_CHECKING:
    from corvex.base import LogFile

DESCRIPTION = (
    "Show the track, car, driver, series and session ids, the session type (Practice, Qualify, "
    "Race: those the records belong to), start date, duration, record count, tick rate, "
    "channel count by type, the array variables that are not read as channels, and the laps "
    "with the file's lap type, a status (timed: the lap counts; else why not: out, in, pit, "
    "reset, tow, partial, short, long), lap times and sessions; a row of the lap table that "
    "holds a single record is no lap of its own. With --json the same facts are printed as "
    "one JSON object. A live telemetry snapshot (the simulator's telemetry memory saved to a "
    "file) is shown as what it is: its buffers and the values of its newest record."
)


def cmd_info(args: argparse.Namespace) -> None:
    from corvex.overview import session_facts

    log = _open_recording(args)
    if log is None:
        facts = snapshot_facts(corvex.open_snapshot(args.file))
        if args.json:
            print(json.dumps(facts, indent=2, ensure_ascii=False, allow_nan=False))
        else:
            print(snapshot_text(facts))
        return
    if args.json:
        facts = session_facts(log)
        facts["stints"] = stint_facts(log)
        print(json.dumps(facts, indent=2, ensure_ascii=False, allow_nan=False))
    else:
        print(format_info(log))


def format_info(log: LogFile) -> str:
    """The session at a glance, as printed by ``corvex info``: the facts, the laps and one
    line per stint."""
    from corvex.cli.stints import stint_lines
    from corvex.overview import info_text, session_facts

    width = max(shutil.get_terminal_size((100, 24)).columns, 60)
    text = info_text(session_facts(log), width)
    if log.laps.num_rows == 0:
        return text
    return text + "\n\n" + "\n".join(stint_lines(log.stints))


def stint_facts(log: LogFile) -> list[dict[str, Any]]:
    """The stints of ``log`` for ``corvex info --json``: times in seconds, fuel in litres."""
    stints = log.stints.to_pylist()
    for stint in stints:
        stint["start_time"] /= 1000.0
        stint["end_time"] /= 1000.0
    return [{k: _plain(v) for k, v in stint.items()} for stint in stints]


def _open_recording(args: argparse.Namespace) -> LogFile | None:
    """The recording FILE, read once; None when the reader takes it for a live telemetry
    snapshot (then without the warning that tells other commands to ask corvex info)."""
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always", corvex.CorvexWarning)
            log = open_log(args)
    except (OSError, RuntimeError) as exc:
        if getattr(exc, "kind", None) == "live_snapshot":
            return None
        raise
    if log.live_buffers is not None:
        return None
    for found in caught:
        warnings.warn_explicit(found.message, found.category, found.filename, found.lineno)
    return log


def _plain(value: Any) -> Any:
    """A value for JSON: NaN and infinities as None, lists element by element."""
    if isinstance(value, list):
        return [_plain(v) for v in value]
    if isinstance(value, float) and not math.isfinite(value):
        return None
    return value


def snapshot_facts(log: LogFile) -> dict[str, Any]:
    """What ``corvex info`` shows of a live telemetry snapshot, as plain values."""
    meta = log.metadata
    snapshot = meta["snapshot"]
    values: dict[str, Any] = {}
    for tables in (log.channels, log.arrays):
        for name, table in tables.items():
            units = (table.schema.field(1).metadata or {}).get(b"units", b"")
            cell = table.column(1)[0].as_py() if table.num_rows else None
            values[name] = {"value": _plain(cell), "unit": units.decode("utf-8", "replace")}
    newest = snapshot["newest"]
    return {
        "file": log.source,
        "kind": "live telemetry snapshot",
        "track": meta.get("track_display_name") or meta.get("track_name"),
        "tick_rate": meta.get("tick_rate"),
        "buffers": [{"tick_count": t, "offset": o} for t, o in snapshot["buffers"]],
        "newest_buffer": newest,
        "tick_count": snapshot["buffers"][newest][0],
        "values": values,
    }


def snapshot_text(facts: dict[str, Any]) -> str:
    """The snapshot as printed by ``corvex info``: what it is, then one line per value."""
    buffers = facts["buffers"]
    ticks = ", ".join(str(b["tick_count"]) for b in buffers)
    lines = [
        f"{facts['file']}: live telemetry snapshot (the simulator's telemetry memory), "
        "not a disk recording",
    ]
    if facts["track"]:
        lines.append(f"Track:     {facts['track']}")
    lines.append(f"Tick rate: {facts['tick_rate']} Hz")
    lines.append(
        f"Buffers:   {len(buffers)} (tick counts {ticks}); values of buffer "
        f"{facts['newest_buffer']}, the newest (tick {facts['tick_count']})"
    )
    values = facts["values"]
    lines.append(f"Values:    {len(values)}")
    width = max((len(name) for name in values), default=0)
    for name, cell in values.items():
        unit = f" {cell['unit']}" if cell["unit"] else ""
        lines.append(f"  {name:<{width}}  {cell['value']}{unit}")
    return "\n".join(lines)


def register(sub: Any) -> None:
    """Add the `info` command to the subparsers `sub`."""
    parser = add_command(
        sub, "info", cmd_info, summary="the session at a glance", description=DESCRIPTION
    )
    add_file_argument(parser)
    parser.add_argument(
        "--json",
        action="store_true",
        help="print the facts as one JSON object (times in seconds, dates in ISO 8601)",
    )
