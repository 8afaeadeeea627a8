"""`corvex map FILE[:LAP[:SESSION]] [REF[:LAP[:SESSION]]] --color speed -o map.png`: the track
to scale, the lap drawn on it in colour.

The line is FILE's track model (from the positions of its valid laps); the lap is drawn where
the car went, coloured by speed, brake, throttle, gear, the time slip against REF (delta) or
its distance from the model's line (lateral). Corners are numbered beside their apex, the
start/finish and sector lines cross the track, and with REF the braking point of each lap is
marked at every corner.
"""

from __future__ import annotations

import argparse
from pathlib import Path
from typing import TYPE_CHECKING, Any

from corvex.cli._common import (
    CliError,
    LapChoice,
    add_command,
    add_image_output,
    add_lap_pair,
    add_units_option,
)

if TYPE_CHECKING:
    from corvex.corner_analysis import DrivenLap
    from corvex.track import TrackModel

COLORS = ("speed", "brake", "throttle", "gear", "delta", "lateral")
MAP_DPI = 100
MAP_SIZE = (1000, 860)  # pixels of the whole picture


def cmd_map(args: argparse.Namespace) -> None:
    from corvex.cli._plotting import pyplot
    from corvex.cli.corners import session_model
    from corvex.corner_analysis import DrivenLap, lap_table

    if args.color == "delta" and args.reference is None:
        raise CliError("--color delta needs a reference lap: corvex map FILE:LAP REF:LAP ...")
    if args.vs_session is not None and args.reference is None:
        raise CliError("--vs-session picks the session of REF's lap: it needs REF:LAP")
    plt = pyplot("map")
    opened: dict[str, Any] = {}
    lap = LapChoice(args.lap, opened, args)
    if lap.log is None:
        raise CliError(f"{lap.path}: the lap to draw must come from an IBT file")
    ref = LapChoice(args.reference, opened, args, "--vs-session") if args.reference else None
    if ref is not None and lap.path != ref.path:
        lap.label = f"{Path(lap.path).name} {lap.label}"
        ref.label = f"{Path(ref.path).name} {ref.label}"
    track = session_model(lap.log, lap.path)
    try:
        ours = DrivenLap.of(lap_table(lap.source), track)
        theirs = DrivenLap.of(lap_table(ref.source), track) if ref is not None else None
    except ValueError as exc:
        raise CliError(str(exc)) from None
    needed = {"speed": "Speed", "brake": "Brake", "throttle": "Throttle", "gear": "Gear"}
    channel = needed.get(args.color)
    if channel is not None and channel not in ours.channels:
        raise CliError(f"{lap.path} has no {channel} channel to colour the map by")
    title = _title(lap, ref, args.color)
    figure = plt.figure(figsize=(MAP_SIZE[0] / MAP_DPI, MAP_SIZE[1] / MAP_DPI), dpi=MAP_DPI)
    ax = figure.add_axes((0.02, 0.04, 0.8, 0.88))
    bar = figure.add_axes((0.85, 0.15, 0.025, 0.66))
    draw_map(ax, track, ours, theirs, args.color, args.units, colorbar=bar)
    labels = (lap.label, ref.label) if ref is not None else (lap.label,)
    _legend(ax, labels, ref is not None)
    figure.suptitle(title, fontsize="large")
    from corvex.cli._plotting import save_figure

    save_figure(plt, figure, args.output)
    print(f"wrote {args.output}")


def _title(lap: LapChoice, ref: LapChoice | None, color: str) -> str:
    meta = lap.log.metadata
    track = meta.get("track_display_name") or meta.get("track_name") or Path(lap.path).name
    against = f" vs {ref.label}" if ref is not None else ""
    return f"{track}: {lap.label}{against}, coloured by {color}"


def draw_map(
    ax: Any,
    track: TrackModel,
    lap: DrivenLap | None,
    reference: DrivenLap | None,
    color: str,
    units: str = "metric",
    *,
    colorbar: Any = None,
    small: bool = False,
) -> None:
    """Draw the track to scale on ``ax``: the line, the lap coloured by ``color``, corner
    numbers, the start/finish and sector lines and, with a reference, both laps' braking
    points. ``small`` draws a panel: thinner, fewer words."""
    import numpy as np

    ax.set_aspect("equal", adjustable="box")
    ax.set_axis_off()
    x, y = np.append(track.x, track.x[0]), np.append(track.y, track.y[0])
    width = 9.0 if not small else 5.0
    ax.plot(x, y, color="0.82", linewidth=width, solid_capstyle="round", zorder=1)
    left, right, bottom, top = track.extent()
    span = max(right - left, top - bottom, 1.0)
    if lap is not None:
        _colored_lap(ax, track, lap, reference, color, units, colorbar, width * 0.45)
    _cross_lines(ax, track, span, small)
    _corner_numbers(ax, track, span, small)
    if reference is not None and lap is not None and not small:
        _braking_points(ax, track, lap, reference)
    if not small:
        _scale_bar(ax, track, span)
    pad = 0.07 * span
    ax.set_xlim(left - pad, right + pad)
    ax.set_ylim(bottom - pad, top + pad)


