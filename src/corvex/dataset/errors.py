"""What went wrong with a file that could not be converted: its short class and its reason."""

from __future__ import annotations

import os
from collections.abc import Mapping
from typing import Any

from corvex.testing import layout

# The short class of a file that could not be converted.
ERROR_CLASSES = {
    "not_ibt": "not an IBT file",
    "live_snapshot": "a live memory snapshot rather than a disk recording",
    "truncated": "truncated",
    "invalid_header": "invalid header",
    "io_error": "I/O error",
    "internal": "unexpected error",
}


def classify_error(message: str, header: bytes | None, size: int | None = None) -> str:
    """The short class (a key of ERROR_CLASSES) of a file the reader refused.

    ``message`` is the reader's one-line message and ``header`` the file's first bytes (at
    least the 144 of the headers when the file has them; None when they could not be read).
    A file whose main header has several buffer descriptors in use is a snapshot of the
    simulator's live telemetry memory, not a disk recording: its disk sub-header holds no
    record count, so the reader stops on one.
    """
    if "I/O error" in message or header is None:
        return "io_error"
    if len(header) < layout.MAIN_HEADER_SIZE:
        return "not_ibt"
    fields = layout.read_fields(header)
    if fields["version"] not in (1, 2):
        return "not_ibt"
    if _looks_like_snapshot(header, fields, size):
        return "live_snapshot"
    if "File too small for" in message:
        return "truncated"
    return "invalid_header"


def _looks_like_snapshot(header: bytes, fields: Mapping[str, Any], size: int | None) -> bool:
    num_buf = fields["num_buf"]
    if not 1 < num_buf <= layout.MAX_BUFFERS:
        return False
    in_use = [
        (tick, offset)
        for tick, offset in layout.buffer_descriptors(header)[:num_buf]
        if tick > 0 and offset > 0
    ]
    if len(in_use) < 2:
        return False
    # A disk recording's sub-header tells how many records follow; a snapshot's holds whatever
    # the memory held there.
    count = fields.get("session_record_count")
    if count is None or count <= 0:
        return True
    data_end = fields["buf_offset"] + fields["buf_len"] * count
    return size is None or data_end != size


def reason_of(exc: BaseException, path: str) -> str:
    """The one-line message of ``exc`` without the leading path the reader puts on it."""
    text = " ".join(str(exc).split()) or type(exc).__name__
    for prefix in (f"{path}: ", f"{os.path.abspath(path)}: "):
        if text.startswith(prefix):
            return text[len(prefix) :]
    if isinstance(exc, (OSError, RuntimeError)):
        return text
    return f"{type(exc).__name__}: {text}"
