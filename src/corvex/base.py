"""`LogFile`: one IBT telemetry session as Arrow tables.

The reader builds a `LogFile` from four values: the channel tables, the lap table, the metadata
dictionary and the source label. Every channel table holds two columns, ``timecodes`` (session
time in milliseconds, int64) and the channel's values, and all channels of one file share the
same ``timecodes`` buffer. The conveniences here rely on that: they combine and slice the tables
without copying column data.

pyarrow.compute is imported inside the methods that use it: it takes about as long to import as
pyarrow itself, and a look at a file's laps and session info does without it.
"""

from __future__ import annotations

import array
import difflib
import math
import os
import shutil
from collections.abc import Callable, Iterable, Iterator
from functools import cached_property
from pathlib import Path
from typing import TYPE_CHECKING, Any

import pyarrow as pa

if TYPE_CHECKING:
    import pandas

    from corvex.overview import LapReport
    from corvex.track import TrackModel

__all__ = ["LapNumber", "LogFile", "format_lap_time", "SIM_LAP_TIME_CHANNEL"]

TIME_COLUMN = "timecodes"

# The simulator's own time of the lap just completed, in seconds; it publishes the value in the
# first records of the next lap and keeps it until the lap after that is completed.
SIM_LAP_TIME_CHANNEL = "LapLastLapTime"

# The simulator publishes a lap's time within this many milliseconds of the next lap's start.
_PUBLISH_WINDOW_MS = 1000


