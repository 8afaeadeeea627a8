"""Lap lookup and lap timing, computed from a recording's tables.

The reader's lap table has one row per lap: ``num``, ``start_time`` and ``end_time`` (ms of
session time; a lap ends at the timecode where the next one starts, the last at its own last
record), ``lap_type`` and ``session``. Here it meets the channel tables:

- :func:`record_ranges`: the records of each lap;
- :func:`lap_groups`: the laps as people see them, one-record rows folded into their
  neighbours, and :func:`find_group` / :func:`find_row`: the lap of a number, with the errors
  that say how to pick among repeats;
- :class:`LapTiming`: the lap summary (``lap_time``, ``sim_lap_time``, ``valid``, ``status``,
  sectors);
- :func:`fastest_row`, the one rule for the fastest lap that every view uses, and
  :func:`best_sectors` and :func:`theoretical_best` on top of the summary.

numpy and pyarrow.compute are imported inside the functions that need them, so that a quick look
at a file's laps does without them when it can.
"""

from __future__ import annotations

import math
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from functools import cached_property
from typing import Any

import pyarrow as pa

__all__ = [
    "SIM_LAP_TIME_CHANNEL",
    "ONE_RECORD",
    "LapGroup",
    "LapNumber",
    "LapTiming",
    "best_sectors",
    "fastest_lap",
    "fastest_row",
    "find_group",
    "find_row",
    "lap_groups",
    "row_sessions",
    "record_range",
    "record_ranges",
    "theoretical_best",
]

# The simulator's own time of the lap just completed, in seconds; it publishes the value in the
# first records of the next lap and keeps it until the lap after that is completed.
SIM_LAP_TIME_CHANNEL = "LapLastLapTime"

# The simulator publishes a lap's time within this many milliseconds of the next lap's start.
_PUBLISH_WINDOW_MS = 1000


