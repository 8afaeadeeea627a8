"""The dataset on disk: a folder per converted session, and snapshots committed in one rename.

::

    OUT/.corvex/sessions/KEY/     one converted session, renamed into place whole:
        telemetry.parquet         its telemetry (or telemetry.ld and telemetry.ldx)
        session.arrow             its sessions row (rewritten whole when only the name or the
                                  time of its source changed)
        laps.parquet, stints.parquet, ...   its per-session tables
        track_laps.parquet        the positions its layout's track model is built from
    OUT/.corvex/versions/N/       a committed snapshot: sessions.parquet, laps.parquet,
                                  stints.parquet, errors.parquet, tracks.parquet,
                                  tracks/ (a track model per layout) and
                                  telemetry/track=T/car=C/KEY.parquet (hard links to the
                                  sessions' telemetry: nothing is copied)
    OUT/.corvex/tmp/              the running export's work; emptied when an export starts
    OUT/current                   a link to the newest snapshot, replaced in one rename: the commit
    OUT/sessions.parquet, laps.parquet, stints.parquet, errors.parquet, tracks.parquet,
    tracks, telemetry             links through ``current``: the names users query

A session's rows are only ever rebuilt from its own folder, never from a combined table, and
a snapshot holds exactly the sessions whose rows it lists, so a reader that resolves
``current`` once (as :func:`corvex.dataset.open_dataset` does) sees one consistent dataset
whatever happens to a running export. The snapshot before the newest is kept, so that a query
that resolved ``current`` just before a commit can finish.
"""

from __future__ import annotations

import json
import os
import re
import secrets
import shutil
from collections.abc import Callable, Iterable, Mapping
from contextlib import suppress
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.ipc
import pyarrow.parquet as pq

from corvex.dataset.schema import (
    CURRENT,
    KEY,
    LAPS_FILE,
    OPTIONS_KEY,
    SCHEMA_FILE,
    SESSION_SCHEMA,
    SESSIONS_FILE,
    TELEMETRY_DIR,
    conform,
)
from corvex.dataset.session import SESSION_TABLE_SCHEMAS
from corvex.files import write_whole

STORE_DIR = ".corvex"
ROW_FILE = "session.arrow"  # Arrow IPC: read at every run for every session, so the cheapest
TELEMETRY_STEM = "telemetry"
OPTIONS_FILE = "options.json"
# Entry metadata in the row file's schema: the layout it was written with and the size of each
# file of the session, by which a damaged session is recognised.
ENTRY_KEY = b"corvex.entry"
_VERSION = re.compile(r"^[0-9]{8}$")


@dataclass
class Entry:
    """One converted session in the store."""

    key: str
    folder: Path
    row: dict[str, Any]
    layout: int
    intact: bool  # every file it lists is there with the size it was written with

    @property
    def telemetry(self) -> list[Path]:
        return sorted(self.folder.glob(f"{TELEMETRY_STEM}.*"))


def write_entry_files(
    folder: Path, row: Mapping[str, Any], tables: Mapping[str, pa.Table], layout: int
) -> None:
    """Write a session's row and per-session tables into ``folder`` (which already holds its
    telemetry), and the sizes of all of them into the row file."""
    for name, table in tables.items():
        pq.write_table(table, folder / name)
    sizes = {p.name: p.stat().st_size for p in folder.iterdir() if p.name != ROW_FILE}
    meta = {ENTRY_KEY: json.dumps({"layout": layout, "files": sizes}).encode()}
    table = pa.Table.from_pylist([dict(row)], schema=SESSION_SCHEMA.with_metadata(meta))
    _write_row(table, folder / ROW_FILE)


