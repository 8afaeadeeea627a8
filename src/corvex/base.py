"""`LogFile`: one IBT telemetry session as Arrow tables.

The reader builds a `LogFile` from four values: the channel tables, the lap table, the metadata
dictionary and the source label. The channel views (a channel by name, the wide table, pandas,
the Arrow stream) are those of :class:`corvex.tables.ChannelTables`; lap lookup and lap timing
live in :mod:`corvex.laps`, one lap in :mod:`corvex.lap`, the array variables in
:mod:`corvex.arrays`. Here they meet, with the session info and the text view.
"""

from __future__ import annotations

import os
from collections.abc import Iterable
from functools import cached_property
from pathlib import Path
from typing import TYPE_CHECKING, Any

import pyarrow as pa

from corvex import laps as lap_timing
from corvex.arrays import ArrayVariables, LeftOutVariable, high_rate
from corvex.formatting import (
    channels_line,
    format_lap_time,
    lap_name,
    repr_block,
    track_text,
)
from corvex.lap import Lap
from corvex.laps import LapNumber, LapTiming, find_group, record_ranges
from corvex.tables import ChannelTables

if TYPE_CHECKING:
    from corvex.overview import LapReport
    from corvex.track import TrackModel

__all__ = ["Lap", "LapNumber", "LogFile"]