class LapNumber(int):
    """A lap number that also knows its row in the lap table it comes from and its session
    (counted as :func:`lap_groups` counts them).

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


# -- the laps as people see them ----------------------------------------------------------------

# The lap type the reader gives a lap of fewer than two records.
ONE_RECORD = "incomplete"


@dataclass(frozen=True)
class LapGroup:
    """One lap as the listings, the plots and the lap lookup show it: the rows ``first`` up to,
    not including, ``stop`` of the lap table, with its number and its session."""

    first: int
    stop: int
    num: int
    session: int

    @property
    def split(self) -> bool:
        """Whether one-record rows split this lap in the lap table (a reset inside it)."""
        return self.stop - self.first > 1


def lap_groups(laps: pa.Table) -> list[LapGroup]:
    """The laps of the lap table as people see them.

    The lap table has a row for every run of equal ``Lap`` values, and real recordings hold
    runs of a single record that are no lap: the zeroed first record of a file, the one record
    of ``Lap`` 0 that a reset leaves in the middle of a file, a counter that blinks for one
    tick. Here such a row (the reader's type "incomplete": fewer than two records) is no lap of
    its own: it starts no session (the sessions of the lap table's ``session`` column that such
    rows start are taken back), takes no lap number, and when rows of the same number and
    session stand on both sides of it, they are one lap (the lap a reset interrupted). The rows
    themselves stay in the lap table (``LogFile.laps``), with its own ``session`` column.
    """
    nums = laps.column("num").to_pylist()
    types = laps.column("lap_type").to_pylist()
    table_sessions = laps.column("session").to_pylist()
    groups: list[LapGroup] = []
    skipped = False  # one-record rows since the last lap
    undone = 0  # sessions that one-record rows started
    before: int | None = None  # the table's session of the row before
    for row, (num, kind, table_session) in enumerate(zip(nums, types, table_sessions)):
        if kind == ONE_RECORD:
            if before is not None:
                undone += table_session - before
            before = table_session
            skipped = True
            continue
        before = table_session
        session = table_session - undone
        last = groups[-1] if groups else None
        if last is not None and skipped and num == last.num and session == last.session:
            groups[-1] = LapGroup(last.first, row + 1, num, session)
        else:
            groups.append(LapGroup(row, row + 1, num, session))
        skipped = False
    return groups


def row_sessions(laps: pa.Table, groups: Sequence[LapGroup] | None = None) -> list[int]:
    """The session of each row of the lap table as :func:`lap_groups` counts them: a
    one-record row is in the session of the lap before it (the first lap's, at the start)."""
    groups = lap_groups(laps) if groups is None else groups
    out = [0] * laps.num_rows
    session = groups[0].session if groups else 0
    edges = {g.first: g for g in groups}
    for row in range(laps.num_rows):
        group = edges.get(row)
        if group is not None:
            session = group.session
        out[row] = session
    return out


def find_group(laps: pa.Table, num: int, session: int | None = None) -> LapGroup:
    """The lap ``num`` (of ``session``, when given) among :func:`lap_groups`.

    ``session`` counts as :func:`lap_groups` does. A :class:`LapNumber` brings its own session,
    and its row when that row still holds its number and session. A number that only a
    one-record row holds gives that row, a lap of one record. Raises ``KeyError`` when there is
    no such lap and ``ValueError`` when the number occurs more than once and ``session`` does
    not tell which.
    """
    groups = lap_groups(laps)
    sessions = row_sessions(laps, groups)
    nums = laps.column("num").to_pylist()
    if isinstance(num, LapNumber):
        if session is None:
            session = num.session
        row = num.row
        if row is not None and 0 <= row < laps.num_rows:
            found = next((g for g in groups if g.first <= row < g.stop), None)
            if found is not None and found.num == num and found.session == session:
                return found
    matches = [g for g in groups if g.num == num and session in (None, g.session)]
    if not matches:  # a one-record row is still found by its number
        matches = [
            LapGroup(r, r + 1, n, sessions[r])
            for r, n in enumerate(nums)
            if n == num and session in (None, sessions[r])
        ]
    where = "" if session is None else f" in session {session}"
    if not matches:
        known = ", ".join(str(n) for n in dict.fromkeys(g.num for g in groups)) or "none"
        raise KeyError(f"no lap {num}{where} (laps: {known})")
    if len(matches) > 1:
        in_sessions = sorted({g.session for g in matches})
        if session is None and len(in_sessions) > 1:
            hint = f"; pick one with session= ({', '.join(map(str, in_sessions))})"
        else:
            hint = ""
        raise ValueError(f"lap {num}{where} occurs {len(matches)} times{hint}")
    return matches[0]


def find_row(laps: pa.Table, num: int, session: int | None = None) -> int:
    """The first row of lap ``num`` in the lap table (see :func:`find_group`)."""
    return find_group(laps, num, session).first


# -- which records -----------------------------------------------------------------------------


def record_ranges(laps: pa.Table, channels: Mapping[str, pa.Table]) -> list[tuple[int, int]]:
    """Record indices ``[first, stop)`` of each row of the lap table, in its order.

    The lap table is built from the runs of equal values of the ``Lap`` channel, so when that
    channel is there and its runs match the table row for row, the records are the runs; this
    stays right when the session clock restarts inside a file. Otherwise each lap's records are
    found by their timecodes: from the first that reaches ``start_time`` up to, not including,
    the first later one that reaches ``end_time`` (for the last row, that passes it).
    """
    runs = _lap_runs(laps, channels)
    if runs is not None:
        return runs
    return [_range_by_time(laps, channels, row) for row in range(laps.num_rows)]


def record_range(laps: pa.Table, channels: Mapping[str, pa.Table], row: int) -> tuple[int, int]:
    """Record indices ``[first, stop)`` of the lap in row ``row`` (see :func:`record_ranges`)."""
    runs = _lap_runs(laps, channels)
    if runs is not None:
        return runs[row]
    return _range_by_time(laps, channels, row)


def _range_by_time(laps: pa.Table, channels: Mapping[str, pa.Table], row: int) -> tuple[int, int]:
    from corvex.columns import timecodes

    time = timecodes(channels)
    count = len(time)
    start = laps.column("start_time")[row].as_py()
    end = laps.column("end_time")[row].as_py()
    first = _first_true(time >= start, 0, count)
    past_end = time > end if row == laps.num_rows - 1 else time >= end
    stop = _first_true(past_end, first, count)
    return first, stop


def _lap_runs(laps: pa.Table, channels: Mapping[str, pa.Table]) -> list[tuple[int, int]] | None:
    """[first, stop) of each run of equal ``Lap`` values, if they match the lap table."""
    table = channels.get("Lap")
    if table is None or table.num_rows == 0:
        return None
    import numpy as np

    from corvex.columns import column_values

    values = column_values(table.column(1))
    count = len(values)
    changes = np.flatnonzero(values[1:] != values[:-1]) + 1
    bounds = [0, *changes.tolist(), count]
    if len(bounds) - 1 != laps.num_rows:
        return None
    nums = laps.column("num").to_pylist()
    starts = laps.column("start_time").to_pylist()
    firsts = bounds[:-1]
    time = column_values(table.column(0))
    if values[firsts].tolist() != nums or time[firsts].tolist() != starts:
        return None
    return list(zip(firsts, bounds[1:]))


def _first_true(mask: Any, start: int, count: int) -> int:
    """Index of the first true value of the numpy ``mask`` at or after ``start``, or
    ``count``."""
    if start >= count:
        return count
    found = mask[start:].argmax()
    return start + int(found) if mask[start + found] else count


# -- lap timing ---------------------------------------------------------------------------------


class LapTiming:
    """The lap summary of one recording, from its lap table, channels and metadata.

    ``sector_starts`` are the lap fractions where the sectors start (default: one sector); only
    :attr:`sectors` and :attr:`summary` use them. Each figure is computed once per
    ``LapTiming``; a ``LogFile`` makes a new one for each question, so that its answers follow
    its tables.
    """

    def __init__(
        self,
        laps: pa.Table,
        channels: Mapping[str, pa.Table],
        metadata: Mapping[str, Any],
        sector_starts: Sequence[float] = (0.0,),
    ) -> None:
        self.laps = laps
        self.channels = channels
        self.metadata = metadata
        self.sector_starts = list(sector_starts)

    @cached_property
    def ranges(self) -> list[tuple[int, int]]:
        """Record indices ``[first, stop)`` of each lap (see :func:`record_ranges`)."""
        return record_ranges(self.laps, self.channels)

    @cached_property
    def summary(self) -> pa.Table:
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
        test is left out when the file has no ``Speed`` or no track length. This is the rule
        for which laps count: the reader's "full" alone also says so of a lap that starts in
        the pit box just before the line. ``status`` says the same in a racer's words: "timed"
        for a valid lap, else why it does not count ("out", "in", "reset", ...; see
        :attr:`statuses`). ``sector_1`` ..
        ``sector_N`` (s) split each full lap at the sector starts of the session info's split
        time info (one sector without it); they add up to ``lap_time``, and are null for the
        other laps and where a lap's distance does not reach a sector boundary.
        """
        summary = self.laps.append_column(self._lap_time_field, self._lap_seconds)
        if self._has_sim_lap_times():
            summary = summary.append_column(
                pa.field("sim_lap_time", pa.float64()), self._sim_lap_times()
            )
        from corvex.columns import numbers, strings

        summary = summary.append_column(self._valid_field, self._valid_array)
        summary = summary.append_column(self._status_field, strings(self.statuses))
        sectors = self.sectors
        for n in range(len(self.sector_starts)):
            column = [times[n] for times in sectors]
            summary = summary.append_column(
                pa.field(f"sector_{n + 1}", pa.float64()), numbers(column, pa.float64())
            )
        return summary

    @cached_property
    def times(self) -> pa.Table:
        """The lap table with ``lap_time`` and ``valid``: what :func:`fastest_row` needs."""
        times = self.laps.append_column(self._lap_time_field, self._lap_seconds)
        return times.append_column(self._valid_field, self._valid_array)

    @cached_property
    def _valid_array(self) -> pa.Array:
        import numpy as np

        from corvex.columns import from_numpy

        return from_numpy(np.array(self.valid, dtype=np.bool_), pa.bool_())

    _lap_time_field = pa.field("lap_time", pa.float64(), nullable=False)
    _valid_field = pa.field("valid", pa.bool_(), nullable=False)
    _status_field = pa.field("status", pa.string(), nullable=False)

    @cached_property
    def _lap_seconds(self) -> pa.Array:
        starts = self.laps.column("start_time").to_pylist()
        ends = self.laps.column("end_time").to_pylist()
        from corvex.columns import numbers

        return numbers([(e - s) / 1000.0 for s, e in zip(starts, ends)], pa.float64())

    @cached_property
    def valid(self) -> list[bool]:
        """The ``valid`` column of :attr:`summary`."""
        full = [t == "full" for t in self.laps.column("lap_type").to_pylist()]
        for group in self._groups:  # a lap a reset interrupted never counts
            if group.split:
                full[group.first : group.stop] = [False] * (group.stop - group.first)
        if not any(full):
            return full
        pit = self._pit_flags
        ok = [a and not b for a, b in zip(full, pit["any"])] if pit else full
        ratios = self._distance_ratios
        if ratios is not None:
            from corvex.analysis import VALID_DISTANCE_TOLERANCE

            ok = [a and abs(r - 1.0) <= VALID_DISTANCE_TOLERANCE for a, r in zip(ok, ratios)]
        return ok

    @cached_property
    def statuses(self) -> list[str]:
        """The ``status`` column of :attr:`summary`: whether a lap counts, as a racer says it.

        "timed" for a valid lap; for any other the first that holds of: "one record" (a row
        of fewer than two records, see :func:`lap_groups`), "tow" (``PlayerCarTowTime`` above 0
        in the lap), "reset" (a one-record row of lap 0 follows it inside the file, the
        simulator's trace of a reset, or one splits it), "out" (on pit road at its start: its
        first record, or its second after a zeroed first record), "in" (on pit road at its last
        record), "pit"
        (on pit road in between), "partial" (the reader's type: it starts or ends away from the
        line, as where the recording starts or stops), "short" or "long" (its distance is off
        the track length by more than the tolerance of the valid rule), else the reader's type.
        """
        types = self.laps.column("lap_type").to_pylist()
        nums = self.laps.column("num").to_pylist()
        valid = self.valid
        pit = self._pit_flags
        tow = self._towed
        ratios = self._distance_ratios
        split = {r for g in self._groups if g.split for r in range(g.first, g.stop)}
        out: list[str] = []
        for row, kind in enumerate(types):
            # The record of a reset lies inside the file: laps follow it.
            reset = row + 2 < len(types) and types[row + 1] == ONE_RECORD and nums[row + 1] == 0
            if valid[row]:
                status = "timed"
            elif kind == ONE_RECORD:
                status = "one record"
            elif tow is not None and tow[row]:
                status = "tow"
            elif reset or row in split:
                status = "reset"
            elif pit and pit["start"][row]:
                status = "out"
            elif pit and pit["end"][row]:
                status = "in"
            elif pit and pit["any"][row]:
                status = "pit"
            elif kind == "partial":
                status = "partial"
            elif ratios is not None and ratios[row] < 1.0:
                status = "short"
            elif ratios is not None and ratios[row] > 1.0:
                status = "long"
            else:
                status = kind
            out.append(status)
        return out

    @cached_property
    def _groups(self) -> list[LapGroup]:
        return lap_groups(self.laps)

    @cached_property
    def _pit_flags(self) -> dict[str, list[bool]] | None:
        """Per row: on pit road anywhere, at its start (first record, or the second after a
        first record that is all zeros), at its last record; None without ``OnPitRoad``."""
        table = self.channels.get("OnPitRoad")
        if table is None:
            return None
        from corvex.analysis import any_true
        from corvex.columns import bools

        flags = bools(table.column(1))
        ranges = self.ranges
        starts = [b > a and bool(flags[a] or (b - a > 1 and flags[a + 1])) for a, b in ranges]
        ends = [b > a and bool(flags[b - 1]) for a, b in ranges]
        return {"any": any_true(flags, ranges).tolist(), "start": starts, "end": ends}

    @cached_property
    def _towed(self) -> list[bool] | None:
        """Per row: whether ``PlayerCarTowTime`` was above 0 in it; None without the channel."""
        table = self.channels.get("PlayerCarTowTime")
        if table is None:
            return None
        from corvex.analysis import any_true
        from corvex.columns import floats

        towed: list[bool] = any_true(floats(table.column(1)) > 0, self.ranges).tolist()
        return towed

    @cached_property
    def _distance_ratios(self) -> list[float] | None:
        """Per row: the distance travelled (the integral of ``Speed``) over the track length;
        None without ``Speed`` or a track length."""
        from corvex.analysis import track_metres

        length = track_metres(self.metadata.get("track_length"))
        if "Speed" not in self.channels or length is None or not length > 0:
            return None
        from corvex.analysis import travelled
        from corvex.columns import floats, timecodes

        metres = travelled(
            timecodes(self.channels), floats(self.channels["Speed"].column(1)), self.ranges
        )
        ratios: list[float] = (metres / length).tolist()
        return ratios

    @cached_property
    def sectors(self) -> list[list[float | None]]:
        """Sector times (s) of each row of the lap table; None for laps that are not full."""
        starts = self.sector_starts
        types = self.laps.column("lap_type").to_pylist()
        rows = [row for row, t in enumerate(types) if t == "full"]
        out: list[list[float | None]] = [[None] * len(starts) for _ in types]
        if not rows:
            return out
        from corvex.analysis import distance_channel, sector_times, track_metres
        from corvex.columns import timecodes

        length = track_metres(self.metadata.get("track_length"))
        source = distance_channel(self.channels, length)
        if len(starts) > 1 and source is None:
            return out
        bounds = list(
            zip(
                self.laps.column("start_time").to_pylist(), self.laps.column("end_time").to_pylist()
            )
        )
        found: list[list[float | None]]
        if source is None:
            found = [[(end - begin) / 1000.0] for begin, end in (bounds[r] for r in rows)]
        else:
            raw, period = source
            ranges = self.ranges
            found = sector_times(
                timecodes(self.channels),
                raw,
                period,
                starts,
                [ranges[r] for r in rows],
                [bounds[r] for r in rows],
            )
        for row, times in zip(rows, found):
            out[row] = times
        return out

    def _has_sim_lap_times(self) -> bool:
        table = self.channels.get(SIM_LAP_TIME_CHANNEL)
        if table is None:
            return False
        kind = table.schema.field(1).type
        return bool(pa.types.is_floating(kind) or pa.types.is_integer(kind))

    def _sim_lap_times(self) -> pa.Array:
        """``sim_lap_time`` of each row of the lap table (see :attr:`summary`)."""
        import numpy as np

        from corvex.columns import column_values, numbers

        values = column_values(self.channels[SIM_LAP_TIME_CHANNEL].column(1))
        time = column_values(self.channels[SIM_LAP_TIME_CHANNEL].column(0))
        nums = self.laps.column("num").to_pylist()
        sessions = self.laps.column("session").to_pylist()
        ranges = self.ranges
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
            changed = np.flatnonzero(values[next_first:next_stop] != stale)
            if len(changed):
                picks.append(next_first + int(changed[0]))
            elif (
                before is not None
                and int(time[next_stop - 1]) - int(time[next_first]) >= _PUBLISH_WINDOW_MS
            ):
                picks.append(stop - 1)
            else:
                picks.append(None)
        if nums:  # the last lap is not timed; a table without laps has no row for it
            picks.append(None)
        # Through the shortest text that reads back as the stored value: a float32 25.914 is
        # 25.914, not 25.913999557495117 (numpy prints the shortest such text).
        seconds = [None if pick is None else float(str(values[pick])) for pick in picks]
        return numbers(
            [s if s is not None and 0.0 < s < math.inf else None for s in seconds], pa.float64()
        )


# -- on top of the summary ----------------------------------------------------------------------


def fastest_row(summary: pa.Table) -> int | None:
    """Row of the fastest valid lap of a lap summary by ``lap_time``; the first on a tie.

    This is the one rule for "the fastest lap" (``LogFile.fastest_lap``, ``corvex info``,
    ``corvex laps``, the MoTeC lap markers, the dataset's sessions table). A summary without the
    ``valid`` column (one made by hand) counts its "full" laps.
    """
    best: tuple[float, int] | None = None
    if "valid" in summary.column_names:
        counted = summary.column("valid").to_pylist()
    else:
        counted = [kind == "full" for kind in summary.column("lap_type").to_pylist()]
    for row, (ok, seconds) in enumerate(zip(counted, summary.column("lap_time").to_pylist())):
        if ok and (best is None or seconds < best[0]):
            best = (seconds, row)
    return None if best is None else best[1]


def fastest_lap(summary: pa.Table) -> LapNumber | None:
    """The :class:`LapNumber` of the lap :func:`fastest_row` picks, or None."""
    row = fastest_row(summary)
    if row is None:
        return None
    return LapNumber(summary.column("num")[row].as_py(), row_sessions(summary)[row], row)


def best_sectors(summary: pa.Table, sector_starts: Sequence[float]) -> pa.Table:
    """The best time of each sector over the valid laps of a lap summary.

    Columns: ``sector`` (1..N), ``start`` (lap fraction where it starts), ``time`` (s, null
    when no valid lap has it), and ``num`` and ``session`` (as :func:`lap_groups` counts
    sessions) of the lap that set it (the first such lap on a tie).
    """
    from corvex.columns import numbers

    valid = summary.column("valid").to_pylist()
    nums = summary.column("num").to_pylist()
    sessions = row_sessions(summary)
    best: list[tuple[float | None, int | None, int | None]] = []
    for k in range(len(sector_starts)):
        times = summary.column(f"sector_{k + 1}").to_pylist()
        found = [
            (time, nums[row], sessions[row])
            for row, time in enumerate(times)
            if valid[row] and time is not None
        ]
        best.append(min(found, key=lambda item: item[0] or 0.0) if found else (None, None, None))
    return pa.table(
        {
            "sector": numbers(list(range(1, len(sector_starts) + 1)), pa.int32()),
            "start": numbers(list(sector_starts), pa.float64()),
            "time": numbers([b[0] for b in best], pa.float64()),
            "num": numbers([b[1] for b in best], pa.int32()),
            "session": numbers([b[2] for b in best], pa.int32()),
        }
    )


def theoretical_best(sectors: pa.Table) -> float | None:
    """The sum of the best sectors (s) of :func:`best_sectors`, or None when one has no time."""
    times = sectors.column("time").to_pylist()
    if not times or any(t is None for t in times):
        return None
    return float(sum(times))
