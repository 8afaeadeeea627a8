"""`Lap`: one lap of a recording, what ``log.lap(n)`` and ``log.lap_at(row)`` give.

A lap's channels are slices of the recording's tables (nothing is copied), and it owns what only
makes sense for one lap: its time and validity, the distance axis (:meth:`Lap.on_distance`) and
the delta to a reference lap (:meth:`Lap.delta`, :func:`delta`).
"""

from __future__ import annotations

import os
from collections.abc import Iterable
from functools import cached_property
from pathlib import Path
from typing import TYPE_CHECKING, Any

import pyarrow as pa

from corvex.formatting import channels_line, format_lap_time, repr_block
from corvex.laps import LapNumber, LapTiming, lap_groups, record_ranges, row_sessions
from corvex.tables import ChannelTables

if TYPE_CHECKING:
    from corvex.base import LogFile
    from corvex.track import TrackModel

__all__ = ["Lap", "delta"]

# The channels a lap is placed on the track by, besides those asked for.
_DISTANCE_CHANNELS = ("LapDist", "LapDistPct")


class Lap(ChannelTables):
    """One lap of a recording: the records of one row of its lap table.

    The records run from the lap's ``start_time`` up to, not including, its ``end_time``, which
    is where the next lap starts; the last lap of the file ends at its own last record, which is
    included. When the ``Lap`` channel's runs match the lap table they are the lap's records
    (right even when the session clock restarts); see :func:`corvex.laps.record_ranges`. A lap
    that one-record rows split in the lap table (a reset inside it, see
    :func:`corvex.laps.lap_groups`) is one lap: ``log.lap(n)`` gives all its rows.

    Attributes:
        num: the lap number, a :class:`~corvex.LapNumber` (so ``log.lap(lap.num)`` is this lap).
        session: its session, counted from 0 as :func:`corvex.laps.lap_groups` counts them (a
            one-record lap 0 starts none).
        row: its (first) row in the recording's lap table; ``rows`` all of them.
        lap_type: "full", "partial", "in", "out" or "incomplete" (the first row's).
        lap_time: seconds from its start to its end (the recording's ``lap_summary``).
        status: "timed" when it counts, else why not ("out", "in", "reset", ...; see
            :attr:`corvex.laps.LapTiming.statuses`).
        log: the :class:`~corvex.LogFile` it was cut from.
        channels: channel name -> table of ``timecodes`` and the channel, sliced to the lap.
        laps: the lap table's one row of this lap.
        metadata: a copy of the recording's, with "record_count" the lap's records.
        source: the recording's source.

    ``lap[name]``, ``name in lap``, :meth:`to_table`, :meth:`to_pandas` and the Arrow stream
    work as on a ``LogFile``; ``to_table()`` also names the lap in its schema metadata, so that
    the table saved as Parquet is a reference lap for :func:`corvex.delta`.
    """

    def __init__(self, log: LogFile, row: int, stop_row: int | None = None) -> None:
        if not 0 <= row < log.laps.num_rows:
            raise IndexError(f"lap table row {row} out of range (0..{log.laps.num_rows - 1})")
        stop_row = row + 1 if stop_row is None else max(row + 1, min(stop_row, log.laps.num_rows))
        ranges = record_ranges(log.laps, log.channels)
        first, stop = ranges[row][0], ranges[stop_row - 1][1]
        self.log = log
        self.row = row
        self.rows = range(row, stop_row)
        self.laps = log.laps.slice(row, stop_row - row)
        entries = self.laps.to_pylist()
        entry = entries[0]
        self.session: int = row_sessions(log.laps, lap_groups(log.laps))[row]
        self.num = LapNumber(entry["num"], self.session, row)
        self.lap_type: str = entry["lap_type"]
        self.lap_time = (entries[-1]["end_time"] - entry["start_time"]) / 1000.0
        self.channels = {name: t.slice(first, stop - first) for name, t in log.channels.items()}
        self.metadata = dict(log.metadata, record_count=stop - first)
        self.source = log.source
        self._first = first

    @cached_property
    def valid(self) -> bool:
        """Whether the recording counts this lap as valid (its ``lap_summary``'s ``valid``)."""
        return self._timing.valid[self.row] and len(self.rows) == 1

    @cached_property
    def status(self) -> str:
        """ "timed" when the lap counts, else why not (its ``lap_summary``'s ``status``)."""
        return "reset" if len(self.rows) > 1 else self._timing.statuses[self.row]

    @cached_property
    def _timing(self) -> LapTiming:
        return LapTiming(self.log.laps, self.log.channels, self.log.metadata)

    @property
    def session_info(self) -> dict[str, Any]:
        """The recording's session info, parsed (see :attr:`LogFile.session_info`)."""
        return self.log.session_info

    @property
    def session_info_text(self) -> str:
        """The recording's session info text (see :attr:`LogFile.session_info_text`)."""
        return self.log.session_info_text

    @property
    def lap_summary(self) -> pa.Table:
        """This lap's row (rows) of the recording's :attr:`LogFile.lap_summary`."""
        return self.log.lap_summary.slice(self.row, len(self.rows))

    def lap_record_ranges(self) -> list[tuple[int, int]]:
        """``[(0, record_count)]``: the lap is all of its records."""
        return [(0, self.record_count)]

    @cached_property
    def arrays(self) -> dict[str, pa.Table]:
        """The recording's array variables (:attr:`LogFile.arrays`), sliced to the lap."""
        count = self.record_count
        return {name: t.slice(self._first, count) for name, t in self.log.arrays.items()}

    def high_rate(self, name: str) -> pa.Table:
        """The lap's samples of an ``_ST`` array variable at their own rate (see
        :meth:`LogFile.high_rate`)."""
        from corvex.arrays import high_rate

        return high_rate(
            self.arrays, name, self.metadata.get("tick_rate"), self.source, self.channels
        )

    def on_distance(
        self, step: float = 1.0, channels: Iterable[str] | str | None = None
    ) -> pa.Table:
        """This lap resampled onto a distance grid of ``step`` metres from the line.

        Columns ``distance`` (m), ``time`` (s since the lap crossed the line) and the channels
        (default: all). Distance comes from ``LapDist``, or ``LapDistPct`` times the track
        length; interpolation follows each channel's ``interpolate`` flag. Only the distance
        the lap covered is resampled. Raises ``ValueError`` when the lap has no distance.
        """
        from corvex.analysis import on_distance

        names = self._select(channels)
        extra = [n for n in _DISTANCE_CHANNELS if n in self.channels and n not in names]
        return on_distance(self.to_table(names + extra), step, names)

    def delta(
        self, reference: Lap | pa.Table | str | os.PathLike[str], step: float = 1.0
    ) -> pa.Table:
        """Time gained or lost along this lap against ``reference`` (see :func:`corvex.delta`)."""
        return delta(self, reference, step)

    def corners(
        self,
        reference: Lap | pa.Table | str | os.PathLike[str],
        track: TrackModel | None = None,
    ) -> pa.Table:
        """This lap against ``reference``, corner by corner and straight by straight.

        ``reference`` is another lap of this recording or of another of the same track, a wide
        table of one lap, or the Parquet path of a saved lap. ``track`` is the model both are
        put on (default: the recording's, :attr:`LogFile.track`, drawn from all its valid
        laps). The zones tile the lap, so their times add up to the lap's time difference; see
        :func:`corvex.corner_analysis.corner_table` for the columns.
        """
        from corvex.corner_analysis import corner_table, lap_table

        return corner_table(lap_table(self), lap_table(reference), track or self.log.track)

    def to_motec(
        self,
        path: str | os.PathLike[str],
        channels: Iterable[str] | str | None = None,
        *,
        source_path: bool = False,
    ) -> list[Path]:
        """Write this lap as a MoTeC i2 log (see :meth:`LogFile.to_motec`)."""
        from corvex.motec import write_motec

        return write_motec(self, path, channels, source_path=source_path)

    def _wide_metadata(self) -> dict[bytes, bytes]:
        from corvex.analysis import META, table_metadata

        out = table_metadata(self.metadata, self.session_info, None)
        out[META["lap"]] = str(int(self.num)).encode()
        out[META["session"]] = str(self.session).encode()
        out[META["lap_time"]] = repr(self.lap_time).encode()
        return out

    def __repr__(self) -> str:
        rate = self.metadata.get("tick_rate")
        verdict = "valid" if self.valid else f"not valid: {self.status}"
        return repr_block(
            [
                f"<corvex.Lap {self.num} of session {self.session} in {self.source}",
                f"  lap time: {format_lap_time(self.lap_time)} ({self.lap_type}, {verdict})",
                f"  records:  {self.record_count}" + (f" at {rate} Hz" if rate else ""),
                channels_line(self.channel_names),
            ]
        )


