"""`corvex plot FILE --channels A,B -o OUT.png`: channels against time or lap distance."""

from __future__ import annotations

import argparse
from typing import TYPE_CHECKING, Any

import corvex
from corvex.cli._common import CliError, add_lap_options, parse_names, pick_lap

if TYPE_CHECKING:
    from corvex.base import LogFile

# Plot size in pixels: PLOT_WIDTH wide, PLOT_MARGIN plus PLOT_PANEL per channel high.
PLOT_DPI = 100
PLOT_WIDTH = 1200
PLOT_MARGIN = 100
PLOT_PANEL = 250

_LENGTH_UNITS = {"km": 1000.0, "m": 1.0, "mi": 1609.344}


def cmd_plot(args: argparse.Namespace) -> None:
    plt = _pyplot()
    names = parse_names(args.channels) or []
    if args.vs_lap is not None and args.lap is None:
        raise CliError("--vs-lap needs --lap: it compares two laps")
    if args.session is not None and args.lap is None:
        raise CliError("--session needs --lap: it picks which lap N to take")
    if args.vs_session is not None and args.vs_lap is None:
        raise CliError("--vs-session needs --vs-lap: it picks which lap M to take")
    x_axis = args.x or ("distance" if args.vs_lap is not None else "time")
    log = corvex.open(args.file)
    log.to_table(names)  # checks the names before anything is drawn
    runs = _plot_runs(log, (args.lap, args.session), (args.vs_lap, args.vs_session), x_axis)
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
    log: LogFile,
    lap: tuple[int | None, int | None],
    vs_lap: tuple[int | None, int | None],
    x_axis: str,
) -> list[tuple[str, LogFile]]:
    """The pieces of the session to draw, each with its legend label.

    ``lap`` and ``vs_lap`` are (lap number, session) as given on the command line.
    """
    if lap[0] is not None:
        runs = [(_lap_label(lap), pick_lap(log, lap[0], lap[1]))]
        if vs_lap[0] is not None:
            runs.append((_lap_label(vs_lap), pick_lap(log, vs_lap[0], vs_lap[1], "--vs-session")))
        return runs
    if x_axis == "distance" and log.laps.num_rows:
        nums = log.laps.column("num").to_pylist()
        return [(f"lap {nums[row]}", log.lap_at(row)) for row in range(log.laps.num_rows)]
    return [("session", log)]


def _lap_label(lap: tuple[int | None, int | None]) -> str:
    return f"lap {lap[0]}" + ("" if lap[1] is None else f" (session {lap[1]})")


def plot_runs(
    plt: Any,
    log: LogFile,
    runs: list[tuple[str, LogFile]],
    names: list[str],
    x_axis: str,
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
                xs,
                ys,
                label=label,
                linewidth=1.0,
                drawstyle="steps-post" if steps else "default",
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


def register(sub: Any) -> None:
    """Add the `plot` command to the subparsers `sub`."""
    parser = sub.add_parser(
        "plot",
        help="plot channels against time or lap distance",
        description="Draw one panel per channel. With --vs-lap the two laps are overlaid, "
        "against lap distance unless --x time is given. Needs matplotlib "
        "(pip install 'corvex[plot]').",
    )
    parser.add_argument("file", metavar="FILE", help="IBT file")
    parser.add_argument("--channels", metavar="A,B", required=True, help="channels to plot")
    add_lap_options(parser, "only lap N")
    parser.add_argument("--vs-lap", metavar="M", type=int, help="overlay lap M (needs --lap)")
    parser.add_argument(
        "--vs-session",
        metavar="S",
        type=int,
        help="the lap M of session S, when M occurs in more than one session",
    )
    parser.add_argument(
        "--x",
        choices=("time", "distance"),
        help="x axis (default: time; distance with --vs-lap)",
    )
    parser.add_argument("-o", "--output", metavar="OUT.png", required=True, help="image file")
    parser.set_defaults(run=cmd_plot)