class LapNumber(int):
    """A lap number that also knows its row and session in the lap table it comes from.

    It is the plain number everywhere an ``int`` is expected (``== 2``, ``f"{n}"``, sorting),
    and :meth:`LogFile.lap` takes its lap from it, so ``log.lap(log.fastest_lap)`` picks the
    right lap even when a later session, or the same one, repeats the number.
    """

    session: int
    row: int | None

    def __new__(cls, num: int, session: int = 0, row: int | None = None) -> LapNumber:
        self = super().__new__(cls, num)
        self.session = session
        self.row = row
        return self

    def __getnewargs__(self) -> tuple[int, int, int | None]:  # type: ignore[override]
        return int(self), self.session, self.row

    def __repr__(self) -> str:
        return f"LapNumber({int(self)}, session={self.session})"

    def __str__(self) -> str:
        return int.__repr__(self)


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
        arrays: ``dict`` of array variable name to ``pyarrow.Table`` (``timecodes`` and a
            fixed-size list column of the variable's count values per record), read on first
            access; see :attr:`arrays` and :meth:`high_rate`.
        session_info, session_info_text: the session info parsed, and its text decoded from the
            file's bytes (UTF-8, or Windows-1252 for older files).
        session_info_bytes: the session info's text bytes as stored in the file, when the
            source could give them (:func:`corvex.open` fills them in), else None; the text is
            then the reader's own.

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
        self.session_info_bytes: bytes | None = None
        # The array tables once read, how to read them on first access (corvex.open sets it),
        # or why they cannot be read.
        self._arrays: dict[str, pa.Table] | None = None
        self._arrays_loader: Callable[[], dict[str, pa.Table]] | None = None
        self._arrays_unavailable = "this LogFile was not made by corvex.open"

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
        if self._arrays is None:
            if self._arrays_loader is None:
                raise ValueError(f"no arrays for {self.source}: {self._arrays_unavailable}")
            tables = self._arrays_loader()
            self._check_arrays(tables)
            self._arrays, self._arrays_loader = tables, None  # the source is let go
        return self._arrays

    def set_arrays(self, tables: dict[str, pa.Table], *, check: bool = True) -> None:
        """Give the array tables read already; :attr:`arrays` returns them from now on.

        With ``check`` (the default) they must lie on this file's time base, else
        ``RuntimeError`` (the file changed since the channels were read).
        """
        if check:
            self._check_arrays(tables)
        self._arrays = tables

    def set_arrays_loader(self, loader: Callable[[], dict[str, pa.Table]]) -> None:
        """Read the array tables with ``loader()`` on the first access of :attr:`arrays`."""
        self._arrays_loader = loader

    def set_arrays_unavailable(self, reason: str) -> None:
        """Say why the arrays cannot be read: :attr:`arrays` raises ``ValueError`` with it."""
        self._arrays_unavailable = reason

    def _check_arrays(self, tables: dict[str, pa.Table]) -> None:
        """The arrays must lie on this file's time base; a file replaced since fails here."""
        if not self.channels:
            return
        for table in tables.values():
            if not table.column(0).equals(self.timecodes):
                raise RuntimeError(
                    f"{self.source}: the arrays read now do not lie on the time base of the "
                    "channels read before; the file changed since it was opened"
                )
            return

    def high_rate(self, name: str) -> pa.Table:
        """The sub-sampled array variable ``name`` (``..._ST``) as a flat table at its own rate.

        A ``_ST`` variable holds ``count`` samples taken within each tick, the last one at the
        record's own time (it equals the scalar variable of the same name without ``_ST``):
        sample ``j`` of a record at ``t`` ms lies ``(count - 1 - j) / (count x tick_rate)`` s
        earlier. One row per sample: ``timecodes`` (int64, ms, rounded to the nearest) and the
        values, with the variable's field metadata. Raises ``KeyError`` for a name that is not
        an array variable and ``ValueError`` for one without the ``_ST`` suffix or a file
        without a tick rate.
        """
        import numpy as np

        if name not in self.arrays:
            raise KeyError(_unknown_channels_message([name], self.arrays))
        if not name.endswith("_ST"):
            raise ValueError(
                f"{name!r} is not sampled within the tick (no _ST suffix); its elements are "
                "separate values of one record, see LogFile.arrays"
            )
        rate = int(self.metadata.get("tick_rate") or 0)
        if rate <= 0:
            raise ValueError(f"{self.source}: tick rate {rate} gives no sample times")
        table = self.arrays[name]
        field = table.schema.field(1)
        count = field.type.list_size
        lists = table.column(1).combine_chunks()
        values = lists.flatten()  # the child values, not copied
        record_ms = table.column(0).to_numpy()
        step = 1000.0 / (rate * count)
        offsets = np.rint((np.arange(count) - (count - 1)) * step).astype(np.int64)
        times = (record_ms[:, None] + offsets[None, :]).reshape(-1)
        value_field = pa.field(name, values.type, nullable=False, metadata=field.metadata)
        time_field = table.schema.field(0)
        return pa.Table.from_arrays(
            [pa.array(times, pa.int64()), values], schema=pa.schema([time_field, value_field])
        )

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
        value field keeps its unit, description and interpolation metadata. The schema metadata
        names the track and, for a one-lap ``LogFile``, the lap (keys ``corvex.*``), so that
        the table written as Parquet serves as a reference lap for :func:`corvex.delta`.
        Raises ``KeyError`` for an unknown name and ``ValueError`` if two channels do not share
        one time column.
        """
        from corvex.analysis import table_metadata

        names = self._select(channels)
        tables = [self.channels[name] for name in names]
        meta = table_metadata(self.metadata, self.session_info, self.laps)
        if not self.channels:
            return pa.table({TIME_COLUMN: pa.array([], pa.int64())}, metadata=meta)
        base = tables[0] if tables else next(iter(self.channels.values()))
        time = base.column(0)
        fields = [base.schema.field(0)]
        columns = [time]
        for name, table in zip(names, tables):
            if not _same_column(table.column(0), time):
                raise ValueError(f"channel {name!r} does not share the time column")
            fields.append(table.schema.field(1))
            columns.append(table.column(1))
        return pa.Table.from_arrays(columns, schema=pa.schema(fields, metadata=meta))

    def to_pandas(
        self, channels: Iterable[str] | str | None = None, **kwargs: Any
    ) -> pandas.DataFrame:
        """The wide table of :meth:`to_table` as a pandas ``DataFrame``.

        Keyword arguments go to ``pyarrow.Table.to_pandas``. pandas must be installed; without
        it this raises ``ModuleNotFoundError`` that says how to install it.
        """
        table = self.to_table(channels)
        try:
            import pandas  # noqa: F401 - only checks that pandas is there
        except ImportError:
            raise ModuleNotFoundError(
                "LogFile.to_pandas needs pandas, which is not installed: "
                "pip install 'corvex[pandas]'",
                name="pandas",
            ) from None
        frame: pandas.DataFrame = table.to_pandas(**kwargs)
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

    def to_motec(
        self, path: str | os.PathLike[str], channels: Iterable[str] | str | None = None
    ) -> list[Path]:
        """Write a MoTeC i2 log: ``path`` (``.ld``) and its lap markers beside it (``.ldx``).

        ``channels`` picks and orders the channels (default: all). Returns the two paths.
        See :func:`corvex.motec.write_motec`; numpy must be installed.
        """
        from corvex.motec import write_motec

        return write_motec(self, path, channels)

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
        """The lap table with ``lap_time`` (end minus start, s), ``valid`` and sector times.

        ``lap_time`` is ``end_time`` minus ``start_time``: the time between the first records of
        two laps, exact to the tick (1/60 s at 60 Hz). When the file has the channel
        ``LapLastLapTime`` (as numbers), ``sim_lap_time`` follows: the simulator's own time of
        the lap, which it measures between the moments the car crossed the line and so does not
        move with the ticks. It is read from the first records of the next lap, where the
        simulator publishes it: the first value there that differs from the one the lap ended
        with, or that same value when it stays for a whole second and the lap before was timed
        (two laps timed alike). It is null where the simulator gave none (a value of 0 or
        less, or no new value where the rule above does not allow the old one), where the next
        row of the lap table is not the next lap number of the same session, and for the last
        lap of the file.

        ``valid`` marks a "full" lap that never touched pit road and whose travelled distance
        (the integral of ``Speed`` over the lap) is within
        :data:`corvex.analysis.VALID_DISTANCE_TOLERANCE` of the track length; the distance
        test is left out when the file has no ``Speed`` or no track length. ``sector_1`` ..
        ``sector_N`` (s) split each full lap at the sector starts of the session info's split
        time info (one sector without it); they add up to ``lap_time``, and are null for the
        other laps and where a lap's distance does not reach a sector boundary.
        """
        starts = self.laps.column("start_time").to_pylist()
        ends = self.laps.column("end_time").to_pylist()
        seconds = _packed_array(pa.float64(), "d", [(e - s) / 1000.0 for s, e in zip(starts, ends)])
        summary = self.laps.append_column(
            pa.field("lap_time", pa.float64(), nullable=False), seconds
        )
        if self._has_sim_lap_times():
            summary = summary.append_column(
                pa.field("sim_lap_time", pa.float64()), self._sim_lap_times()
            )
        summary = summary.append_column(
            pa.field("valid", pa.bool_(), nullable=False), pa.array(self._valid(), pa.bool_())
        )
        for n, column in enumerate(zip(*self._sectors()) if self.laps.num_rows else [], 1):
            summary = summary.append_column(
                pa.field(f"sector_{n}", pa.float64()), pa.array(column, pa.float64())
            )
        if not self.laps.num_rows:
            for n in range(1, len(self.sector_starts) + 1):
                summary = summary.append_column(
                    pa.field(f"sector_{n}", pa.float64()), pa.array([], pa.float64())
                )
        return summary

    def lap_report(self) -> LapReport:
        """The lap summary with the fastest full lap marked, shown as a table in notebooks.

        ``lap_report().table`` is :attr:`lap_summary`; the report also prints as text and can be
        handed to any consumer of the Arrow PyCapsule stream protocol.
        """
        from corvex.overview import LapReport

        return LapReport.of(self)

    def _has_sim_lap_times(self) -> bool:
        table = self.channels.get(SIM_LAP_TIME_CHANNEL)
        if table is None:
            return False
        kind = table.schema.field(1).type
        return bool(pa.types.is_floating(kind) or pa.types.is_integer(kind))

    def _sim_lap_times(self) -> pa.Array:
        """``sim_lap_time`` of each row of the lap table (see :attr:`lap_summary`)."""
        import pyarrow.compute as pc

        values = self.channels[SIM_LAP_TIME_CHANNEL].column(1)
        time = self.channels[SIM_LAP_TIME_CHANNEL].column(0)
        nums = self.laps.column("num").to_pylist()
        sessions = self.laps.column("session").to_pylist()
        ranges = self.lap_record_ranges()
        picks: list[int | None] = []  # the record whose value is the lap's time
        for row in range(len(nums) - 1):
            before = picks[-1] if picks else None
            (first, stop), (next_first, next_stop) = ranges[row], ranges[row + 1]
            if (
                nums[row + 1] != nums[row] + 1
                or sessions[row + 1] != sessions[row]
                or stop <= first
                or next_stop <= next_first
            ):
                picks.append(None)
                continue
            # The lap's last record still shows the time of the lap before; the first record of
            # the next lap whose value differs from it carries this lap's time. When the lap
            # before was timed and the value stays as it was for a whole second of the next
            # lap, it was published unchanged: two laps timed alike. (After a reset the value
            # left over is no lap's time, and the lap before is not timed.)
            stale = values[stop - 1]
            following = values.slice(next_first, next_stop - next_first)
            changed = pc.indices_nonzero(pc.not_equal(following, stale))
            if len(changed):
                picks.append(next_first + changed[0].as_py())
            elif (
                before is not None
                and time[next_stop - 1].as_py() - time[next_first].as_py() >= _PUBLISH_WINDOW_MS
            ):
                picks.append(stop - 1)
            else:
                picks.append(None)
        if nums:  # the last lap is not timed; a table without laps has no row for it
            picks.append(None)
        stored = values.take(_packed_array(pa.int64(), "q", picks))
        # Through the shortest text that reads back as the stored value: a float32 25.914 is
        # 25.914, not 25.913999557495117.
        seconds = stored.cast(pa.string()).cast(pa.float64()).to_pylist()
        return _packed_array(
            pa.float64(),
            "d",
            [s if s is not None and 0.0 < s < math.inf else None for s in seconds],
        )

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
        row = self._fastest_row()
        if row is None:
            return None
        return LapNumber(
            self.laps.column("num")[row].as_py(), self.laps.column("session")[row].as_py(), row
        )

    @property
    def best_sectors(self) -> pa.Table:
        """The best time of each sector over the valid laps.

        Columns: ``sector`` (1..N), ``start`` (lap fraction where it starts), ``time`` (s, null
        when no valid lap has it), and ``num`` and ``session`` of the lap that set it.
        """
        starts = self.sector_starts
        valid = self._valid()
        sectors = self._sectors() if self.laps.num_rows else []
        nums = self.laps.column("num").to_pylist()
        sessions = self.laps.column("session").to_pylist()
        best: list[tuple[float | None, int | None, int | None]] = []
        for k in range(len(starts)):
            found = [
                (times[k], nums[row], sessions[row])
                for row, times in enumerate(sectors)
                if valid[row] and times[k] is not None
            ]
            best.append(
                min(found, key=lambda item: item[0] or 0.0) if found else (None, None, None)
            )
        return pa.table(
            {
                "sector": pa.array(range(1, len(starts) + 1), pa.int32()),
                "start": pa.array(starts, pa.float64()),
                "time": pa.array([b[0] for b in best], pa.float64()),
                "num": pa.array([b[1] for b in best], pa.int32()),
                "session": pa.array([b[2] for b in best], pa.int32()),
            }
        )

    @property
    def theoretical_best(self) -> float | None:
        """The sum of the best sectors (s), or None when a sector has no valid time."""
        times = self.best_sectors.column("time").to_pylist()
        if not times or any(t is None for t in times):
            return None
        return float(sum(times))

    @cached_property
    def track(self) -> TrackModel:
        """The track model of this session: its line, corners and sectors, from the positions
        of its valid laps (its full laps when none is valid); see :mod:`corvex.track`.

        Built on first use and kept. Raises ValueError when no full lap has positions.
        """
        from corvex.track import session_track

        return session_track(self)

    def corners(
        self,
        reference: LogFile | pa.Table | str | os.PathLike[str],
        track: TrackModel | None = None,
    ) -> pa.Table:
        """This lap against ``reference``, corner by corner and straight by straight.

        ``reference`` is a one-lap ``LogFile`` of this file or another of the same track, a
        wide table of one lap, or the Parquet path of a saved lap. ``track`` is the model both
        are put on (default: :attr:`track` of this ``LogFile``; pass the whole session's,
        ``log.track``, for a line drawn from all its laps). See
        :func:`corvex.corner_analysis.corner_table` for the columns.
        """
        from corvex.corner_analysis import corner_table, lap_table

        if self.laps.num_rows > 1:
            raise ValueError(
                f"corners works on one lap and this holds {self.laps.num_rows}: "
                "use log.lap(n).corners(reference)"
            )
        return corner_table(lap_table(self), lap_table(reference), track or self.track)

    def on_distance(
        self, step: float = 1.0, channels: Iterable[str] | str | None = None
    ) -> pa.Table:
        """This lap resampled onto a distance grid of ``step`` metres from the line.

        Columns ``distance`` (m), ``time`` (s since the lap crossed the line) and the channels
        (default: all). Distance comes from ``LapDist``, or ``LapDistPct`` times the track
        length; interpolation follows each channel's ``interpolate`` flag. Only the distance
        the lap covered is resampled. Call it on one lap: ``log.lap(n).on_distance()``.
        Raises ``ValueError`` when the ``LogFile`` holds more than one lap or no distance.
        """
        from corvex.analysis import on_distance

        if self.laps.num_rows > 1:
            raise ValueError(
                f"on_distance works on one lap and this holds {self.laps.num_rows}: "
                "use log.lap(n).on_distance()"
            )
        names = self._select(channels)
        extra: list[str] = [
            n for n in ("LapDist", "LapDistPct") if n in self.channels and n not in names
        ]
        return on_distance(self.to_table(names + extra), step, names)

    def _fastest_row(self) -> int | None:
        rows = [row for row, ok in enumerate(self._valid()) if ok]
        starts = self.laps.column("start_time").to_pylist()
        ends = self.laps.column("end_time").to_pylist()
        return min(rows, key=lambda row: ends[row] - starts[row]) if rows else None

    def _valid(self) -> list[bool]:
        """The ``valid`` column of :attr:`lap_summary`."""
        from corvex.analysis import VALID_DISTANCE_TOLERANCE, any_true, track_metres, travelled
        from corvex.columns import values

        full = [t == "full" for t in self.laps.column("lap_type").to_pylist()]
        if not any(full):
            return full
        ranges = self.lap_record_ranges()
        ok = list(full)
        if "OnPitRoad" in self.channels:
            pit = any_true(values(self["OnPitRoad"].column(1)), ranges)
            ok = [a and not b for a, b in zip(ok, pit.tolist())]
        length = track_metres(self.metadata.get("track_length"))
        if "Speed" in self.channels and length is not None:
            metres = travelled(values(self.timecodes), values(self["Speed"].column(1)), ranges)
            close = abs(metres - length) <= VALID_DISTANCE_TOLERANCE * length
            ok = [a and bool(b) for a, b in zip(ok, close)]
        return ok

    def _sectors(self) -> list[list[float | None]]:
        """Sector times (s) of each row of the lap table; None for laps that are not full."""
        from corvex.analysis import distance_channel, sector_times, track_metres
        from corvex.columns import values

        starts = self.sector_starts
        types = self.laps.column("lap_type").to_pylist()
        source = distance_channel(self.channels, track_metres(self.metadata.get("track_length")))
        if len(starts) > 1 and source is None:
            return [[None] * len(starts) for _ in types]
        bounds = list(
            zip(
                self.laps.column("start_time").to_pylist(), self.laps.column("end_time").to_pylist()
            )
        )
        rows = [row for row, t in enumerate(types) if t == "full"]
        ranges = self.lap_record_ranges()
        if source is None:
            found = [[(end - begin) / 1000.0] for begin, end in (bounds[r] for r in rows)]
        else:
            raw, period = source
            found = sector_times(
                values(self.timecodes),
                raw,
                period,
                starts,
                [ranges[r] for r in rows],
                [bounds[r] for r in rows],
            )
        out: list[list[float | None]] = [[None] * len(starts) for _ in types]
        for row, times in zip(rows, found):
            out[row] = times
        return out

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
        A :class:`LapNumber` (as :attr:`fastest_lap` gives) brings its own session, and its row
        when that row of this lap table holds its number and session.
        """
        if isinstance(num, LapNumber):
            if session is None:
                session = num.session
            row = num.row
            if (
                row is not None
                and 0 <= row < self.laps.num_rows
                and self.laps.column("num")[row].as_py() == num
                and self.laps.column("session")[row].as_py() == session
            ):
                return self.lap_at(row)
        return self.lap_at(self._lap_row(num, session))

    def lap_at(self, row: int) -> LogFile:
        """Like :meth:`lap`, for the lap in row ``row`` of the lap table."""
        if not 0 <= row < self.laps.num_rows:
            raise IndexError(f"lap table row {row} out of range (0..{self.laps.num_rows - 1})")
        first, stop = self._record_range(row)
        channels = {name: table.slice(first, stop - first) for name, table in self.channels.items()}
        metadata = dict(self.metadata, record_count=stop - first)
        lap = LogFile(channels, self.laps.slice(row, 1), metadata, self.source)
        lap.session_info_bytes = self.session_info_bytes
        lap._arrays_unavailable = self._arrays_unavailable
        if self._arrays is not None or self._arrays_loader is not None:

            def lap_arrays() -> dict[str, pa.Table]:
                return {k: t.slice(first, stop - first) for k, t in self.arrays.items()}

            lap._arrays_loader = lap_arrays
        if "session_info" in self.__dict__:  # parsed already: the lap has the same text
            lap.__dict__["session_info"] = self.__dict__["session_info"]
        return lap

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
        return self._record_range_by_time(row)

    def lap_record_ranges(self) -> list[tuple[int, int]]:
        """Record indices ``[first, stop)`` of each row of the lap table, in its order.

        These are the records :meth:`lap_at` cuts out: the runs of equal ``Lap`` values when
        they match the lap table, else the records between each lap's start and end times.
        """
        runs = self._lap_runs()
        if runs is not None:
            return runs
        return [self._record_range_by_time(row) for row in range(self.laps.num_rows)]

    def _record_range_by_time(self, row: int) -> tuple[int, int]:
        import pyarrow.compute as pc

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
        import pyarrow.compute as pc

        values = table.column(1)
        count = len(values)
        changes: list[int] = []
        if count > 1:  # pyarrow 14's indices_nonzero crashes on the chunkless compare of one record
            changed = pc.not_equal(values.slice(1), values.slice(0, count - 1))
            changes = pc.indices_nonzero(changed).to_pylist()
        bounds = [0, *(i + 1 for i in changes), count]
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
        best = self._fastest_row()
        if best is not None:
            summary = self.lap_summary
            laps_text += (
                f", fastest lap {summary.column('num')[best].as_py()}"
                f" in {format_lap_time(summary.column('lap_time')[best].as_py())}"
            )
        lines.append(laps_text)
        fitted = [_fit(line, width) for line in lines[:-1]] + [_fit(lines[-1], width - 1) + ">"]
        return "\n".join(fitted)

    def _repr_html_(self) -> str:
        """The notebook view: track, car, driver, duration and the laps, the fastest marked."""
        from corvex.overview import logfile_html

        return logfile_html(self)


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


def _packed_array(kind: pa.DataType, code: str, values: list[Any]) -> pa.Array:
    """An array of ``kind`` from numbers and Nones, packed with :mod:`array` (type ``code``).

    pyarrow imports pandas, when it is installed, on its first conversion of Python objects
    (``pa.array``, ``pa.scalar``); that import takes longer than all the rest of ``corvex info``.
    Small arrays that a quick look at a file needs are therefore packed here.
    """
    packed = array.array(code, [0 if v is None else v for v in values])
    nulls = sum(v is None for v in values)
    validity = None
    if nulls:
        bits = bytearray((len(values) + 7) // 8)
        for i, value in enumerate(values):
            if value is not None:
                bits[i >> 3] |= 1 << (i & 7)
        validity = pa.py_buffer(bits)
    buffers = [validity, pa.py_buffer(packed)]
    return pa.Array.from_buffers(kind, len(values), buffers, null_count=nulls)


def _first_true(mask: pa.ChunkedArray, start: int, count: int) -> int:
    """Index of the first true value of ``mask`` at or after ``start``, or ``count``."""
    import pyarrow.compute as pc

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
        close = _suggestions(name, list(channels))
        parts.append(f"{name!r}" + (f" (did you mean {', '.join(close)}?)" if close else ""))
    noun = "channel" if len(unknown) == 1 else "channels"
    return f"no {noun} " + ", ".join(parts)


def _suggestions(name: str, names: list[str], count: int = 3) -> list[str]:
    """Up to ``count`` channel names close to ``name``: those equal to it but for case first,
    then the most similar ones, similarity measured without regard to case."""
    by_folded: dict[str, list[str]] = {}
    for candidate in names:
        by_folded.setdefault(candidate.casefold(), []).append(candidate)
    folded = name.casefold()
    close = difflib.get_close_matches(folded, list(by_folded), n=count)
    found = by_folded.get(folded, []) + [c for key in close for c in by_folded[key]]
    return list(dict.fromkeys(found))[:count]
