"""Units a racer reads, for values stored in the file's units.

The file stores SI units and fractions: speed in m/s, angles in radians, pedals and other "%"
channels from 0 to 1. Shown to a racer, speed is in km/h (``metric``, the default) or mph
(``imperial``), angles (steering) in degrees, temperatures, pressures and volumes in the
imperial system's units on request, and "%" channels from 0 to 100. ``si`` shows the values as
stored, except that "%" channels still read 0-100. The plots, the corner table, the CSV export's
racer units and the viewer all show values through :func:`display_unit`.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

__all__ = ["SYSTEMS", "Display", "display_unit"]

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
