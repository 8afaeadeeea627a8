"""The names and schemas of the dataset's files, and one schema for many sessions' telemetry."""

from __future__ import annotations

from collections.abc import Iterable

import pyarrow as pa

# Bump when the layout of the outputs changes. Layout 1 kept the combined tables as the only
# copy of the sessions' rows and laps; layout 2 keeps each session in its own folder and commits
# snapshots (see corvex.dataset.store); layout 3 keeps each session's track inputs and commits
# a track model per layout (corvex.dataset.tracks), and names the layout in the sessions table.
# A directory of an older layout is upgraded in place: its sessions are read again from their
# sources where they are still there.
LAYOUT_VERSION = 3

# The names a user queries: links into the committed snapshot ("current").
SESSIONS_FILE = "sessions.parquet"
LAPS_FILE = "laps.parquet"
ERRORS_FILE = "errors.parquet"
TELEMETRY_DIR = "telemetry"
CURRENT = "current"
SCHEMA_FILE = "_common_metadata"
LOCK_FILE = ".corvex-export.lock"
OPTIONS_KEY = b"corvex.export"

KEY, TIME, LAP_NUM, LAP_SESSION = "session_key", "timecodes", "lap_num", "lap_session"
PARTITIONS = ("track", "car")
# Column names the telemetry files use themselves; a channel of such a name (compared without
# case, because DuckDB folds case) is left out and reported.
RESERVED = {name.casefold() for name in (KEY, TIME, LAP_NUM, LAP_SESSION, *PARTITIONS)}
NULL_PARTITION = "__HIVE_DEFAULT_PARTITION__"

# The key column: the first of the sessions, laps and telemetry tables, never null.
KEY_FIELD = pa.field(KEY, pa.string(), nullable=False)

# Where a file came from, in every table that names one: "source_path" is the text to show (the
# name's bytes decoded as UTF-8, any byte that is not UTF-8 shown as \xNN), "source_path_bytes"
# the name exactly as the file system has it (os.fsencode), which opens the file again.
SOURCE_FIELDS = [("source_path", pa.string()), ("source_path_bytes", pa.binary())]

SESSION_SCHEMA = pa.schema(
    [
        KEY_FIELD,
        *SOURCE_FIELDS,
        ("source_size", pa.int64()),
        ("source_mtime_ns", pa.int64()),
        ("source_hash", pa.string()),
        ("converted_at", pa.timestamp("ns", tz="UTC")),
        ("salvaged", pa.bool_()),
        ("output", pa.string()),
        ("track", pa.string()),
        ("track_display_name", pa.string()),
        ("track_id", pa.int64()),
        ("track_config", pa.string()),
        ("track_length_km", pa.float64()),
        ("car", pa.string()),
        ("driver", pa.string()),
        ("series_id", pa.int64()),
        ("season_id", pa.int64()),
        ("session_id", pa.int64()),
        ("sub_session_id", pa.int64()),
        ("start_date", pa.timestamp("s", tz="UTC")),
        ("duration", pa.float64()),
        ("tick_rate", pa.int32()),
        ("record_count", pa.int64()),
        ("channel_count", pa.int32()),
        ("lap_count", pa.int32()),
        ("fastest_lap_time", pa.float64()),
    ]
)
# The lap table's columns, then what counts a lap: ``lap_time`` (s), the simulator's own
# ``sim_lap_time`` (null without LapLastLapTime), ``valid`` (the rule of corvex.laps: a full lap,
# off pit road, of the track's length), ``sector_times`` (s, one per sector of the track, null
# for laps that are not valid; a list, because the number of sectors differs between tracks and
# a list keeps one schema for every session), and ``fuel_used``.
LAP_SCHEMA = pa.schema(
    [
        KEY_FIELD,
        ("num", pa.int32()),
        ("session", pa.int32()),
        ("lap_type", pa.string()),
        ("start_time", pa.int64()),
        ("end_time", pa.int64()),
        ("lap_time", pa.float64()),
        ("sim_lap_time", pa.float64()),
        ("valid", pa.bool_()),
        ("sector_times", pa.list_(pa.float64())),
        ("fuel_used", pa.float64()),
    ]
)
ERROR_SCHEMA = pa.schema(
    [
        *SOURCE_FIELDS,
        ("source_size", pa.int64()),
        ("error_class", pa.string()),
        ("reason", pa.string()),
        ("hint", pa.string()),
    ]
)
PARTITION_SCHEMA = pa.schema([(name, pa.string()) for name in PARTITIONS])


def unify_schemas(
    schemas: Iterable[pa.Schema],
) -> tuple[pa.Schema, dict[str, list[str]]]:
    """One schema for sessions with different channel sets, and the channels it cannot hold.

    Fields come in the order of first appearance, each nullable, with the metadata of its first
    appearance. A field whose types differ is widened as Arrow's permissive promotion does
    (int32 with float32 gives float64, uint8 with int32 gives int32); a field whose types cannot
    be promoted (bool with float32, say) is left out and returned with the types it has.
    """
    first: dict[str, pa.Field] = {}
    types: dict[str, list[pa.DataType]] = {}
    for schema in schemas:
        for f in schema:
            if f.name in PARTITIONS:
                continue
            first.setdefault(f.name, f)
            seen = types.setdefault(f.name, [])
            if f.type not in seen:
                seen.append(f.type)
    fields, conflicts = [], {}
    for name, f in first.items():
        kinds = types[name]
        if len(kinds) == 1:
            unified = kinds[0]
        else:
            try:
                unified = (
                    pa.unify_schemas(
                        [pa.schema([pa.field(name, t)]) for t in kinds],
                        promote_options="permissive",
                    )
                    .field(name)
                    .type
                )
            except (pa.ArrowInvalid, pa.ArrowTypeError, pa.ArrowNotImplementedError):
                conflicts[name] = [str(t) for t in kinds]
                continue
        fields.append(pa.field(name, unified, nullable=name != KEY, metadata=f.metadata))
    return pa.schema(fields + list(PARTITION_SCHEMA)), conflicts


def conform(table: pa.Table, schema: pa.Schema) -> pa.Table:
    """``table`` in ``schema``: columns in its order, cast to its types, missing ones null."""
    columns = []
    for f in schema:
        if f.name in table.column_names:
            columns.append(table.column(f.name).cast(f.type))
        else:
            columns.append(pa.nulls(table.num_rows, f.type))
    return pa.Table.from_arrays(columns, schema=schema)
