"""`LogFile`: one IBT telemetry session as Arrow tables.

The reader builds a `LogFile` from four values: the channel tables, the lap table, the metadata
dictionary and the source label. Every channel table holds two columns, ``timecodes`` (session
time in milliseconds, int64) and the channel's values, and all channels of one file share the
same ``timecodes`` buffer. The conveniences here rely on that: they combine and slice the tables
without copying column data.
"""

from __future__ import annotations

import difflib
import shutil
from collections.abc import Iterable, Iterator
from functools import cached_property
from typing import TYPE_CHECKING, Any

import pyarrow as pa
import pyarrow.compute as pc

if TYPE_CHECKING:
    import pandas

__all__ = ["LogFile", "format_lap_time"]

TIME_COLUMN = "timecodes"


class LogFile:
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

    Indexing with a channel name gives that channel's table; :meth:`to_table` joins channels
    into one wide table, and a ``LogFile`` can be handed to any consumer of the Arrow PyCapsule
    stream protocol, e.g. ``polars.DataFrame(log)`` or ``duckdb.sql("select * from log")``.
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

    # -- channels ---------------------------------------------------------------------------

    @property
    def channel_names(self) -> list[str]:
        """The channel names, in file order."""
        return list(self.channels)

    def __getitem__(self, name: str) -> pa.Table:
        """The table of channel ``name``: columns ``timecodes`` and ``name``."""
        try:
            return self.channels[name]
        except KeyError:
            raise KeyError(_unknown_channels_message([name], self.channels)) from None

    def __contains__(self, name: object) -> bool:
        return name in self.channels

    def __iter__(self) -> Iterator[str]:
        return iter(self.channels)

    @property
    def timecodes(self) -> pa.ChunkedArray:
        """The shared time column (session time in ms); empty when there are no channels."""
        for table in self.channels.values():
            return table.column(0)
        return pa.chunked_array([], pa.int64())

    @property
    def record_count(self) -> int:
        """Number of sample records (rows of every channel table)."""
        for table in self.channels.values():
            return int(table.num_rows)
        return int(self.metadata.get("record_count", 0))

    def to_table(self, channels: Iterable[str] | str | None = None) -> pa.Table:
        """One wide table: ``timecodes`` followed by the value column of each channel.

        ``channels`` picks and orders the channels (a name or an iterable of names; default:
        all, in file order). The columns are the channels' own arrays, not copies, and each
        value field keeps its unit, description and interpolation metadata. Raises ``KeyError``
        for an unknown name and ``ValueError`` if two channels do not share one time column.
        """
        names = self._select(channels)
        tables = [self.channels[name] for name in names]
        if not self.channels:
            return pa.table({TIME_COLUMN: pa.array([], pa.int64())})
        base = tables[0] if tables else next(iter(self.channels.values()))
        time = base.column(0)
        fields = [base.schema.field(0)]
        columns = [time]
        for name, table in zip(names, tables):
            if not _same_column(table.column(0), time):
                raise ValueError(f"channel {name!r} does not share the time column")
            fields.append(table.schema.field(1))
            columns.append(table.column(1))
        return pa.Table.from_arrays(columns, schema=pa.schema(fields))

    def to_pandas(
        self, channels: Iterable[str] | str | None = None, **kwargs: Any
    ) -> pandas.DataFrame:
        """The wide table of :meth:`to_table` as a pandas ``DataFrame``.

        Keyword arguments go to ``pyarrow.Table.to_pandas``. pandas must be installed.
        """
        frame: pandas.DataFrame = self.to_table(channels).to_pandas(**kwargs)
        return frame

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object:
        """Export the wide table (all channels) through the Arrow PyCapsule stream protocol.

        A ``requested_schema`` capsule casts the table to that schema first, as pyarrow 15 and
        later do; pyarrow 14's own export refuses any cast.
        """
        table = self.to_table()
        if requested_schema is not None:
            table = table.cast(pa.Schema._import_from_c_capsule(requested_schema))
        return table.__arrow_c_stream__()

    def _select(self, channels: Iterable[str] | str | None) -> list[str]:
        if channels is None:
            return list(self.channels)
        names = [channels] if isinstance(channels, str) else list(channels)
        unknown = [name for name in names if name not in self.channels]
        if unknown:
            raise KeyError(_unknown_channels_message(unknown, self.channels))
        return list(dict.fromkeys(names))

    # -- laps -------------------------------------------------------------------------------

    @property
    def lap_summary(self) -> pa.Table:
        """The lap table with one more column, ``lap_time``: end minus start, in seconds."""
        start = self.laps.column("start_time")
        end = self.laps.column("end_time")
        seconds = pc.divide(pc.cast(pc.subtract(end, start), pa.float64()), 1000.0)
        return self.laps.append_column(pa.field("lap_time", pa.float64(), nullable=False), seconds)

    @property
    def fastest_lap(self) -> int | None:
        """Row of the lap table of the fastest "full" lap, or None when there is none."""
        best: tuple[int, int] | None = None
        for row, lap in enumerate(self.laps.to_pylist()):
            if lap["lap_type"] == "full":
                duration = lap["end_time"] - lap["start_time"]
                if best is None or duration < best[0]:
                    best = (duration, row)
        return None if best is None else best[1]

    def lap(self, num: int, session: int | None = None) -> LogFile:
        """A `LogFile` restricted to the records of lap ``num``.

        The lap is the row of the lap table with ``num`` (and ``session``, when given). Its
        records are those from ``start_time`` up to, not including, ``end_time``: the end is
        exclusive because a lap ends at the timecode where the next lap starts. The last row of
        the lap table ends at its own last record, so its end is inclusive.

        The lap table is built from the runs of equal values of the ``Lap`` channel, so when
        that channel is there and its runs match the table row for row, the records are taken
        from the runs; this gives the same records as the times and stays right when the
        session clock restarts inside a file. Otherwise the records are found by their
        timecodes: from the first that reaches ``start_time`` to the first later one that
        reaches ``end_time``.

        The channel tables are slices of the original ones (no copy); ``laps`` holds that one
        row and ``metadata`` is a copy with "record_count" set to the records kept.

        Raises ``KeyError`` when there is no such lap and ``ValueError`` when the number occurs
        more than once (a new session restarts the count) and ``session`` does not tell which.
        """
        return self.lap_at(self._lap_row(num, session))

    def lap_at(self, row: int) -> LogFile:
        """Like :meth:`lap`, for the lap in row ``row`` of the lap table."""
        if not 0 <= row < self.laps.num_rows:
            raise IndexError(f"lap table row {row} out of range (0..{self.laps.num_rows - 1})")
        first, stop = self._record_range(row)
        channels = {name: table.slice(first, stop - first) for name, table in self.channels.items()}
        metadata = dict(self.metadata, record_count=stop - first)
        return LogFile(channels, self.laps.slice(row, 1), metadata, self.source)

    def _lap_row(self, num: int, session: int | None) -> int:
        nums = self.laps.column("num").to_pylist()
        sessions = self.laps.column("session").to_pylist()
        rows = [r for r, n in enumerate(nums) if n == num and session in (None, sessions[r])]
        where = "" if session is None else f" in session {session}"
        if not rows:
            known = ", ".join(str(n) for n in dict.fromkeys(nums)) or "none"
            raise KeyError(f"no lap {num}{where} (laps: {known})")
        if len(rows) > 1:
            in_sessions = sorted({sessions[r] for r in rows})
            if session is None and len(in_sessions) > 1:
                hint = f"; pick one with session= ({', '.join(map(str, in_sessions))})"
            else:
                hint = ""
            raise ValueError(f"lap {num}{where} occurs {len(rows)} times{hint}")
        return rows[0]

    def _record_range(self, row: int) -> tuple[int, int]:
        """Record indices [first, stop) of the lap in row ``row`` of the lap table."""
        runs = self._lap_runs()
        if runs is not None:
            return runs[row]
        time = self.timecodes
        count = len(time)
        start = self.laps.column("start_time")[row]
        end = self.laps.column("end_time")[row]
        first = _first_true(pc.greater_equal(time, start), 0, count)
        past_end = (
            pc.greater(time, end) if row == self.laps.num_rows - 1 else pc.greater_equal(time, end)
        )
        stop = _first_true(past_end, first, count)
        return first, stop

    def _lap_runs(self) -> list[tuple[int, int]] | None:
        """[first, stop) of each run of equal ``Lap`` values, if they match the lap table."""
        table = self.channels.get("Lap")
        if table is None or table.num_rows == 0:
            return None
        values = table.column(1)
        count = len(values)
        changes = pc.indices_nonzero(pc.not_equal(values.slice(1), values.slice(0, count - 1)))
        bounds = [0, *(i + 1 for i in changes.to_pylist()), count]
        if len(bounds) - 1 != self.laps.num_rows:
            return None
        nums = self.laps.column("num").to_pylist()
        starts = self.laps.column("start_time").to_pylist()
        time = table.column(0)
        for first, num, start in zip(bounds, nums, starts):
            if values[first].as_py() != num or time[first].as_py() != start:
                return None
        return list(zip(bounds[:-1], bounds[1:]))

    # -- session info -----------------------------------------------------------------------

    @cached_property
    def session_info(self) -> dict[str, Any]:
        """The session info text parsed into nested dicts and lists (never fails).

        Values that a YAML loader would misread or reject, such as driver names with quotes,
        ``#``, ``: `` or a leading ``-``, are kept as text. The raw text stays available as
        ``metadata["session_info_yaml"]``.
        """
        from corvex.session_info import parse_session_info

        return parse_session_info(self.metadata.get("session_info_yaml", ""))

    # -- display ----------------------------------------------------------------------------

    @property
    def duration(self) -> float:
        """Seconds from the first to the last record (0.0 without records)."""
        time = self.timecodes
        if len(time) == 0:
            return 0.0
        return float(time[len(time) - 1].as_py() - time[0].as_py()) / 1000.0

    def __repr__(self) -> str:
        width = max(shutil.get_terminal_size((80, 24)).columns, 40)
        meta = self.metadata
        lines = [f"<corvex.LogFile {self.source}"]
        track = _track_text(meta)
        if track:
            lines.append(f"  track:    {track}")
        rate = meta.get("tick_rate")
        rate_text = f" at {rate} Hz" if rate else ""
        lines.append(
            f"  records:  {self.record_count}{rate_text}, {format_lap_time(self.duration)}"
        )
        names = self.channel_names
        preview = ", ".join(names[:8]) + (", ..." if len(names) > 8 else "")
        lines.append(f"  channels: {len(names)}" + (f" ({preview})" if names else ""))
        laps_text = f"  laps:     {self.laps.num_rows}"
        best = self.fastest_lap
        if best is not None:
            summary = self.lap_summary
            laps_text += (
                f", fastest lap {summary.column('num')[best].as_py()}"
                f" in {format_lap_time(summary.column('lap_time')[best].as_py())}"
            )
        lines.append(laps_text)
        fitted = [_fit(line, width) for line in lines[:-1]] + [_fit(lines[-1], width - 1) + ">"]
        return "\n".join(fitted)


