"""What went wrong with a file that could not be converted: its short class and its reason."""

from __future__ import annotations

import os

from corvex import errors

# The short class of a file that could not be converted.
ERROR_CLASSES = {
    "not_ibt": "not an IBT file",
    "live_snapshot": "a live memory snapshot rather than a disk recording",
    "truncated": "truncated",
    "invalid_header": "invalid header",
    "io_error": "I/O error",
    "internal": "unexpected error",
}


# The dataset's class of each kind of failure the reader names (the exception's `kind`).
_CLASS_OF_KIND = {
    errors.IO: "io_error",
    errors.NOT_A_FILE: "io_error",
    errors.CHANGED: "io_error",
    errors.NOT_IBT: "not_ibt",
    errors.TRUNCATED: "truncated",
    errors.LIVE_SNAPSHOT: "live_snapshot",
    errors.INVALID_HEADER: "invalid_header",
    errors.ARROW: "internal",
}


def classify_error(exc: BaseException) -> str:
    """The short class (a key of ERROR_CLASSES) of a file the reader refused with ``exc``.

    Taken from the kind of failure the reader's exception carries, never from its message: a
    file too small for a main header or of an unknown version is "not_ibt", a region past the
    end of the file "truncated", a snapshot of the simulator's live telemetry memory (by the
    reader's own rule) "live_snapshot". Any other ``OSError`` is "io_error", anything else
    "internal".
    """
    kind = errors.error_kind(exc)
    if kind in _CLASS_OF_KIND:
        return _CLASS_OF_KIND[kind]
    return "io_error" if isinstance(exc, OSError) else "internal"


def reason_of(exc: BaseException, path: str) -> str:
    """The one-line message of ``exc`` without the leading path the reader puts on it."""
    text = " ".join(str(exc).split()) or type(exc).__name__
    for prefix in (f"{path}: ", f"{os.path.abspath(path)}: "):
        if text.startswith(prefix):
            return text[len(prefix) :]
    if isinstance(exc, (OSError, RuntimeError)):
        return text
    return f"{type(exc).__name__}: {text}"
