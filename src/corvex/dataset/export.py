"""One run of the export: planning, the outcomes as they arrive, the final tables, the summary."""

from __future__ import annotations

import json
import os
import sys
import time
from collections.abc import Iterable, Iterator, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from types import TracebackType
from typing import Any

import pyarrow as pa
import pyarrow.parquet as pq

from corvex.dataset.convert import Outcome, Task
from corvex.dataset.errors import reason_of
from corvex.dataset.runner import default_jobs, run_tasks
from corvex.dataset.schema import (
    ERROR_SCHEMA,
    ERRORS_FILE,
    KEY,
    KEY_FIELD,
    LAP_NUM,
    LAP_SCHEMA,
    LAP_SESSION,
    LAPS_FILE,
    LAYOUT_VERSION,
    OPTIONS_KEY,
    PARTITION_SCHEMA,
    SCHEMA_FILE,
    SESSION_SCHEMA,
    SESSIONS_FILE,
    TELEMETRY_DIR,
    TIME,
    unify_schemas,
)
from corvex.dataset.sources import find_sources, session_key
from corvex.dataset.storage import ExportLock, atomic_write, lock_directory, read_table
from corvex.dataset.writers import WRITERS


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

    Used by :func:`export_dataset` and by :func:`corvex.dask.export_dataset`:

    >>> from corvex.dataset.convert import convert_session
    >>> with Export(["session.ibt"], "dataset", progress=False) as job:
    ...     for outcome in map(convert_session, job.tasks):
    ...         job.record(outcome)
    ...     summary = job.finish()
    >>> print(summary)
    converted 1 of 1 files (...) in ... s; skipped 0 up to date; 0 failed; 1 sessions in ...dataset
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
        self._lock: ExportLock | None = lock_directory(self.out)
        try:
            self._plan(sources, progress)
        except BaseException:
            self.close()
            raise

    # Planning: which files are new, which are up to date, which are the same session twice.
    def _plan(self, sources: Iterable[str | os.PathLike[str]], progress: bool) -> None:
        files, notes = find_sources(sources)
        self.summary = ExportSummary(self.out, files=len(files), notes=notes)
        previous = read_table(self.out / SESSIONS_FILE)
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
        prev_laps = read_table(self.out / LAPS_FILE)
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
                self._error(source, None, "io_error", reason_of(exc, source))
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
        atomic_write(out / SESSIONS_FILE, lambda p: pq.write_table(sessions, p))
        atomic_write(out / LAPS_FILE, lambda p: pq.write_table(lap_table, p))
        atomic_write(out / ERRORS_FILE, lambda p: pq.write_table(errors, p))
        if WRITERS[self.format].dataset:
            schema = self._unified_schema(rows)
            telemetry = out / TELEMETRY_DIR
            telemetry.mkdir(exist_ok=True)
            atomic_write(telemetry / SCHEMA_FILE, lambda p: pq.write_metadata(schema, p))
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
                [KEY_FIELD, (TIME, pa.int64()),
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
    jobs = default_jobs() if jobs is None else jobs
    if jobs < 1:
        raise ValueError(f"jobs must be at least 1, got {jobs}")
    with Export(sources, out, channels, format, progress) as job:
        for outcome in run_tasks(job.tasks, jobs, executor):
            job.record(outcome)
        return job.finish()


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
