"""`corvex stints FILE`: the stints, the pit stops with the tyres read at each, and the fuel."""

from __future__ import annotations

import argparse
import json
import math
import re
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

from corvex.cli._common import add_command, add_file_argument, open_log

if TYPE_CHECKING:
    import pyarrow as pa

    from corvex.base import LogFile
    from corvex.fuel import FuelToFinish
    from corvex.units import Display

DESCRIPTION = (
    "Split the session at its pit stops and show each stint: its laps, the best, median and "
    "mean of its valid laps, their spread (standard deviation, best to median) and the fuel it "
    "used. Then each stop with the tyres the crew read in the stall (carcass temperatures and "
    "tread left, inner, middle and outer, and the pressures), and the fuel: the mean use of the "
    "valid laps and what it takes to finish the session from where the recording ends, with a "
    "margin. Parts whose channels the file lacks say so; the rest is shown."
)

_MARGIN = re.compile(r"^\s*([0-9]+(?:\.[0-9]*)?|\.[0-9]+)\s*(%|laps?)?\s*$", re.IGNORECASE)


@dataclass
class Margin:
    """The fuel margin: whole laps' worth, or a share of the fuel for the laps remaining."""

    laps: float = 1.0
    percent: float = 0.0


def parse_margin(text: str) -> Margin:
    """``"1"``, ``"1.5 laps"`` -> laps; ``"5%"`` -> percent."""
    match = _MARGIN.match(text)
    if not match:
        raise argparse.ArgumentTypeError(
            f"{text!r} is no margin: give laps (1, 1.5laps) or a percentage (5%)"
        )
    value = float(match.group(1))
    if match.group(2) == "%":
        return Margin(laps=0.0, percent=value)
    return Margin(laps=value)


@dataclass
class Report:
    """What ``corvex stints`` shows, gathered once for the text and the JSON."""

    log: LogFile
    stints: pa.Table
    stops: pa.Table | None
    tyres: pa.Table | None
    fuel_laps: pa.Table | None
    to_finish: FuelToFinish | None
    notes: list[str] = field(default_factory=list)


def gather(log: LogFile, margin: Margin) -> Report:
    """The stints, stops, tyres and fuel of ``log``; a part whose channels are missing is None
    and a note says what is missing."""
    from corvex.fuel import MissingChannelsError, fuel_to_finish, lap_fuel
    from corvex.pits import pit_stops, stop_rule
    from corvex.stints import stint_table
    from corvex.tyres import missing_tyre_channels, tyre_readings

    summary = log.lap_summary
    ranges = log.lap_record_ranges()
    notes: list[str] = []
    rule = stop_rule(log.channels)
    stops = fuel_laps = tyres = None
    to_finish = None
    try:
        stops = pit_stops(log.channels, summary, ranges)
    except MissingChannelsError as exc:
        notes.append(f"Pit stops: {exc}; each session is one stint")
    else:
        if rule:
            notes.append(f"Pit stops: {rule}")
    try:
        fuel_laps = lap_fuel(log.channels, summary, ranges)
        to_finish = fuel_to_finish(
            log.channels,
            summary,
            fuel_laps,
            log.session_info,
            margin_laps=margin.laps,
            margin_percent=margin.percent,
        )
    except MissingChannelsError as exc:
        notes.append(f"Fuel: {exc}")
    if stops is not None:
        try:
            tyres = tyre_readings(log.channels, stops)
        except MissingChannelsError as exc:
            notes.append(f"Tyres: {exc}")
        else:
            missing = missing_tyre_channels(log.channels)
            if missing:
                notes.append(f"Tyres: no {', '.join(missing)} in this file (shown as -)")
    stints = stint_table(log.channels, summary, ranges, stops=stops, fuel=fuel_laps)
    return Report(log, stints, stops, tyres, fuel_laps, to_finish, notes)


# -- units ------------------------------------------------------------------------------------


def _display(unit: str, system: str) -> Display:
    from corvex.units import display_unit

    return display_unit(unit, system)


