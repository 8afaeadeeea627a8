"""One session's stints and lap fuel in the dataset's layout.

``stints.parquet`` lies beside ``laps.parquet``: a row per stint of every session, the
session's key first, then the columns of :func:`corvex.stints.stint_table` (times in ms of
session time like the laps, fuel in litres). ``laps.parquet`` gets ``fuel_used``, the fuel each
lap used (:func:`corvex.fuel.lap_fuel`), null for a session without ``FuelLevel``.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

import pyarrow as pa

from corvex.dataset.schema import KEY_FIELD
from corvex.fuel import FUEL_CHANNEL, lap_fuel
from corvex.stints import STINT_SCHEMA, stint_table

if TYPE_CHECKING:
    from corvex.base import LogFile

__all__ = ["LAP_FUEL_FIELD", "STINTS_FILE", "STINTS_SCHEMA", "lap_fuel_used", "session_stints"]

STINTS_FILE = "stints.parquet"
# Plain fields: the units live in the documentation, so that every session's table has the
# one schema whatever unit its FuelLevel names.
STINTS_SCHEMA = pa.schema(
    [KEY_FIELD, *(pa.field(f.name, f.type, f.nullable) for f in STINT_SCHEMA)]
)
LAP_FUEL_FIELD = pa.field("fuel_used", pa.float64())


def session_stints(log: LogFile, key: str, summary: pa.Table | None = None) -> pa.Table:
    """The stints of one session in the layout of stints.parquet (``summary``: the session's
    lap summary, when the caller has it already)."""
    summary = log.lap_summary if summary is None else summary
    stints = stint_table(log.channels, summary, log.lap_record_ranges())
    keys = pa.repeat(pa.scalar(key, pa.string()), stints.num_rows)
    columns = [keys, *(stints.column(name) for name in STINT_SCHEMA.names)]
    return pa.Table.from_arrays(columns, schema=STINTS_SCHEMA)


def lap_fuel_used(log: LogFile, summary: pa.Table | None = None) -> pa.Array:
    """The fuel each row of the lap table used, for the ``fuel_used`` column of laps.parquet;
    all null without ``FuelLevel``."""
    summary = log.lap_summary if summary is None else summary
    if FUEL_CHANNEL not in log.channels:
        return pa.nulls(summary.num_rows, pa.float64())
    fuel = lap_fuel(log.channels, summary, log.lap_record_ranges())
    return fuel.column("fuel_used").combine_chunks()
