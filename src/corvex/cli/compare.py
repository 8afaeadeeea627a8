"""`corvex compare FILE[:LAP] REF[:LAP] -o OUT.png`: a lap against a reference, on distance.

The top panel is the time slip (delta to the reference, positive where the lap is behind);
below it each channel of both laps is drawn against distance from the line, with the track's
sector starts as vertical lines. REF may also be a lap saved as Parquet (`corvex export FILE
--lap N -o ref.parquet`, or ``lap.to_table()`` written with pyarrow).
"""

from __future__ import annotations

import argparse
import os
from pathlib import Path
from typing import Any

from corvex.cli._common import (
    CliError,
    add_command,
    add_image_output,
    add_salvage_option,
    add_units_option,
    open_log,
    parse_names,
)
from corvex.cli._plotting import (
    PLOT_DPI,
    PLOT_MARGIN,
    PLOT_PANEL,
    PLOT_WIDTH,
    channel_display,
    is_stepped,
    lap_label,
    pyplot,
    vertical_marks,
)

DEFAULT_CHANNELS = ("Speed", "Throttle", "Brake")
_PARQUET = (".parquet", ".pq")


def split_lap_choice(text: str) -> tuple[str, int | None]:
    """``"a.ibt:3"`` -> ``("a.ibt", 3)``; a path that exists, or has no ``:N`` tail, as is."""
    if os.path.exists(text) or ":" not in text:
        return text, None
    head, _, tail = text.rpartition(":")
    try:
        return head, int(tail)
    except ValueError:
        return text, None


class _Lap:
    """One side of the comparison: its lap as a LogFile or a saved table, and its label."""

    def __init__(self, choice: str, opened: dict[str, Any], args: argparse.Namespace) -> None:
        path, num = split_lap_choice(choice)
        self.path = path
        self.log: Any = None
        if Path(path).suffix.lower() in _PARQUET:
            if num is not None:
                raise CliError(f"{path} is a saved lap: it takes no :LAP")
            import pyarrow.parquet as pq

            try:
                self.source: Any = pq.read_table(path)
            except OSError as exc:
                raise CliError(f"{path}: {exc}") from None
            self.label = _saved_label(self.source)
            return
        if path not in opened:
            opened[path] = open_log(args, path)
        self.log = opened[path]
        if num is None:
            num = self.log.fastest_lap
            if num is None:
                raise CliError(f"{path} has no valid lap to compare; pick one with {path}:LAP")
        self.source = self.log.lap(num)
        self.label = lap_label(self.source)

    def names(self) -> set[str]:
        if self.log is not None:
            return set(self.log.channel_names)
        return set(self.source.column_names)

    def on_distance(self, step: float, names: list[str]) -> Any:
        from corvex.analysis import on_distance

        if self.log is not None:
            return self.source.on_distance(step, names)
        return on_distance(self.source, step, names)

    def field(self, name: str) -> Any:
        if self.log is not None:
            return self.log[name].schema.field(1)
        return self.source.schema.field(name)


def _saved_label(table: Any) -> str:
    from corvex.analysis import META
    from corvex.formatting import format_lap_time

    meta = table.schema.metadata or {}
    num = meta.get(META["lap"])
    lap_time = meta.get(META["lap_time"])
    text = f"lap {num.decode()}" if num is not None else "saved lap"
    if lap_time is not None:
        text += f" ({format_lap_time(float(lap_time))})"
    return text


def cmd_compare(args: argparse.Namespace) -> None:
    plt = pyplot("compare")
    if not args.step > 0:
        raise CliError("--step must be a positive number of metres")
    opened: dict[str, Any] = {}
    lap = _Lap(args.lap, opened, args)
    ref = _Lap(args.reference, opened, args)
    if lap.log is None:
        raise CliError(f"{lap.path}: the lap to compare must come from an IBT file")
    names = _channels(args.channels, lap, ref)
    if lap.path != ref.path:
        lap.label = f"{Path(lap.path).name} {lap.label}"
        ref.label = f"{Path(ref.path).name} {ref.label}"
    figure = draw_compare(plt, lap, ref, names, args.step, args.units)
    try:
        figure.savefig(args.output, dpi=100)
    finally:
        plt.close(figure)
    print(f"wrote {args.output}")