def _unit_text(unit: str) -> str:
    return {"C": "°C", "F": "°F"}.get(unit, unit)


def _field_unit(table: pa.Table, name: str, default: str) -> str:
    meta = table.schema.field(name).metadata or {}
    return meta.get(b"units", b"").decode("utf-8", "replace") or default


# -- text -------------------------------------------------------------------------------------


def _time(seconds: float | None) -> str:
    from corvex.formatting import format_lap_time

    return "-" if seconds is None else format_lap_time(seconds)


def _number(value: float | None, digits: int, unit: str = "") -> str:
    if value is None or not math.isfinite(value):
        return "-"
    return f"{value:.{digits}f}" + (f" {unit}" if unit else "")


def _laps_text(first: int, last: int) -> str:
    return str(first) if first == last else f"{first}-{last}"


def _ended(stint: dict[str, Any], last: bool) -> str:
    if stint["stop"] is not None:
        return f"stop {stint['stop']}"
    return "recording end" if last else "session end"


def stint_lines(stints: pa.Table, system: str = "metric") -> list[str]:
    """One line per stint, as ``corvex info`` shows them under the laps."""
    rows = stints.to_pylist()
    if not rows:
        return ["Stints: none (no laps)"]
    fuel = _display(_field_unit(stints, "fuel_used", "l"), system)
    cells = []
    for n, stint in enumerate(rows):
        laps = _laps_text(stint["first_lap"], stint["last_lap"])
        row = [f"laps {laps} ({stint['laps']}, {stint['valid_laps']} valid)", "", "", ""]
        if stint["best"] is not None:
            row[1] = f"best {_time(stint['best'])}  median {_time(stint['median'])}"
            if stint["stdev"] is not None:
                row[2] = f"stdev {stint['stdev']:.3f} s"
        if stint["fuel_used"] is not None:
            row[3] = f"fuel {_number(fuel.apply(stint['fuel_used']), 2, fuel.unit)}"
        if stint["stop"] is not None:
            row.append(f"ended at stop {stint['stop']}")
        else:
            row.append("ran to the end" + ("" if n == len(rows) - 1 else " of its session"))
        cells.append(row)
    widths = [max(len(row[k]) for row in cells) for k in range(4)]
    lines = [f"Stints: {len(rows)}"]
    for stint, row in zip(rows, cells):
        parts = [text.ljust(width) for text, width in zip(row, widths) if width] + [row[4]]
        lines.append(f"  {stint['stint']:>2}  " + "  ".join(parts))
    return lines


def _table(header: list[str], rows: list[list[str]], left: int = 0) -> list[str]:
    """Columns right-aligned (the first ``left`` ones left-aligned), two spaces apart."""
    widths = [max(len(h), *(len(r[i]) for r in rows)) for i, h in enumerate(header)]

    def line(cells: list[str]) -> str:
        parts = [
            c.ljust(w) if i < left else c.rjust(w) for i, (c, w) in enumerate(zip(cells, widths))
        ]
        return ("  " + "  ".join(parts)).rstrip()

    return [line(header), *(line(r) for r in rows)]


def format_stints(report: Report, system: str = "metric") -> str:
    """The text of ``corvex stints``."""
    log = report.log
    lines = []
    track = log.metadata.get("track_display_name") or log.metadata.get("track_name")
    if track:
        length = log.metadata.get("track_length")
        lines += [f"{track}" + (f", {length}" if length else ""), ""]
    lines += _stint_section(report, system)
    lines += _stop_section(report, system)
    lines += _fuel_section(report, system)
    if report.notes:
        lines += ["", *report.notes]
    return "\n".join(lines).rstrip()