class Store:
    """The store of one dataset directory ``out`` (the caller holds its lock)."""

    def __init__(self, out: Path) -> None:
        self.out = out
        self.root = out / STORE_DIR
        self.sessions = self.root / "sessions"
        self.versions = self.root / "versions"
        self.tmp = self.root / "tmp"

    # -- starting a run ---------------------------------------------------------------------

    def prepare(self) -> list[str]:
        """Make the folders and clear what a run that died left; notes on what was repaired."""
        notes: list[str] = []
        for folder in (self.sessions, self.versions, self.tmp):
            folder.mkdir(parents=True, exist_ok=True)
        # A session replaced by a newer conversion is moved here before the new one takes its
        # name; a run killed in between left it here, and it goes back.
        for aside in self.tmp.glob("*.replaced-*"):
            key = aside.name.split(".replaced-")[0]
            if not (self.sessions / key).exists():
                os.rename(aside, self.sessions / key)
                notes.append(f"restored session {key}, which an interrupted run had moved aside")
        left = self.clear_work()
        if left:
            notes.append(f"removed {left} unfinished files of an interrupted run")
        return notes

    def clear_work(self) -> int:
        """Remove what conversions and commits left in tmp/; how many there were."""
        left = list(self.tmp.iterdir()) if self.tmp.is_dir() else []
        for path in left:
            _remove(path)
        return len(left)

    def damage(self, names: list[str]) -> list[str]:
        """What is missing from the committed snapshot and the names that lead to it (files
        deleted by hand): the next commit puts it back from the session folders."""
        if not self._version_numbers() and not os.path.lexists(self.out / CURRENT):
            return []
        current = self.current()
        if current is None:
            return [f"{self.out / CURRENT} was missing or broken; the new snapshot replaces it"]
        found = [
            f"{self.out / name} was missing; put back"
            for name in names
            if not os.path.lexists(self.out / name)
        ]
        found += [
            f"the committed {name} was missing; rebuilt from the session folders"
            for name in names
            if not (current / name).exists()
        ]
        try:
            outputs = pq.read_table(current / SESSIONS_FILE, columns=["output"])["output"]
            lost = sum(not (current / o).exists() for o in outputs.to_pylist())
        except (OSError, pa.ArrowException):
            lost = 0
        if lost:
            found.append(f"{lost} telemetry files of the committed snapshot were missing; put back")
        return found

    def new_work_folder(self) -> Path:
        """A new folder under tmp/ for one conversion (called in the workers)."""
        self.tmp.mkdir(parents=True, exist_ok=True)
        folder = self.tmp / f"work-{secrets.token_hex(8)}"
        folder.mkdir()
        return folder

    # -- the sessions -----------------------------------------------------------------------

    def entries(self) -> tuple[dict[str, Entry], list[str]]:
        """Every session folder by key, and the names of folders that are not sessions."""
        found: dict[str, Entry] = {}
        broken: list[str] = []
        for folder in sorted(self.sessions.iterdir()):
            entry = self.read_entry(folder)
            if entry is None:
                broken.append(folder.name)
            else:
                found[entry.key] = entry
        return found, broken

    def read_entry(self, folder: Path) -> Entry | None:
        try:
            table = _read_row(folder / ROW_FILE)
            meta = json.loads((table.schema.metadata or {})[ENTRY_KEY])
            rows = table.to_pylist()
        except (OSError, KeyError, ValueError, pa.ArrowException):
            return None
        if len(rows) != 1 or rows[0].get(KEY) != folder.name:
            return None
        intact = True
        for name, size in meta.get("files", {}).items():
            try:
                intact = intact and (folder / name).stat().st_size == size
            except OSError:
                intact = False
        return Entry(folder.name, folder, rows[0], int(meta.get("layout", 0)), intact)

    def install(self, work: Path, key: str) -> None:
        """Put a converted session (its work folder) in place under its key, replacing an
        older conversion of the same session."""
        target = self.sessions / key
        aside = None
        if target.exists():
            aside = self.tmp / f"{key}.replaced-{secrets.token_hex(4)}"
            os.rename(target, aside)
        os.rename(work, target)
        if aside is not None:
            _remove(aside)

    def update_row(self, entry: Entry, changes: Mapping[str, Any]) -> None:
        """Rewrite a session's row with ``changes`` (its source's new name or time)."""
        entry.row.update(changes)
        old = _read_row(entry.folder / ROW_FILE)
        table = pa.Table.from_pylist([entry.row], schema=old.schema)
        write_whole(entry.folder / ROW_FILE, lambda tmp: _write_row(table, tmp))

    def remove(self, key: str) -> None:
        folder = self.sessions / key
        if folder.exists():
            aside = self.tmp / f"removed-{key}-{secrets.token_hex(4)}"
            os.rename(folder, aside)
            _remove(aside)

    # -- snapshots ----------------------------------------------------------------------------

    def current(self) -> Path | None:
        """The folder of the committed snapshot, or None before the first commit."""
        return current_snapshot(self.out)

    def commit(
        self,
        entries: Iterable[Entry],
        tables: Mapping[str, pa.Table],
        schema: pa.Schema | None,
        options: Mapping[str, Any],
        folders: Mapping[str, Mapping[str, Callable[[Path], object]]] | None = None,
    ) -> Path:
        """Write a new snapshot of ``entries`` with the combined ``tables`` (file name ->
        table, the sessions and errors tables among them), the telemetry schema and the
        ``folders`` (folder name -> file name -> a function that writes that file to the path
        it is given), then make it the current one in one rename."""
        latest = self._version_numbers()
        number = (latest[-1] + 1) if latest else 1
        work = self.tmp / f"version-{secrets.token_hex(8)}"
        work.mkdir()
        for name, table in tables.items():
            pq.write_table(table, work / name)
        for folder, files in (folders or {}).items():
            (work / folder).mkdir()
            for name, write in files.items():
                write(work / folder / name)
        telemetry = work / TELEMETRY_DIR
        telemetry.mkdir()
        for entry in entries:
            output = work / entry.row["output"]
            output.parent.mkdir(parents=True, exist_ok=True)
            for part in entry.telemetry:
                _link(part, output.with_suffix(part.suffix))
        if schema is not None:
            pq.write_metadata(schema, telemetry / SCHEMA_FILE)
        write_whole(work / OPTIONS_FILE, lambda tmp: tmp.write_text(json.dumps(options)))
        version = self.versions / f"{number:08d}"
        os.rename(work, version)
        # Made in tmp/ (what a kill leaves there is cleared), holding the text it needs where
        # it lands.
        link = self.tmp / f"{CURRENT}.{secrets.token_hex(6)}"
        os.symlink(os.path.relpath(version, self.out), link)
        os.replace(link, self.out / CURRENT)  # the commit
        self._link_names([*tables, TELEMETRY_DIR, *(folders or {})])
        for old in latest[:-1]:  # the newest before this one stays for readers still on it
            _remove(self.versions / f"{old:08d}")
        return version

    def options(self) -> dict[str, Any] | None:
        """The options of the committed snapshot."""
        current = self.current()
        if current is None:
            return None
        try:
            return dict(json.loads((current / OPTIONS_FILE).read_text()))
        except (OSError, ValueError):
            return None

    def _version_numbers(self) -> list[int]:
        return sorted(int(p.name) for p in self.versions.iterdir() if _VERSION.match(p.name))

    def _link_names(self, names: list[str]) -> None:
        """The names users query, as links through ``current`` (replacing the files of an
        older layout, which the store holds by now)."""
        for name in names:
            path = self.out / name
            target = f"{CURRENT}/{name}"
            if path.is_symlink() and os.readlink(path) == target:
                continue
            link = self.tmp / f"{name}.{secrets.token_hex(6)}"
            os.symlink(target, link)
            if path.is_dir() and not path.is_symlink():
                aside = self.tmp / f"old-{name}-{secrets.token_hex(4)}"
                os.rename(path, aside)
                os.replace(link, path)
                _remove(aside)
            else:
                os.replace(link, path)

    # -- layout 1 -----------------------------------------------------------------------------

    def layout_1_options(self) -> dict[str, Any] | None:
        """The options a directory of layout 1 was written with (None for any other)."""
        sessions = self.out / SESSIONS_FILE
        if sessions.is_symlink() or not sessions.is_file():
            return None
        made_with = (pq.read_schema(sessions).metadata or {}).get(OPTIONS_KEY)
        return dict(json.loads(made_with)) if made_with else {}

    def import_layout_1(self) -> int:
        """Take the sessions of a directory written by layout 1 into the store (their
        telemetry by hard link, their rows and laps from the combined tables, the only place
        layout 1 kept them); how many."""
        sessions = self.out / SESSIONS_FILE
        if sessions.is_symlink() or not sessions.is_file():
            return 0
        old = pq.read_table(sessions)
        laps_file = self.out / LAPS_FILE
        laps = pq.read_table(laps_file) if laps_file.is_file() else None
        count = 0
        for row in old.to_pylist():
            key = row[KEY]
            telemetry = self.out / row["output"]
            if (self.sessions / key).exists() or not telemetry.is_file():
                continue
            work = self.new_work_folder()
            for part in telemetry.parent.glob(f"{key}.*"):
                _link(part, work / f"{TELEMETRY_STEM}{part.suffix}")
            full = {name: row.get(name) for name in SESSION_SCHEMA.names}
            full["source_path_bytes"] = os.fsencode(row["source_path"] or "")
            tables = {}
            for name, schema in SESSION_TABLE_SCHEMAS.items():
                part_table = schema.empty_table()
                if name == LAPS_FILE and laps is not None:
                    part_table = conform(laps.filter(pc.equal(laps[KEY], key)), schema)
                tables[name] = part_table
            write_entry_files(work, full, tables, layout=1)
            self.install(work, key)
            count += 1
        return count


def current_snapshot(out: Path) -> Path | None:
    """The snapshot folder ``out/current`` points at, resolved once, or None."""
    link = out / CURRENT
    try:
        target = os.readlink(link)
    except OSError:
        return None
    folder = (out / target).resolve()
    return folder if folder.is_dir() else None


def _write_row(table: pa.Table, path: Path) -> None:
    with pa.OSFile(str(path), "wb") as sink, pa.ipc.new_file(sink, table.schema) as writer:
        writer.write_table(table)


def _read_row(path: Path) -> pa.Table:
    with pa.OSFile(str(path), "rb") as source:
        return pa.ipc.open_file(source).read_all()


def _link(source: Path, target: Path) -> None:
    """A hard link, or a symbolic one on a file system without hard links."""
    try:
        os.link(source, target)
    except OSError:
        os.symlink(os.path.relpath(source, target.parent), target)


def _remove(path: Path) -> None:
    with suppress(FileNotFoundError):
        if path.is_dir() and not path.is_symlink():
            shutil.rmtree(path)
        else:
            path.unlink()
