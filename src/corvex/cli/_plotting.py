"""What the plotting commands share: matplotlib, the figure's size, lap labels, racer units.

Units a racer reads: the file stores SI units and fractions, speed in m/s, angles in radians,
pedals and other "%" channels from 0 to 1. Plots show speed in km/h (metric, the default) or mph
(imperial), angles (steering) in degrees, temperatures, pressures and volumes in the imperial
system's units on request, and "%" channels from 0 to 100. ``si`` shows the values as stored,
except that "%" channels still read 0-100.

Colours: the lap is always red and the reference (``--vs-lap``, REF) always blue, in ``plot``,
``compare`` and ``map`` alike.
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any

from corvex.cli._common import CliError

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
    "SYSTEMS",
    "Display",
    "channel_display",
    "display_unit",
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

SYSTEMS = ("metric", "imperial", "si")

# unit in the file -> system -> (unit shown, factor, offset)
_CONVERSIONS: dict[str, dict[str, tuple[str, float, float]]] = {
    "m/s": {"metric": ("km/h", 3.6, 0.0), "imperial": ("mph", 3600.0 / 1609.344, 0.0)},
    "C": {"imperial": ("F", 1.8, 32.0)},
    "kPa": {"imperial": ("psi", 1.0 / 6.894757293168361, 0.0)},
    "l": {"imperial": ("gal", 1.0 / 3.785411784, 0.0)},
    "rad": {"metric": ("deg", 180.0 / 3.141592653589793, 0.0)},
    "rad/s": {"metric": ("deg/s", 180.0 / 3.141592653589793, 0.0)},
}
for _unit in ("rad", "rad/s"):
    _CONVERSIONS[_unit]["imperial"] = _CONVERSIONS[_unit]["metric"]

# A "%" channel whose values stay within this bound is a 0..1 fraction; beyond it the values
# are taken to be percentages already and are not scaled again.
_FRACTION_LIMIT = 1.5


@dataclass(frozen=True)
class Display:
    """How to show values: ``unit`` is the label, shown = stored * ``scale`` + ``offset``."""

    unit: str
    scale: float = 1.0
    offset: float = 0.0

    def apply(self, values: Any) -> Any:
        """``values`` (a number or numpy array) in the displayed unit."""
        if self.scale == 1.0 and self.offset == 0.0:
            return values
        return values * self.scale + self.offset

    def label(self, name: str) -> str:
        """``"Speed [km/h]"``, or the bare name for a channel without a unit."""
        return f"{name} [{self.unit}]" if self.unit else name


def display_unit(unit: str, system: str = "metric", largest: float | None = None) -> Display:
    """The display of a channel stored in ``unit``.

    ``largest`` is the largest magnitude among the values to show, used to tell a 0..1 "%"
    channel from one already in percent; None assumes a fraction.
    """
    if system not in SYSTEMS:
        raise ValueError(f"unknown unit system {system!r} (use {', '.join(SYSTEMS)})")
    if unit == "%":
        fraction = largest is None or not largest > _FRACTION_LIMIT
        return Display("%", 100.0) if fraction else Display("%")
    shown = _CONVERSIONS.get(unit, {}).get(system)
    if shown is None:
        return Display(unit)
    return Display(*shown)


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