def format_lap_time(seconds: float) -> str:
    """``seconds`` as m:ss.mmm (h:mm:ss.mmm from one hour on)."""
    millis = round(seconds * 1000)
    sign = "-" if millis < 0 else ""
    millis = abs(millis)
    hours, rest = divmod(millis, 3_600_000)
    minutes, rest = divmod(rest, 60_000)
    secs, ms = divmod(rest, 1000)
    if hours:
        return f"{sign}{hours}:{minutes:02d}:{secs:02d}.{ms:03d}"
    return f"{sign}{minutes}:{secs:02d}.{ms:03d}"


def _track_text(meta: dict[str, Any]) -> str:
    name = meta.get("track_display_name") or meta.get("track_name") or ""
    place = ", ".join(p for p in (meta.get("track_city"), meta.get("track_country")) if p)
    text = name + (f" ({place})" if place else "")
    if meta.get("track_length"):
        text += (", " if text else "") + meta["track_length"]
    return text


def _fit(line: str, width: int) -> str:
    return line if len(line) <= width else line[: width - 3] + "..."


def _first_true(mask: pa.ChunkedArray, start: int, count: int) -> int:
    """Index of the first true value of ``mask`` at or after ``start``, or ``count``."""
    if start >= count:
        return count
    found = pc.index(mask, True, start=start).as_py()
    return count if found < 0 else found


def _same_column(a: pa.ChunkedArray, b: pa.ChunkedArray) -> bool:
    """True when ``a`` and ``b`` hold the same values, checked by buffer identity first."""
    if a is b:
        return True
    if len(a) != len(b):
        return False
    if a.num_chunks == b.num_chunks and all(_same_buffer(x, y) for x, y in zip(a.chunks, b.chunks)):
        return True
    return bool(a.equals(b))


def _same_buffer(a: pa.Array, b: pa.Array) -> bool:
    if a.offset != b.offset or len(a) != len(b):
        return False
    return all(
        (x is None and y is None) or (x is not None and y is not None and x.address == y.address)
        for x, y in zip(a.buffers(), b.buffers())
    )


def _unknown_channels_message(unknown: list[str], channels: dict[str, Any]) -> str:
    parts = []
    for name in unknown:
        close = difflib.get_close_matches(name, list(channels), n=3)
        parts.append(f"{name!r}" + (f" (did you mean {', '.join(close)}?)" if close else ""))
    noun = "channel" if len(unknown) == 1 else "channels"
    return f"no {noun} " + ", ".join(parts)
