"""`corvex plot FILE --channels A,B -o OUT.png`: channels against time or lap distance."""

from __future__ import annotations

import argparse
from typing import TYPE_CHECKING, Any

from corvex.cli._common import (
    CliError,
    add_command,
    add_file_argument,
    add_image_output,
    add_lap_options,
    add_units_option,
    open_log,
    parse_names,
    pick_lap,
    require_lap,
)

if TYPE_CHECKING:
    from corvex.base import LogFile

# Plot size in pixels: PLOT_WIDTH wide, PLOT_MARGIN plus PLOT_PANEL per channel high.
PLOT_DPI = 100
PLOT_WIDTH = 1200
PLOT_MARGIN = 100
PLOT_PANEL = 250


_NO_DISTANCE = "the file has no LapDist or LapDistPct channel to plot against distance"

# Resolution of the distance grid that laps are drawn on, in metres.
PLOT_STEP = 1.0


def cmd_plot(args: argparse.Namespace) -> None:
    plt = _pyplot()
    names = parse_names(args.channels) or []
    if args.vs_lap is not None and args.lap is None:
        raise CliError("--vs-lap needs --lap: it compares two laps")
    require_lap(args)
    if args.vs_session is not None and args.vs_lap is None:
        raise CliError("--vs-session needs --vs-lap: it picks which lap M to take")
    x_axis = args.x or ("distance" if args.vs_lap is not None else "time")
    log = open_log(args)
    log.to_table(names)  # checks the names before anything is drawn
    if x_axis == "distance" and "LapDist" not in log and "LapDistPct" not in log:
        raise CliError(_NO_DISTANCE)
    runs = _plot_runs(log, (args.lap, args.session), (args.vs_lap, args.vs_session), x_axis)
    figure = plot_runs(plt, log, runs, names, x_axis, args.units)
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


def save_figure(plt: Any, figure: Any, path: str) -> None:
    """Write ``figure`` to ``path`` whole: under a temporary name beside it, then renamed, so
    that a picture cut short never takes the place of a good one; the figure is closed."""
    import os
    from pathlib import Path

    target = Path(path)
    kind = target.suffix.lstrip(".").lower() or "png"
    tmp = target.with_name(f".{target.name}.tmp-{os.getpid()}")
    try:
        figure.savefig(tmp, dpi=figure.dpi, format=kind)
        os.replace(tmp, target)
    except BaseException:
        tmp.unlink(missing_ok=True)
        raise
    finally:
        plt.close(figure)


def lap_label(lap: LogFile) -> str:
    """``"lap 3 (1:12.616)"`` for a one-lap ``LogFile``."""
    from corvex.base import format_lap_time

    row = lap.laps.to_pylist()[0]
    seconds = (row["end_time"] - row["start_time"]) / 1000.0
    return f"lap {row['num']} ({format_lap_time(seconds)})"


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
        chosen = [pick_lap(log, lap[0], lap[1])]
        if vs_lap[0] is not None:
            chosen.append(pick_lap(log, vs_lap[0], vs_lap[1], "--vs-session"))
        return [(lap_label(one), one) for one in chosen]
    if x_axis == "distance" and log.laps.num_rows:
        laps = [log.lap_at(row) for row in range(log.laps.num_rows)]
        # A one-record lap (a blip of the lap counter) has no line to draw and no lap time.
        return [(lap_label(one), one) for one in laps if one.record_count > 1]
    return [("session", log)]


