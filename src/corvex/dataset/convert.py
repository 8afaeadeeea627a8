"""The conversion of one file, a plain function of a picklable task that any executor runs."""

from __future__ import annotations

import hashlib
import os
import re
import resource
import shutil
import socket
import time
import warnings
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any
from urllib.parse import quote

import pyarrow as pa

from corvex.dataset.errors import classify_error, reason_of
from corvex.dataset.schema import (
    LAPS_FILE,
    LAYOUT_VERSION,
    NULL_PARTITION,
    RESERVED,
    TELEMETRY_DIR,
)
from corvex.dataset.session import SessionData, session_row, session_tables
from corvex.dataset.sources import content_hash
from corvex.dataset.store import TELEMETRY_STEM, Store, write_entry_files
from corvex.dataset.tracks import TRACK_INPUTS_FILE, session_track_inputs
from corvex.dataset.writers import WRITERS


@dataclass(frozen=True)
class Task:
    """What :func:`convert_session` needs to convert one file; picklable."""

    source: str  # absolute path (a str with lone surrogates for a name that is not UTF-8)
    key: str
    out: str  # the dataset directory
    channels: tuple[str, ...] | None = None
    format: str = "parquet"
    size: int = 0
    mtime_ns: int = 0
    salvage: bool = False


@dataclass
class Outcome:
    """What converting one file gave: its sessions row, laps and schema, or its error.

    ``work`` is the folder the converted session was written to (the export puts it in
    place); ``hint`` says what to do about an error, when the reader knows.
    """

    task: Task
    row: dict[str, Any] | None = None
    laps: pa.Table | None = None
    schema: pa.Schema | None = None
    error_class: str | None = None
    reason: str | None = None
    hint: str | None = None
    work: str | None = None
    skipped_channels: list[str] = field(default_factory=list)
    seconds: float = 0.0
    worker: str = ""  # host:pid of the process that did the work
    peak_rss: int = 0  # that process's peak resident set so far, in bytes
    cpu: float = 0.0  # that process's CPU time so far (user + system), in seconds

    @property
    def ok(self) -> bool:
        return self.error_class is None


def convert_session(task: Task) -> Outcome:
    """Read one file and write the session's folder; never raises for a bad file.

    Returns the sessions row, the laps and the telemetry schema on success, the error class
    and reason otherwise. Runs in any process that can import corvex. An interrupt
    (``KeyboardInterrupt``) is never taken for the file's error: it goes through.
    """
    started = time.perf_counter()
    outcome = Outcome(task)
    store = Store(Path(task.out))
    work: Path | None = None
    try:
        work = store.new_work_folder()
        _convert(task, outcome, work)
        outcome.work = str(work)
    except Exception as exc:  # noqa: BLE001 - every failure of one file becomes its error row
        if isinstance(exc, _WriteError):
            outcome.error_class = "io_error"
            outcome.reason = f"cannot write {exc.path}: {reason_of(exc.cause, task.source)}"
        elif isinstance(exc, (OSError, RuntimeError)):
            outcome.reason = reason_of(exc, task.source)
            outcome.error_class = classify_error(exc)
        else:
            outcome.reason = reason_of(exc, task.source)
            outcome.error_class = "internal"
        notes = [" ".join(str(n).split()) for n in getattr(exc, "__notes__", ())]
        outcome.hint = "; ".join(notes) or None
        outcome.row = outcome.laps = outcome.schema = None
        if work is not None:
            shutil.rmtree(work, ignore_errors=True)
    except BaseException:
        if work is not None:
            shutil.rmtree(work, ignore_errors=True)
        raise
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


class _Changed(OSError):
    """The file changed while it was converted."""


def _convert(task: Task, outcome: Outcome, work: Path) -> None:
    from corvex.errors import CorvexWarning
    from corvex.reading import open as open_ibt

    writer = WRITERS[task.format]
    # The content hash is taken beside the reading (hashlib lets go of the interpreter lock).
    with ThreadPoolExecutor(1) as hasher:
        digest = hasher.submit(content_hash, task.source)
        with warnings.catch_warnings():
            # The salvage warning is the run's to tell (the "salvaged" column), once per file.
            warnings.simplefilter("ignore", CorvexWarning)
            log = open_ibt(task.source, salvage=task.salvage)
        salvaged = False
        if task.salvage:  # the headers again, for the reading's salvage report
            from corvex._corvex_rs import probe

            salvaged = probe(task.source, salvage=True)["salvage"] is not None
        names = list(log.channels) if task.channels is None else list(task.channels)
        kept = [n for n in names if n in log.channels and n.casefold() not in RESERVED]
        outcome.skipped_channels = [n for n in names if n in log.channels and n not in kept]
        row = session_row(log, task)
        row["output"] = output_path(task, row["track"], row["car"])
        row["salvaged"] = salvaged
        data = SessionData(log, task.key, kept, row)
        target = work / (TELEMETRY_STEM + writer.suffix)
        try:
            writer.write(data, target)
            tables = session_tables(log, task.key)
            inputs = session_track_inputs(log)
            if inputs is not None:
                tables[TRACK_INPUTS_FILE] = inputs
        except (OSError, pa.ArrowException) as exc:
            raise _WriteError(Path(task.out) / row["output"], exc) from exc
        row["source_hash"] = digest.result()
    after = os.stat(task.source)
    if (after.st_size, after.st_mtime_ns) != (task.size, task.mtime_ns):
        raise _Changed(f"{task.source}: the file changed while it was read; export it again")
    try:
        write_entry_files(work, row, tables, LAYOUT_VERSION)
    except (OSError, pa.ArrowException) as exc:
        raise _WriteError(Path(task.out) / row["output"], exc) from exc
    outcome.row = row
    outcome.laps = tables[LAPS_FILE]
    if writer.dataset:
        outcome.schema = data.table.schema


# The longest directory name most file systems take, in bytes.
_NAME_MAX = 255


def output_path(task: Task, track: str | None, car: str | None) -> str:
    """Where the session's telemetry goes, relative to the dataset: its Hive partition of track
    and car, and its key with the writer's suffix."""
    return "/".join(
        [
            TELEMETRY_DIR,
            "track=" + partition_value(track),
            "car=" + partition_value(car),
            task.key + WRITERS[task.format].suffix,
        ]
    )


def partition_value(value: str | None) -> str:
    """A Hive partition directory value: the text with path-unsafe characters %-encoded (which
    readers decode); a name that is the null partition's own spelling gets a ``~`` after it, so
    that it does not read back as null; a value too long for a directory name is cut and ends
    in a hash of the whole (the sessions table has the whole name)."""
    if not value:
        return NULL_PARTITION
    text = "".join(c if c.isprintable() and c not in "/\\%=" else quote(c, safe="") for c in value)
    if text == NULL_PARTITION:  # what Hive readers take for null, even %-encoded
        text += "~"
    if text in (".", ".."):
        text = text.replace(".", "%2E")
    limit = _NAME_MAX - len("track=")
    if len(text.encode()) > limit:
        digest = hashlib.blake2b(value.encode("utf-8", "surrogatepass"), digest_size=6).hexdigest()
        cut = text.encode()[: limit - 1 - len(digest)].decode("utf-8", "ignore")
        cut = re.sub(r"%[0-9A-Fa-f]?$", "", cut)
        text = f"{cut}~{digest}"
    return text
