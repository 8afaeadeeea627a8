"""`corvex compare FILE[:LAP[:SESSION]] REF[:LAP[:SESSION]] -o OUT.png`: a lap against a
reference, on distance.

The top panel is the time slip (delta to the reference, positive where the lap is behind);
below it each channel of both laps is drawn against distance from the line, with the track's
sector starts as vertical lines. REF may also be a lap saved as Parquet (`corvex export FILE
--lap N -o ref.parquet`, or ``lap.to_table()`` written with pyarrow).
"""

from __future__ import annotations

import argparse
from pathlib import Path
from typing import Any

from corvex.cli._common import (
    CliError,
    LapChoice,
    add_command,
    add_image_output,
    add_lap_pair,
    add_units_option,
    parse_names,
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

DEFAULT_CHANNELS = ("Speed", "Throttle", "Brake")


def cmd_compare(args: argparse.Namespace) -> None:
    plt = pyplot("compare")
    if not args.step > 0:
        raise CliError("--step must be a positive number of metres")
    opened: dict[str, Any] = {}
    lap = LapChoice(args.lap, opened, args)
    ref = LapChoice(args.reference, opened, args, "--vs-session")
    if lap.log is None:
        raise CliError(f"{lap.path}: the lap to compare must come from an IBT file")
    names = _channels(args.channels, lap, ref)
    if lap.path != ref.path:
        lap.label = f"{Path(lap.path).name} {lap.label}"
        ref.label = f"{Path(ref.path).name} {ref.label}"
    figure = draw_compare(plt, lap, ref, names, args.step, args.units)
    save_figure(plt, figure, args.output)
    print(f"wrote {args.output}")


def _channels(text: str | None, lap: LapChoice, ref: LapChoice) -> list[str]:
    both = lap.names() & ref.names()
    if text is None:
        return [name for name in DEFAULT_CHANNELS if name in both]
    names = parse_names(text) or []
    for side in (lap, ref):
        missing = [name for name in names if name not in side.names()]
        if missing:
            if side.log is not None:
                side.log.to_table(missing)  # raises with a suggestion of close names
            raise CliError(f"{side.path} has no channel {', '.join(map(repr, missing))}")
    return names


def draw_compare(
    plt: Any, lap: LapChoice, ref: LapChoice, names: list[str], step: float, units: str
) -> Any:
    """The figure: the delta panel on top, then one panel per channel with both laps."""
    from corvex.analysis import track_metres
    from corvex.columns import floats
    from corvex.lap import delta

    slip = delta(lap.source, ref.source, step)
    ours = lap.on_distance(step, names)
    theirs = ref.on_distance(step, names)
    panels = 1 + len(names)
    track = _track_of(lap)
    width = PLOT_WIDTH + (MAP_PANEL if track is not None else 0)
    figure = plt.figure(
        figsize=(width / PLOT_DPI, (PLOT_MARGIN + PLOT_PANEL * panels) / PLOT_DPI), dpi=PLOT_DPI
    )
    grid = figure.add_gridspec(
        panels,
        2 if track is not None else 1,
        width_ratios=(PLOT_WIDTH, MAP_PANEL)[: 2 if track is not None else 1],
    )
    axes = [figure.add_subplot(grid[0, 0])]
    for row in range(1, panels):
        axes.append(figure.add_subplot(grid[row, 0], sharex=axes[0]))
    for ax in axes[:-1]:
        ax.tick_params(labelbottom=False)
    x = floats(slip.column("distance"))
    dt = floats(slip.column("delta"))
    top = axes[0]
    top.axhline(0.0, color="0.4", linewidth=0.8)
    top.plot(x, dt, color="black", linewidth=1.0)
    top.fill_between(x, dt, 0.0, where=dt > 0, color="tab:red", alpha=0.3, linewidth=0)
    top.fill_between(x, dt, 0.0, where=dt < 0, color="tab:green", alpha=0.3, linewidth=0)
    top.set_ylabel("delta [s]\n↑ slower   faster ↓", fontsize="small")
    top.grid(True, alpha=0.3)
    lap_style, ref_style = overlay_styles(2)
    for ax, name in zip(axes[1:], names):
        a = floats(ours.column(name))
        b = floats(theirs.column(name))
        display = channel_display(lap.log, name, units, [a, b])
        field = lap.field(name)
        style = "steps-post" if is_stepped(field) else "default"
        ax.plot(
            floats(ours.column("distance")),
            display.apply(a),
            label=lap.label,
            drawstyle=style,
            **lap_style,
        )
        ax.plot(
            floats(theirs.column("distance")),
            display.apply(b),
            label=f"{ref.label}, reference",
            drawstyle=style,
            **ref_style,
        )
        ax.set_ylabel(display.label(name))
        tidy_value_axis(ax, field, [display.apply(a), display.apply(b)], display.unit)
        ax.grid(True, alpha=0.3)
    bottom = figure_legend(figure, axes[1]) if names else 0.0
    length = track_metres(lap.log.metadata.get("track_length"))
    if length is not None:
        marks = [(s * length, f"S{n}") for n, s in enumerate(lap.log.sector_starts[1:], 2)]
        vertical_marks(axes, marks, "--", 3, "small")
    if track is not None:
        _mark_corners(axes, track)
        _map_panel(figure, grid, panels, track, lap, ref)
    axes[-1].set_xlabel("lap distance [m]")
    meta = lap.log.metadata
    track = meta.get("track_display_name") or meta.get("track_name") or lap.log.source
    final = f", {dt[-1]:+.3f} s at {x[-1]:.0f} m" if len(dt) else ""
    figure.suptitle(f"{track}: {lap.label} vs {ref.label}{final}")
    figure.tight_layout(rect=(0.0, bottom, 1.0, 1.0))
    return figure


# Width in pixels of the map beside the panels.
MAP_PANEL = 330


def _track_of(lap: LapChoice) -> Any:
    """The track model of the lap's file, or None when it has none (no positions, no full
    lap): the comparison is drawn without corners and map then."""
    try:
        return lap.log.track
    except ValueError:
        return None


def _mark_corners(axes: Any, track: Any) -> None:
    """Each corner as a shaded span from entry to exit, numbered at its apex above the top
    panel; a corner across the line is shaded at both ends of the lap."""
    length = float(track.length)
    for row in track.corners.to_pylist():
        entry, exit_ = float(row["entry"]), float(row["exit"])
        spans = [(max(entry, 0.0), min(exit_, length))]
        if entry < 0.0:
            spans.append((length + entry, length))
        if exit_ > length:
            spans.append((0.0, exit_ - length))
        for ax in axes:
            for low, high in spans:
                ax.axvspan(low, high, color="0.6", alpha=0.12, linewidth=0)
        axes[0].annotate(
            f"T{row['corner']}",
            (row["apex"], 1.0),
            xycoords=("data", "axes fraction"),
            xytext=(0, 2),
            textcoords="offset points",
            fontsize="small",
            ha="center",
            va="bottom",
            color="0.25",
            fontweight="bold",
        )


def _map_panel(
    figure: Any, grid: Any, panels: int, track: Any, lap: LapChoice, ref: LapChoice
) -> None:
    """The track beside the top panels, the lap coloured by its time slip where REF has
    positions, so a number on the distance axis can be found on the track."""
    from corvex.cli.map import draw_map
    from corvex.corner_analysis import DrivenLap, lap_table

    ax = figure.add_subplot(grid[0 : min(2, panels), 1])
    try:
        ours: Any = DrivenLap.of(lap_table(lap.source), track)
        theirs: Any = DrivenLap.of(lap_table(ref.source), track)
    except ValueError:
        ours = theirs = None
    draw_map(ax, track, ours if theirs is not None else None, theirs, "delta", small=True)
    ax.set_title("time slip on the track (red: slower)", fontsize="small")


def register(sub: Any) -> None:
    """Add the `compare` command to the subparsers `sub`."""
    parser = add_command(
        sub,
        "compare",
        cmd_compare,
        summary="a lap against a reference lap on distance, with the time delta",
        description="Overlay a lap and a reference lap on lap distance, one panel per channel, "
        "with the time delta on top (positive: slower than the reference), the track's "
        "sector starts as vertical lines, its corners shaded and, beside, the track coloured "
        "by the time slip. LAP defaults to the fastest valid lap of the file. "
        "REF may be another file of the same track or a lap saved as Parquet "
        "(corvex export FILE --lap N -o ref.parquet). Needs matplotlib.",
    )
    add_lap_pair(parser)
    parser.add_argument(
        "--channels",
        metavar="A,B",
        help=f"channels to overlay (default: {','.join(DEFAULT_CHANNELS)})",
    )
    add_units_option(parser)
    parser.add_argument(
        "--step", type=float, default=1.0, metavar="M", help="distance grid in metres (1)"
    )
    add_image_output(parser)
