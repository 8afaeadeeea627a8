"""`corvex corners FILE[:LAP[:SESSION]] REF[:LAP[:SESSION]] [--json]`: where a lap gains and
loses time, corner by corner, against a reference lap.

Both laps are put on the track model of FILE's session (the line of its valid laps), so a
reference from another file of the same track, or a lap saved as Parquet, lines up by position.
The table shows each corner and each straight in driving order with the time gained or lost,
the braking points, the slowest speed and where the throttle came back; the biggest losses
are then said in words.
"""

from __future__ import annotations

import argparse
import json
import math
import sys
from pathlib import Path
from typing import Any

from corvex.cli._common import (
    CliError,
    LapChoice,
    add_command,
    add_lap_pair,
    add_units_option,
)

# Losses smaller than this (s) are not worth a sentence.
_WORTH_SAYING = 0.05


def cmd_corners(args: argparse.Namespace) -> None:
    table, lap, ref = corner_comparison(args)
    if args.json:
        json.dump(_as_json(table, lap.label, ref.label), sys.stdout, indent=1)
        print()
        return
    print(format_corners(table, lap.label, ref.label, args.units, _track_title(lap)))


def corner_comparison(args: argparse.Namespace) -> tuple[Any, LapChoice, LapChoice]:
    """The corner table of ``args.lap`` against ``args.reference`` on FILE's track model."""
    from corvex.corner_analysis import corner_table, lap_table

    opened: dict[str, Any] = {}
    lap = LapChoice(args.lap, opened, args)
    ref = LapChoice(args.reference, opened, args, "--vs-session")
    if lap.log is None:
        raise CliError(f"{lap.path}: the lap to compare must come from an IBT file")
    if lap.path != ref.path:
        lap.label = f"{Path(lap.path).name} {lap.label}"
        ref.label = f"{Path(ref.path).name} {ref.label}"
    track = session_model(lap.log, lap.path)
    try:
        table = corner_table(lap_table(lap.source), lap_table(ref.source), track)
    except ValueError as exc:
        raise CliError(str(exc)) from None
    return table, lap, ref


def session_model(log: Any, path: str) -> Any:
    """The track model of the whole file ``log``, or a one-line error saying why there is none."""
    try:
        return log.track
    except ValueError as exc:
        raise CliError(f"{path}: {exc}") from None


def _track_title(lap: LapChoice) -> str:
    meta = lap.log.metadata
    return str(meta.get("track_display_name") or meta.get("track_name") or lap.path)


def _as_json(table: Any, label: str, ref_label: str) -> dict[str, Any]:
    meta = table.schema.metadata or {}

    def number(key: bytes) -> float | None:
        value = float(meta.get(key, b"nan"))
        return value if math.isfinite(value) else None

    return {
        "lap": label,
        "reference": ref_label,
        "lap_time": number(b"corvex.lap_time"),
        "reference_lap_time": number(b"corvex.reference_lap_time"),
        "units": {"distance": "m", "speed": "m/s", "time": "s"},
        "zones": table.to_pylist(),
    }


def format_corners(table: Any, label: str, ref_label: str, units: str, title: str) -> str:
    """The corner table as text for a racer: speeds in km/h (or mph), distances in metres."""
    from corvex.formatting import format_lap_time
    from corvex.units import display_unit

    speed = display_unit("m/s", units)
    meta = table.schema.metadata or {}
    lap_time = float(meta.get(b"corvex.lap_time", b"nan"))
    ref_time = float(meta.get(b"corvex.reference_lap_time", b"nan"))
    head = f"{title}: {label} against {ref_label}"
    if math.isfinite(lap_time) and math.isfinite(ref_time):
        head += (
            f": {format_lap_time(lap_time)} vs {format_lap_time(ref_time)},"
            f" {lap_time - ref_time:+.3f} s"
        )
    unit = speed.unit
    columns = (
        ("zone", 12),
        ("metres", 11),
        ("delta s", 8),
        ("brake at m", 13),
        (f"min {unit}", 13),
        ("min at m", 11),
        ("throttle m", 11),
        (f"exit {unit}", 13),
    )
    lines = [head, "", "  ".join(f"{name:>{width}}" for name, width in columns)]
    lines.append("  ".join("-" * width for _, width in columns))
    for row in table.to_pylist():
        name = row["name"] + (f" {row['direction'][0].upper()}" if row["direction"] else "")
        cells = [
            f"{name:>12}",
            f"{row['start']:>5.0f}-{row['end']:<5.0f}",
            _signed(row["delta"], 8),
            _pair(row, "braking_point", 13, "{:.0f}", suffix=_lift_mark),
            _pair(row, "min_speed", 13, "{:.1f}", scale=speed.apply),
            _pair(row, "min_speed_at", 11, "{:.0f}"),
            _pair(row, "throttle_on", 11, "{:.0f}"),
            _pair(row, "exit_speed", 13, "{:.1f}", scale=speed.apply),
        ]
        lines.append("  ".join(cells).rstrip())
    lines.append("")
    lines.append("each figure: this lap / the reference; L after a braking point: a lift, no brake")
    said = advice(table, units)
    if said:
        lines.append("")
        lines.extend(said)
    return "\n".join(lines)


