"""What a source that failed to read really is, in one plain sentence.

The reader's messages name the header field and the numbers that broke a check ("Unsupported IBT
version: 1094799682"), which is exact but does not tell a user that the file was never a
recording in the first place. :func:`explain_failure` looks at the source once more, after the
reader refused it, and names the common cases: a directory, an empty file, a file of another
kind, and a live telemetry snapshot (the simulator's shared memory saved to disk, whose main
header describes several rotating record buffers and which has no disk sub-header).
"""

from __future__ import annotations

import os
from typing import Any

from corvex import layout

__all__ = ["explain_failure", "DIRECTORY", "EMPTY", "NOT_IBT", "live_snapshot_note"]

DIRECTORY = "this is a directory"
EMPTY = "the file is empty"
NOT_IBT = "this is not an IBT file"
_VERSIONS = (1, 2)


_COUNT_WORDS = {2: "two", 3: "three", 4: "four"}


def live_snapshot_note(buffers: int) -> str:
    """The sentence for a live telemetry snapshot whose header uses ``buffers`` buffers."""
    words = _COUNT_WORDS.get(buffers, str(buffers))
    return (
        f"this looks like a live telemetry snapshot ({words} rotating buffers), "
        "not a disk recording"
    )


def explain_failure(source: Any, exc: BaseException) -> str | None:
    """One sentence saying what ``source`` is when the reader failed on it, or None.

    ``source`` is what was handed to the reader (a path, bytes or a binary file object) and
    ``exc`` the exception it raised. Never raises: a source that cannot be looked at again gets
    no sentence.
    """
    try:
        return _explain(source, str(exc))
    except Exception:  # noqa: BLE001 - a second look must never hide the reader's error
        return None


def _explain(source: Any, message: str) -> str | None:
    if isinstance(source, (str, os.PathLike)):
        path = os.fspath(source)
        if isinstance(path, str) and os.path.isdir(path):
            return DIRECTORY
        if "Invalid header" not in message:
            return None
        with open(path, "rb") as handle:
            head = handle.read(layout.HEADERS_END)
    elif isinstance(source, (bytes, bytearray, memoryview)):
        head = bytes(memoryview(source).cast("B")[: layout.HEADERS_END])
    elif hasattr(source, "seek") and hasattr(source, "read"):
        source.seek(0)
        head = bytes(source.read(layout.HEADERS_END))
    else:
        return None
    if "Invalid header" not in message:
        return None
    return _explain_header(head)


def _explain_header(head: bytes) -> str | None:
    if not head:
        return EMPTY
    if len(head) < layout.MAIN_HEADER_SIZE:
        return NOT_IBT if len(head) < 4 or _version(head) not in _VERSIONS else None
    if _version(head) not in _VERSIONS:
        return NOT_IBT
    buffers = layout.read_field(head, "num_buf")
    if 2 <= buffers <= layout.MAX_BUFFERS:
        return live_snapshot_note(buffers)
    return None


def _version(head: bytes) -> int:
    return int(layout.read_field(head, "version"))
