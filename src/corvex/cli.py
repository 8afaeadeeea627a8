"""The ``corvex`` command line: look at an IBT file, list its channels, export and plot them.

Every command that reads a file reports a problem with it (missing, unreadable, not an IBT
file, unknown channel or lap) as one line on standard error and exits with status 1.
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
from collections import Counter
from collections.abc import Callable, Sequence
from datetime import UTC, datetime
from pathlib import Path
from typing import Any

import corvex
from corvex.base import LogFile, format_lap_time

PROG = "corvex"

EXPORT_FORMATS = {
    ".parquet": "parquet",
    ".pq": "parquet",
    ".feather": "feather",
    ".arrow": "feather",
    ".ipc": "feather",
    ".csv": "csv",
}

# Plot size in pixels: PLOT_WIDTH wide, PLOT_MARGIN plus PLOT_PANEL per channel high.
PLOT_DPI = 100
PLOT_WIDTH = 1200
PLOT_MARGIN = 100
PLOT_PANEL = 250

_LENGTH_UNITS = {"km": 1000.0, "m": 1.0, "mi": 1609.344}


INFO_DESCRIPTION = (
    "Show the track, car, series and session ids, start date, duration, record count, tick "
    "rate, channel count by type, and the laps with lap times, types and sessions."
)


class CliError(Exception):
    """A problem to report on one line, without a traceback."""


# ---------------------------------------------------------------------------------------------
# info


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
    lines = [f"Laps: {log.laps.num_rows}", "  lap  session  type         start    lap time"]
    for row, lap in enumerate(log.lap_summary.to_pylist()):
        mark = "  fastest" if row == fastest else ""
        lines.append(
            f"  {lap['num']:>3}  {lap['session']:>7}  {lap['lap_type']:<10}"
            f" {format_lap_time(lap['start_time'] / 1000):>9}"
            f"  {format_lap_time(lap['lap_time']):>9}{mark}"
        )
    return lines


# ---------------------------------------------------------------------------------------------
# channels


def cmd_channels(args: argparse.Namespace) -> None:
    log = corvex.open(args.file)
    rows = channel_rows(log, args.grep)
    if not rows:
        print(f"no channel matches {args.grep!r}" if args.grep else "no channels")
        return
    header = ("name", "type", "unit", "description")
    widths = [max(len(r[i]) for r in [header, *rows]) for i in range(3)]
    for row in [header, *rows]:
        print("  ".join(f"{row[i]:<{widths[i]}}" for i in range(3)) + "  " + row[3])


def channel_rows(log: LogFile, grep: str | None = None) -> list[tuple[str, str, str, str]]:
    """(name, type, unit, description) of every channel whose name or description has ``grep``."""
    needle = (grep or "").casefold()
    rows = []
    for name, table in log.channels.items():
        field = table.schema.field(1)
        meta = field.metadata or {}
        unit = meta.get(b"units", b"").decode("utf-8", "replace")
        desc = meta.get(b"desc", b"").decode("utf-8", "replace")
        if needle in name.casefold() or needle in desc.casefold():
            rows.append((name, str(field.type), unit, desc))
    return rows


# ---------------------------------------------------------------------------------------------
# export


def cmd_export(args: argparse.Namespace) -> None:
    out = Path(args.output)
    kind = EXPORT_FORMATS.get(out.suffix.lower())
    if kind is None:
        known = ", ".join(sorted(EXPORT_FORMATS))
        raise CliError(f"cannot tell the format of {out}: use one of {known}")
    log = corvex.open(args.file)
    if args.lap is not None:
        log = log.lap(args.lap)
    table = log.to_table(_names(args.channels))
    write_table(table, out, kind)
    print(f"wrote {table.num_rows} rows x {table.num_columns - 1} channels to {out}")


def write_table(table: Any, out: Path, kind: str) -> None:
    """Write ``table`` as Parquet, Feather or CSV; field metadata survives the first two."""
    if kind == "parquet":
        import pyarrow.parquet as pq

        pq.write_table(table, out)
    elif kind == "feather":
        import pyarrow.feather as feather

        feather.write_feather(table, out)
    else:
        import pyarrow.csv as csv

        csv.write_csv(table, out)


def _names(text: str | None) -> list[str] | None:
    if text is None:
        return None
    names = [name.strip() for name in text.split(",") if name.strip()]
    if not names:
        raise CliError("--channels names no channel")
    return names


# ---------------------------------------------------------------------------------------------
# plot


def cmd_plot(args: argparse.Namespace) -> None:
    plt = _pyplot()
    names = _names(args.channels) or []
    if args.vs_lap is not None and args.lap is None:
        raise CliError("--vs-lap needs --lap: it compares two laps")
    x_axis = args.x or ("distance" if args.vs_lap is not None else "time")
    log = corvex.open(args.file)
    log.to_table(names)  # checks the names before anything is drawn
    runs = _plot_runs(log, args.lap, args.vs_lap, x_axis)
    figure = plot_runs(plt, log, runs, names, x_axis)
    try:
        figure.savefig(args.output, dpi=PLOT_DPI)
    finally:
        plt.close(figure)
    print(f"wrote {args.output}")


def _pyplot() -> Any:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        raise CliError(
            "corvex plot needs matplotlib, which is not installed: pip install 'corvex[plot]'"
        ) from None
    return plt


def _plot_runs(
    log: LogFile, lap: int | None, vs_lap: int | None, x_axis: str
) -> list[tuple[str, LogFile]]:
    """The pieces of the session to draw, each with its legend label."""
    if lap is not None:
        runs = [(f"lap {lap}", log.lap(lap))]
        if vs_lap is not None:
            runs.append((f"lap {vs_lap}", log.lap(vs_lap)))
        return runs
    if x_axis == "distance" and log.laps.num_rows:
        nums = log.laps.column("num").to_pylist()
        return [(f"lap {nums[row]}", log.lap_at(row)) for row in range(log.laps.num_rows)]
    return [("session", log)]


def plot_runs(
    plt: Any, log: LogFile, runs: list[tuple[str, LogFile]], names: list[str], x_axis: str
) -> Any:
    """One panel per channel, every run drawn in each panel; returns the figure."""
    height = PLOT_MARGIN + PLOT_PANEL * len(names)
    figure, axes = plt.subplots(
        len(names),
        1,
        sharex=True,
        squeeze=False,
        figsize=(PLOT_WIDTH / PLOT_DPI, height / PLOT_DPI),
        dpi=PLOT_DPI,
    )
    x_label = ""
    for label, run in runs:
        xs, x_label = _x_values(run, x_axis, relative=len(runs) > 1 or run is not log)
        for ax, name in zip(axes[:, 0], names):
            field = run[name].schema.field(1)
            steps = (field.metadata or {}).get(b"interpolate") == b"False"
            ys = run[name].column(1).to_numpy()
            ax.plot(
                xs, ys, label=label, linewidth=1.0, drawstyle="steps-post" if steps else "default"
            )
    for ax, name in zip(axes[:, 0], names):
        unit = (
            (log[name].schema.field(1).metadata or {}).get(b"units", b"").decode("utf-8", "replace")
        )
        ax.set_ylabel(f"{name} [{unit}]" if unit else name)
        ax.grid(True, alpha=0.3)
    axes[-1, 0].set_xlabel(x_label)
    if len(runs) > 1:
        axes[0, 0].legend(loc="upper right", fontsize="small", ncol=min(len(runs), 6))
    title = log.metadata.get("track_display_name") or log.metadata.get("track_name") or log.source
    what = " vs ".join(label for label, _ in runs) if len(runs) <= 2 else f"{len(runs)} laps"
    figure.suptitle(f"{title}: {what}")
    figure.tight_layout()
    return figure


def _x_values(run: LogFile, x_axis: str, relative: bool) -> tuple[Any, str]:
    if x_axis == "time":
        times = run.timecodes.to_numpy() / 1000.0
        if relative and len(times):
            return times - times[0], "time in lap (s)"
        return times, "session time (s)"
    if "LapDist" in run:
        return run["LapDist"].column(1).to_numpy(), "lap distance (m)"
    if "LapDistPct" in run:
        fraction = run["LapDistPct"].column(1).to_numpy()
        metres = _track_metres(run.metadata.get("track_length", ""))
        if metres:
            return fraction * metres, "lap distance (m)"
        return fraction * 100.0, "lap distance (%)"
    raise CliError("the file has no LapDist or LapDistPct channel to plot against distance")


def _track_metres(text: str) -> float | None:
    """ "4.32 km" -> 4320.0; None when the text is not a number with a known unit."""
    parts = text.split()
    if len(parts) != 2 or parts[1] not in _LENGTH_UNITS:
        return None
    try:
        return float(parts[0]) * _LENGTH_UNITS[parts[1]]
    except ValueError:
        return None


# ---------------------------------------------------------------------------------------------
# demo


def cmd_demo(args: argparse.Namespace) -> None:
    from corvex.writer import write_sample

    path = Path(args.output) if args.output else Path(tempfile.gettempdir()) / "corvex-sample.ibt"
    write_sample(path)
    print(f"Wrote the bundled sample session to {path}\n")
    print(format_info(corvex.open(str(path))))
    print(
        "\nNext: corvex channels {0} --grep speed\n"
        "      corvex export {0} -o sample.parquet --lap 2\n"
        "      corvex plot {0} --channels Speed,Throttle,Brake --lap 2 --vs-lap 3 -o laps.png".format(
            path
        )
    )


# ---------------------------------------------------------------------------------------------
# entry point


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Read iRacing IBT telemetry files: inspect, list channels, export, plot.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {corvex.__version__}")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    info = sub.add_parser("info", help="the session at a glance", description=INFO_DESCRIPTION)
    info.add_argument("file", metavar="FILE", help="IBT file")
    info.set_defaults(run=cmd_info)

    channels = sub.add_parser(
        "channels",
        help="name, type, unit and description of every channel",
        description="List the name, type, unit and description of every channel.",
    )
    channels.add_argument("file", metavar="FILE", help="IBT file")
    channels.add_argument(
        "--grep", metavar="TEXT", help="only channels whose name or description contains TEXT"
    )
    channels.set_defaults(run=cmd_channels)

    export = sub.add_parser(
        "export",
        help="write channels as one Parquet, Feather or CSV table",
        description="Write one wide table (timecodes and one column per channel). The format "
        "follows the extension of OUT: .parquet/.pq, .feather/.arrow/.ipc or .csv. Parquet and "
        "Feather keep each channel's unit and description in the field metadata.",
    )
    export.add_argument("file", metavar="FILE", help="IBT file")
    export.add_argument("-o", "--output", metavar="OUT", required=True, help="output file")
    export.add_argument("--channels", metavar="A,B,...", help="channels to write (default: all)")
    export.add_argument("--lap", metavar="N", type=int, help="only the records of lap N")
    export.set_defaults(run=cmd_export)

    plot = sub.add_parser(
        "plot",
        help="plot channels against time or lap distance",
        description="Draw one panel per channel. With --vs-lap the two laps are overlaid, "
        "against lap distance unless --x time is given. Needs matplotlib "
        "(pip install 'corvex[plot]').",
    )
    plot.add_argument("file", metavar="FILE", help="IBT file")
    plot.add_argument("--channels", metavar="A,B", required=True, help="channels to plot")
    plot.add_argument("--lap", metavar="N", type=int, help="only lap N")
    plot.add_argument("--vs-lap", metavar="M", type=int, help="overlay lap M (needs --lap)")
    plot.add_argument(
        "--x",
        choices=("time", "distance"),
        help="x axis (default: time; distance with --vs-lap)",
    )
    plot.add_argument("-o", "--output", metavar="OUT.png", required=True, help="image file")
    plot.set_defaults(run=cmd_plot)

    demo = sub.add_parser(
        "demo",
        help="write the bundled sample session and show its info",
        description="Write the bundled sample session (a short made-up recording) and run "
        "`corvex info` on it.",
    )
    demo.add_argument(
        "-o",
        "--output",
        metavar="PATH",
        help="where to write the sample (default: corvex-sample.ibt in the temp directory)",
    )
    demo.set_defaults(run=cmd_demo)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit status."""
    args = build_parser().parse_args(argv)
    run: Callable[[argparse.Namespace], None] = args.run
    try:
        run(args)
        sys.stdout.flush()
    except KeyboardInterrupt:
        return 130
    except (SystemExit, GeneratorExit):
        raise
    except BrokenPipeError:
        # The reader of our output went away (e.g. `| head`); stop quietly.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
    except BaseException as exc:  # noqa: BLE001 - includes the extension's PanicException
        print(f"{PROG}: error: {error_text(exc)}", file=sys.stderr)
        return 1
    return 0


def error_text(exc: BaseException) -> str:
    """One line describing ``exc`` for a user."""
    if isinstance(exc, KeyError) and exc.args:
        text = str(exc.args[0])
    else:
        text = str(exc)
    if not isinstance(exc, (CliError, OSError, RuntimeError, ValueError, KeyError, ImportError)):
        text = f"{type(exc).__name__}: {text}" if text else type(exc).__name__
    return " ".join(text.split()) or type(exc).__name__
