"""Finding the recordings named by the sources, and the key of the session each one holds."""

from __future__ import annotations

import glob
import hashlib
import os
from collections.abc import Iterable
from pathlib import Path

from corvex.testing import layout

_HASH_READ_LIMIT = 64 << 20  # variable headers and session info text hashed for the key


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
