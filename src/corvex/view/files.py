"""The files a viewer serves, and the recordings it keeps open.

A viewer is started on one IBT file or on a directory; it serves that file, or the IBT files
under that directory, and nothing else. A page names a file by its path relative to the
directory, as :meth:`FileCatalog.names` lists it; a name that is absolute, that climbs out with
``..``, that a symbolic link takes out of the directory, or that is not an IBT file of the list
is refused with :class:`FileRefused`, before anything is opened.

Opened recordings are kept (the last few, as a one-hour recording holds a few hundred
megabytes) and opened again when their file changes; a file that fails to read keeps its
error, so that a broken file costs one attempt, not one per request.
"""

from __future__ import annotations

import os
import threading
from collections import OrderedDict
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path, PurePosixPath
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from corvex.base import LogFile

__all__ = ["FileCatalog", "FileRefused", "SUFFIX"]

SUFFIX = ".ibt"
# The most files a directory is searched for: a viewer started on a home directory by mistake
# lists the first ones, instead of walking the whole disk.
MAX_FILES = 5000
# Recordings kept open at once.
KEEP_OPEN = 3


class FileRefused(ValueError):
    """A file name a viewer does not serve (outside its directory, not in its list)."""


@dataclass(frozen=True)
class _Stamp:
    size: int
    mtime_ns: int


def _stamp(path: Path) -> _Stamp:
    st = path.stat()
    return _Stamp(st.st_size, st.st_mtime_ns)


class FileCatalog:
    """The IBT files under ``target`` (a directory), or ``target`` alone (a file).

    ``opener`` reads a recording from a path (default :func:`corvex.open`); what it returns or
    raises is kept per file until the file changes.
    """

    def __init__(
        self, target: str | os.PathLike[str], opener: Callable[[Path], Any] | None = None
    ) -> None:
        path = Path(target)
        if not path.exists():
            raise FileNotFoundError(f"{path}: no such file or directory")
        resolved = path.resolve()
        if resolved.is_dir():
            self.root = resolved
            self.single: str | None = None
        elif resolved.is_file():
            self.root = resolved.parent
            self.single = resolved.name
        else:
            raise FileRefused(f"{path}: neither a file nor a directory")
        self.label = str(path)
        self._opener = opener
        self._lock = threading.Lock()
        self._file_locks: dict[str, threading.Lock] = {}
        self._open: OrderedDict[str, tuple[_Stamp, Any, BaseException | None]] = OrderedDict()
        self._facts: dict[tuple[str, str], tuple[_Stamp, Any]] = {}

    # -- which files ----------------------------------------------------------------------------

    def names(self) -> list[str]:
        """The files served, relative to the directory (``/``-separated), sorted."""
        if self.single is not None:
            return [self.single]
        found: list[str] = []
        for folder, dirs, files in os.walk(self.root, followlinks=False):
            dirs[:] = sorted(d for d in dirs if not d.startswith("."))
            here = Path(folder)
            for name in sorted(files):
                if not name.lower().endswith(SUFFIX) or name.startswith("."):
                    continue
                relative = (here / name).relative_to(self.root).as_posix()
                try:
                    self.path(relative)
                except (FileRefused, OSError):
                    continue
                found.append(relative)
                if len(found) >= MAX_FILES:
                    return found
        return found

    def path(self, name: str) -> Path:
        """The file ``name`` names, or :class:`FileRefused` when it is not one this viewer
        serves (``OSError`` when it vanished)."""
        if not isinstance(name, str) or not name or "\x00" in name or "\\" in name:
            raise FileRefused(f"{name!r} is not a file name of this viewer")
        relative = PurePosixPath(name)
        if relative.is_absolute() or name.startswith("/"):
            raise FileRefused(f"{name!r}: absolute paths are refused; name a file of the list")
        if any(part in ("..", ".", "") for part in name.split("/")):
            raise FileRefused(f"{name!r}: only files under the viewer's directory are served")
        if self.single is not None and name != self.single:
            raise FileRefused(f"{name!r}: this viewer serves {self.single} only")
        if not name.lower().endswith(SUFFIX):
            raise FileRefused(f"{name!r} is not an IBT file")
        candidate = self.root.joinpath(*relative.parts)
        resolved = candidate.resolve(strict=True)
        if not resolved.is_relative_to(self.root):
            raise FileRefused(f"{name!r} leads out of the viewer's directory (a symbolic link)")
        if not resolved.is_file():
            raise FileRefused(f"{name!r} is not a regular file")
        return resolved

    def datasets(self) -> list[str]:
        """The folders under the directory (itself included, as ".") that hold a dataset
        written by ``corvex export``: its sessions and laps tables beside its telemetry."""
        if self.single is not None:
            return []
        found = []
        for folder, dirs, files in os.walk(self.root, followlinks=False):
            here = Path(folder)
            depth = len(here.relative_to(self.root).parts)
            dirs[:] = sorted(d for d in dirs if not d.startswith(".")) if depth < 2 else []
            if {"sessions.parquet", "laps.parquet"} <= set(files) and "telemetry" in dirs:
                relative = here.relative_to(self.root).as_posix()
                found.append(relative)
                dirs[:] = []  # a dataset's own folders hold no other
        return found

    def dataset(self, name: str) -> Path:
        """The dataset folder ``name`` (as :meth:`datasets` lists it), refused like a file
        name that leaves the directory."""
        if not isinstance(name, str) or "\x00" in name or "\\" in name or name.startswith("/"):
            raise FileRefused(f"{name!r} is not a dataset of this viewer")
        parts = [] if name == "." else name.split("/")
        if any(part in ("..", ".", "") for part in parts):
            raise FileRefused(f"{name!r}: only datasets under the viewer's directory are served")
        if self.single is not None or name not in self.datasets():
            raise FileRefused(f"{name!r} is not a dataset of this viewer")
        return self.root.joinpath(*parts).resolve(strict=True)

    # -- opened recordings ----------------------------------------------------------------------

    def open(self, name: str) -> LogFile:
        """The recording in file ``name``, read once and kept while the file is unchanged; a
        file that failed to read raises its error again without a second attempt."""
        path = self.path(name)
        with self._lock:
            lock = self._file_locks.setdefault(name, threading.Lock())
        with lock:
            stamp = _stamp(path)
            with self._lock:
                kept = self._open.get(name)
                if kept is not None and kept[0] == stamp:
                    self._open.move_to_end(name)
                    if kept[2] is not None:
                        raise kept[2]
                    return kept[1]  # type: ignore[no-any-return]
            log: Any = None
            error: BaseException | None = None
            try:
                log = self._read(path)
            except (OSError, RuntimeError, ValueError, MemoryError) as exc:
                error = exc
            with self._lock:
                self._open[name] = (stamp, log, error)
                self._open.move_to_end(name)
                while len(self._open) > KEEP_OPEN:
                    self._open.popitem(last=False)
            if error is not None:
                raise error
            return log  # type: ignore[no-any-return]

    def facts(self, name: str, kind: str, compute: Callable[[Path], Any]) -> Any:
        """``compute(path)`` of file ``name``, kept under ``kind`` while the file is unchanged
        (small facts read from its headers: its layout and car, its high-rate variables)."""
        path = self.path(name)
        stamp = _stamp(path)
        with self._lock:
            kept = self._facts.get((name, kind))
        if kept is not None and kept[0] == stamp:
            return kept[1]
        value = compute(path)
        with self._lock:
            self._facts[(name, kind)] = (stamp, value)
        return value

    def _read(self, path: Path) -> Any:
        if self._opener is not None:
            return self._opener(path)
        import corvex

        return corvex.open(path)