def plot_runs(
    plt: Any,
    log: LogFile,
    runs: list[tuple[str, LogFile]],
    names: list[str],
    x_axis: str,
    units: str = "metric",
) -> Any:
    """One panel per channel, every run drawn in each panel; returns the figure.

    Against distance every lap is resampled on the same metre grid (:meth:`LogFile.on_distance`),
    so that laps line up at the same place on the track.
    """
    height = PLOT_MARGIN + PLOT_PANEL * len(names)
    figure, axes = plt.subplots(
        len(names),
        1,
        sharex=True,
        squeeze=False,
        figsize=(PLOT_WIDTH / PLOT_DPI, height / PLOT_DPI),
        dpi=PLOT_DPI,
    )
    series = [(label, *_series(run, names, x_axis, run is not log)) for label, run in runs]
    x_label = series[0][2] if series else ""
    for ax, name in zip(axes[:, 0], names):
        display = channel_display(log, name, units, [columns[name] for _, _, _, columns in series])
        steps = _is_stepped(log, name)
        for label, xs, _, columns in series:
            ax.plot(
                xs,
                display.apply(columns[name]),
                label=label,
                linewidth=1.0,
                drawstyle="steps-post" if steps else "default",
            )
        ax.set_ylabel(display.label(name))
        ax.grid(True, alpha=0.3)
    if x_axis == "time" and len(runs) == 1 and runs[0][1] is log:
        _lap_markers(log, axes[:, 0])
    axes[-1, 0].set_xlabel(x_label)
    if len(runs) > 1:
        axes[0, 0].legend(loc="upper right", fontsize="small", ncol=min(len(runs), 6))
    title = log.metadata.get("track_display_name") or log.metadata.get("track_name") or log.source
    what = " vs ".join(label for label, _ in runs) if len(runs) <= 2 else f"{len(runs)} laps"
    fastest = log.fastest_lap
    if len(runs) != 2 and fastest is not None:
        what += f", fastest {lap_label(log.lap(fastest))}"
    figure.suptitle(f"{title}: {what}")
    figure.tight_layout()
    return figure


def channel_display(log: LogFile, name: str, units: str, values: list[Any]) -> Any:
    """The :class:`corvex.units.Display` of channel ``name`` for the values to be drawn."""
    from corvex.units import display_unit

    meta = log[name].schema.field(1).metadata or {}
    unit = meta.get(b"units", b"").decode("utf-8", "replace")
    largest = None
    if unit == "%":
        import numpy as np

        finite = [np.abs(v[np.isfinite(v)]) for v in values if len(v)]
        largest = max((float(f.max()) for f in finite if len(f)), default=None)
    return display_unit(unit, units, largest)


def _is_stepped(log: LogFile, name: str) -> bool:
    return (log[name].schema.field(1).metadata or {}).get(b"interpolate") != b"True"


def _series(
    run: LogFile, names: list[str], x_axis: str, relative: bool
) -> tuple[Any, str, dict[str, Any]]:
    """(x values, x label, channel values as float arrays) of one run."""
    import numpy as np

    if x_axis == "distance":
        table = run.on_distance(PLOT_STEP, names)
        xs = table.column("distance").to_numpy()
        x_label = "lap distance [m]"
    else:
        table = run.to_table(names)
        xs = table.column("timecodes").to_numpy() / 1000.0
        x_label = "session time [s]"
        if relative and len(xs):
            xs, x_label = xs - xs[0], "time in lap [s]"
    columns = {
        name: np.asarray(table.column(name).to_numpy(zero_copy_only=False), dtype=np.float64)
        for name in names
    }
    return xs, x_label, columns


def _lap_markers(log: LogFile, axes: Any) -> None:
    """A dotted line where each lap starts, with its number, on a whole-session time plot."""
    nums = log.laps.column("num").to_pylist()
    starts = log.laps.column("start_time").to_pylist()
    ends = log.laps.column("end_time").to_pylist()
    # A one-record lap at the very end has nothing to mark.
    marks = [
        (start / 1000.0, f"L{num}") for num, start, end in zip(nums, starts, ends) if end > start
    ]
    vertical_marks(axes, marks, ":", 2, "x-small")


def vertical_marks(
    axes: Any, marks: list[tuple[float, str]], linestyle: str, offset: int, fontsize: str
) -> None:
    """A vertical line at each x of ``marks`` across all ``axes``, labelled atop the first."""
    for x, label in marks:
        for ax in axes:
            ax.axvline(x, color="0.5", linestyle=linestyle, linewidth=0.8)
        axes[0].annotate(
            label,
            (x, 1.0),
            xycoords=("data", "axes fraction"),
            xytext=(offset, -offset),
            textcoords="offset points",
            fontsize=fontsize,
            va="top",
            color="0.3",
        )


def register(sub: Any) -> None:
    """Add the `plot` command to the subparsers `sub`."""
    parser = add_command(
        sub,
        "plot",
        cmd_plot,
        summary="plot channels against time or lap distance",
        description="Draw one panel per channel. With --vs-lap the two laps are overlaid, "
        "against lap distance unless --x time is given. Needs matplotlib "
        "(pip install 'corvex[plot]').",
    )
    add_file_argument(parser)
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
    add_units_option(parser, "; pedals and other fractions always in %%")
    add_image_output(parser)
