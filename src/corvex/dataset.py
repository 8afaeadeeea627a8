"""Many sessions as one dataset: a folder of IBT recordings into Parquet tables.

:func:`export_dataset` converts every recording it is given into one directory::

    OUT/sessions.parquet    one row per session (track, car, driver, ids, start, laps, ...)
    OUT/laps.parquet        every lap of every session
    OUT/errors.parquet      every file of the last run that could not be read, and why
    OUT/telemetry/track=T/car=C/KEY.parquet
                            one file per session: session_key, timecodes, lap_num,
                            lap_session and the channels, in a Hive-partitioned dataset

Each session is known by a key computed from its content (the headers, the variable headers,
the session info text and the file size), so a renamed file is not a new session and a re-run
converts only what is new. The directory accumulates: a run adds its sessions to those already
there. The channel sets of the sessions are unified into one schema, kept in
``OUT/telemetry/_common_metadata``: a channel missing from a session reads as null there, and a
channel whose type differs between sessions is widened where Arrow can (int32 and float32 to
float64, for instance) and reported otherwise. :func:`open_dataset` opens the result as a
``pyarrow.dataset.Dataset``, which DuckDB and polars read directly.

The conversion of one session, :func:`convert_session`, is a plain function of a picklable
:class:`Task`, so any executor can run it: a process pool here, a Dask cluster in
:mod:`corvex.dask`. Every output is written under a temporary name and then renamed, so an
interrupted run leaves no half-written file behind.
"""

from __future__ import annotations

import fcntl
import glob
import hashlib
import json
import os
import re
import resource
import socket
import sys
import time
from collections import deque
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from concurrent.futures import (
    FIRST_COMPLETED,
    Executor,
    Future,
    ProcessPoolExecutor,
    ThreadPoolExecutor,
    as_completed,
    wait,
)
from concurrent.futures.process import BrokenProcessPool
from dataclasses import dataclass, field
from datetime import UTC, datetime
from functools import cached_property
from pathlib import Path
from types import TracebackType
from typing import TYPE_CHECKING, Any
from urllib.parse import quote

import pyarrow as pa
import pyarrow.parquet as pq

from corvex import layout
from corvex.base import LogFile
from corvex.overview import fastest_row

if TYPE_CHECKING:
    import pyarrow.dataset as ds

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
    "session_key",
    "unify_schemas",
]

# Bump when the layout of the outputs changes, so that a directory written by an older layout
# is not taken as up to date.
LAYOUT_VERSION = 1

SESSIONS_FILE = "sessions.parquet"
LAPS_FILE = "laps.parquet"
ERRORS_FILE = "errors.parquet"
TELEMETRY_DIR = "telemetry"
SCHEMA_FILE = "_common_metadata"
LOCK_FILE = ".corvex-export.lock"
OPTIONS_KEY = b"corvex.export"

KEY, TIME, LAP_NUM, LAP_SESSION = "session_key", "timecodes", "lap_num", "lap_session"
PARTITIONS = ("track", "car")
# Column names the telemetry files use themselves; a channel of such a name (compared without
# case, because DuckDB folds case) is left out and reported.
RESERVED = {name.casefold() for name in (KEY, TIME, LAP_NUM, LAP_SESSION, *PARTITIONS)}
NULL_PARTITION = "__HIVE_DEFAULT_PARTITION__"

# The short class of a file that could not be converted.
ERROR_CLASSES = {
    "not_ibt": "not an IBT file",
    "live_snapshot": "a live memory snapshot rather than a disk recording",
    "truncated": "truncated",
    "invalid_header": "invalid header",
    "io_error": "I/O error",
    "internal": "unexpected error",
}

_HASH_READ_LIMIT = 64 << 20  # variable headers and session info text hashed for the key
_ROW_GROUP = 65_536  # records per Parquet row group: bounds the writer's buffers

