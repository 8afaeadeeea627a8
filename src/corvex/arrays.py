"""The array variables of a recording (count > 1): where they come from, and their own rate.

The reader does not make channels of array variables. A :class:`~corvex.LogFile` has them as
an :class:`ArrayVariables`: the tables read already, a loader that reads them from the source on
first use, or no tables and the reason why. :func:`high_rate` lays a sub-sampled ``_ST``
variable out at its own rate. :class:`LeftOutVariable` describes a variable the reader left
out of the channels (an array, or one of count 0), as the reading's details list them.
"""

from __future__ import annotations

from collections.abc import Callable, Container, Iterable, Mapping
from dataclasses import dataclass
from typing import Any

import pyarrow as pa

from corvex.columns import column_values, from_numpy
from corvex.tables import unknown_channels_message

__all__ = ["ArrayVariables", "LeftOutVariable", "check_time_base", "high_rate", "left_out_of"]

Tables = dict[str, pa.Table]


@dataclass(frozen=True)
class LeftOutVariable:
    """A variable the reader does not turn into a channel, as its header describes it."""

    name: str
    type: str  # the Arrow type of one element, as a channel of it would have: "float", ...
    count: int
    desc: str
    unit: str


def left_out_of(variables: Iterable[Mapping[str, Any]]) -> list[LeftOutVariable]:
    """The reader's variable headers (as ``probe`` and ``read`` list them) as
    :class:`LeftOutVariable`, those of count other than 1 only, in file order."""
    return [
        LeftOutVariable(v["name"], str(v["arrow_type"]), v["count"], v["desc"], v["unit"])
        for v in variables
        if v["count"] != 1
    ]


class ArrayVariables:
    """The array tables of one recording, and how to have them.

    ``ArrayVariables(tables)`` holds tables read already; ``ArrayVariables(loader=read)`` reads
    them with ``read()`` on first use and keeps them, checked against the recording's time base;
    ``ArrayVariables(unavailable=reason)`` has none, and says why.
    """

    def __init__(
        self,
        tables: Tables | None = None,
        *,
        loader: Callable[[], Tables] | None = None,
        unavailable: str = "this LogFile was not made by corvex.open",
    ) -> None:
        self._tables = tables
        self._loader = loader
        self.unavailable = unavailable

    @property
    def available(self) -> bool:
        """True when the tables are read already or can be read."""
        return self._tables is not None or self._loader is not None

    def tables(self, time: pa.ChunkedArray | None, source: str) -> Tables:
        """The tables: name -> table of ``timecodes`` and the variable's lists.

        ``time`` is the recording's time column (None when it has no channels, and so no time
        column to compare with) and ``source`` its label for messages. Raises
        ``ValueError`` with the reason when there are none, and ``RuntimeError`` when the tables
        the loader read do not lie on ``time`` (the file changed since it was opened).
        """
        if self._tables is None:
            if self._loader is None:
                raise ValueError(f"no arrays for {source}: {self.unavailable}")
            tables = self._loader()
            check_time_base(tables, time, source)
            self._tables, self._loader = tables, None  # the source is let go
        return self._tables


def check_time_base(
    tables: Mapping[str, pa.Table], time: pa.ChunkedArray | None, source: str
) -> None:
    """Raise ``RuntimeError`` unless the array tables lie on the time column ``time``.

    ``time`` is None for a recording without channels, which has no time column to compare with.
    """
    if time is None:
        return
    for table in tables.values():
        if not table.column(0).equals(time):
            raise RuntimeError(
                f"{source}: the arrays read now do not lie on the time base of the "
                "channels read before; the file changed since it was opened"
            )
        return


def high_rate(
    tables: Mapping[str, pa.Table],
    name: str,
    tick_rate: Any,
    source: str,
    channels: Container[str] = (),
) -> pa.Table:
    """The sub-sampled array variable ``name`` (``..._ST``) as a flat table at its own rate.

    A ``_ST`` variable holds ``count`` samples taken within each tick, the last one at the
    record's own time (it equals the scalar variable of the same name without ``_ST``): sample
    ``j`` of a record at ``t`` ms lies ``(count - 1 - j) / (count x tick_rate)`` s earlier. One
    row per sample: ``timecodes`` (int64, ms, rounded to the nearest) and the values, with the
    variable's field metadata. Raises ``KeyError`` for a name that is not an array variable
    (one of ``channels`` is said to be a channel, and the ``_ST`` variables there are are
    named) and ``ValueError`` for one without the ``_ST`` suffix or a recording without a tick
    rate.
    """
    import numpy as np

    if name not in tables:
        sampled = [n for n in tables if n.endswith("_ST")]
        which = (
            f"the high-rate ones here: {', '.join(sampled)}"
            if sampled
            else "this recording has none"
        )
        if name in channels:
            raise KeyError(
                f"{name!r} is a channel (one value a record), not an array variable sampled "
                f"within the tick; high_rate takes those: {which}"
            )
        raise KeyError(
            f"{unknown_channels_message([name], tables)}; high_rate takes the "
            f"array variables sampled within the tick: {which}"
        )
    if not name.endswith("_ST"):
        raise ValueError(
            f"{name!r} is not sampled within the tick (no _ST suffix); its elements are "
            "separate values of one record, see LogFile.arrays"
        )
    rate = int(tick_rate or 0)
    if rate <= 0:
        raise ValueError(f"{source}: tick rate {rate} gives no sample times")
    table = tables[name]
    field = table.schema.field(1)
    count = field.type.list_size
    lists = table.column(1).combine_chunks()
    values = lists.flatten()  # the child values, not copied
    record_ms = column_values(table.column(0))
    step = 1000.0 / (rate * count)
    offsets = np.rint((np.arange(count) - (count - 1)) * step).astype(np.int64)
    times = (record_ms[:, None] + offsets[None, :]).reshape(-1)
    value_field = pa.field(name, values.type, nullable=False, metadata=field.metadata)
    time_field = table.schema.field(0)
    return pa.Table.from_arrays(
        [from_numpy(times, pa.int64()), values], schema=pa.schema([time_field, value_field])
    )