def _stint_section(report: Report, system: str) -> list[str]:
    rows = report.stints.to_pylist()
    stops = 0 if report.stops is None else report.stops.num_rows
    if not rows:
        return ["Stints: none (no laps)"]
    head = f"Stints: {len(rows)}"
    if report.stops is not None:
        head += ", no pit stop" if stops == 0 else f", {stops} pit stop{'' if stops == 1 else 's'}"
    fuel = _display(_field_unit(report.stints, "fuel_used", "l"), system)
    cells = []
    for n, s in enumerate(rows):
        cells.append(
            [
                str(s["stint"]),
                f"{_laps_text(s['first_lap'], s['last_lap'])} ({s['laps']})",
                str(s["valid_laps"]),
                _time(s["best"]),
                _time(s["median"]),
                _time(s["mean"]),
                _number(s["stdev"], 3),
                _number(s["best_to_median"], 3),
                _number(None if s["fuel_used"] is None else fuel.apply(s["fuel_used"]), 2),
                _number(None if s["fuel_per_lap"] is None else fuel.apply(s["fuel_per_lap"]), 3),
                _ended(s, n == len(rows) - 1),
            ]
        )
    header = [
        "stint",
        "laps",
        "valid",
        "best",
        "median",
        "mean",
        "stdev",
        "med-best",
        f"fuel {fuel.unit}",
        f"{fuel.unit}/lap",
        "ended by",
    ]
    note = "  lap times and fuel per lap over the valid laps of each stint; stdev, med-best in s"
    return [head, *_table(header, cells), note]


def _stop_section(report: Report, system: str) -> list[str]:
    stops = report.stops
    if stops is None or stops.num_rows == 0:
        return []
    fuel = _display(_field_unit(stops, "fuel_added", "l"), system)
    cells = [
        [
            str(s["stop"]),
            "-" if s["lap"] is None else str(s["lap"]),
            _time(s["pit_in"] / 1000.0),
            _number(s["pit_road_time"], 1),
            _number(s["stall_time"], 1),
            _number(None if s["fuel_added"] is None else fuel.apply(s["fuel_added"]), 2),
            _number(None if s["fuel_after"] is None else fuel.apply(s["fuel_after"]), 2),
        ]
        for s in stops.to_pylist()
    ]
    header = [
        "stop",
        "lap",
        "pit in at",
        "pit road s",
        "in stall s",
        f"added {fuel.unit}",
        f"after {fuel.unit}",
    ]
    lines = ["", "Pit stops", *_table(header, cells)]
    if report.tyres is not None:
        lines += _tyre_section(report.tyres, stops, system)
    return lines


def _tyre_section(tyres: pa.Table, stops: pa.Table, system: str) -> list[str]:
    temp = _display(_field_unit(tyres, "temp_inner", "C"), system)
    pressure = _display(_field_unit(tyres, "pressure", "kPa"), system)
    wear = _display("%", system)
    by_stop: dict[int, list[dict[str, Any]]] = {}
    for row in tyres.to_pylist():
        by_stop.setdefault(row["stop"], []).append(row)
    laps = dict(zip(stops.column("stop").to_pylist(), stops.column("lap").to_pylist()))
    lines: list[str] = []
    for stop, corners in by_stop.items():
        where = f"Tyres at stop {stop}" + (f", lap {laps[stop]}" if laps.get(stop) else "")
        read_at = corners[0]["read_at"]
        if read_at is None:
            lines += ["", f"{where}: no new reading (the values did not change in the stall)"]
            continue
        lines += ["", f"{where}, read at {_time(read_at / 1000.0)}"]
        cells = []
        for c in corners:
            # Empty cells between the groups set them apart.
            row = [c["corner"]]
            row += [_scaled(temp, c[f"temp_{side}"], 1) for side in ("inner", "middle", "outer")]
            row += [""] + [
                _scaled(wear, c[f"wear_{side}"], 1) for side in ("inner", "middle", "outer")
            ]
            row += [
                "",
                _scaled(pressure, c["pressure"], 1),
                _scaled(pressure, c["cold_pressure"], 1),
            ]
            cells.append(row)
        header = ["", "in", "mid", "out", "", "in", "mid", "out", "", "hot", "cold"]
        table = _table(header, cells, left=1)
        # A line above the header names the groups, each over the columns it spans.
        groups = [(1, 4, f"carcass {_unit_text(temp.unit)}"), (5, 8, "tread left %")]
        groups.append((9, 11, f"pressure {pressure.unit}"))
        lines += [_group_line(table[0], header, groups), *table]
    return lines


