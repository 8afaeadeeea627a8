"""What the plotting commands share: matplotlib, the figure's size, lap labels, racer units.

Units a racer reads: the file stores SI units and fractions, speed in m/s, pedals and other "%"
channels from 0 to 1. Plots show speed in km/h (metric, the default) or mph (imperial),
temperatures, pressures and volumes in the imperial system's units on request, and "%" channels
from 0 to 100. ``si`` shows the values as stored, except that "%" channels still read 0-100.
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
    "PLOT_DPI",
    "PLOT_MARGIN",
    "PLOT_PANEL",
    "PLOT_WIDTH",
    "SYSTEMS",
    "Display",
    "channel_display",
    "display_unit",
    "is_stepped",
    "pyplot",
    "vertical_marks",
]

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
}

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
