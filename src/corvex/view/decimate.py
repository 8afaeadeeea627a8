"""Thinning a trace to the pixels it fills: min-max decimation.

A chart ``px`` pixels wide shows at most two values in each column of pixels: the lowest and the
highest of the samples that fall into it. Keeping those two samples of each column (in the
order they were recorded) draws the same picture as all of them, peaks and dips included, with
at most ``2 * px`` points. A one-hour recording never reaches the browser whole: each trace is
cut to the window shown and thinned to the chart's width.

numpy does it in a few linear passes (``reduceat`` over the columns): 0.3 ms for a lap at 60 Hz
(5,400 samples) and 1.7 ms for one at 360 Hz (32,400) into 1,200 columns. tsdownsample, a
compiled library made for this, takes 0.06 ms for either; a view thins at most a dozen laps'
traces per request, which then cross the network and are drawn in tens of milliseconds, so the
difference is not one a user could notice and the dependency is left out.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np

if TYPE_CHECKING:
    from numpy.typing import NDArray

__all__ = ["min_max", "window"]


def window(x: NDArray[Any], low: float, high: float) -> tuple[int, int]:
    """``[first, stop)`` of the samples of ``x`` (ascending) in ``[low, high]``, and one more
    on each side, so that a line drawn through them reaches the window's edges."""
    first = max(int(np.searchsorted(x, low, side="left")) - 1, 0)
    stop = min(int(np.searchsorted(x, high, side="right")) + 1, len(x))
    return first, max(first, stop)


def min_max(x: NDArray[Any], y: NDArray[Any], low: float, high: float, px: int) -> NDArray[np.intp]:
    """Indices of the samples to draw of a trace ``y`` over ``x`` (ascending) in the window
    ``[low, high]`` on ``px`` columns of pixels: in each column the first and last sample, the
    lowest and the highest (NaN values are passed over), in their order; and the one sample
    each side of the window. A window that holds no more than four samples a column keeps all.
    """
    x = np.asarray(x, dtype=np.float64)
    y = np.asarray(y, dtype=np.float64)
    first, stop = window(x, low, high)
    if stop - first <= 4 * max(px, 1) or not high > low:
        return np.arange(first, stop, dtype=np.intp)
    xs, ys = x[first:stop], y[first:stop]
    column = np.clip(np.floor((xs - low) * (px / (high - low))), -1, px).astype(np.int64)
    count = len(xs)
    starts = np.concatenate(([0], np.flatnonzero(np.diff(column)) + 1))
    sizes = np.diff(np.append(starts, count))
    which = np.repeat(np.arange(len(starts)), sizes)
    keep = [starts, starts + sizes - 1]
    finite = np.isfinite(ys)
    if finite.any():
        order = np.arange(count)
        for pick in (np.minimum, np.maximum):
            filled = np.where(finite, ys, np.inf if pick is np.minimum else -np.inf)
            extreme = pick.reduceat(filled, starts)
            # The first sample of each column that holds its extreme (none in a column
            # without a finite value).
            hits = np.where((filled == extreme[which]) & finite, order, count)
            found = np.minimum.reduceat(hits, starts)
            keep.append(found[found < count])
    picked = np.concatenate(keep)
    picked.sort()
    picked = picked[np.concatenate(([True], np.diff(picked) > 0))]
    return np.asarray(picked + first, dtype=np.intp)
