"""Recording live telemetry into one Parquet file that a crash or a kill cannot take away.

A Parquet file has its footer at its end: a writer that is killed leaves a file nobody can read.
So a recording is written as it goes into a hidden directory beside the target,
``.NAME.partial-<unique>/``, one complete Parquet file per part (a few seconds of records, each
written under a temporary name and renamed into place), with the session info text beside them
(rewritten the same way when it changes). After a crash that directory is readable as it is
(``pyarrow.dataset.dataset(DIR)``, or ``corvex record --recover DIR``). When the recording ends,
the parts are combined into the target, written under a temporary name in its directory and
renamed into place, with the session info and the lap table in its schema metadata; only then
is the directory removed.

The combined file: the columns of the live batches (``timecodes``, then every variable, see
:mod:`corvex.live`), one row group per part, and the schema metadata ``corvex.session_info``
(the text), ``corvex.laps`` (the lap table as JSON rows: num, start_time, end_time, lap_type,
session, as :attr:`corvex.LogFile.laps` has them), ``corvex.missed`` (ticks the recorder lost)
and the track keys :meth:`corvex.LogFile.to_table` writes. :func:`read_laps` gives the lap table
back as a pyarrow table.
"""

from __future__ import annotations

import json
import os
import secrets
from collections.abc import Callable
from pathlib import Path
from typing import TYPE_CHECKING, Any

from corvex.files import write_whole

if TYPE_CHECKING:
    import pyarrow as pa

    from corvex.live import Live

__all__ = ["Recorder", "combine", "partial_directories", "read_laps", "record", "recover"]

# Beside the parts; the leading "_" keeps them out of pyarrow.dataset's view of the directory.
SESSION_INFO_FILE = "_session_info.yaml"
TARGET_FILE = "_target.txt"
MISSED_FILE = "_missed.txt"
PART_GLOB = "part-*.parquet"


class Recorder:
    """Writes the batches of one recording into its partial directory, a part at a time."""

    def __init__(self, target: str | os.PathLike[str]) -> None:
        # Loaded now: a first import in the writer thread would hold the interpreter while the
        # first records wait in the ring.
        import pyarrow.parquet  # noqa: F401

        self.target = Path(target)
        if self.target.is_dir():
            raise IsADirectoryError(f"{self.target} is a directory; name the file to record into")
        parent = self.target.parent
        if not parent.is_dir():
            raise FileNotFoundError(f"{parent} does not exist; create it first")
        unique = f"{os.getpid()}-{secrets.token_hex(4)}"
        self.directory = parent / f".{self.target.name}.partial-{unique}"
        self.directory.mkdir()
        (self.directory / TARGET_FILE).write_text(self.target.name + "\n", encoding="utf-8")
        self.parts = 0
        self.rows = 0
        self.missed = 0
        self._pending: list[pa.RecordBatch] = []
        self._session_info: str | None = None
        # Parts are written by one thread of their own, so that the reader keeps up with the
        # ring of buffers (a few ticks deep) while a part is encoded.
        from concurrent.futures import ThreadPoolExecutor

        self._writer = ThreadPoolExecutor(max_workers=1, thread_name_prefix="corvex-record")
        self._written: list[Any] = []

    def add(self, batch: pa.RecordBatch) -> None:
        """Keep ``batch`` for the next part; a batch of another schema starts a new part."""
        if self._pending and not batch.schema.equals(self._pending[0].schema):
            self.flush()
        self._pending.append(batch)
        metadata = batch.schema.metadata or {}
        self.missed += int(metadata.get(b"corvex.missed", b"0"))

    def set_session_info(self, text: str) -> None:
        """The session info text now; written beside the parts when it changed."""
        if text == self._session_info:
            return

        def write(path: Path) -> None:
            path.write_text(text, encoding="utf-8")

        write_whole(self.directory / SESSION_INFO_FILE, write)
        self._session_info = text

    def flush(self) -> None:
        """Write the batches kept so far as one complete Parquet part (in the writer thread;
        a failure of an earlier part is raised here)."""
        for done in [f for f in self._written if f.done()]:
            done.result()
            self._written.remove(done)
        if not self._pending:
            return
        batches, self._pending = self._pending, []
        self.parts += 1
        self.rows += sum(batch.num_rows for batch in batches)
        part = self.directory / f"part-{self.parts:06d}.parquet"
        self._written.append(self._writer.submit(_write_part, batches, part, self.missed))

    def finish(self, progress: bool = False) -> Path:
        """Write what is left, combine the parts into the target and remove the directory."""
        self.flush()
        self._writer.shutdown(wait=True)
        for done in self._written:
            done.result()
        return combine(self.directory, self.target, progress=progress)