def _channels(text: str | None, lap: _Lap, ref: _Lap) -> list[str]:
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


def draw_compare(plt: Any, lap: _Lap, ref: _Lap, names: list[str], step: float, units: str) -> Any:
    """The figure: the delta panel on top, then one panel per channel with both laps."""
    from corvex.analysis import track_metres
    from corvex.lap import delta

    slip = delta(lap.source, ref.source, step)
    ours = lap.on_distance(step, names)
    theirs = ref.on_distance(step, names)
    panels = 1 + len(names)
    figure, axes = plt.subplots(
        panels,
        1,
        sharex=True,
        squeeze=False,
        figsize=(PLOT_WIDTH / PLOT_DPI, (PLOT_MARGIN + PLOT_PANEL * panels) / PLOT_DPI),
        dpi=PLOT_DPI,
    )
    axes = axes[:, 0]
    x = slip.column("distance").to_numpy()
    dt = slip.column("delta").to_numpy()
    top = axes[0]
    top.axhline(0.0, color="0.4", linewidth=0.8)
    top.plot(x, dt, color="black", linewidth=1.0)
    top.fill_between(x, dt, 0.0, where=dt > 0, color="tab:red", alpha=0.3, linewidth=0)
    top.fill_between(x, dt, 0.0, where=dt < 0, color="tab:green", alpha=0.3, linewidth=0)
    top.set_ylabel("delta [s]")
    top.set_title("slower than the reference ↑   faster ↓", fontsize="small", loc="left")
    top.grid(True, alpha=0.3)
    for ax, name in zip(axes[1:], names):
        a = ours.column(name).to_numpy(zero_copy_only=False).astype(float)
        b = theirs.column(name).to_numpy(zero_copy_only=False).astype(float)
        display = channel_display(lap.log, name, units, [a, b])
        style = "steps-post" if is_stepped(lap.field(name)) else "default"
        ax.plot(
            ours.column("distance").to_numpy(),
            display.apply(a),
            label=lap.label,
            color="tab:red",
            linewidth=1.0,
            drawstyle=style,
        )
        ax.plot(
            theirs.column("distance").to_numpy(),
            display.apply(b),
            label=f"{ref.label}, reference",
            color="tab:blue",
            linewidth=1.0,
            drawstyle=style,
        )
        ax.set_ylabel(display.label(name))
        ax.grid(True, alpha=0.3)
    if names:
        axes[1].legend(loc="lower right", fontsize="small")
    length = track_metres(lap.log.metadata.get("track_length"))
    if length is not None:
        marks = [(s * length, f"S{n}") for n, s in enumerate(lap.log.sector_starts[1:], 2)]
        vertical_marks(axes, marks, "--", 3, "small")
    axes[-1].set_xlabel("lap distance [m]")
    meta = lap.log.metadata
    track = meta.get("track_display_name") or meta.get("track_name") or lap.log.source
    final = f", {dt[-1]:+.3f} s at {x[-1]:.0f} m" if len(dt) else ""
    figure.suptitle(f"{track}: {lap.label} vs {ref.label}{final}")
    figure.tight_layout()
    return figure


def register(sub: Any) -> None:
    """Add the `compare` command to the subparsers `sub`."""
    parser = add_command(
        sub,
        "compare",
        cmd_compare,
        summary="a lap against a reference lap on distance, with the time delta",
        description="Overlay a lap and a reference lap on lap distance, one panel per channel, "
        "with the time delta on top (positive: slower than the reference) and the track's "
        "sector starts as vertical lines. LAP defaults to the fastest valid lap of the file. "
        "REF may be another file of the same track or a lap saved as Parquet "
        "(corvex export FILE --lap N -o ref.parquet). Needs matplotlib.",
    )
    parser.add_argument("lap", metavar="FILE[:LAP]", help="IBT file and lap number")
    parser.add_argument("reference", metavar="REF[:LAP]", help="reference IBT file or .parquet")
    add_salvage_option(parser)
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
