"""One run of the export: planning, the outcomes as they arrive, the final tables, the summary."""

from __future__ import annotations

import json
import os
import sys
import time
from collections.abc import Iterable, Sequence
from contextlib import suppress
from dataclasses import dataclass, field
from datetime import UTC, datetime
from pathlib import Path
from types import TracebackType
from typing import Any

import pyarrow as pa
import pyarrow.parquet as pq

from corvex.dataset.convert import Outcome, Task
from corvex.dataset.errors import classify_error, reason_of
from corvex.dataset.runner import default_jobs, run_tasks
from corvex.dataset.schema import (
    ERROR_SCHEMA,
    ERRORS_FILE,
    KEY_FIELD,
    LAP_NUM,
    LAP_SESSION,
    LAYOUT_VERSION,
    PARTITION_SCHEMA,
    SESSION_SCHEMA,
    SESSIONS_FILE,
    TELEMETRY_DIR,
    TIME,
    unify_schemas,
)
from corvex.dataset.session import SESSION_TABLE_SCHEMAS, source_columns
from corvex.dataset.sources import content_hash, display_path, find_sources, session_key
from corvex.dataset.storage import ExportLock, lock_directory
from corvex.dataset.store import TELEMETRY_STEM, Entry, Store
from corvex.dataset.tracks import TRACKS_DIR, TRACKS_FILE, layout_tracks
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
    # (path, class, reason, hint): the path as text, the hint (what to do) or None
    errors: list[tuple[str, str, str, str | None]] = field(default_factory=list)
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
            f"{self.sessions} sessions in {display_path(str(self.out))}"
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
    """One run of the export: planning, the outcomes as they arrive, and the commit.

    Used by :func:`export_dataset` and by :func:`corvex.dask.export_dataset`:

    >>> from corvex.dataset.convert import convert_session
    >>> with Export(["session.ibt"], "dataset", progress=False) as job:
    ...     for outcome in map(convert_session, job.tasks):
    ...         job.record(outcome)
    ...     summary = job.finish()
    >>> print(summary)
    converted 1 of 1 files (...) in ... s; skipped 0 up to date; 0 failed; 1 sessions in ...dataset

    Nothing a reader sees changes before :meth:`finish` commits: a run that dies (an error, a
    full disk, a kill) leaves the dataset as the last run committed it, and the next run
    completes the job.
    """

    def __init__(
        self,
        sources: Iterable[str | os.PathLike[str]] | str | os.PathLike[str],
        out: str | os.PathLike[str],
        channels: Sequence[str] | None = None,
        format: str = "parquet",  # noqa: A002 - the name of the command line option
        progress: bool = True,
        salvage: bool = False,
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
        self.salvage = salvage
        self.options = {
            "layout": LAYOUT_VERSION,
            "format": format,
            "channels": None if self.channels is None else list(self.channels),
        }
        check_reader_settings()
        if self.out.exists() and not self.out.is_dir():
            raise NotADirectoryError(
                f"{self.out} exists and is not a directory: a folder export writes a dataset "
                "directory; give -o a directory name"
            )
        self.out.mkdir(parents=True, exist_ok=True)
        self._lock: ExportLock | None = lock_directory(self.out)
        self.store = Store(self.out)
        self.bar: Any = None
        self.committed = False
        try:
            self._plan(sources, progress)
        except BaseException:
            self.close()
            raise

    # Planning: which files are new or changed, which are up to date, which are duplicates.
    def _plan(self, sources: Iterable[str | os.PathLike[str]], progress: bool) -> None:
        files, notes = find_sources(sources)
        self.summary = ExportSummary(self.out, files=len(files), notes=notes)
        store = self.store
        self.summary.notes += store.prepare()
        made_with = store.options() or store.layout_1_options()
        names = [SESSIONS_FILE, *SESSION_TABLE_SCHEMAS, ERRORS_FILE, TELEMETRY_DIR]
        if made_with is not None and made_with.get("layout", 1) >= 3:  # made with the tracks
            names += [TRACKS_FILE, TRACKS_DIR]
        self.summary.notes += store.damage(names)
        if made_with is not None and _compared(made_with) != _compared(self.options):
            raise ValueError(
                f"{self.out} holds a dataset exported with other options "
                f"({json.dumps(made_with)}); export into another directory or remove it"
            )
        imported = store.import_layout_1()
        self.entries, broken = store.entries()
        for name in broken:
            store.remove(name)
        if broken:
            self.summary.notes.append(
                f"removed {len(broken)} damaged session folders; the sources among this run's "
                "are read again"
            )
        damaged = [k for k, e in self.entries.items() if not e.intact]
        # A session kept by its source path: the newest conversion of each path wins.
        self.by_path: dict[bytes, Entry] = {}
        older: list[str] = []  # replaced by a newer conversion of the same file (a run died)
        for entry in sorted(self.entries.values(), key=_converted_at):
            path_bytes = entry.row["source_path_bytes"]
            if path_bytes is not None:
                if path_bytes in self.by_path:
                    older.append(self.by_path[path_bytes].key)
                self.by_path[path_bytes] = entry
        for key in older:
            store.remove(key)
            self.entries.pop(key)
        if older:
            self.summary.notes.append(
                f"removed {len(older)} sessions that a newer reading of the same file replaced"
            )
        self.errors: list[dict[str, Any]] = []
        self.tasks: list[Task] = []
        self.schemas: dict[str, pa.Schema] = {}
        self.replaces: dict[str, str] = {}  # key of a task -> key of the session its file held
        self.copies: dict[str, list[str]] = {}  # key -> the other files that hold that session
        seen: dict[str, str] = {}
        self.reread = 0
        self.salvaged = 0
        for path in files:
            self._plan_file(os.path.abspath(path), seen)
        for key in damaged:
            if key in {t.key for t in self.tasks}:
                self.summary.notes.append(
                    f"the folder of session {key} was damaged; read again from its source"
                )
            else:
                self.summary.notes.append(
                    f"session {key} ({_entry_source(self.entries[key])}) is damaged and its "
                    "source was not among the sources: it is left out"
                )
                store.remove(key)
                self.entries.pop(key)
        if imported:
            self.summary.notes.append(
                f"upgraded {self.out} from layout 1: {imported} sessions kept; "
                f"{self.reread} read again from their sources for the new columns"
            )
        else:
            queued = {t.key for t in self.tasks}
            old = [e for e in self.entries.values() if not _current(e) and e.key not in queued]
            if self.reread:
                self.summary.notes.append(
                    f"{_sessions(self.reread)} written by an older corvex: read again for "
                    "the new columns and the track models"
                )
            if old:
                self.summary.notes.append(
                    f"{_sessions(len(old))} written by an older corvex kept as they were "
                    "(no track_id, no track model): their files were not among the sources; "
                    "export them again to complete them"
                )
        self.pending = len(self.tasks)
        self.bar = _progress_bar(sum(t.size for t in self.tasks), len(self.tasks), progress)

    def _plan_file(self, source: str, seen: dict[str, str]) -> None:
        raw = os.fsencode(source)
        try:
            info = os.stat(source)
            entry = self.by_path.get(raw)
            if (
                entry is not None
                and _current(entry)
                and entry.row["source_size"] == info.st_size
                and entry.row["source_mtime_ns"] == info.st_mtime_ns
            ):
                key = entry.key
            else:
                key = session_key(source)
                if entry is not None and entry.key != key:
                    self.replaces[key] = entry.key
        except OSError as exc:
            self._error(source, None, classify_error(exc), reason_of(exc, source),
                        _hint(exc), kept=self.by_path.get(raw))  # fmt: skip
            return
        if key in seen:
            self.summary.duplicates.append((display_path(source), display_path(seen[key])))
            self.copies.setdefault(key, []).append(source)
            return
        seen[key] = source
        done = self.entries.get(key)
        if done is not None and _current(done):
            same_file = done.row["source_path_bytes"] == raw
            row = done.row
            if row["source_size"] == info.st_size and (
                (same_file and row["source_mtime_ns"] == info.st_mtime_ns)
                or _same_content(source, row["source_hash"])
            ):
                if not same_file or row["source_mtime_ns"] != info.st_mtime_ns:
                    self.store.update_row(done, {**source_columns(source),
                                                 "source_size": info.st_size,
                                                 "source_mtime_ns": info.st_mtime_ns})  # fmt: skip
                self.summary.skipped += 1
                return
        elif done is not None and done.layout < LAYOUT_VERSION:
            self.reread += 1
        self.tasks.append(
            Task(source, key, str(self.out), self.channels, self.format, info.st_size,
                 info.st_mtime_ns, self.salvage)
        )  # fmt: skip

    def _error(
        self,
        source: str,
        size: int | None,
        error_class: str,
        reason: str,
        hint: str | None = None,
        kept: Entry | None = None,
    ) -> None:
        if kept is not None:
            reason += (
                f"; the dataset keeps the session read from this file before (session "
                f"{kept.key}, converted {_converted_at(kept):%Y-%m-%d %H:%M} UTC)"
            )
        self.errors.append(
            {**source_columns(source), "source_size": size, "error_class": error_class,
             "reason": reason, "hint": hint}
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
        if outcome.ok and outcome.row is not None and outcome.work is not None:
            self.store.install(Path(outcome.work), task.key)
            old = self.replaces.get(task.key)
            if old is not None and old != task.key:
                self.store.remove(old)  # the file now holds another session
            if outcome.schema is not None:
                self.schemas[task.key] = outcome.schema
            self.summary.converted += 1
            self.summary.input_bytes += task.size
            self.salvaged += bool(outcome.row.get("salvaged"))
            for name in outcome.skipped_channels:
                note = f"channel {name!r} clashes with a column of the dataset; left out"
                if note not in self.summary.notes:
                    self.summary.notes.append(note)
        else:
            error_class = outcome.error_class or "internal"
            for source in [task.source, *self.copies.get(task.key, [])]:
                kept = self.by_path.get(os.fsencode(source)) or self.entries.get(task.key)
                self._error(source, task.size, error_class, outcome.reason or "",
                            outcome.hint, kept)  # fmt: skip
        if self.bar is not None:
            self.bar.update(task.size)
            self.bar.set_postfix_str(
                f"{len(self.tasks) - self.pending}/{len(self.tasks)} files", refresh=False
            )

    def finish(self) -> ExportSummary:
        """Commit the run: a new snapshot of every session with the sessions, laps, stints,
        errors and tracks tables, a track model per layout and the unified schema, put in
        place in one rename; the summary."""
        self.close_bar()
        entries, _ = self.store.entries()
        live = sorted(
            (e for e in entries.values() if e.intact),
            key=lambda e: (e.row["source_path"] or "", e.key),
        )
        rows = [e.row for e in live]
        tables = {SESSIONS_FILE: pa.Table.from_pylist(rows, schema=SESSION_SCHEMA)}
        for name, schema in SESSION_TABLE_SCHEMAS.items():
            tables[name] = _combined([e.folder / name for e in live], schema)
        tables[ERRORS_FILE] = pa.Table.from_pylist(self.errors, schema=ERROR_SCHEMA)
        # One track model per layout, from what the sessions' folders keep.
        tracks = layout_tracks([(e.key, e.folder) for e in live])
        tables[TRACKS_FILE] = tracks.table
        models = {Path(where).name: model.save for where, model in tracks.models.items()}
        schema = self._unified_schema(live) if WRITERS[self.format].dataset else None
        self.store.commit(live, tables, schema, self.options, {TRACKS_DIR: models})
        self.committed = True
        summary = self.summary
        summary.notes += tracks.notes
        if self.salvaged:
            summary.notes.append(
                f"{self.salvaged} sessions read from cut or unclosed recordings "
                "(their whole records; salvaged in sessions.parquet)"
            )
        summary.sessions = len(rows)
        summary.failed = len(self.errors)
        summary.errors = [
            (e["source_path"], e["error_class"], e["reason"], e["hint"]) for e in self.errors
        ]
        if self.channels is not None and rows:
            present: set[str] = set()
            for found in self.schemas.values():
                present.update(found.names)
            if self.schemas:
                for name in self.channels:
                    if name not in present:
                        summary.notes.append(f"no session converted in this run has {name!r}")
        summary.seconds = time.perf_counter() - self.started
        return summary

    def _unified_schema(self, live: list[Entry]) -> pa.Schema:
        schemas = []
        for entry in live:
            schema = self.schemas.get(entry.key)
            if schema is None:
                try:
                    schema = pq.read_schema(entry.folder / f"{TELEMETRY_STEM}.parquet")
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
            if not self.committed:
                with suppress(OSError):
                    self.store.clear_work()  # an interrupted run's conversions
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


def _sessions(count: int) -> str:
    return f"{count} session" + ("" if count == 1 else "s")


def _compared(options: dict[str, Any]) -> tuple[Any, Any]:
    """What must match between runs into one directory (the layout is upgraded, not compared)."""
    return options.get("format", "parquet"), options.get("channels")


def _current(entry: Entry) -> bool:
    return entry.intact and entry.layout >= LAYOUT_VERSION


def _converted_at(entry: Entry) -> datetime:
    return entry.row.get("converted_at") or datetime.min.replace(tzinfo=UTC)


def _entry_source(entry: Entry) -> str:
    return str(entry.row.get("source_path") or "no source")


def _same_content(source: str, digest: str | None) -> bool:
    """Whether the file holds what was converted: its content hash is the one recorded."""
    return digest is not None and content_hash(source) == digest


def _hint(exc: BaseException) -> str | None:
    notes = [" ".join(str(n).split()) for n in getattr(exc, "__notes__", ())]
    return "; ".join(notes) or None


def _combined(files: list[Path], schema: pa.Schema) -> pa.Table:
    """The per-session tables in ``files`` as one table of ``schema``."""
    if not files:
        return schema.empty_table()
    import pyarrow.dataset as ds

    return ds.dataset([str(f) for f in files], schema=schema, format="parquet").to_table()


def check_reader_settings() -> None:
    """Refuse the reader's settings (CORVEX_MAX_THREADS, CORVEX_MAX_RESULT_BYTES) once for the
    run, with the reader's own message, instead of once for every file: reading nothing
    checks them first."""
    from corvex._corvex_rs import read

    try:
        read(b"")
    except ValueError as exc:
        raise ValueError(f"{exc}; set it right or unset it") from None
    except RuntimeError:
        pass  # no IBT file, as expected: the settings are good


def export_dataset(
    sources: Iterable[str | os.PathLike[str]] | str | os.PathLike[str],
    out: str | os.PathLike[str],
    channels: Sequence[str] | None = None,
    jobs: int | None = None,
    progress: bool = True,
    format: str = "parquet",  # noqa: A002 - the name of the command line option
    executor: str = "process",
    salvage: bool = False,
) -> ExportSummary:
    """Convert IBT recordings into a queryable dataset in the directory ``out``.

    ``sources`` are files, directories (searched recursively for ``*.ibt``) and glob patterns.
    ``channels`` picks the channels (default: all). ``jobs`` is the number of files converted
    at once (default: one per core); ``executor`` "process" (the default) runs them in worker
    processes, "thread" in threads of this process. ``progress`` shows a bar on standard error
    when it is a terminal. ``format`` picks the per-session writer of :data:`WRITERS`.
    ``salvage`` reads the whole records of cut or unclosed recordings (as
    ``corvex.open(..., salvage=True)``); such sessions have ``salvaged`` set in
    ``sessions.parquet``.

    A file that cannot be read does not stop the others: it is listed in ``errors.parquet``
    and in the summary's ``errors``; a session read from it before stays. Sessions already in
    ``out`` whose files are unchanged (size, modification time, else content) are skipped.
    Everything the run changes is committed at the end in one step: a run that fails or is
    killed leaves the dataset as it was, and the next run completes the job. Raises
    ``ValueError`` when ``out`` holds a dataset made with other options.
    """
    if executor not in ("process", "thread"):
        raise ValueError(f"executor must be 'process' or 'thread', not {executor!r}")
    jobs = default_jobs() if jobs is None else jobs
    if jobs < 1:
        raise ValueError(f"jobs must be at least 1, got {jobs}")
    with Export(sources, out, channels, format, progress, salvage) as job:
        for outcome in run_tasks(job.tasks, jobs, executor):
            job.record(outcome)
        return job.finish()


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
