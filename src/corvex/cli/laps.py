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

    One line per lap as :func:`corvex.overview.lap_entries` gives them (a row of one record is
    no lap of its own). The status says whether a lap counts: "timed" for a valid lap (a full
    lap that stayed off pit road and covered the track's length), else why not. A ``*`` marks
    the fastest valid lap and the best time of each sector; only valid laps take part.
    """
    from corvex.formatting import format_lap_time, lap_name
    from corvex.overview import lap_entries, one_record_rows

    summary = log.lap_summary
    laps = lap_entries(summary)
    if not laps:
        return "Laps: none"
    rows_of = summary.to_pylist()
    starts = log.sector_starts
    best = log.best_sectors.to_pylist()
    fastest = log.fastest_lap
    header = ["lap", "session", "type", "status", "lap time"]
    header += [f"S{n}" for n in range(1, len(starts) + 1)] if len(starts) > 1 else []
    rows = []
    for lap in laps:
        row = rows_of[lap["rows"][0]]
        cells = [
            str(lap["num"]),
            str(lap["session"]),
            lap["lap_type"],
            lap["status"],
            format_lap_time(lap["lap_time"]) + (" *" if lap["fastest"] else "  "),
        ]
        if len(starts) > 1:
            whole = len(lap["rows"]) == 1
            for n, sector in enumerate(best, 1):
                time = row[f"sector_{n}"] if whole else None
                mark = (
                    row["valid"]
                    and whole
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
    aligned = [str.rjust, str.rjust, str.ljust, str.ljust] + [str.rjust] * (len(header) - 4)
    lines.append("  ".join(a(h, w) for a, h, w in zip(aligned, header, widths)).rstrip())
    lines += ["  ".join(a(c, w) for a, c, w in zip(aligned, r, widths)).rstrip() for r in rows]
    one_record = one_record_rows(summary)
    if one_record:
        lines.append(
            f"({len(one_record)} row{'s' if len(one_record) != 1 else ''} of one record "
            "not listed: no lap of its own)"
        )
    lines.append("")
    if fastest is None:
        lines.append("Fastest lap:      none (no valid lap)")
        return "\n".join(lines)
    lap_time = summary.column("lap_time")[fastest.row].as_py()
    name = lap_name(log.laps, fastest, fastest.session)
    lines.append(f"Fastest lap:      {format_lap_time(lap_time)} ({name})")
    theoretical = log.theoretical_best
    if theoretical is not None and len(starts) > 1:
        origin = ", ".join(
            f"S{s['sector']} {lap_name(log.laps, s['num'], s['session'])}" for s in best
        )
        lines.append(f"Theoretical best: {format_lap_time(theoretical)} ({origin})")
    return "\n".join(lines)


def register(sub: Any) -> None:
    """Add the `laps` command to the subparsers `sub`."""
    parser = add_command(
        sub,
        "laps",
        cmd_laps,
        summary="lap and sector times, best lap and sectors, theoretical best",
        description="Show every lap with the file's own type, its status (timed: a valid lap, "
        "a full lap that stayed off pit road and covered the track's length; else why it does "
        "not count: out, in, pit, reset, tow, partial, short, long), its lap time and its "
        "sector times. '*' marks the fastest valid lap and the best valid time of each sector; "
        "the theoretical best is the sum of the best sectors. A row of the lap table that "
        "holds a single record (a file's zeroed first record, the trace of a reset) is no lap "
        "of its own.",
    )
    add_file_argument(parser)
