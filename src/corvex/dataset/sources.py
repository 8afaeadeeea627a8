"""Finding the recordings named by the sources, and the key of the session each one holds."""

from __future__ import annotations

import fnmatch
import glob
import hashlib
import os
import stat
from collections.abc import Iterable
from pathlib import Path
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from corvex._corvex_rs import Probe

_HASH_READ_LIMIT = 64 << 20  # variable headers and session info text hashed for the key
# The headers and the 64 KiB after them: what the key of a file the reader refuses covers.
_PREFIX_BYTES = 144 + (64 << 10)


def find_sources(sources: Iterable[str | os.PathLike[str]]) -> tuple[list[Path], list[str]]:
    """The files named by ``sources`` and notes on sources that named none.

    A file is taken as it is, whatever its name; a directory is searched recursively for
    regular files named ``*.ibt`` (any case); a name that does not exist but holds ``*``, ``?``
    or ``[`` is a glob pattern (``**`` reaches into subdirectories). A name that is none of
    these is returned as a file too, so that its failure is reported like any other. Each file
    comes once, as an absolute path, in sorted order.

    The walks follow links to directories but enter each directory once (by device and
    inode), so a link loop ends; they never open a file, and take only regular files (no FIFO,
    device or socket). Names that are not UTF-8 come as ``str`` with lone surrogates, as
    ``os.fsdecode`` gives them.
    """
    found: set[str] = set()
    notes: list[str] = []
    visited: set[tuple[int, int]] = set()

    def add(path: str) -> None:
        found.add(os.path.abspath(path))

    for source in sources:
        text = os.fsdecode(os.fspath(source))
        if os.path.isdir(text):
            hits = _walk(text, visited)
            if not hits:
                notes.append(f"{display_path(text)}: no .ibt file in this directory")
            for hit in hits:
                add(hit)
        elif not os.path.lexists(text) and glob.has_magic(text):
            files: list[str] = []
            for hit in sorted(_glob(text)):
                if os.path.isdir(hit):
                    files += _walk(hit, visited)
                elif _is_regular(hit):
                    files.append(hit)
            if not files:
                notes.append(f"{display_path(text)}: no file matches")
            for hit in files:
                add(hit)
        else:
            add(text)
    return [Path(p) for p in sorted(found)], notes


def display_path(path: str) -> str:
    """A path as text that any table or terminal takes: bytes that are not UTF-8 as \\xNN."""
    return os.fsencode(path).decode("utf-8", "backslashreplace")


def _is_regular(path: str) -> bool:
    try:
        return stat.S_ISREG(os.stat(path).st_mode)
    except OSError:
        return False


def _identity(path: str) -> tuple[int, int] | None:
    try:
        info = os.stat(path)
    except OSError:
        return None
    return info.st_dev, info.st_ino


def _walk(top: str, visited: set[tuple[int, int]]) -> list[str]:
    """The regular ``*.ibt`` files under ``top``, each directory entered once."""
    hits: list[str] = []
    stack = [top]
    while stack:
        folder = stack.pop()
        identity = _identity(folder)
        if identity is None or identity in visited:
            continue
        visited.add(identity)
        try:
            with os.scandir(folder) as entries:
                for entry in entries:
                    try:
                        if entry.is_dir():
                            stack.append(entry.path)
                        elif entry.name.lower().endswith(".ibt") and entry.is_file():
                            hits.append(entry.path)
                    except OSError:
                        continue
        except OSError:
            continue
    return sorted(hits)


