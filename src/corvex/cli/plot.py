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
from corvex.cli._plotting import (
    PLOT_DPI,
    PLOT_MARGIN,
    PLOT_PANEL,
    PLOT_WIDTH,
    channel_display,
    is_stepped,
    pyplot,
    save_figure,
    vertical_marks,
)
from corvex.formatting import lap_label

if TYPE_CHECKING:
    from corvex.base import LogFile
    from corvex.lap import Lap

_NO_DISTANCE = "the file has no LapDist or LapDistPct channel to plot against distance"

# Resolution of the distance grid that laps are drawn on, in metres.
PLOT_STEP = 1.0


def cmd_plot(args: argparse.Namespace) -> None:
    plt = pyplot("plot")
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
    save_figure(plt, figure, args.output)
    print(f"wrote {args.output}")


def _plot_runs(
    log: LogFile,
    lap: tuple[int | None, int | None],
    vs_lap: tuple[int | None, int | None],
    x_axis: str,
) -> list[tuple[str, LogFile | Lap]]:
    """The pieces of the session to draw, each with its legend label.

    ``lap`` and ``vs_lap`` are (lap number, session) as given on the command line.
    """
    if lap[0] is not None:
        chosen: list[Lap] = [pick_lap(log, lap[0], lap[1])]
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
    runs: list[tuple[str, LogFile | Lap]],
    names: list[str],
    x_axis: str,
    units: str = "metric",
) -> Any:
    """One panel per channel, every run drawn in each panel; returns the figure.

    Against distance every lap is resampled on the same metre grid (:meth:`Lap.on_distance`),
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
        steps = is_stepped(log[name].schema.field(1))
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


def _series(
    run: LogFile | Lap, names: list[str], x_axis: str, relative: bool
) -> tuple[Any, str, dict[str, Any]]:
    """(x values, x label, channel values as float arrays) of one run."""
    import numpy as np

    if x_axis == "distance":
        table = _on_distance(run, names)
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


def _on_distance(run: LogFile | Lap, names: list[str]) -> Any:
    """A lap, or a session without laps, on the distance grid of the plot."""
    from corvex.lap import Lap

    if isinstance(run, Lap):
        return run.on_distance(PLOT_STEP, names)
    from corvex.analysis import on_distance

    extra = [n for n in ("LapDist", "LapDistPct") if n in run and n not in names]
    return on_distance(run.to_table(names + extra), PLOT_STEP, names)


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