SESSION_SCHEMA = pa.schema(
    [
        pa.field(KEY, pa.string(), nullable=False),
        ("source_path", pa.string()),
        ("source_size", pa.int64()),
        ("source_mtime_ns", pa.int64()),
        ("output", pa.string()),
        ("track", pa.string()),
        ("track_display_name", pa.string()),
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
LAP_SCHEMA = pa.schema(
    [
        pa.field(KEY, pa.string(), nullable=False),
        ("num", pa.int32()),
        ("session", pa.int32()),
        ("lap_type", pa.string()),
        ("start_time", pa.int64()),
        ("end_time", pa.int64()),
        ("lap_time", pa.float64()),
    ]
)
ERROR_SCHEMA = pa.schema(
    [
        ("source_path", pa.string()),
        ("source_size", pa.int64()),
        ("error_class", pa.string()),
        ("reason", pa.string()),
    ]
)
PARTITION_SCHEMA = pa.schema([(name, pa.string()) for name in PARTITIONS])


# -- per-session writers ---------------------------------------------------------------------


class SessionData:
    """One session on its way out: the read file, its key, its sessions row.

    ``table`` (built on first use) is the session's telemetry in the dataset's layout:
    ``session_key``, ``timecodes``, ``lap_num`` and ``lap_session`` (the lap table's ``num``
    and ``session`` of the lap each record belongs to), then the channels.
    """

    def __init__(self, log: LogFile, key: str, channels: list[str], row: dict[str, Any]):
        self.log = log
        self.key = key
        self.channels = channels
        self.row = row

    @cached_property
    def table(self) -> pa.Table:
        return telemetry_table(self.log, self.key, self.channels)


@dataclass(frozen=True)
class SessionWriter:
    """How one session's telemetry file is written: its file name suffix and the function.

    ``write(data, path)`` must write the whole file at ``path``; the caller writes it under a
    temporary name and renames it, unless ``atomic`` says that the writer puts its files in
    place whole by itself (a format of several files). ``dataset`` says that the files form
    the Parquet dataset that :func:`open_dataset` reads, whose schemas are unified.
    """

    suffix: str
    write: Callable[[SessionData, Path], None]
    dataset: bool = False
    atomic: bool = False


def _write_parquet(data: SessionData, path: Path) -> None:
    # Dictionary encoding pays only for the key: on an hour of telemetry it made the write
    # four times slower and the file larger. Byte stream split lets zstd find the repeated
    # exponent bytes of float channels (faster, and a sixth smaller).
    table = data.table
    floats = [f.name for f in table.schema if pa.types.is_floating(f.type)]
    pq.write_table(
        table,
        path,
        compression="zstd",
        row_group_size=_ROW_GROUP,
        use_dictionary=[KEY],
        use_byte_stream_split=floats or False,
    )


def _write_motec(data: SessionData, path: Path) -> None:
    # The .ldx goes beside the .ld, and the .ld is renamed into place last: an .ld that is
    # there is a whole session, which is what a re-run checks.
    from corvex.motec import write_motec

    write_motec(data.log, path, channels=data.channels)


# Format name -> writer. Other formats plug in here; the command line's --format takes the keys.
WRITERS: dict[str, SessionWriter] = {
    "parquet": SessionWriter(".parquet", _write_parquet, dataset=True),
    "motec": SessionWriter(".ld", _write_motec, atomic=True),
}


def telemetry_table(log: LogFile, key: str, channels: Sequence[str]) -> pa.Table:
    """The telemetry of one session in the dataset's layout (see :class:`SessionData`)."""
    wide = log.to_table(list(channels))
    count = wide.num_rows
    lap_num, lap_session = _lap_columns(log, count)
    columns = [pa.repeat(pa.scalar(key, pa.string()), count), wide.column(0), lap_num, lap_session]
    fields = [
        pa.field(KEY, pa.string(), nullable=False),
        wide.schema.field(0),
        pa.field(LAP_NUM, pa.int32()),
        pa.field(LAP_SESSION, pa.int32()),
    ]
    fields += [wide.schema.field(i) for i in range(1, wide.num_columns)]
    columns += [wide.column(i) for i in range(1, wide.num_columns)]
    return pa.Table.from_arrays(columns, schema=pa.schema(fields))


def _lap_columns(log: LogFile, count: int) -> tuple[pa.Array, pa.Array]:
    """Per record, the lap table's ``num`` and ``session`` of its lap (null outside laps)."""
    laps = log.laps
    if laps.num_rows == 0 or count == 0:
        return pa.nulls(count, pa.int32()), pa.nulls(count, pa.int32())
    runs = log._lap_runs()
    ranges = runs if runs is not None else [log._record_range(r) for r in range(laps.num_rows)]
    nums, sessions = [], []
    position = 0
    for (first, stop), num, session in zip(
        ranges, laps.column("num").to_pylist(), laps.column("session").to_pylist()
    ):
        first, stop = max(first, position), max(stop, position)
        if first > position:
            nums.append(pa.nulls(first - position, pa.int32()))
            sessions.append(pa.nulls(first - position, pa.int32()))
        nums.append(pa.repeat(pa.scalar(num, pa.int32()), stop - first))
        sessions.append(pa.repeat(pa.scalar(session, pa.int32()), stop - first))
        position = stop
    if position < count:
        nums.append(pa.nulls(count - position, pa.int32()))
        sessions.append(pa.nulls(count - position, pa.int32()))
    return pa.concat_arrays(nums), pa.concat_arrays(sessions)


# -- finding the files -----------------------------------------------------------------------


def find_sources(sources: Iterable[str | os.PathLike[str]]) -> tuple[list[Path], list[str]]:
    """The files named by ``sources`` and notes on sources that named none.

    A file is taken as it is, whatever its name; a directory is searched recursively for
    ``*.ibt`` (any case); a name that does not exist but holds ``*``, ``?`` or ``[`` is a glob
    pattern (``**`` reaches into subdirectories). A name that is none of these is returned as a
    file too, so that its failure is reported like any other. Each file comes once, in sorted
    order.
    """
    found: dict[str, Path] = {}
    notes: list[str] = []

    def add(path: Path) -> None:
        found.setdefault(os.path.abspath(path), path)

    for source in sources:
        text = os.fspath(source)
        path = Path(text)
        if path.is_dir():
            hits = sorted(p for p in path.rglob("*") if p.suffix.lower() == ".ibt" and p.is_file())
            if not hits:
                notes.append(f"{text}: no .ibt file in this directory")
            for hit in hits:
                add(hit)
        elif not path.exists() and glob.has_magic(text):
            hits = sorted(Path(p) for p in glob.glob(text, recursive=True))
            files = [p for p in hits if p.is_file()]
            for folder in (p for p in hits if p.is_dir()):
                files += [p for p in folder.rglob("*") if p.suffix.lower() == ".ibt"]
            if not files:
                notes.append(f"{text}: no file matches")
            for hit in files:
                add(hit)
        else:
            add(path)
    return [Path(p) for p in sorted(found)], notes


def session_key(path: str | os.PathLike[str]) -> str:
    """A key of the session in the file ``path``, computed from its content.

    The hash covers the file size, the main header and disk sub-header, the variable headers
    and the session info text, which between them hold the record count, the session times and
    the session's ids, so copies and renamed files get the same key. A file too short or too
    odd for that is hashed over its first 64 KiB. Raises ``OSError`` when it cannot be read.
    """
    digest = hashlib.blake2b(digest_size=10)
    with open(path, "rb") as f:
        size = os.fstat(f.fileno()).st_size
        digest.update(size.to_bytes(8, "little"))
        head = f.read(layout.HEADERS_END)
        digest.update(head)
        if len(head) < layout.HEADERS_END or layout.read_field(head, "version") not in (1, 2):
            digest.update(f.read(64 << 10))
            return digest.hexdigest()
        fields = layout.read_fields(head)
        regions = [
            (fields["var_header_offset"], fields["num_vars"] * layout.VAR_HEADER_SIZE),
            (fields["session_info_offset"], fields["session_info_len"]),
        ]
        for offset, length in regions:
            if 0 <= offset < size and length > 0:
                f.seek(offset)
                digest.update(f.read(min(length, _HASH_READ_LIMIT)))
    return digest.hexdigest()


# -- errors ----------------------------------------------------------------------------------


def classify_error(message: str, header: bytes | None, size: int | None = None) -> str:
    """The short class (a key of ERROR_CLASSES) of a file the reader refused.

    ``message`` is the reader's one-line message and ``header`` the file's first bytes (at
    least the 144 of the headers when the file has them; None when they could not be read).
    A file whose main header has several buffer descriptors in use is a snapshot of the
    simulator's live telemetry memory, not a disk recording: its disk sub-header holds no
    record count, so the reader stops on one.
    """
    if "I/O error" in message or header is None:
        return "io_error"
    if len(header) < layout.MAIN_HEADER_SIZE:
        return "not_ibt"
    fields = layout.read_fields(header)
    if fields["version"] not in (1, 2):
        return "not_ibt"
    if _looks_like_snapshot(header, fields, size):
        return "live_snapshot"
    if "File too small for" in message:
        return "truncated"
    return "invalid_header"


def _looks_like_snapshot(header: bytes, fields: Mapping[str, Any], size: int | None) -> bool:
    num_buf = fields["num_buf"]
    if not 1 < num_buf <= layout.MAX_BUFFERS:
        return False
    in_use = [
        (tick, offset)
        for tick, offset in layout.buffer_descriptors(header)[:num_buf]
        if tick > 0 and offset > 0
    ]
    if len(in_use) < 2:
        return False
    # A disk recording's sub-header tells how many records follow; a snapshot's holds whatever
    # the memory held there.
    count = fields.get("session_record_count")
    if count is None or count <= 0:
        return True
    data_end = fields["buf_offset"] + fields["buf_len"] * count
    return size is None or data_end != size


def _reason(exc: BaseException, path: str) -> str:
    """The one-line message of ``exc`` without the leading path the reader puts on it."""
    text = " ".join(str(exc).split()) or type(exc).__name__
    for prefix in (f"{path}: ", f"{os.path.abspath(path)}: "):
        if text.startswith(prefix):
            return text[len(prefix) :]
    if isinstance(exc, (OSError, RuntimeError)):
        return text
    return f"{type(exc).__name__}: {text}"


def _read_head(path: str) -> tuple[bytes | None, int | None]:
    try:
        with open(path, "rb") as f:
            return f.read(layout.HEADERS_END), os.fstat(f.fileno()).st_size
    except OSError:
        return None, None


# -- one session -----------------------------------------------------------------------------


@dataclass(frozen=True)
class Task:
    """What :func:`convert_session` needs to convert one file; picklable."""

    source: str  # absolute path
    key: str
    out: str  # the output directory
    channels: tuple[str, ...] | None = None
    format: str = "parquet"
    size: int = 0
    mtime_ns: int = 0


@dataclass
class Outcome:
    """What converting one file gave: its sessions row, laps and schema, or its error."""

    task: Task
    row: dict[str, Any] | None = None
    laps: pa.Table | None = None
    schema: pa.Schema | None = None
    error_class: str | None = None
    reason: str | None = None
    skipped_channels: list[str] = field(default_factory=list)
    seconds: float = 0.0
    worker: str = ""  # host:pid of the process that did the work
    peak_rss: int = 0  # that process's peak resident set so far, in bytes
    cpu: float = 0.0  # that process's CPU time so far (user + system), in seconds

    @property
    def ok(self) -> bool:
        return self.error_class is None


def convert_session(task: Task) -> Outcome:
    """Read one file and write its telemetry; never raises for a bad file.

    Returns the sessions row, the laps and the telemetry schema on success, the error class
    and reason otherwise. Runs in any process that can import corvex.
    """
    started = time.perf_counter()
    outcome = Outcome(task)
    try:
        _convert(task, outcome)
    except Exception as exc:  # noqa: BLE001 - every failure of one file becomes its error row
        head, size = _read_head(task.source)
        if isinstance(exc, _WriteError):
            outcome.error_class = "io_error"
            outcome.reason = f"cannot write {exc.path}: {_reason(exc.cause, task.source)}"
        elif isinstance(exc, (OSError, RuntimeError)):
            outcome.reason = _reason(exc, task.source)
            outcome.error_class = classify_error(outcome.reason, head, size)
        else:
            outcome.reason = _reason(exc, task.source)
            outcome.error_class = "internal"
        outcome.row = outcome.laps = outcome.schema = None
    outcome.seconds = time.perf_counter() - started
    outcome.worker = f"{socket.gethostname()}:{os.getpid()}"
    usage = resource.getrusage(resource.RUSAGE_SELF)
    outcome.peak_rss = usage.ru_maxrss * 1024
    outcome.cpu = usage.ru_utime + usage.ru_stime
    return outcome


class _WriteError(Exception):
    def __init__(self, path: Path, cause: BaseException) -> None:
        super().__init__(f"{path}: {cause}")
        self.path = path
        self.cause = cause


def _convert(task: Task, outcome: Outcome) -> None:
    import corvex

    writer = WRITERS[task.format]
    log = corvex.open(task.source)
    names = list(log.channels) if task.channels is None else list(task.channels)
    kept = [n for n in names if n in log.channels and n.casefold() not in RESERVED]
    outcome.skipped_channels = [n for n in names if n in log.channels and n not in kept]
    row = session_row(log, task)
    data = SessionData(log, task.key, kept, row)
    target = Path(task.out) / row["output"]
    try:
        target.parent.mkdir(parents=True, exist_ok=True)
        if writer.atomic:
            writer.write(data, target)
        else:
            _atomic_write(target, lambda tmp: writer.write(data, tmp))
    except (OSError, pa.ArrowException) as exc:
        raise _WriteError(target, exc) from exc
    outcome.row = row
    outcome.laps = session_laps(log, task.key)
    if writer.dataset:
        outcome.schema = data.table.schema


def session_row(log: LogFile, task: Task) -> dict[str, Any]:
    """The sessions-table row of one read file."""
    meta = log.metadata
    info = log.session_info
    driver, car = _player(info)
    track = _text(meta.get("track_name"))
    summary = log.lap_summary
    best = fastest_row(summary)
    start = meta.get("session_start_date") or 0
    writer = WRITERS[task.format]
    output = "/".join(
        [
            TELEMETRY_DIR,
            f"track={_partition_value(track)}",
            f"car={_partition_value(car)}",
            task.key + writer.suffix,
        ]
    )
    return {
        KEY: task.key,
        "source_path": task.source,
        "source_size": task.size,
        "source_mtime_ns": task.mtime_ns,
        "output": output,
        "track": track,
        "track_display_name": _text(meta.get("track_display_name")),
        "track_length_km": _length_km(meta.get("track_length")),
        "car": car,
        "driver": driver,
        "series_id": _int(meta.get("series_id")),
        "season_id": _int(meta.get("season_id")),
        "session_id": _int(meta.get("session_id")),
        "sub_session_id": _int(meta.get("sub_session_id")),
        "start_date": datetime.fromtimestamp(start, UTC) if _valid_date(start) else None,
        "duration": log.duration,
        "tick_rate": _int32(meta.get("tick_rate")),
        "record_count": log.record_count,
        "channel_count": len(log.channels),
        "lap_count": log.laps.num_rows,
        "fastest_lap_time": None if best is None else summary.column("lap_time")[best].as_py(),
    }


def session_laps(log: LogFile, key: str) -> pa.Table:
    """The laps of one session in the layout of laps.parquet."""
    summary = log.lap_summary
    columns = {KEY: pa.repeat(pa.scalar(key, pa.string()), summary.num_rows)}
    for name in LAP_SCHEMA.names[1:]:
        columns[name] = summary.column(name)
    return pa.table(columns).cast(LAP_SCHEMA)


def _player(info: Mapping[str, Any]) -> tuple[str | None, str | None]:
    """The player's name and car from the parsed session info."""
    drivers_info = info.get("DriverInfo")
    if not isinstance(drivers_info, dict):
        return None, None
    index = drivers_info.get("DriverCarIdx")
    drivers = drivers_info.get("Drivers")
    if not isinstance(drivers, list):
        return None, None
    for entry in drivers:
        if isinstance(entry, dict) and entry.get("CarIdx") == index:
            car = entry.get("CarScreenName") or entry.get("CarPath")
            return _text(entry.get("UserName")), _text(car)
    return None, None


def _text(value: Any) -> str | None:
    if value is None or value == "":
        return None
    return str(value)


def _int(value: Any) -> int | None:
    try:
        number = int(str(value).strip())
    except (TypeError, ValueError):
        return None
    return number if -(2**63) <= number < 2**63 else None


def _int32(value: Any) -> int | None:
    number = _int(value)
    return number if number is not None and -(2**31) <= number < 2**31 else None


def _valid_date(seconds: Any) -> bool:
    # 0 is what a recording without a start date holds; beyond year 9999 datetime gives up.
    return isinstance(seconds, int) and 0 < seconds < 253_402_300_800


_LENGTH = re.compile(r"^\s*([0-9]*\.?[0-9]+)\s*(km|mi|m)?\s*$", re.IGNORECASE)


def _length_km(text: Any) -> float | None:
    """ "4.32 km" -> 4.32; miles and metres are converted; None when it is not a length."""
    match = _LENGTH.match(str(text or ""))
    if not match:
        return None
    value = float(match.group(1))
    unit = (match.group(2) or "km").lower()
    return value * {"km": 1.0, "mi": 1.609344, "m": 0.001}[unit]


def _partition_value(value: str | None) -> str:
    """A Hive partition directory value: the text with path-unsafe characters %-encoded."""
    if not value:
        return NULL_PARTITION
    return "".join(c if c.isprintable() and c not in "/\\%=" else quote(c, safe="") for c in value)


def _atomic_write(target: Path, write: Callable[[Path], None]) -> None:
    """Write a file with ``write(tmp)`` under a hidden temporary name, then rename it."""
    tmp = target.with_name(f".{target.name}.tmp-{os.getpid()}")
    try:
        write(tmp)
        os.replace(tmp, target)
    except BaseException:
        tmp.unlink(missing_ok=True)
        raise


# -- schemas ---------------------------------------------------------------------------------


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


# -- the whole export ------------------------------------------------------------------------


@dataclass
class ExportSummary:
    """What a run of :func:`export_dataset` did."""

    out: Path
    files: int = 0  # files found in the sources
    converted: int = 0
    skipped: int = 0  # sessions already converted and up to date
    duplicates: list[tuple[str, str]] = field(default_factory=list)  # (file, same session as)
    failed: int = 0
    sessions: int = 0  # sessions in the dataset after the run
    input_bytes: int = 0  # bytes of the files converted in this run
    seconds: float = 0.0
    errors: list[tuple[str, str, str]] = field(default_factory=list)  # (path, class, reason)
    conflicts: dict[str, list[str]] = field(default_factory=dict)  # channel -> its types
    notes: list[str] = field(default_factory=list)
    worker_peak_rss: dict[str, int] = field(default_factory=dict)  # host:pid -> bytes
    worker_cpu: dict[str, float] = field(default_factory=dict)  # host:pid -> CPU seconds

    def __str__(self) -> str:
        rate = self.input_bytes / 1e6 / self.seconds if self.seconds > 0 else 0.0
        lines = [
            f"converted {self.converted} of {self.files} files "
            f"({self.input_bytes / 1e6:,.1f} MB, {rate:,.1f} MB/s) in {self.seconds:.1f} s; "
            f"skipped {self.skipped} up to date; {self.failed} failed; "
            f"{self.sessions} sessions in {self.out}"
        ]
        for path, same in self.duplicates:
            lines.append(f"note: {path} holds the same session as {same}; taken once")
        for name, kinds in self.conflicts.items():
            lines.append(
                f"note: channel {name!r} has types {', '.join(kinds)} that do not widen "
                "to one; it stays in the session files but not in the unified schema"
            )
        lines += [f"note: {note}" for note in self.notes]
        return "\n".join(lines)


class Export:
    """One run of the export: planning, the outcomes as they arrive, and the final tables.

    Used by :func:`export_dataset` and by :func:`corvex.dask.export_dataset`::

        with Export(sources, out) as job:
            for outcome in map(convert_session, job.tasks):
                job.record(outcome)
            summary = job.finish()
    """

    def __init__(
        self,
        sources: Iterable[str | os.PathLike[str]] | str | os.PathLike[str],
        out: str | os.PathLike[str],
        channels: Sequence[str] | None = None,
        format: str = "parquet",  # noqa: A002 - the name of the command line option
        progress: bool = True,
    ) -> None:
        if format not in WRITERS:
            known = ", ".join(sorted(WRITERS))
            raise ValueError(f"unknown format {format!r} (known: {known})")
        if isinstance(sources, (str, os.PathLike)):
            sources = [sources]
        self.started = time.perf_counter()
        # Absolute, because the workers (other processes, other machines) have their own cwd.
        self.out = Path(os.path.abspath(out))
        self.channels = None if channels is None else tuple(dict.fromkeys(channels))
        self.format = format
        self.options = {
            "layout": LAYOUT_VERSION,
            "format": format,
            "channels": None if self.channels is None else list(self.channels),
        }
        if self.out.exists() and not self.out.is_dir():
            raise NotADirectoryError(f"{self.out} exists and is not a directory")
        self.out.mkdir(parents=True, exist_ok=True)
        self._lock: _Lock | None = _lock(self.out)
        try:
            self._plan(sources, progress)
        except BaseException:
            self.close()
            raise

    # Planning: which files are new, which are up to date, which are the same session twice.
    def _plan(self, sources: Iterable[str | os.PathLike[str]], progress: bool) -> None:
        files, notes = find_sources(sources)
        self.summary = ExportSummary(self.out, files=len(files), notes=notes)
        previous = _read_table(self.out / SESSIONS_FILE)
        if previous is not None:
            made_with = (previous.schema.metadata or {}).get(OPTIONS_KEY)
            if made_with is not None and json.loads(made_with) != self.options:
                raise ValueError(
                    f"{self.out} holds a dataset exported with other options "
                    f"({made_with.decode()}); export into another directory or remove it"
                )
        prev_rows = previous.to_pylist() if previous is not None else []
        by_path = {r["source_path"]: r for r in prev_rows}
        self.rows: dict[str, dict[str, Any]] = {r[KEY]: r for r in prev_rows}
        prev_laps = _read_table(self.out / LAPS_FILE)
        self.laps: dict[str, pa.Table] = {}
        if prev_laps is not None and prev_laps.num_rows:
            for key, part in _split_by_key(prev_laps.cast(LAP_SCHEMA)):
                self.laps[key] = part
        self.schemas: dict[str, pa.Schema] = {}
        self.errors: list[dict[str, Any]] = []
        self.tasks: list[Task] = []
        seen: dict[str, str] = {}
        superseded: set[str] = set()
        for path in files:
            source = os.path.abspath(path)
            try:
                stat = os.stat(source)
                old = by_path.get(source)
                if (
                    old is not None
                    and old["source_size"] == stat.st_size
                    and old["source_mtime_ns"] == stat.st_mtime_ns
                ):
                    key = old[KEY]
                else:
                    key = session_key(source)
                    if old is not None and old[KEY] != key:
                        superseded.add(old[KEY])
            except OSError as exc:
                self._error(source, None, "io_error", _reason(exc, source))
                continue
            if key in seen:
                self.summary.duplicates.append((source, seen[key]))
                continue
            seen[key] = source
            done = self.rows.get(key)
            if done is not None and (self.out / done["output"]).is_file():
                done.update(
                    source_path=source, source_size=stat.st_size, source_mtime_ns=stat.st_mtime_ns
                )
                self.summary.skipped += 1
                continue
            self.tasks.append(
                Task(source, key, str(self.out), self.channels, self.format, stat.st_size,
                     stat.st_mtime_ns)
            )  # fmt: skip
        # A file that now holds another session replaces the one it held before; a session
        # about to be converted again, or whose output is gone, is out until it is back.
        self._superseded = superseded - set(seen)
        gone = {k for k, r in self.rows.items() if not (self.out / r["output"]).is_file()}
        for key in self._superseded | gone | {t.key for t in self.tasks}:
            self.rows.pop(key, None)
            self.laps.pop(key, None)
        self.pending = len(self.tasks)
        self.bar = _progress_bar(sum(t.size for t in self.tasks), len(self.tasks), progress)

    def _error(self, source: str, size: int | None, error_class: str, reason: str) -> None:
        self.errors.append(
            {"source_path": source, "source_size": size, "error_class": error_class,
             "reason": reason}
        )  # fmt: skip

    def record(self, outcome: Outcome) -> None:
        """Take the outcome of one task (in any order)."""
        task = outcome.task
        self.pending -= 1
        if outcome.worker:
            self.summary.worker_peak_rss[outcome.worker] = max(
                outcome.peak_rss, self.summary.worker_peak_rss.get(outcome.worker, 0)
            )
            self.summary.worker_cpu[outcome.worker] = max(
                outcome.cpu, self.summary.worker_cpu.get(outcome.worker, 0.0)
            )
        if outcome.ok and outcome.row is not None:
            self.rows[task.key] = outcome.row
            if outcome.laps is not None:
                self.laps[task.key] = outcome.laps
            if outcome.schema is not None:
                self.schemas[task.key] = outcome.schema
            self.summary.converted += 1
            self.summary.input_bytes += task.size
            for name in outcome.skipped_channels:
                note = f"channel {name!r} clashes with a column of the dataset; left out"
                if note not in self.summary.notes:
                    self.summary.notes.append(note)
        else:
            self._error(
                task.source, task.size, outcome.error_class or "internal", outcome.reason or ""
            )
        if self.bar is not None:
            self.bar.update(task.size)
            self.bar.set_postfix_str(
                f"{len(self.tasks) - self.pending}/{len(self.tasks)} files", refresh=False
            )

    def finish(self) -> ExportSummary:
        """Write the sessions, laps and errors tables and the unified schema; the summary."""
        self.close_bar()
        out = self.out
        rows = sorted(self.rows.values(), key=lambda r: (r["source_path"] or "", r[KEY]))
        keys = [r[KEY] for r in rows]
        meta = {OPTIONS_KEY: json.dumps(self.options).encode()}
        sessions = pa.Table.from_pylist(rows, schema=SESSION_SCHEMA.with_metadata(meta))
        laps = [self.laps[k] for k in keys if k in self.laps]
        lap_table = pa.concat_tables(laps) if laps else LAP_SCHEMA.empty_table()
        errors = pa.Table.from_pylist(self.errors, schema=ERROR_SCHEMA)
        _atomic_write(out / SESSIONS_FILE, lambda p: pq.write_table(sessions, p))
        _atomic_write(out / LAPS_FILE, lambda p: pq.write_table(lap_table, p))
        _atomic_write(out / ERRORS_FILE, lambda p: pq.write_table(errors, p))
        if WRITERS[self.format].dataset:
            schema = self._unified_schema(rows)
            telemetry = out / TELEMETRY_DIR
            telemetry.mkdir(exist_ok=True)
            _atomic_write(telemetry / SCHEMA_FILE, lambda p: pq.write_metadata(schema, p))
        live = {r["output"] for r in rows}
        for key in self._superseded:
            old = out / TELEMETRY_DIR
            for stale in old.glob(f"*/*/{key}{WRITERS[self.format].suffix}"):
                if str(stale.relative_to(out)) not in live:
                    stale.unlink(missing_ok=True)
        summary = self.summary
        summary.sessions = len(rows)
        summary.failed = len(self.errors)
        summary.errors = [(e["source_path"], e["error_class"], e["reason"]) for e in self.errors]
        if self.channels is not None and rows:
            present: set[str] = set()
            for schema in self.schemas.values():
                present.update(schema.names)
            if self.schemas:
                for name in self.channels:
                    if name not in present:
                        summary.notes.append(f"no session converted in this run has {name!r}")
        summary.seconds = time.perf_counter() - self.started
        return summary

    def _unified_schema(self, rows: list[dict[str, Any]]) -> pa.Schema:
        schemas = []
        for row in rows:
            schema = self.schemas.get(row[KEY])
            if schema is None:
                try:
                    schema = pq.read_schema(self.out / row["output"])
                except (OSError, pa.ArrowException):
                    continue
            schemas.append(schema)
        unified, conflicts = unify_schemas(schemas)
        self.summary.conflicts = conflicts
        if not schemas:
            unified = pa.schema(
                [pa.field(KEY, pa.string(), nullable=False), (TIME, pa.int64()),
                 (LAP_NUM, pa.int32()), (LAP_SESSION, pa.int32()), *PARTITION_SCHEMA]
            )  # fmt: skip
        return unified

    def close_bar(self) -> None:
        if getattr(self, "bar", None) is not None:
            self.bar.close()
            self.bar = None

    def close(self) -> None:
        self.close_bar()
        if self._lock is not None:
            self._lock.close()
            self._lock = None

    def __enter__(self) -> Export:
        return self

    def __exit__(
        self,
        kind: type[BaseException] | None,
        value: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        self.close()


def export_dataset(
    sources: Iterable[str | os.PathLike[str]] | str | os.PathLike[str],
    out: str | os.PathLike[str],
    channels: Sequence[str] | None = None,
    jobs: int | None = None,
    progress: bool = True,
    format: str = "parquet",  # noqa: A002 - the name of the command line option
    executor: str = "process",
) -> ExportSummary:
    """Convert IBT recordings into a queryable dataset in the directory ``out``.

    ``sources`` are files, directories (searched recursively for ``*.ibt``) and glob patterns.
    ``channels`` picks the channels (default: all). ``jobs`` is the number of files converted
    at once (default: one per core); ``executor`` "process" (the default) runs them in worker
    processes, "thread" in threads of this process. ``progress`` shows a bar on standard error
    when it is a terminal. ``format`` picks the per-session writer of :data:`WRITERS`.

    A file that cannot be read does not stop the others: it is listed in ``errors.parquet``
    and in the summary's ``errors``. Sessions already in ``out`` and up to date are skipped.
    Raises ``ValueError`` when ``out`` holds a dataset made with other options.
    """
    if executor not in ("process", "thread"):
        raise ValueError(f"executor must be 'process' or 'thread', not {executor!r}")
    jobs = _default_jobs() if jobs is None else jobs
    if jobs < 1:
        raise ValueError(f"jobs must be at least 1, got {jobs}")
    with Export(sources, out, channels, format, progress) as job:
        for outcome in _run(job.tasks, jobs, executor):
            job.record(outcome)
        return job.finish()


def _run(tasks: list[Task], jobs: int, executor: str) -> Iterator[Outcome]:
    workers = min(jobs, len(tasks))
    if workers <= 1:
        yield from map(convert_session, tasks)
    elif executor == "thread":
        with ThreadPoolExecutor(workers) as pool:
            yield from _drain(pool, {pool.submit(convert_session, t): t for t in tasks})
    else:
        yield from _run_processes(tasks, workers)


def _drain(pool: Executor, futures: dict[Future[Outcome], Task]) -> Iterator[Outcome]:
    try:
        for future in as_completed(futures):
            yield future.result()
    except BaseException:
        for future in futures:
            future.cancel()
        raise


# A file whose worker process died this many times (a crash, the out-of-memory killer) is
# reported as failed instead of being tried again.
_MAX_CRASHES = 2


def _run_processes(tasks: list[Task], workers: int) -> Iterator[Outcome]:
    """Run the tasks in worker processes; a worker that dies fails only its own file.

    Each worker is a one-process pool given one task at a time, so that when a worker dies
    the file it was converting is known; the worker is replaced and the file tried again.
    """
    import multiprocessing

    # forkserver: workers start from a clean process, not a copy of this one's threads; it
    # imports pyarrow and corvex once, and each worker forks from it with them imported.
    context = multiprocessing.get_context("forkserver")
    context.set_forkserver_preload(["corvex.dataset"])
    queue = deque(tasks)
    pools: list[ProcessPoolExecutor] = []
    running: dict[Future[Outcome], tuple[int, Task]] = {}
    crashes: dict[str, int] = {}
    converted = 0

    def start(slot: int) -> None:
        task = queue.popleft()
        running[pools[slot].submit(convert_session, task)] = (slot, task)

    try:
        for slot in range(min(workers, len(queue))):
            pools.append(ProcessPoolExecutor(1, mp_context=context))
            start(slot)
        while running:
            finished, _ = wait(running, return_when=FIRST_COMPLETED)
            for future in finished:
                slot, task = running.pop(future)
                try:
                    outcome: Outcome | None = future.result()
                    converted += 1
                except BrokenProcessPool:
                    pools[slot].shutdown(wait=False, cancel_futures=True)
                    pools[slot] = ProcessPoolExecutor(1, mp_context=context)
                    crashes[task.key] = crashes.get(task.key, 0) + 1
                    if not converted and sum(crashes.values()) >= _MAX_CRASHES * len(pools):
                        raise RuntimeError(
                            "the worker processes stop before converting anything; when the "
                            "export is started from a script, start it under `if __name__ == "
                            "'__main__':` (the workers import the script), or pass "
                            "executor='thread'"
                        ) from None
                    outcome = None
                    if crashes[task.key] < _MAX_CRASHES:
                        queue.appendleft(task)
                    else:
                        outcome = Outcome(task, error_class="internal")
                        outcome.reason = "the worker process converting this file died"
                if outcome is not None:
                    yield outcome
                if queue:
                    start(slot)
    finally:
        for pool in pools:
            pool.shutdown(wait=True, cancel_futures=True)


def _default_jobs() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on Linux
        return os.cpu_count() or 1


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


# -- helpers ---------------------------------------------------------------------------------


class _Lock:
    def __init__(self, handle: Any) -> None:
        self.handle = handle

    def close(self) -> None:
        self.handle.close()


def _lock(out: Path) -> _Lock:
    """Hold a lock on ``out`` so that two exports never write into one directory at once."""
    handle = open(out / LOCK_FILE, "a")  # noqa: SIM115 - held until close()
    try:
        fcntl.flock(handle.fileno(), fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError:
        handle.close()
        raise BlockingIOError(f"{out}: another export is writing into this directory") from None
    return _Lock(handle)


def _read_table(path: Path) -> pa.Table | None:
    if not path.is_file():
        return None
    return pq.read_table(path)


def _split_by_key(table: pa.Table) -> Iterator[tuple[str, pa.Table]]:
    keys = table.column(KEY).to_pylist()
    start = 0
    for i in range(1, len(keys) + 1):
        if i == len(keys) or keys[i] != keys[start]:
            yield keys[start], table.slice(start, i - start)
            start = i


def _progress_bar(total_bytes: int, files: int, enabled: bool) -> Any:
    """A tqdm bar over the input bytes (MB/s and ETA), on a terminal only."""
    if not enabled or files == 0 or not sys.stderr.isatty():
        return None
    from tqdm import tqdm

    return tqdm(
        total=total_bytes,
        unit="B",
        unit_scale=True,
        unit_divisor=1024,
        desc="export",
        postfix=f"0/{files} files",
        dynamic_ncols=True,
        leave=True,
        file=sys.stderr,
    )
