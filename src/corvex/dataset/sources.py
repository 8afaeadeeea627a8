"""Finding the recordings named by the sources, and the key of the session each one holds."""

from __future__ import annotations

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