def _glob(pattern: str) -> list[str]:
    """The paths matching a glob pattern (``**``: any number of directories), as glob.glob
    with recursive=True matches them (hidden names only by a pattern that starts with a dot),
    but entering each directory once for each part of the pattern, so that links that loop
    end the walk instead of running forever."""
    drive, rest = os.path.splitdrive(pattern)
    absolute = rest.startswith(os.sep)
    parts = [p for p in rest.split(os.sep) if p]
    base = drive + (os.sep if absolute else "")
    while parts and not glob.has_magic(parts[0]) and len(parts) > 1:
        base = os.path.join(base, parts.pop(0))
    seen: set[tuple[tuple[int, int] | None, int]] = set()
    out: list[str] = []

    def match(folder: str, at: int) -> None:
        if at == len(parts):
            out.append(folder)
            return
        part = parts[at]
        if not glob.has_magic(part):
            path = os.path.join(folder, part)
            if at + 1 == len(parts):
                if os.path.lexists(path):
                    out.append(path)
            elif os.path.isdir(path):
                match(path, at + 1)
            return
        state = (_identity(folder or "."), at)
        if state in seen:
            return
        seen.add(state)
        try:
            with os.scandir(folder or ".") as listing:
                entries = sorted(listing, key=lambda e: e.name)
        except OSError:
            return
        if part == "**":
            match(folder, at + 1)
            for entry in entries:
                if entry.name.startswith("."):
                    continue
                if _entry_is_dir(entry):
                    match(os.path.join(folder, entry.name), at)
                elif at + 1 == len(parts):  # a last "**" matches the files too
                    out.append(os.path.join(folder, entry.name))
            return
        for entry in entries:
            if entry.name.startswith(".") and not part.startswith("."):
                continue
            if fnmatch.fnmatchcase(entry.name, part):
                path = os.path.join(folder, entry.name)
                if at + 1 == len(parts):
                    out.append(path)
                elif _entry_is_dir(entry):
                    match(path, at + 1)

    match(base, 0)
    return list(dict.fromkeys(out))


def _entry_is_dir(entry: os.DirEntry[str]) -> bool:
    try:
        return entry.is_dir()
    except OSError:
        return False


def content_hash(path: str) -> str:
    """A hash of the whole content of the file ``path`` (SHA-256, which the processor speeds
    up): what tells an edit that kept the size apart from a file only touched or copied."""
    with open(path, "rb") as f:
        return hashlib.file_digest(f, "sha256").hexdigest()[:32]


def session_key(path: str | os.PathLike[str]) -> str:
    """A key of the session in the file ``path``, computed from its content.

    The hash covers the file size, the main header and disk sub-header, the variable headers
    and the session info region, which between them hold the record count, the session times and
    the session's ids, so copies and renamed files get the same key. The reader checks the
    headers and hands over those blocks as stored (a recording cut in its records keeps its
    key); a file it refuses is hashed over its first 64 KiB. Raises ``OSError`` when it cannot be
    read.
    """
    from corvex._corvex_rs import probe

    text = os.fspath(path)
    try:
        return probe_key(probe(text, salvage=True))
    except (OSError, RuntimeError) as exc:
        if getattr(exc, "kind", None) in ("io", "not_a_file", None):
            raise
        return _prefix_key(text)


def probe_key(found: Probe) -> str:
    """The key :func:`session_key` gives the file that ``probe`` described as ``found``."""
    digest = hashlib.blake2b(digest_size=10)
    digest.update(found["file_size"].to_bytes(8, "little"))
    raw = found["raw"]
    digest.update(raw["headers"])
    for block in (raw["variable_headers"], raw["session_info"]):
        if block:
            digest.update(block[:_HASH_READ_LIMIT])
    return digest.hexdigest()


def _prefix_key(path: str) -> str:
    """The key of a file the reader refused: its size and first bytes."""
    digest = hashlib.blake2b(digest_size=10)
    # Non-blocking and checked, so that something put in the file's place meanwhile (a FIFO)
    # cannot hang the planning.
    fd = os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_BINARY", 0))
    with os.fdopen(fd, "rb") as f:
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode):
            raise OSError(f"{path}: not a regular file")
        digest.update(info.st_size.to_bytes(8, "little"))
        digest.update(f.read(_PREFIX_BYTES))
    return digest.hexdigest()
