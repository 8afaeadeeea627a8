"""`corvex plot FILE [--channels A,B] -o OUT.png`: channels against time or lap distance."""

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
    refuse_one_record,
    require_lap,
)
from corvex.cli._plotting import (
    PLOT_DPI,
    PLOT_MARGIN,
    PLOT_PANEL,
    PLOT_WIDTH,
    channel_display,
    figure_legend,
    is_stepped,
    overlay_styles,
    pyplot,
    save_figure,
    tidy_value_axis,
    vertical_marks,
)
from corvex.formatting import lap_label

if TYPE_CHECKING:
    from corvex.base import LogFile
    from corvex.lap import Lap

_NO_DISTANCE = "the file has no LapDist or LapDistPct channel to plot against distance"

# Resolution of the distance grid that laps are drawn on, in metres.
PLOT_STEP = 1.0

# What is drawn when --channels is not given (those of them the file has), as corvex compare.
DEFAULT_CHANNELS = ("Speed", "Throttle", "Brake")


def cmd_plot(args: argparse.Namespace) -> None:
    plt = pyplot("plot")
    names = parse_names(args.channels)
    if args.vs_lap is not None and args.lap is None:
        raise CliError("--vs-lap needs --lap: it compares two laps")
    require_lap(args)
    if args.vs_session is not None and args.vs_lap is None:
        raise CliError("--vs-session needs --vs-lap: it picks which lap M to take")
    x_axis = args.x or ("distance" if args.vs_lap is not None else "time")
    log = open_log(args)
    if names is None:
        names = [name for name in DEFAULT_CHANNELS if name in log]
        if not names:
            raise CliError(
                f"{args.file} has none of {', '.join(DEFAULT_CHANNELS)}; pick channels with "
                f"--channels (corvex channels {args.file} lists them)"
            )
    _check_channels(log, names, args.file)
    if x_axis == "distance" and "LapDist" not in log and "LapDistPct" not in log:
        raise CliError(_NO_DISTANCE)
    runs = _plot_runs(log, (args.lap, args.session), (args.vs_lap, args.vs_session), x_axis)
    from corvex.lap import Lap

    for _, run in runs:
        if isinstance(run, Lap):
            refuse_one_record(run, args.file)
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
        from corvex.lap import Lap
        from corvex.laps import lap_groups

        # The laps of the listings: a row of one record is no lap and has no line to draw.
        laps = [Lap(log, g.first, g.stop) for g in lap_groups(log.laps)]
        return [(lap_label(one), one) for one in laps if one.record_count > 1]
    return [("session", log)]


def _check_channels(log: LogFile, names: list[str], path: str) -> None:
    """Raise before anything is drawn when a name is no channel; an array variable is named
    as what it is."""
    missing = [name for name in names if name not in log]
    if not missing:
        return
    arrays = {v.name: v for v in log.left_out_variables or []}
    for name in missing:
        if name in arrays:
            raise CliError(
                f"{name} is an array variable ({arrays[name].count} values a record), not a "
                f"channel: corvex plot draws channels (corvex channels {path} lists them)"
            )
    log.to_table(missing)  # raises with the close names


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
    origin = _session_origin(log) if x_axis == "time" and runs and runs[0][1] is log else None
    series = [(label, *_series(run, names, x_axis, run is not log, origin)) for label, run in runs]
    x_label = series[0][2] if series else ""
    styles = overlay_styles(len(runs))
    for ax, name in zip(axes[:, 0], names):
        values = [columns[name] for _, _, _, columns in series]
        display = channel_display(log, name, units, values)
        field = log[name].schema.field(1)
        steps = is_stepped(field)
        for (label, xs, _, columns), style in zip(series, styles):
            ax.plot(
                xs,
                display.apply(columns[name]),
                label=label,
                drawstyle="steps-post" if steps else "default",
                **style,
            )
        ax.set_ylabel(display.label(name))
        tidy_value_axis(ax, field, [display.apply(v) for v in values], display.unit)
        ax.grid(True, alpha=0.3)
    if origin is not None:
        _lap_markers(log, axes[:, 0], origin[0])
        xs = series[0][1]
        if len(xs) and float(xs[-1] - xs[0]) > _MINUTES_FROM:
            _minutes_axis(axes[-1, 0])
            x_label += " [m:ss]"
        else:
            x_label += " [s]"
    axes[-1, 0].set_xlabel(x_label)
    bottom = figure_legend(figure, axes[0, 0]) if len(runs) > 1 else 0.0
    title = log.metadata.get("track_display_name") or log.metadata.get("track_name") or log.source
    what = " vs ".join(label for label, _ in runs) if len(runs) <= 2 else f"{len(runs)} laps"
    fastest = log.fastest_lap
    if len(runs) != 2 and fastest is not None:
        what += f", fastest {lap_label(log.lap(fastest))}"
    figure.suptitle(f"{title}: {what}")
    figure.tight_layout(rect=(0.0, bottom, 1.0, 1.0))
    return figure