def _group_line(row: str, cells: list[str], groups: list[tuple[int, int, str]]) -> str:
    """A line with each group's title centred over the cells ``[first, stop)`` of ``row``, a
    table line of :func:`_table` made of ``cells``."""
    spans = []
    at = 0
    for cell in cells:  # where each (right-aligned) cell ends in the line
        at = row.index(cell, at) + len(cell) if cell else at
        spans.append(at)
    line = ""
    for first, stop, title in groups:
        start = spans[first - 1] + 2
        width = spans[stop - 1] - start
        line = line.ljust(start) + title.center(width).rstrip()
    return line


def _scaled(display: Display, value: float | None, digits: int) -> str:
    return _number(None if value is None else display.apply(value), digits)


def _fuel_section(report: Report, system: str) -> list[str]:
    finish = report.to_finish
    if finish is None:
        return []
    fuel = _display(finish.unit, system)

    def amount(value: float | None, digits: int = 2) -> str:
        return _number(None if value is None else fuel.apply(value), digits, fuel.unit)

    lines = ["", "Fuel"]
    if finish.per_lap is None:
        lines.append("  per lap:     - (no valid lap)")
    else:
        noun = "lap" if finish.valid_laps == 1 else "laps"
        lines.append(
            f"  per lap:     {amount(finish.per_lap, 3)}, the mean of {finish.valid_laps} "
            f"valid {noun}"
        )
    where = ""
    if finish.laps_completed is not None:
        where = f", {finish.laps_completed} laps completed"
        if finish.lap_fraction is not None:
            where += f" and {100 * finish.lap_fraction:.0f} % of the next"
    lines.append(f"  in the tank: {amount(finish.fuel_in_tank)} at the end of the recording{where}")
    lines.append(f"  session:     {_length_text(finish)}")
    if finish.fuel_needed is None or finish.laps_remaining is None:
        lines.append(f"  to finish:   - ({finish.reason})")
        return lines
    if finish.margin_percent:
        margin = f"{finish.margin_percent:g} %"
    else:
        margin = f"{finish.margin_laps:g} lap" + ("" if finish.margin_laps == 1 else "s")
    bare = None if finish.per_lap is None else finish.per_lap * finish.laps_remaining
    lines.append(
        f"  to finish:   {finish.laps_remaining:.2f} laps to go: {amount(bare)}, "
        f"{amount(finish.fuel_needed)} with a margin of {margin}"
    )
    if finish.fuel_to_add is not None:
        add = f"  to add:      {amount(finish.fuel_to_add)}"
        if finish.stops is not None and finish.tank is not None:
            tank = amount(finish.tank, 1)
            if finish.stops == 0:
                add += " (no stop needed)"
            else:
                plural = "" if finish.stops == 1 else "s"
                add += f" ({finish.stops} stop{plural}, the tank holds {tank})"
        lines.append(add)
    return lines


def _length_text(finish: FuelToFinish) -> str:
    from corvex.formatting import format_lap_time

    name = finish.session_type or "session"
    if finish.session_num is not None:
        name += f" (session {finish.session_num})"
    parts = []
    if finish.laps_limit is not None:
        parts.append(f"{finish.laps_limit} laps")
    if finish.time_limit is not None:
        text = format_lap_time(finish.time_limit)
        if finish.time_left is not None:
            text += f", {format_lap_time(max(finish.time_left, 0.0))} left at the end"
        parts.append(text)
    if finish.laps_limit is None and finish.time_limit is None and finish.reason:
        return (
            f"{name}, length unknown" if "unlimited" not in finish.reason else f"{name}, unlimited"
        )
    return f"{name}, " + (" or ".join(parts) if parts else "length unknown")


