"""Synthetic IBT files for tests: the writer, made-up sessions and the header table.

corvex's own tests, fuzz seeds and benchmarks build every file they read with this package, and
so can yours: a test of code that takes a :class:`~corvex.LogFile` needs no recording:

>>> import corvex
>>> from corvex.testing import FLOAT, Var, build_ibt, lap_variables
>>> ticks = 600  # ten seconds at 60 Hz
>>> data = build_ibt(
...     [*lap_variables(), Var("Speed", FLOAT, unit="m/s")],
...     {
...         "SessionTime": [i / 60 for i in range(ticks)],
...         "Lap": [1 + i // 300 for i in range(ticks)],
...         "LapDistPct": [(i % 300) / 300 for i in range(ticks)],
...         "Speed": [40.0] * ticks,
...     },
... )
>>> corvex.open(data).laps["num"].to_pylist()  # two laps of five seconds
[1, 2]

What is here:

- :mod:`corvex.testing.writer`: :func:`build_ibt` writes a recording from columns (any header
  field can be overridden, so it writes broken files too), :func:`build_snapshot` a live
  telemetry snapshot; :func:`keep_records` and :func:`repeat_records` cut or lengthen a file.
- :mod:`corvex.testing.sessions`: :func:`sample_session`, a short realistic session (an
  out-lap, three flying laps, an in-lap at 60 Hz), :func:`write_sample`, and
  :func:`race_session_info`, a race-size session info text with the tree it encodes.
- :mod:`corvex.testing.layout`: where each header field lies, to read or patch headers by name.
- :mod:`corvex.testing.race`: race sessions with pit stops, fuel and tyre readings.
- :mod:`corvex.testing.tracks`: tracks built from straights and turns (a road course, an oval,
  a figure eight) and laps driven round them by a simple car, with faults to order (braking
  earlier, a slower corner, a pit-lane start, a tow).

Nothing in corvex imports this package at run time except ``corvex demo``.
"""

from __future__ import annotations

from corvex.testing import layout
from corvex.testing.sessions import Quoted, race_session_info, sample_session, write_sample
from corvex.testing.writer import (
    BITFIELD,
    BOOL,
    CHAR,
    DOUBLE,
    FLOAT,
    HEADER_SIZE,
    INT,
    SUB_HEADER_SIZE,
    VAR_HEADER_SIZE,
    WIDTH,
    Bits,
    Layout,
    Var,
    build_ibt,
    build_ibt_layout,
    build_snapshot,
    keep_records,
    lap_variables,
    repeat_records,
)

__all__ = [
    "BITFIELD",
    "BOOL",
    "CHAR",
    "DOUBLE",
    "FLOAT",
    "HEADER_SIZE",
    "INT",
    "SUB_HEADER_SIZE",
    "VAR_HEADER_SIZE",
    "WIDTH",
    "Bits",
    "Layout",
    "Quoted",
    "Var",
    "build_ibt",
    "build_ibt_layout",
    "build_snapshot",
    "keep_records",
    "lap_variables",
    "layout",
    "race_session_info",
    "repeat_records",
    "sample_session",
    "write_sample",
]
