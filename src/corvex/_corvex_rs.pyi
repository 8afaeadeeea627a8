"""Types of corvex's compiled extension, which reads IBT files in C++."""

from collections.abc import Callable
from typing import Any

import pyarrow as pa

from corvex import Source
from corvex.base import LogFile

__all__ = ["ibt", "live_open", "live_read", "live_status", "live_replay", "lap_table"]

# An internal failure of the reader raises corvex._corvex_rs.PanicException, a BaseException
# (like SystemExit, so that `except Exception` does not swallow it). The module creates that
# class when it first raises it and does not export it, so it has no name to declare here.

def ibt(source: Source, progress: Callable[[int, int], object] | None = None) -> LogFile:
    """Read a whole IBT file and return its :class:`~corvex.base.LogFile`.

    ``source`` is a path, the file's bytes (any bytes-like object) or a binary file object;
    ``progress(done, total)`` is called after each channel table is built.
    """

# Live telemetry (corvex.live, corvex.recording): a handle is an opaque capsule.

def live_open(path: str | None = None) -> object:
    """Open live telemetry: the file at ``path``, or the simulator's shared memory."""

def live_read(
    handle: object, count: int = 1, timeout: float | None = None, latest: bool = False
) -> tuple[pa.RecordBatch, dict[str, Any]] | None:
    """Records as one batch and what they are (ticks, missed, new_layout, ...), or None."""

def live_status(handle: object) -> dict[str, Any]:
    """The header now: connected, and once a layout was read, its facts."""

def live_replay(
    source: str,
    path: str | None = None,
    speed: float = 1.0,
    first_tick: int = 1,
    progress: Callable[[int, int], object] | None = None,
    lead_in: float = 0.0,
) -> dict[str, Any]:
    """Publish an IBT file as live telemetry."""

def lap_table(
    timecodes: object, lap: object, on_pit_road: object = None, lap_dist_pct: object = None
) -> pa.Table:
    """The lap table of records given as columns, by the file reader's rules."""