def _values(
    track: TrackModel, lap: DrivenLap, reference: DrivenLap | None, color: str, units: str
) -> tuple[Any, str, Any]:
    """(values per record, colour bar label, colormap name) of ``lap`` for ``color``."""
    import numpy as np

    from corvex.units import display_unit

    if color == "speed":
        shown = display_unit("m/s", units)
        return shown.apply(lap.channels["Speed"]), f"speed [{shown.unit}]", "viridis"
    if color in ("brake", "throttle"):
        values = lap.channels[color.title()]
        percent = display_unit(
            "%", units, float(np.nanmax(np.abs(values))) if len(values) else None
        )
        cmap = "Reds" if color == "brake" else "Greens"
        return percent.apply(values), f"{color} [%]", cmap
    if color == "gear":
        return lap.channels["Gear"], "gear", "tab10"
    if color == "lateral":
        return lap.lateral, "off the line [m], + left", "coolwarm"
    assert reference is not None
    from corvex.columns import floats
    from corvex.corner_analysis import line_delta

    slip = line_delta(lap, reference, track)
    d = floats(slip.column("distance"))
    dt = floats(slip.column("delta"))
    values = np.interp(np.mod(lap.distance, track.length), d, dt) if len(d) else lap.distance * 0
    return values, "delta [s], + behind the reference", "RdYlGn_r"


def _colored_lap(
    ax: Any,
    track: TrackModel,
    lap: DrivenLap,
    reference: DrivenLap | None,
    color: str,
    units: str,
    colorbar: Any,
    width: float,
) -> None:
    import matplotlib as mpl
    import numpy as np
    from matplotlib.collections import LineCollection

    values, label, cmap = _values(track, lap, reference, color, units)
    points = np.column_stack((lap.x, lap.y))
    # Segments join consecutive records of one piece: never across a tow or a reset.
    joined = lap.piece[1:] == lap.piece[:-1]
    segments = np.stack((points[:-1], points[1:]), axis=1)[joined]
    mids = ((values[1:] + values[:-1]) / 2.0)[joined]
    finite = values[np.isfinite(values)]
    low, high = (float(np.min(finite)), float(np.max(finite))) if len(finite) else (0.0, 1.0)
    if color in ("delta", "lateral"):
        edge = max(abs(low), abs(high), 1e-3)
        norm: Any = mpl.colors.TwoSlopeNorm(0.0, -edge, edge)
    elif color == "gear":
        gears = np.arange(int(low), int(high) + 2) - 0.5
        palette = mpl.colormaps["tab10"](np.arange(max(len(gears) - 1, 1)) % 10)
        cmap = mpl.colors.ListedColormap(palette)
        norm = mpl.colors.BoundaryNorm(gears, cmap.N)
    elif color in ("brake", "throttle"):
        norm = mpl.colors.Normalize(0.0, max(high, 1.0))
    else:
        norm = mpl.colors.Normalize(low, high if high > low else low + 1.0)
    lines = LineCollection(
        segments, cmap=cmap, norm=norm, linewidths=width, capstyle="round", zorder=2
    )
    lines.set_array(mids)
    ax.add_collection(lines)
    if colorbar is not None:
        bar = ax.figure.colorbar(lines, cax=colorbar)
        bar.set_label(label)
        if color == "gear":
            bar.set_ticks(np.arange(int(low), int(high) + 1))


def _normal(track: TrackModel, distance: float) -> tuple[float, float, float, float]:
    """x, y of the line at ``distance`` and the unit vector to its left."""
    import math

    x, y, heading = track.at(distance)
    h = float(heading)
    return float(x), float(y), -math.sin(h), math.cos(h)


def _cross_lines(ax: Any, track: TrackModel, span: float, small: bool) -> None:
    """The start/finish line and the sector lines across the track, labelled on the side away
    from a corner number close by (those stand on the outside of their corner)."""
    half = 0.025 * span
    corners = track.corners.to_pylist()
    for number, start in enumerate(track.sectors, start=1):
        x, y, nx, ny = _normal(track, start)
        near = [c for c in corners if abs(c["apex"] - start) < 0.12 * span]
        if near and near[0]["direction"] == "right":  # its number stands on the left
            nx, ny = -nx, -ny
        is_line = number == 1
        ax.plot(
            [x - half * nx, x + half * nx],
            [y - half * ny, y + half * ny],
            color="black" if is_line else "0.35",
            linewidth=3.0 if is_line else 1.5,
            linestyle="-" if is_line else (0, (2, 1)),
            zorder=4,
            solid_capstyle="butt",
        )
        if small and not is_line:
            continue
        text = "S/F" if is_line else f"S{number}"
        ax.annotate(
            text,
            (x + half * nx, y + half * ny),
            xytext=(4 * nx, 4 * ny),
            textcoords="offset points",
            fontsize="x-small" if small else "small",
            fontweight="bold" if is_line else "normal",
            ha="left" if nx >= 0 else "right",
            va="bottom" if ny >= 0 else "top",
            zorder=5,
        )
    if not small:  # which way the lap goes
        x0, y0, _ = track.at(0.0)
        x1, y1, _ = track.at(min(0.06 * span, track.length / 8))
        ax.annotate(
            "",
            xy=(float(x1), float(y1)),
            xytext=(float(x0), float(y0)),
            arrowprops={"arrowstyle": "-|>", "color": "black", "lw": 1.5},
            zorder=5,
        )