def _session_origin(log: LogFile) -> tuple[float, str] | None:
    """(session time in s, label) the whole-session time axis counts from: the start of the
    first lap of the listings, else the first record."""
    from corvex.laps import lap_groups

    groups = lap_groups(log.laps)
    if groups:
        start = log.laps.column("start_time")[groups[0].first].as_py() / 1000.0
        return start, f"time from the start of lap {groups[0].num}"
    time = log.timecodes
    if len(time) == 0:
        return None
    return time[0].as_py() / 1000.0, "time from the first record"


# A session plot longer than this (s) counts its time in minutes and seconds.
_MINUTES_FROM = 120.0


def _minutes_axis(ax: Any) -> None:
    """Ticks of the time axis as m:ss, at whole seconds, minutes or tens of seconds."""
    from matplotlib.ticker import FuncFormatter, MaxNLocator

    def text(seconds: float, _: Any) -> str:
        sign = "-" if seconds < 0 else ""
        whole = int(round(abs(seconds)))
        return f"{sign}{whole // 60}:{whole % 60:02d}"

    ax.xaxis.set_major_locator(MaxNLocator(nbins=12, steps=[1, 2, 3, 6, 10]))
    ax.xaxis.set_major_formatter(FuncFormatter(text))


def _series(
    run: LogFile | Lap,
    names: list[str],
    x_axis: str,
    relative: bool,
    origin: tuple[float, str] | None = None,
) -> tuple[Any, str, dict[str, Any]]:
    """(x values, x label, channel values as float arrays) of one run: against time, a lap
    from its own start, the whole session from ``origin`` (seconds, label)."""
    from corvex.columns import floats

    if x_axis == "distance":
        table = _on_distance(run, names)
        xs = floats(table.column("distance"))
        x_label = "lap distance [m]"
    else:
        table = run.to_table(names)
        xs = floats(table.column("timecodes")) / 1000.0
        x_label = "session time [s]"
        if relative and len(xs):
            xs, x_label = xs - xs[0], "time in lap [s]"
        elif origin is not None:
            xs, x_label = xs - origin[0], origin[1]
    columns = {name: floats(table.column(name)) for name in names}
    return xs, x_label, columns


def _on_distance(run: LogFile | Lap, names: list[str]) -> Any:
    """A lap, or a session without laps, on the distance grid of the plot."""
    from corvex.lap import Lap

    if isinstance(run, Lap):
        return run.on_distance(PLOT_STEP, names)
    from corvex.analysis import on_distance

    extra = [n for n in ("LapDist", "LapDistPct") if n in run and n not in names]
    return on_distance(run.to_table(names + extra), PLOT_STEP, names)


def _lap_markers(log: LogFile, axes: Any, origin: float) -> None:
    """A dotted line where each lap of the listings starts, with its number, on a
    whole-session time plot (``origin``: the session time the axis counts from)."""
    from corvex.laps import lap_groups

    starts = log.laps.column("start_time").to_pylist()
    ends = log.laps.column("end_time").to_pylist()
    marks = [
        (starts[g.first] / 1000.0 - origin, f"L{g.num}")
        for g in lap_groups(log.laps)
        if ends[g.stop - 1] > starts[g.first]
    ]
    vertical_marks(axes, marks, ":", 2, "x-small")


def register(sub: Any) -> None:
    """Add the `plot` command to the subparsers `sub`."""
    parser = add_command(
        sub,
        "plot",
        cmd_plot,
        summary="plot channels against time or lap distance",
        description="Draw one panel per channel (default: Speed, Throttle, Brake). The whole "
        "session is drawn against the time from the start of its first lap, with a line where "
        "each lap starts; --lap N draws one lap, and with --vs-lap the two laps are overlaid "
        "(the lap red, the other blue), against lap distance unless --x time is given. Needs "
        "matplotlib (pip install 'corvex[plot]').",
    )
    add_file_argument(parser)
    parser.add_argument(
        "--channels",
        metavar="A,B",
        help=f"channels to plot (default: {','.join(DEFAULT_CHANNELS)})",
    )
    add_lap_options(parser, "only lap N")
    parser.add_argument(
        "--vs-lap", metavar="M", type=int, help="overlay lap M (needs --lap), in blue"
    )
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
