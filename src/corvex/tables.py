"""Channel tables on one time column: what a recording and a lap of it share.

The reader hands over one table per channel, each of two columns: ``timecodes`` (session time in
milliseconds, int64) and the channel's values; all channels of one file share the same
``timecodes`` buffer. :class:`ChannelTables` gives a :class:`~corvex.LogFile` and a
:class:`~corvex.Lap` the same view of them: a channel by name, one wide table built from the
channels' own arrays (no copies), pandas, and the Arrow PyCapsule stream.

pyarrow.compute is imported inside the functions that use it: it takes about as long to import
as pyarrow itself, and a look at a file's laps and session info does without it.
"""

from __future__ import annotations

from collections.abc import Iterable, Iterator, Mapping
from typing import TYPE_CHECKING, Any

import pyarrow as pa

if TYPE_CHECKING:
    import pandas

__all__ = [
    "TIME_COLUMN",
    "ChannelTables",
    "same_column",
    "select_channels",
    "time_column",
    "unknown_channels_message",
    "wide_table",
]

TIME_COLUMN = "timecodes"


class ChannelTables:
    """Channel tables that share one time column, and the views of them.

    A subclass sets ``channels`` (channel name -> table of ``timecodes`` and the channel) and
    ``metadata`` (the reader's dictionary, whose "record_count" counts the records when there
    are no channels), and says in :meth:`_wide_metadata` what the wide table's schema carries.
    """

    channels: dict[str, pa.Table]
    metadata: dict[str, Any]

    def _wide_metadata(self) -> dict[bytes, bytes]:
        raise NotImplementedError

    @property
    def channel_names(self) -> list[str]:
        """The channel names, in file order."""
        return list(self.channels)

    def __getitem__(self, name: str) -> pa.Table:
        """The table of channel ``name``: columns ``timecodes`` and ``name``."""
        try:
            return self.channels[name]
        except KeyError:
            raise KeyError(unknown_channels_message([name], self.channels)) from None

    def __contains__(self, name: object) -> bool:
        return name in self.channels

    def __iter__(self) -> Iterator[str]:
        return iter(self.channels)

    @property
    def timecodes(self) -> pa.ChunkedArray:
        """The shared time column (session time in ms); empty when there are no channels."""
        return time_column(self.channels)

    @property
    def record_count(self) -> int:
        """Number of sample records (rows of every channel table)."""
        for table in self.channels.values():
            return int(table.num_rows)
        return int(self.metadata.get("record_count", 0))

    @property
    def duration(self) -> float:
        """Seconds from the first to the last record (0.0 without records)."""
        time = self.timecodes
        if len(time) == 0:
            return 0.0
        return float(time[len(time) - 1].as_py() - time[0].as_py()) / 1000.0

    def to_table(self, channels: Iterable[str] | str | None = None) -> pa.Table:
        """One wide table: ``timecodes`` followed by the value column of each channel.

        ``channels`` picks and orders the channels (a name or an iterable of names; default:
        all, in file order). The columns are the channels' own arrays, not copies, and each
        value field keeps its unit, description and interpolation metadata. The schema metadata
        names the track and, for one lap, the lap (keys ``corvex.*``), so that the table written
        as Parquet serves as a reference lap for :func:`corvex.delta`. Raises ``KeyError`` for
        an unknown name and ``ValueError`` if two channels do not share one time column.
        """
        names = select_channels(self.channels, channels)
        return wide_table(self.channels, names, self._wide_metadata())

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
                f"{type(self).__name__}.to_pandas needs pandas, which is not installed: "
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

    def _select(self, channels: Iterable[str] | str | None) -> list[str]:
        return select_channels(self.channels, channels)


def time_column(channels: Mapping[str, pa.Table]) -> pa.ChunkedArray:
    """The time column the channel tables share; empty when there are none."""
    for table in channels.values():
        return table.column(0)
    return pa.chunked_array([], pa.int64())


def select_channels(
    channels: Mapping[str, pa.Table], names: Iterable[str] | str | None
) -> list[str]:
    """The channel names asked for, in order and without repeats (all of them for None).

    Raises ``KeyError`` naming every unknown name with the close matches.
    """
    if names is None:
        return list(channels)
    picked = [names] if isinstance(names, str) else list(names)
    unknown = [name for name in picked if name not in channels]
    if unknown:
        raise KeyError(unknown_channels_message(unknown, channels))
    return list(dict.fromkeys(picked))


def wide_table(
    channels: Mapping[str, pa.Table], names: list[str], metadata: dict[bytes, bytes]
) -> pa.Table:
    """``timecodes`` and the value columns of ``names``, the channels' own arrays, in one table.

    Raises ``ValueError`` for a channel that does not share the time column.
    """
    if not channels:
        return pa.table({TIME_COLUMN: pa.array([], pa.int64())}, metadata=metadata)
    tables = [channels[name] for name in names]
    base = tables[0] if tables else next(iter(channels.values()))
    time = base.column(0)
    fields = [base.schema.field(0)]
    columns = [time]
    for name, table in zip(names, tables):
        if not same_column(table.column(0), time):
            raise ValueError(f"channel {name!r} does not share the time column")
        fields.append(table.schema.field(1))
        columns.append(table.column(1))
    return pa.Table.from_arrays(columns, schema=pa.schema(fields, metadata=metadata))


def same_column(a: pa.ChunkedArray, b: pa.ChunkedArray) -> bool:
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


def unknown_channels_message(unknown: list[str], channels: Iterable[str]) -> str:
    """``no channel 'Sped' (did you mean Speed?)``: the unknown names with their close matches."""
    known = list(channels)
    parts = []
    for name in unknown:
        close = _suggestions(name, known)
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
    import difflib  # only for a name that is not there: a quick look at a file does without

    close = difflib.get_close_matches(folded, list(by_folded), n=count)
    found = by_folded.get(folded, []) + [c for key in close for c in by_folded[key]]
    return list(dict.fromkeys(found))[:count]
