"""What the plotting commands share: matplotlib, the figure's size, lap labels, and each
channel's display in the units a racer reads (:mod:`corvex.units`).

Colours: the lap is always red and the reference (``--vs-lap``, REF) always blue, in ``plot``,
``compare`` and ``map`` alike.
"""

from __future__ import annotations

import os
from pathlib import Path
from typing import TYPE_CHECKING, Any

from corvex.cli._common import CliError
from corvex.units import Display, display_unit

if TYPE_CHECKING:
    from corvex.base import LogFile
    from corvex.lap import Lap

__all__ = [
    "LAP_COLOR",
    "REF_COLOR",
    "PLOT_DPI",
    "PLOT_MARGIN",
    "PLOT_PANEL",
    "PLOT_WIDTH",
    "channel_display",
    "figure_legend",
    "is_stepped",
    "overlay_styles",
    "pyplot",
    "tidy_value_axis",
    "vertical_marks",
]

# The lap drawn, and the lap it is compared with, in every picture.
LAP_COLOR = "tab:red"
REF_COLOR = "tab:blue"

# Plot size in pixels: PLOT_WIDTH wide, PLOT_MARGIN plus PLOT_PANEL per channel high.
PLOT_DPI = 100
PLOT_WIDTH = 1200
PLOT_MARGIN = 100
PLOT_PANEL = 250


def pyplot(command: str) -> Any:
    """matplotlib's pyplot on the Agg backend, or a one-line error that says how to get it."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        raise CliError(
            f"corvex {command} needs matplotlib, which is not installed: pip install 'corvex[plot]'"
        ) from None
    return plt


def save_figure(plt: Any, figure: Any, path: str | os.PathLike[str]) -> None:
    """Write ``figure`` to ``path`` whole: under a unique temporary name beside it, then
    renamed, so that a picture cut short never takes the place of a good one; the figure is
    closed."""
    import tempfile

    target = Path(path)
    kind = target.suffix.lstrip(".").lower() or "png"
    handle, name = tempfile.mkstemp(prefix=f".{target.name}.", suffix=".tmp", dir=target.parent)
    os.close(handle)
    tmp = Path(name)
    try:
        figure.savefig(tmp, dpi=figure.dpi, format=kind)
        os.replace(tmp, target)
    except BaseException:
        tmp.unlink(missing_ok=True)
        raise
    finally:
        plt.close(figure)


def channel_display(log: LogFile | Lap, name: str, units: str, values: list[Any]) -> Display:
    """The :class:`Display` of channel ``name`` for the values to be drawn."""
    meta = log[name].schema.field(1).metadata or {}
    unit = meta.get(b"units", b"").decode("utf-8", "replace")
    largest = None
    if unit == "%":
        import numpy as np

        finite = [np.abs(v[np.isfinite(v)]) for v in values if len(v)]
        largest = max((float(f.max()) for f in finite if len(f)), default=None)
    return display_unit(unit, units, largest)


def is_stepped(field: Any) -> bool:
    """Whether a channel's field says its values hold until the next record (no interpolation)."""
    return (field.metadata or {}).get(b"interpolate") != b"True"


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


def tidy_value_axis(ax: Any, field: Any, values: list[Any], unit: str = "") -> None:
    """A value axis a racer reads at a glance: whole numbers for a channel of whole numbers
    (gear, flags), the plain value without an offset, and a constant channel shown as its one
    value in a sensible range (not 1.90 to 2.10; 0 to 100 for a percentage)."""
    import numpy as np
    import pyarrow as pa
    from matplotlib.ticker import MaxNLocator

    ax.ticklabel_format(axis="y", useOffset=False, style="plain")
    whole = pa.types.is_integer(field.type) or pa.types.is_boolean(field.type)
    if whole:
        ax.yaxis.set_major_locator(MaxNLocator(integer=True))
    finite = [v[np.isfinite(v)] for v in values if len(v)]
    finite = [f for f in finite if len(f)]
    if not finite:
        return
    low = min(float(f.min()) for f in finite)
    high = max(float(f.max()) for f in finite)
    if high == low:
        if unit == "%" and 0.0 <= low <= 100.0:
            ax.set_ylim(-5.0, 105.0)
        else:
            pad = 1.0 if whole or low == 0 else max(abs(low) * 0.1, 1e-6)
            ax.set_ylim(low - pad, high + pad)
    elif whole:
        ax.set_ylim(low - 0.5, high + 0.5)


def overlay_styles(count: int) -> list[dict[str, Any]]:
    """Line styles of ``count`` runs drawn over each other: the lap thin and red on top, the
    one it is compared with wider, blue and light beneath it, so that both show where they
    coincide; many laps from a colour map."""
    if count == 1:
        return [{"color": LAP_COLOR, "linewidth": 1.0, "zorder": 3}]
    if count == 2:
        return [
            {"color": LAP_COLOR, "linewidth": 1.0, "zorder": 3},
            {"color": REF_COLOR, "linewidth": 2.2, "alpha": 0.55, "zorder": 2},
        ]
    import matplotlib as mpl

    cmap = mpl.colormaps["viridis"]
    return [{"color": cmap(0.9 * k / (count - 1)), "linewidth": 1.0} for k in range(count)]


def figure_legend(figure: Any, axes: Any) -> float:
    """The legend of the lines of ``axes`` under the panels, where it covers no data; returns
    the share of the figure's height it takes, to leave free in ``tight_layout``."""
    handles, labels = axes.get_legend_handles_labels()
    if not handles:
        return 0.0
    columns = min(len(handles), 4)
    rows = -(-len(handles) // columns)
    inches = float(figure.get_size_inches()[1])
    share = min(0.3, (0.12 + 0.22 * rows) / inches)
    figure.legend(
        handles, labels, loc="lower center", ncol=columns, fontsize="small", frameon=False
    )
    return share