def _write_part(batches: list[pa.RecordBatch], part: Path, missed: int) -> None:
    import pyarrow as pa
    import pyarrow.parquet as pq

    table = pa.Table.from_batches(batches).replace_schema_metadata(None)
    write_whole(part, lambda path: pq.write_table(table, path))

    def write_missed(path: Path) -> None:
        path.write_text(f"{missed}\n", encoding="utf-8")

    write_whole(part.parent / MISSED_FILE, write_missed)


def record(
    live: Live,
    recorder: Recorder,
    *,
    flush_seconds: float = 5.0,
    stop_after: float | None = None,
    on_batch: Callable[[pa.RecordBatch], None] | None = None,
) -> None:
    """Record ``live`` until its writer disconnects (for two seconds), ``stop_after`` seconds
    pass, or Ctrl-C (the ``KeyboardInterrupt`` propagates after the last batch is kept)."""
    import time

    rate = max(live.tick_rate, 1)
    every = max(1, rate // 4)  # four batches a second: Ctrl-C loses at most a quarter second
    part_rows = max(1, int(flush_seconds * rate))
    pending = 0
    start = time.monotonic()
    recorder.set_session_info(live.session_info_text)
    while stop_after is None or time.monotonic() - start < stop_after:
        got = live.next(every, timeout=2.0)
        if got is None:
            if not live.connected:
                break
            continue
        recorder.add(got)
        pending += got.num_rows
        if on_batch is not None:
            on_batch(got)
        if pending >= part_rows:
            recorder.set_session_info(live.session_info_text)
            recorder.flush()
            pending = 0
    recorder.set_session_info(live.session_info_text)


def partial_directories(directory: str | os.PathLike[str]) -> list[Path]:
    """The partial directories of recordings in ``directory`` that did not finish."""
    return sorted(Path(directory).glob(".*.partial-*"))


def _parts(directory: Path) -> list[Path]:
    return sorted(directory.glob(PART_GLOB))


def _laps_of(parts: list[Path]) -> pa.Table:
    """The lap table of the recorded columns, by the file reader's rules."""
    import numpy as np
    import pyarrow.parquet as pq

    from corvex.columns import column_values
    from corvex.reading import _extension

    wanted = ("timecodes", "Lap", "OnPitRoad", "LapDistPct")
    columns: dict[str, list[Any]] = {name: [] for name in wanted}
    for part in parts:
        names = set(pq.read_schema(part).names)
        table = pq.read_table(part, columns=[n for n in wanted if n in names])
        for name in wanted:
            if name in names:
                columns[name].append(column_values(table.column(name)))
            else:
                columns[name].append(None)
    if not parts or any(c is None for c in columns["Lap"]):
        return _extension().lap_table(np.zeros(0, np.int64), np.zeros(0, np.int32))

    def joined(name: str, kind: Any) -> Any:
        chunks = columns[name]
        if any(c is None for c in chunks):
            return None
        return np.ascontiguousarray(np.concatenate(chunks).astype(kind))

    laps: pa.Table = _extension().lap_table(
        joined("timecodes", np.int64),
        joined("Lap", np.int32),
        joined("OnPitRoad", np.uint8),
        joined("LapDistPct", np.float32),
    )
    return laps


def _conform(table: pa.Table, schema: pa.Schema) -> pa.Table:
    """``table`` with the columns of ``schema``, in its order; missing ones are nulls."""
    import pyarrow as pa

    columns = [
        table.column(field.name)
        if field.name in table.column_names
        else pa.nulls(table.num_rows, field.type)
        for field in schema
    ]
    return pa.Table.from_arrays(columns, schema=schema)


def _metadata(directory: Path, laps: pa.Table, schema: pa.Schema) -> dict[bytes, bytes]:
    from corvex.analysis import table_metadata
    from corvex.session_info import parse_session_info, weekend_fields

    info_path = directory / SESSION_INFO_FILE
    text = info_path.read_text(encoding="utf-8") if info_path.exists() else ""
    missed_path = directory / MISSED_FILE
    missed = missed_path.read_text(encoding="utf-8").strip() if missed_path.exists() else "0"
    info = parse_session_info(text) if text else None
    meta = table_metadata(weekend_fields(text), info, None)
    meta[b"corvex.session_info"] = text.encode("utf-8")
    meta[b"corvex.laps"] = json.dumps(laps.to_pylist()).encode("utf-8")
    meta[b"corvex.missed"] = missed.encode()
    return meta


def combine(
    directory: str | os.PathLike[str],
    target: str | os.PathLike[str],
    *,
    progress: bool = False,
) -> Path:
    """Combine the parts in ``directory`` into the Parquet file ``target`` (one row group per
    part, parts of different schemas unified with nulls), then remove the directory."""
    import pyarrow as pa
    import pyarrow.parquet as pq

    folder = Path(directory)
    out = Path(target)
    parts = _parts(folder)
    if not parts:
        raise FileNotFoundError(f"{folder}: no recorded parts to combine")
    schemas = [pq.read_schema(part) for part in parts]
    schema = pa.unify_schemas(schemas)
    laps = _laps_of(parts)
    schema = schema.with_metadata(_metadata(folder, laps, schema))
    bar = _progress_bar(len(parts), out.name) if progress else None

    def write(path: Path) -> None:
        with pq.ParquetWriter(path, schema) as writer:
            for part in parts:
                writer.write_table(_conform(pq.read_table(part), schema))
                if bar is not None:
                    bar.update(1)

    try:
        write_whole(out, write)
    finally:
        if bar is not None:
            bar.close()
    for leftover in folder.iterdir():
        leftover.unlink()
    folder.rmdir()
    return out


def recover(
    directory: str | os.PathLike[str],
    target: str | os.PathLike[str] | None = None,
    *,
    progress: bool = False,
) -> Path:
    """Finish the recording whose partial directory is ``directory``: its parts combined into
    ``target`` (default: the file the recording was meant for, beside the directory)."""
    folder = Path(directory)
    if not folder.is_dir():
        raise FileNotFoundError(f"{folder} is not a directory of recorded parts")
    if target is None:
        named = folder / TARGET_FILE
        if not named.exists():
            raise FileNotFoundError(f"{folder} does not say which file it records; pass -o")
        target = folder.parent / named.read_text(encoding="utf-8").strip()
    return combine(folder, target, progress=progress)


def read_laps(path: str | os.PathLike[str]) -> pa.Table:
    """The lap table stored in a recording's metadata, as :attr:`corvex.LogFile.laps`."""
    import pyarrow as pa
    import pyarrow.parquet as pq

    metadata = pq.read_schema(path).metadata or {}
    rows = json.loads(metadata.get(b"corvex.laps", b"[]"))
    schema = pa.schema(
        [
            pa.field("num", pa.int32(), nullable=False),
            pa.field("start_time", pa.int64(), nullable=False),
            pa.field("end_time", pa.int64(), nullable=False),
            pa.field("lap_type", pa.string(), nullable=False),
            pa.field("session", pa.int32(), nullable=False),
        ]
    )
    return pa.Table.from_pylist(rows, schema=schema)


def _progress_bar(total: int, name: str) -> Any:
    """A tqdm bar over the parts, on a terminal only."""
    import sys

    from tqdm import tqdm

    return tqdm(total=total, desc=f"combining {name}", unit="part", disable=not sys.stderr.isatty())