def delta(
    lap: Lap | pa.Table | str | os.PathLike[str],
    reference: Lap | pa.Table | str | os.PathLike[str],
    step: float = 1.0,
) -> pa.Table:
    """Time gained or lost along ``lap`` against ``reference``, on a grid of ``step`` metres.

    Each side is a :class:`Lap` (``log.lap(n)``), a wide table of one lap (``lap.to_table()``),
    a table that :func:`corvex.analysis.on_distance` made, or the path of a Parquet file holding
    either. See :func:`corvex.analysis.delta` for the columns; laps of different tracks raise
    ``ValueError``, and a whole recording ``TypeError`` (pick one lap with ``log.lap(n)``).
    """
    from corvex.analysis import delta as table_delta

    return table_delta(_lap_table(lap), _lap_table(reference), step)


def _lap_table(
    side: Lap | pa.Table | str | os.PathLike[str],
) -> pa.Table | str | os.PathLike[str]:
    """A :class:`Lap` as the wide table of what the delta needs; anything else as it is."""
    if isinstance(side, Lap):
        return side.to_table([n for n in ("Speed", *_DISTANCE_CHANNELS) if n in side.channels])
    if isinstance(side, ChannelTables):
        raise TypeError(
            f"a {type(side).__name__} holds a whole recording: pick one lap with log.lap(n)"
        )
    return side