# -- JSON -------------------------------------------------------------------------------------


def report_json(report: Report, system: str = "metric") -> dict[str, Any]:
    """The report as plain values: times in seconds, fuel, temperatures and pressures in the
    units of ``system`` (named under "units"), the tread left as a fraction."""
    finish = report.to_finish
    fuel = _display(finish.unit if finish else "l", system)
    temp = _display("C", system)
    pressure = _display("kPa", system)

    def convert(rows: list[dict[str, Any]], how: dict[str, Display]) -> list[dict[str, Any]]:
        for row in rows:
            for key, value in row.items():
                kind = next((d for prefix, d in how.items() if key.startswith(prefix)), None)
                if kind is not None and isinstance(value, float):
                    row[key] = _finite(kind.apply(value))
                elif isinstance(value, float):
                    row[key] = _finite(value)
        return rows

    ms = ("start_time", "end_time", "pit_in", "pit_out", "stall_in", "stall_out", "read_at")

    def seconds(rows: list[dict[str, Any]]) -> list[dict[str, Any]]:
        for row in rows:
            for key in ms:
                if row.get(key) is not None:
                    row[key] = row[key] / 1000.0
            for key in ("first_record", "stop_record", "stall_first_record", "stall_stop_record"):
                row.pop(key, None)
        return rows

    out: dict[str, Any] = {
        "file": report.log.source,
        "units": {
            "fuel": fuel.unit,
            "temperature": temp.unit,
            "pressure": pressure.unit,
            "time": "s",
        },
        "stints": convert(seconds(report.stints.to_pylist()), {"fuel_": fuel}),
        "stops": None
        if report.stops is None
        else convert(seconds(report.stops.to_pylist()), {"fuel_": fuel}),
        "tyres": None
        if report.tyres is None
        else convert(
            seconds(report.tyres.to_pylist()),
            {"temp_": temp, "pressure": pressure, "cold_pressure": pressure},
        ),
        "fuel_laps": None
        if report.fuel_laps is None
        else convert(report.fuel_laps.to_pylist(), {"fuel_": fuel}),
        "fuel_to_finish": None,
        "notes": report.notes,
    }
    if finish is not None:
        values = finish.as_dict()
        for key in ("per_lap", "fuel_in_tank", "fuel_needed", "fuel_to_add", "tank"):
            if values[key] is not None:
                values[key] = _finite(fuel.apply(values[key]))
        values["unit"] = fuel.unit
        out["fuel_to_finish"] = values
    return out


def _finite(value: float) -> float | None:
    return value if math.isfinite(value) else None


# -- the command ------------------------------------------------------------------------------


def cmd_stints(args: argparse.Namespace) -> None:
    log = open_log(args)
    report = gather(log, args.margin)
    if args.json:
        text = json.dumps(
            report_json(report, args.units), indent=2, ensure_ascii=False, allow_nan=False
        )
        print(text)
    else:
        print(format_stints(report, args.units))


def register(sub: Any) -> None:
    """Add the `stints` command to the subparsers `sub`."""
    parser = add_command(
        sub,
        "stints",
        cmd_stints,
        summary="stints, pit stops with their tyres, fuel per lap and to finish",
        description=DESCRIPTION,
    )
    add_file_argument(parser)
    parser.add_argument(
        "--json",
        action="store_true",
        help="print everything as one JSON object (times in seconds, the tread left as a "
        "fraction, per-lap fuel included)",
    )
    parser.add_argument(
        "--units",
        choices=("metric", "imperial"),
        default="metric",
        help="litres, °C and kPa as the file stores them (metric, default), or US gallons, "
        "°F and psi (imperial)",
    )
    parser.add_argument(
        "--margin",
        type=parse_margin,
        default=Margin(),
        metavar="MARGIN",
        help="fuel to keep in hand at the finish: laps (1, 1.5laps; default 1 lap) or a share "
        "of the fuel for the laps remaining (5%%)",
    )
