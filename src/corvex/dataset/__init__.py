"""Many sessions as one dataset: a folder of IBT recordings into Parquet tables.

:func:`export_dataset` converts every recording it is given into one directory::

    OUT/sessions.parquet    one row per session (track, car, driver, ids, start, laps, ...)
    OUT/laps.parquet        every lap of every session (lap time, valid, sectors, fuel)
    OUT/stints.parquet      every stint of every session
    OUT/errors.parquet      every file of the last run that could not be read, and why
    OUT/tracks.parquet      one row per track layout; its track model in OUT/tracks/
    OUT/telemetry/track=T/car=C/KEY.parquet
                            one file per session: session_key, timecodes, lap_num,
                            lap_session and the channels, in a Hive-partitioned dataset

Those names are links through ``OUT/current``, the snapshot the last run committed (see
:mod:`corvex.dataset.store`): each session lives in its own folder, and a run ends by switching
``current`` in one rename, so a reader never sees half a run and a run that dies changes
nothing. Each session is known by a key computed from its content (the headers, the variable
headers, the session info text and the file size), so a renamed file is not a new session;
a re-run converts only what is new or changed (size, modification time, content hash). The
directory accumulates: a run adds its sessions to those already there. The channel sets of
the sessions are unified into one schema, kept in ``OUT/telemetry/_common_metadata``: a
channel missing from a session reads as null there, and a channel whose type differs between
sessions is widened where Arrow can (int32 and float32 to float64, for instance) and reported
otherwise. :func:`open_dataset` opens the result as a ``pyarrow.dataset.Dataset``, which
DuckDB and polars read directly.

The conversion of one session, :func:`convert_session`, is a plain function of a picklable
:class:`Task`, so any executor can run it: a process pool here, a Dask cluster in
:mod:`corvex.dask`.
"""

from __future__ import annotations

from corvex.dataset.convert import Outcome, Task, convert_session
from corvex.dataset.errors import ERROR_CLASSES, classify_error
from corvex.dataset.export import Export, ExportSummary, export_dataset
from corvex.dataset.reader import open_dataset, snapshot_path
from corvex.dataset.schema import (
    KEY,
    LAP_NUM,
    LAP_SESSION,
    PARTITIONS,
    RESERVED,
    TIME,
    unify_schemas,
)
from corvex.dataset.session import SessionData, session_laps, session_row, telemetry_table
from corvex.dataset.sources import find_sources, session_key
from corvex.dataset.writers import WRITERS, SessionWriter

__all__ = [
    "ERROR_CLASSES",
    "WRITERS",
    "Export",
    "ExportSummary",
    "SessionData",
    "SessionWriter",
    "Task",
    "Outcome",
    "classify_error",
    "convert_session",
    "export_dataset",
    "find_sources",
    "open_dataset",
    "snapshot_path",
    "session_key",
    "unify_schemas",
    # the telemetry's own columns, and the tables of one session
    "KEY",
    "LAP_NUM",
    "LAP_SESSION",
    "PARTITIONS",
    "RESERVED",
    "TIME",
    "session_laps",
    "session_row",
    "telemetry_table",
]
