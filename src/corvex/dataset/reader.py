"""Opening the tables of an exported directory."""

from __future__ import annotations

import os
from pathlib import Path
from typing import TYPE_CHECKING

import pyarrow.parquet as pq

from corvex.dataset.schema import (
    ERRORS_FILE,
    LAPS_FILE,
    PARTITION_SCHEMA,
    SCHEMA_FILE,
    SESSIONS_FILE,
    TELEMETRY_DIR,
)
from corvex.dataset.stints import STINTS_FILE
from corvex.dataset.store import current_snapshot
from corvex.dataset.tracks import TRACKS_FILE

if TYPE_CHECKING:
    import pyarrow.dataset as ds


def open_dataset(out: str | os.PathLike[str], table: str = "telemetry") -> ds.Dataset:
    """Open one table of an exported directory as a ``pyarrow.dataset.Dataset``.

    ``table`` is "telemetry" (the Hive-partitioned telemetry of every session, in the unified
    schema, with the partition columns ``track`` and ``car``), "sessions", "laps", "stints",
    "errors" or "tracks" (a row per track layout; its ``model`` column names the file of its
    track model in the snapshot, for ``corvex.track.TrackModel.load(snapshot_path(out) /
    model)``). DuckDB queries the result by its variable name,
    ``polars.scan_pyarrow_dataset`` scans it lazily, ``.to_table(filter=...)`` reads what a
    filter selects.

    The tables come from the snapshot the export committed last, resolved once per call: the
    datasets of two calls made while no export commits belong together, and an export that runs
    meanwhile never shows half its work. (``snapshot_path(out)`` gives that folder, for tools
    that take paths.)
    """
    import pyarrow.dataset as ds  # not at the top: the workers never need it

    root = snapshot_path(out)
    if table == "telemetry":
        folder = root / TELEMETRY_DIR
        if not folder.is_dir():
            raise FileNotFoundError(f"{out}: no exported telemetry ({folder} does not exist)")
        schema_file = folder / SCHEMA_FILE
        schema = pq.read_schema(schema_file) if schema_file.exists() else None
        partitioning = ds.partitioning(PARTITION_SCHEMA, flavor="hive")
        return ds.dataset(folder, schema=schema, format="parquet", partitioning=partitioning)
    files = {
        "sessions": SESSIONS_FILE,
        "laps": LAPS_FILE,
        "stints": STINTS_FILE,
        "errors": ERRORS_FILE,
        "tracks": TRACKS_FILE,
    }
    if table not in files:
        raise ValueError(f"no table {table!r} (tables: telemetry, {', '.join(files)})")
    path = root / files[table]
    if not path.is_file():
        raise FileNotFoundError(f"{out}: no exported {table} ({path} does not exist)")
    return ds.dataset(path, format="parquet")


def snapshot_path(out: str | os.PathLike[str]) -> Path:
    """The folder of the snapshot an export committed last in ``out``: its sessions.parquet,
    laps.parquet, stints.parquet, errors.parquet and telemetry/ belong together, and stay in
    place while a later export commits (until the one after it). ``out`` itself for a
    directory an older version wrote, which has no snapshots."""
    root = Path(out)
    return current_snapshot(root) or root
