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

if TYPE_CHECKING:
    import pyarrow.dataset as ds


def open_dataset(out: str | os.PathLike[str], table: str = "telemetry") -> ds.Dataset:
    """Open one table of an exported directory as a ``pyarrow.dataset.Dataset``.

    ``table`` is "telemetry" (the Hive-partitioned telemetry of every session, in the unified
    schema, with the partition columns ``track`` and ``car``), "sessions", "laps" or "errors".
    DuckDB queries the result by its variable name, ``polars.scan_pyarrow_dataset`` scans it
    lazily, ``.to_table(filter=...)`` reads what a filter selects.
    """
    import pyarrow.dataset as ds  # not at the top: the workers never need it

    root = Path(out)
    if table == "telemetry":
        folder = root / TELEMETRY_DIR
        if not folder.is_dir():
            raise FileNotFoundError(f"{root}: no exported telemetry ({folder} does not exist)")
        schema_file = folder / SCHEMA_FILE
        schema = pq.read_schema(schema_file) if schema_file.exists() else None
        partitioning = ds.partitioning(PARTITION_SCHEMA, flavor="hive")
        return ds.dataset(folder, schema=schema, format="parquet", partitioning=partitioning)
    files = {"sessions": SESSIONS_FILE, "laps": LAPS_FILE, "errors": ERRORS_FILE}
    if table not in files:
        raise ValueError(f"no table {table!r} (tables: telemetry, {', '.join(files)})")
    path = root / files[table]
    if not path.is_file():
        raise FileNotFoundError(f"{root}: no exported {table} ({path} does not exist)")
    return ds.dataset(path, format="parquet")