def _corner_numbers(ax: Any, track: TrackModel, span: float, small: bool) -> None:
    """Each corner's number beside its apex, on the outside of the bend."""
    away = (0.045 if not small else 0.06) * span
    for row in track.corners.to_pylist():
        x, y, nx, ny = _normal(track, row["apex"])
        outside = -1.0 if row["direction"] == "left" else 1.0
        ax.text(
            x + outside * away * nx,
            y + outside * away * ny,
            str(row["corner"]),
            ha="center",
            va="center",
            fontsize="xx-small" if small else "medium",
            fontweight="bold",
            color="black",
            bbox={
                "boxstyle": "circle,pad=0.25",
                "facecolor": "white",
                "edgecolor": "0.3",
                "linewidth": 0.8,
            },
            zorder=6,
        )


def _braking_points(ax: Any, track: TrackModel, lap: DrivenLap, reference: DrivenLap) -> None:
    """Each lap's braking point at every corner: triangles on the track edge."""
    from corvex.cli._plotting import LAP_COLOR, REF_COLOR
    from corvex.corner_analysis import corner_table

    table = corner_table(lap, reference, track)
    left, right, bottom, top = track.extent()
    span = max(right - left, top - bottom, 1.0)
    off = 0.012 * span
    for key, color, side in (
        ("braking_point", LAP_COLOR, 1.0),
        ("reference_braking_point", REF_COLOR, -1.0),
    ):
        xs, ys = [], []
        for row in table.to_pylist():
            value = row.get(key)
            if row["kind"] != "corner" or value is None:
                continue
            x, y, nx, ny = _normal(track, value)
            xs.append(x + side * off * nx)
            ys.append(y + side * off * ny)
        ax.scatter(
            xs,
            ys,
            marker="v" if side > 0 else "^",
            s=46,
            color=color,
            edgecolors="white",
            linewidths=0.6,
            zorder=7,
        )


def _scale_bar(ax: Any, track: TrackModel, span: float) -> None:
    """A bar of a round number of metres in the lower left corner."""
    choices = (50, 100, 200, 250, 500, 1000, 2000, 5000)
    metres = max([c for c in choices if c <= span / 5] or [choices[0]])
    x0, _, bottom, _ = track.extent()
    y0 = bottom - 0.04 * span
    ax.plot([x0, x0 + metres], [y0, y0], color="black", linewidth=2.0, zorder=5)
    ax.text(x0 + metres / 2, y0 + 0.012 * span, f"{metres} m", ha="center", fontsize="small")


def _legend(ax: Any, labels: tuple[str, ...], braking: bool) -> None:
    if not braking:
        return
    from matplotlib.lines import Line2D

    from corvex.cli._plotting import LAP_COLOR, REF_COLOR

    handles = [
        Line2D([], [], marker="v", linestyle="", color=LAP_COLOR, label=f"{labels[0]} brakes"),
        Line2D([], [], marker="^", linestyle="", color=REF_COLOR, label=f"{labels[1]} brakes"),
    ]
    ax.figure.legend(handles=handles, loc="lower right", fontsize="small", frameon=False)


def register(sub: Any) -> None:
    """Add the `map` command to the subparsers `sub`."""
    parser = add_command(
        sub,
        "map",
        cmd_map,
        summary="the track to scale with a lap drawn in colour",
        description="Draw the track of FILE's session to scale (from the positions of its "
        "valid laps) with a lap coloured by speed, brake, throttle, gear, the time slip "
        "against REF (delta) or its distance from the line (lateral); corners numbered, the "
        "start/finish and sector lines, and with REF both laps' braking points. LAP defaults "
        "to the fastest valid lap. Needs matplotlib (pip install 'corvex[plot]').",
    )
    add_lap_pair(parser, reference_optional=True)
    parser.add_argument(
        "--color",
        "--colour",
        choices=COLORS,
        default="speed",
        help="what colours the lap (default: speed)",
    )
    add_units_option(parser)
    add_image_output(parser)
