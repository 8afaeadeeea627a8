"""What a source that failed to read really is, in one plain sentence.

The reader's messages name the header field and the numbers that broke a check ("Unsupported IBT
version: 1094799682"), which is exact but does not tell a user that the file was never a
recording in the first place. :func:`explain_failure` looks at the source once more, after the
reader refused it, and names the common cases: a directory, an empty file, a file of another
kind, a live telemetry snapshot (the simulator's shared memory saved to disk, whose main
header describes several rotating record buffers and which has no disk sub-header), and a
recording that was cut while whole records are there to salvage.
"""

from __future__ import annotations

import os
import re
from typing import Any

from corvex.testing import layout

__all__ = [
    "explain_failure",
    "DIRECTORY",
    "EMPTY",
    "NOT_IBT",
    "live_snapshot_note",
    "salvage_note",
    "empty_result_note",
    "looks_like_snapshot",
]

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
        "not a disk recording; corvex.open_snapshot reads it"
    )


def salvage_note(whole: int) -> str:
    """The sentence for a recording whose header counts more records than the file holds."""
    return (
        f"the file holds {whole} whole record{'s' if whole != 1 else ''}: "
        "corvex.open(source, salvage=True) (--salvage on the command line) reads them"
    )


def looks_like_snapshot(head: bytes) -> bool:
    """Whether a main header describes more than one record buffer, as live memory does."""
    if len(head) < layout.MAIN_HEADER_SIZE or _version(head) not in _VERSIONS:
        return False
    buffers: int = layout.read_field(head, "num_buf")
    return 2 <= buffers <= layout.MAX_BUFFERS


def empty_result_note(source: Any) -> str | None:
    """Why a source read as a recording without records may hold more: it is a live snapshot,
    or whole records follow the data offset of a recording that was never closed. None when
    neither, or when the source cannot be looked at again. Never raises."""
    try:
        looked = _look(source)
        if looked is None:
            return None
        head, size = looked
        if looks_like_snapshot(head):
            return live_snapshot_note(layout.read_field(head, "num_buf"))
        if len(head) < layout.HEADERS_END or layout.read_field(head, "session_record_count"):
            return None
        whole = _whole_records(head, size)
    except Exception:  # noqa: BLE001 - a second look must never hide the reading
        return None
    if whole == 0:
        return None
    follow = "records follow" if whole != 1 else "record follows"
    return (
        f"the header counts 0 records but {whole} whole {follow} the data offset (the "
        "recording was not closed); corvex.open(source, salvage=True) (--salvage on the "
        "command line) reads them"
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
    looked = _look(source)
    if looked is None:
        return None
    head, size = looked
    if _CUT_RECORDS.search(message) and not looks_like_snapshot(head):
        whole = _whole_records(head, size)
        return salvage_note(whole) if whole > 0 else None
    return _explain_header(head)


# The reader's message for a data region that passes the end of the file.
_CUT_RECORDS = re.compile(r"File too small for -?\d+ records: ")


def _look(source: Any) -> tuple[bytes, int] | None:
    """The first bytes of the source (up to the end of the disk sub-header) and its length."""
    if isinstance(source, (str, os.PathLike)):
        with open(os.fspath(source), "rb") as handle:
            head = handle.read(layout.HEADERS_END)
            size = os.fstat(handle.fileno()).st_size
        return head, size
    if isinstance(source, (bytes, bytearray, memoryview)):
        view = memoryview(source).cast("B")
        return bytes(view[: layout.HEADERS_END]), len(view)
    if hasattr(source, "seek") and hasattr(source, "read"):
        size = source.seek(0, os.SEEK_END)
        source.seek(0)
        return bytes(source.read(layout.HEADERS_END)), int(size)
    return None


def _whole_records(head: bytes, size: int) -> int:
    """Whole records between the header's data offset and the end of the source."""
    if len(head) < layout.HEADERS_END:
        return 0
    start = layout.read_field(head, "buf_offset")
    stride = layout.read_field(head, "buf_len")
    if start < 0 or stride <= 0 or size <= start:
        return 0
    return int((size - start) // stride)


def _explain_header(head: bytes) -> str | None:
    if not head:
        return EMPTY
    if len(head) < layout.MAIN_HEADER_SIZE:
        return NOT_IBT if len(head) < 4 or _version(head) not in _VERSIONS else None
    if _version(head) not in _VERSIONS:
        return NOT_IBT
    if looks_like_snapshot(head):
        return live_snapshot_note(layout.read_field(head, "num_buf"))
    return None


def _version(head: bytes) -> int:
    return int(layout.read_field(head, "version"))