class LogFile(ChannelTables):
    """A telemetry session read from one IBT file.

    Attributes:
        channels: ``dict`` of channel name to ``pyarrow.Table`` with the columns ``timecodes``
            (int64, session time in ms) and the channel's values. The value field carries the
            metadata keys ``b"units"``, ``b"desc"`` and ``b"interpolate"``.
        laps: ``pyarrow.Table`` with one row per lap: ``num`` (int32), ``start_time`` and
            ``end_time`` (int64, ms of session time), ``lap_type`` ("full", "partial", "in",
            "out" or "incomplete") and ``session`` (int32, counted from 0). A lap ends at the
            timecode where the next one starts; the last lap ends at its own last record.
        metadata: ``dict`` with the raw session info text under "session_info_yaml", the
            weekend fields found in it ("track_name", "track_display_name", "track_city",
            "track_country", "track_length", "series_id", "season_id", "session_id",
            "sub_session_id", all text), and "tick_rate", "record_count", "lap_count",
            "session_start_date" (unix seconds), "start_time" and "end_time" (seconds).
        source: the path the file was read from, or "<bytes>".
        arrays: ``dict`` of array variable name to ``pyarrow.Table`` (``timecodes`` and a
            fixed-size list column of the variable's count values per record), read on first
            access; see :attr:`arrays` and :meth:`high_rate`.
        array_variables: where :attr:`arrays` comes from, an
            :class:`~corvex.arrays.ArrayVariables` (:func:`corvex.open` sets it).
        session_info, session_info_text: the session info parsed, and its text decoded from the
            file's bytes (UTF-8, or Windows-1252 for older files).
        session_info_bytes: the session info's text bytes as stored in the file, when the
            source could give them (:func:`corvex.open` fills them in), else None; the text is
            then the reader's own.
        left_out_variables: the variables the reader did not read as channels (arrays, and
            any of count 0), each a :class:`~corvex.arrays.LeftOutVariable`, in file order;
            :func:`corvex.open` fills them in from the same reading, else None.
        live_buffers: the buffer table ``[(tick_count, offset), ...]`` when the reader takes
            the file for a live telemetry snapshot (:func:`corvex.open` reads one as a
            recording of no records and warns; :func:`corvex.open_snapshot` reads it), else
            None.

    Indexing with a channel name gives that channel's table; :meth:`to_table` joins channels
    into one wide table, and a ``LogFile`` can be handed to any consumer of the Arrow PyCapsule
    stream protocol, e.g. ``polars.DataFrame(log)`` or ``duckdb.sql("select * from log")``.
    :meth:`lap` gives one lap, a :class:`~corvex.Lap`.
    """

    def __init__(
        self,
        channels: dict[str, pa.Table],
        laps: pa.Table,
        metadata: dict[str, Any],
        source: str,
    ) -> None:
        self.channels = channels
        self.laps = laps
        self.metadata = metadata
        self.source = source
        self.session_info_bytes: bytes | None = None
        self.left_out_variables: list[LeftOutVariable] | None = None
        self.live_buffers: list[tuple[int, int]] | None = None
        self.array_variables = ArrayVariables()

    # -- array variables --------------------------------------------------------------------

    @property
    def arrays(self) -> dict[str, pa.Table]:
        """The array variables (count > 1): name -> table of ``timecodes`` and the variable.

        The value column is a ``fixed_size_list`` of the variable's element type and count, one
        list per record, on the same time base as the channels (all array tables share one time
        column); the field carries ``b"units"``, ``b"desc"`` and ``b"interpolate"`` like a
        channel's. The tables are read on first access, from the source the ``LogFile`` came
        from (see :func:`corvex.open`), and kept. Raises ``ValueError`` when the source was not
        kept, and ``RuntimeError`` when the file no longer matches the channels read before.
        """
        time = self.timecodes if self.channels else None
        return self.array_variables.tables(time, self.source)

    def high_rate(self, name: str) -> pa.Table:
        """The sub-sampled array variable ``name`` (``..._ST``) at its own rate, one row per
        sample; see :func:`corvex.arrays.high_rate`."""
        return high_rate(
            self.arrays, name, self.metadata.get("tick_rate"), self.source, self.channels
        )

    # -- laps -------------------------------------------------------------------------------

    def lap(self, num: int, session: int | None = None) -> Lap:
        """The lap ``num`` (of ``session``, when given), a :class:`~corvex.Lap`.

        Its records are those from ``start_time`` up to, not including, ``end_time``; the last
        lap of the file ends at its own last record. Laps and sessions are those of the lap
        listings (:func:`corvex.laps.lap_groups`): a row of one record (the zeroed first record
        of a file, the trace of a reset) starts no session, and the rows of one lap number on
        both sides of it are one lap. Raises ``KeyError`` when there is no such lap and
        ``ValueError`` when the number occurs more than once (a new session restarts the count)
        and ``session`` does not tell which. A :class:`LapNumber` (as :attr:`fastest_lap`
        gives) brings its own session, and its row.
        """
        group = find_group(self.laps, num, session)
        return Lap(self, group.first, group.stop)

    def lap_at(self, row: int) -> Lap:
        """Like :meth:`lap`, for the lap in row ``row`` of the lap table (``IndexError``
        when there is no such row)."""
        return Lap(self, row)

    def lap_record_ranges(self) -> list[tuple[int, int]]:
        """Record indices ``[first, stop)`` of each row of the lap table, in its order: the
        records :meth:`lap_at` gives (see :func:`corvex.laps.record_ranges`)."""
        return record_ranges(self.laps, self.channels)

    @property
    def lap_summary(self) -> pa.Table:
        """The lap table with ``lap_time`` (s), ``sim_lap_time`` (the simulator's own, when the
        file records it), ``valid`` and the sector times ``sector_1`` .. ``sector_N``; see
        :attr:`corvex.laps.LapTiming.summary` for how each is found."""
        return self._timing.summary

    @property
    def stints(self) -> pa.Table:
        """The session split at its pit stops, a row per stint with its laps, the spread of its
        valid lap times and its fuel: see :func:`corvex.stints.stint_table`."""
        from corvex.stints import stint_table

        return stint_table(self.channels, self.lap_summary, self.lap_record_ranges())

    def lap_report(self) -> LapReport:
        """The lap summary with the fastest full lap marked, shown as a table in notebooks.

        ``lap_report().table`` is :attr:`lap_summary`; the report also prints as text and can be
        handed to any consumer of the Arrow PyCapsule stream protocol.
        """
        from corvex.overview import LapReport

        return LapReport.of(self)

    @property
    def sector_starts(self) -> list[float]:
        """Start of each sector as a lap fraction, from the session info (``[0.0]`` without)."""
        from corvex.analysis import sector_starts

        return sector_starts(self.session_info)

    @property
    def fastest_lap(self) -> LapNumber | None:
        """Number of the fastest valid lap (see :attr:`lap_summary`), or None.

        The result is a :class:`LapNumber`: the lap number, which also carries the lap's
        session, so ``log.lap(log.fastest_lap)`` is that lap even when numbers repeat.
        """
        return lap_timing.fastest_lap(self._timing.times)

    @property
    def best_sectors(self) -> pa.Table:
        """The best time of each sector over the valid laps: ``sector``, ``start``, ``time``,
        and ``num`` and ``session`` of the lap that set it (see
        :func:`corvex.laps.best_sectors`)."""
        return lap_timing.best_sectors(self.lap_summary, self.sector_starts)

    @property
    def theoretical_best(self) -> float | None:
        """The sum of the best sectors (s), or None when a sector has no valid time."""
        return lap_timing.theoretical_best(self.best_sectors)

    @cached_property
    def track(self) -> TrackModel:
        """The track model of this session: its line, corners and sectors, from the positions
        of its valid laps (its full laps when none is valid); see :mod:`corvex.track`.

        Built on first use and kept. Raises ``ValueError`` when no full lap has positions.
        """
        from corvex.track import session_track

        return session_track(self)

    @cached_property
    def _timing(self) -> LapTiming:
        # Built once: the summary, the stints, the fuel table and the track model all start
        # from it, and the log's laps and channels never change.
        return LapTiming(self.laps, self.channels, self.metadata, self.sector_starts)

    # -- exports ----------------------------------------------------------------------------

    def to_motec(
        self,
        path: str | os.PathLike[str],
        channels: Iterable[str] | str | None = None,
        *,
        source_path: bool = False,
    ) -> list[Path]:
        """Write a MoTeC i2 log: ``path`` (``.ld``) and its lap markers beside it (``.ldx``).

        ``channels`` picks and orders the channels (default: all). Returns the two paths. The
        log's comment names the source by its file name, by its whole path with
        ``source_path=True``. See :func:`corvex.motec.write_motec`; numpy must be installed.
        """
        from corvex.motec import write_motec

        return write_motec(self, path, channels, source_path=source_path)

    def _wide_metadata(self) -> dict[bytes, bytes]:
        from corvex.analysis import table_metadata

        return table_metadata(self.metadata, self.session_info, self.laps)

    # -- session info -----------------------------------------------------------------------

    @cached_property
    def session_info_text(self) -> str:
        """The session info text with its names spelled right.

        The reader's ``metadata["session_info_yaml"]`` is the text decoded as UTF-8 with
        replacement, so the accented names of files the simulator wrote in Windows-1252 come out
        as U+FFFD there. This text is decoded from the file's bytes instead: as UTF-8 when they
        are valid UTF-8, else as Windows-1252. The bytes are those :func:`corvex.open` kept from
        a bytes or file source, or read again from the path. When they are not to be had (a
        source that cannot be read again, a file changed since it was read) this is the reader's
        text.
        """
        from corvex.session_info import decode_session_info, read_session_info_path

        reader_text = str(self.metadata.get("session_info_yaml", ""))
        raw = self.session_info_bytes
        if raw is None and self.source != "<bytes>":
            raw = read_session_info_path(self.source)
        # The bytes must be those the reader decoded: the same text once decoded its way.
        if raw is None or raw.decode("utf-8", "replace") != reader_text:
            return reader_text
        return decode_session_info(raw)

    @cached_property
    def session_info(self) -> dict[str, Any]:
        """The session info text parsed into nested dicts and lists (never fails).

        Parsed from :attr:`session_info_text`, so names keep their accents whichever encoding
        the file used. Values that a YAML loader would misread or reject, such as driver names
        with quotes, ``#``, ``: `` or a leading ``-``, are kept as text. The reader's text stays
        available as ``metadata["session_info_yaml"]``.
        """
        from corvex.session_info import parse_session_info

        return parse_session_info(self.session_info_text)

    # -- display ----------------------------------------------------------------------------

    def __repr__(self) -> str:
        meta = self.metadata
        lines = [f"<corvex.LogFile {self.source}"]
        track = track_text(meta)
        if track:
            lines.append(f"  track:    {track}")
        rate = meta.get("tick_rate")
        rate_text = f" at {rate} Hz" if rate else ""
        lines.append(
            f"  records:  {self.record_count}{rate_text}, {format_lap_time(self.duration)}"
        )
        lines.append(channels_line(self.channel_names))
        listed = len(lap_timing.lap_groups(self.laps))
        laps_text = f"  laps:     {listed}"
        summary = self._timing.times
        fastest = lap_timing.fastest_lap(summary)
        if fastest is not None and fastest.row is not None:
            laps_text += (
                f", fastest {lap_name(self.laps, fastest, fastest.session)}"
                f" in {format_lap_time(summary.column('lap_time')[fastest.row].as_py())}"
            )
        lines.append(laps_text)
        return repr_block(lines)

    def _repr_html_(self) -> str:
        """The notebook view: track, car, driver, duration and the laps, the fastest marked."""
        from corvex.overview import logfile_html

        return logfile_html(self)
