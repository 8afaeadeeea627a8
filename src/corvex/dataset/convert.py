"""The conversion of one file, a plain function of a picklable task that any executor runs."""

from __future__ import annotations

import os
import resource
import socket
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any
from urllib.parse import quote

import pyarrow as pa

from corvex.dataset.errors import classify_error, reason_of
from corvex.dataset.schema import NULL_PARTITION, RESERVED, TELEMETRY_DIR
from corvex.dataset.session import SessionData, session_laps, session_row
from corvex.dataset.storage import atomic_write
from corvex.dataset.writers import WRITERS


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
        if isinstance(exc, _WriteError):
            outcome.error_class = "io_error"
            outcome.reason = f"cannot write {exc.path}: {reason_of(exc.cause, task.source)}"
        elif isinstance(exc, (OSError, RuntimeError)):
            outcome.reason = reason_of(exc, task.source)
            outcome.error_class = classify_error(exc)
        else:
            outcome.reason = reason_of(exc, task.source)
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
    from corvex.reading import open as open_ibt

    writer = WRITERS[task.format]
    log = open_ibt(task.source)
    names = list(log.channels) if task.channels is None else list(task.channels)
    kept = [n for n in names if n in log.channels and n.casefold() not in RESERVED]
    outcome.skipped_channels = [n for n in names if n in log.channels and n not in kept]
    row = session_row(log, task)
    row["output"] = output_path(task, row["track"], row["car"])
    data = SessionData(log, task.key, kept, row)
    target = Path(task.out) / row["output"]
    try:
        target.parent.mkdir(parents=True, exist_ok=True)
        if writer.atomic:
            writer.write(data, target)
        else:
            atomic_write(target, lambda tmp: writer.write(data, tmp))
    except (OSError, pa.ArrowException) as exc:
        raise _WriteError(target, exc) from exc
    outcome.row = row
    outcome.laps = session_laps(log, task.key)
    if writer.dataset:
        outcome.schema = data.table.schema


def output_path(task: Task, track: str | None, car: str | None) -> str:
    """Where the session's telemetry goes, relative to the dataset: its Hive partition of track
    and car, and its key with the writer's suffix."""
    return "/".join(
        [
            TELEMETRY_DIR,
            f"track={_partition_value(track)}",
            f"car={_partition_value(car)}",
            task.key + WRITERS[task.format].suffix,
        ]
    )


def _partition_value(value: str | None) -> str:
    """A Hive partition directory value: the text with path-unsafe characters %-encoded."""
    if not value:
        return NULL_PARTITION
    return "".join(c if c.isprintable() and c not in "/\\%=" else quote(c, safe="") for c in value)
