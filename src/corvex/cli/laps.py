"""`corvex laps FILE`: lap and sector times, the best lap and sectors, the theoretical best."""

from __future__ import annotations

import argparse
from typing import TYPE_CHECKING, Any

from corvex.cli._common import add_command, add_file_argument, open_log

if TYPE_CHECKING:
    from corvex.base import LogFile


def cmd_laps(args: argparse.Namespace) -> None:
    print(format_laps(open_log(args)))


def _time_text(seconds: float | None) -> str:
    from corvex.formatting import format_lap_time

    if seconds is None:
        return ""
    return format_lap_time(seconds) if seconds >= 60 else f"{seconds:.3f}"


def format_laps(log: LogFile) -> str:
    """The lap table as printed by ``corvex laps``.

    A ``*`` marks the fastest valid lap and the best time of each sector; only valid laps
    (full laps that stayed off pit road and covered the track's length) take part.
    """
    from corvex.formatting import format_lap_time

    summary = log.lap_summary.to_pylist()
    if not summary:
        return "Laps: none"
    starts = log.sector_starts
    best = log.best_sectors.to_pylist()
    fastest = log.fastest_lap
    header = ["lap", "session", "type", "valid", "lap time"]
    header += [f"S{n}" for n in range(1, len(starts) + 1)] if len(starts) > 1 else []
    rows = []
    for lap in summary:
        is_fastest = (
            fastest is not None and lap["num"] == fastest and lap["session"] == fastest.session
        )
        cells = [
            str(lap["num"]),
            str(lap["session"]),
            lap["lap_type"],
            "yes" if lap["valid"] else "no",
            format_lap_time(lap["lap_time"]) + (" *" if is_fastest else "  "),
        ]
        if len(starts) > 1:
            for n, sector in enumerate(best, 1):
                time = lap[f"sector_{n}"]
                mark = (
                    lap["valid"]
                    and time is not None
                    and (lap["num"], lap["session"]) == (sector["num"], sector["session"])
                )
                cells.append(_time_text(time) + (" *" if mark else "  "))
        rows.append(cells)
    widths = [max(len(h), *(len(r[i]) for r in rows)) for i, h in enumerate(header)]
    lines = []
    track = log.metadata.get("track_display_name") or log.metadata.get("track_name")
    if track:
        length = log.metadata.get("track_length")
        lines.append(f"{track}" + (f", {length}" if length else ""))
    if len(starts) > 1:
        at = ", ".join(f"{100 * s:.1f} %" for s in starts)
        lines.append(f"{len(starts)} sectors starting at {at} of the lap")
    lines.append("  ".join(h.rjust(w) for h, w in zip(header, widths)).rstrip())
    lines += ["  ".join(c.rjust(w) for c, w in zip(r, widths)).rstrip() for r in rows]
    lines.append("")
    if fastest is None:
        lines.append("Fastest lap:      none (no valid lap)")
        return "\n".join(lines)
    row = next(r for r in summary if r["num"] == fastest and r["session"] == fastest.session)
    lines.append(f"Fastest lap:      {format_lap_time(row['lap_time'])} (lap {fastest})")
    theoretical = log.theoretical_best
    if theoretical is not None and len(starts) > 1:
        origin = ", ".join(f"S{s['sector']} lap {s['num']}" for s in best)
        lines.append(f"Theoretical best: {format_lap_time(theoretical)} ({origin})")
    return "\n".join(lines)


def register(sub: Any) -> None:
    """Add the `laps` command to the subparsers `sub`."""
    parser = add_command(
        sub,
        "laps",
        cmd_laps,
        summary="lap and sector times, best lap and sectors, theoretical best",
        description="Show every lap with its type, whether it is valid (a full lap that "
        "stayed off pit road and covered the track's length), its lap time and its sector "
        "times. '*' marks the fastest valid lap and the best valid time of each sector; the "
        "theoretical best is the sum of the best sectors.",
    )
    add_file_argument(parser)