def _signed(value: float | None, width: int) -> str:
    if value is None:
        return f"{'-':>{width}}"
    if abs(value) < 0.0005:  # no "-0.000": a zone that neither gains nor loses
        return f"{'0.000':>{width}}"
    return f"{value:>+{width}.3f}"


def _lift_mark(row: dict[str, Any], key: str) -> str:
    kind = row.get(key.replace("braking_point", "braking"))
    return "L" if kind == "lift" else ""


def _pair(
    row: dict[str, Any],
    key: str,
    width: int,
    fmt: str,
    scale: Any = None,
    suffix: Any = None,
) -> str:
    if row["kind"] != "corner":
        return " " * width
    texts = []
    for name in (key, f"reference_{key}"):
        value = row[name]
        if value is None:
            texts.append("-")
            continue
        text = fmt.format(scale(value) if scale else value)
        texts.append(text + (suffix(row, name) if suffix else ""))
    return f"{texts[0] + ' / ' + texts[1]:>{width}}"


def advice(table: Any, units: str = "metric") -> list[str]:
    """The three corners where the lap loses most, each said in one sentence that names what
    costs the time, in metres and the speed unit of ``units``: braking (or lifting) earlier, a
    lower slowest speed, a later throttle pick-up, a slower exit than the slowest speed
    explains. What the lap does better there (braking later, getting back on the throttle
    earlier because it braked earlier) is no cause of a loss and is not said."""
    from corvex.units import display_unit

    speed = display_unit("m/s", units)
    rows = [
        r
        for r in table.to_pylist()
        if r["kind"] == "corner" and r["delta"] is not None and r["delta"] >= _WORTH_SAYING
    ]
    rows.sort(key=lambda r: -r["delta"])
    out = []
    for row in rows[:3]:
        causes = []
        early = _gap(row, "braking_point", reverse=True)
        if early is not None and early >= 3.0:
            word = "brake" if row["braking"] == "brake" else "lift"
            causes.append(f"{word} {early:.0f} m earlier")
        slower = _gap(row, "min_speed", reverse=True, scale=speed.apply)
        if slower is not None and slower >= 1.0:
            causes.append(f"carry {slower:.0f} {speed.unit} less through the slowest point")
        late = _gap(row, "throttle_on")
        if late is not None and late >= 5.0:
            causes.append(f"get back on the throttle {late:.0f} m later")
        exit_loss = _gap(row, "exit_speed", reverse=True, scale=speed.apply)
        if exit_loss is not None and exit_loss - max(slower or 0.0, 0.0) >= 1.0:
            causes.append(f"leave it {exit_loss:.0f} {speed.unit} slower")
        why = ": you " + _joined(causes) if causes else ""
        out.append(f"you lose {row['delta']:.2f} s in turn {row['corner']}{why}")
    return out


def _gap(row: dict[str, Any], key: str, reverse: bool = False, scale: Any = None) -> float | None:
    """This lap's figure ``key`` less the reference's (the reference's less this lap's with
    ``reverse``), in display units through ``scale``; None when either lap has none."""
    mine, theirs = row[key], row[f"reference_{key}"]
    if mine is None or theirs is None:
        return None
    if scale is not None:
        mine, theirs = float(scale(mine)), float(scale(theirs))
    return float(theirs - mine) if reverse else float(mine - theirs)


def _joined(parts: list[str]) -> str:
    """``a``, ``a and b``, ``a, b and c``."""
    return parts[0] if len(parts) == 1 else ", ".join(parts[:-1]) + " and " + parts[-1]


def register(sub: Any) -> None:
    """Add the `corners` command to the subparsers `sub`."""
    parser = add_command(
        sub,
        "corners",
        cmd_corners,
        summary="time gained and lost corner by corner against a reference lap",
        description="Put a lap and a reference lap on the track line of FILE's session (from "
        "the positions of its valid laps) and show, corner by corner and straight by straight, "
        "the time gained or lost, where each lap braked, its slowest speed and where it got "
        "back on the throttle. LAP defaults to the fastest valid lap. REF may be another file "
        "of the same track or a lap saved as Parquet (corvex export FILE --lap N -o "
        "ref.parquet).",
    )
    add_lap_pair(parser)
    add_units_option(parser)
    parser.add_argument(
        "--json", action="store_true", help="print the table as JSON (SI units) instead"
    )
