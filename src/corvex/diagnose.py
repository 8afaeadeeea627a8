"""What a source that failed to read really is, in one plain sentence.

The reader's messages name the header field and the numbers that broke a check ("Unsupported IBT
version: 1094799682"), which is exact but does not tell a user that the file was never a
recording in the first place. The reader's exceptions say what it found, as attributes: the
``kind`` of failure and the facts behind it (``file_size``, ``whole_records``, ``buffers``,
``file_type``). :func:`explain_failure` turns those into a sentence for the common cases: a
directory or other thing that is no file, an empty file, a file of another kind, a live
telemetry snapshot (the simulator's shared memory saved to disk, whose main header describes
several rotating record buffers and which has no disk sub-header), and a recording that was cut
while whole records are there to salvage. Nothing here reads the source again.
"""

from __future__ import annotations

from corvex.errors import LIVE_SNAPSHOT, NOT_A_FILE, TRUNCATED, error_kind
from corvex.errors import NOT_IBT as NOT_IBT_KIND

__all__ = [
    "explain_failure",
    "for_command_line",
    "DIRECTORY",
    "EMPTY",
    "NOT_IBT",
    "live_snapshot_note",
    "salvage_note",
    "empty_result_note",
]

DIRECTORY = "this is a directory"
EMPTY = "the file is empty"
NOT_IBT = "this is not an IBT file"

_COUNT_WORDS = {2: "two", 3: "three", 4: "four"}

# How the sentences below say what reads a file, in Python, and on the command line.
_READ_SNAPSHOT = "corvex.open_snapshot reads it"
_SALVAGE = "corvex.open(source, salvage=True) (--salvage on the command line)"
_COMMAND_LINE = {_READ_SNAPSHOT: "corvex info shows it", _SALVAGE: "--salvage"}


def for_command_line(text: str) -> str:
    """A sentence of this module with the Python calls it names said as the command line says
    them (``corvex info`` for a snapshot, ``--salvage`` for a cut recording)."""
    for python, command in _COMMAND_LINE.items():
        text = text.replace(python, command)
    return text


def live_snapshot_note(buffers: int) -> str:
    """The sentence for a live telemetry snapshot whose header uses ``buffers`` buffers."""
    words = _COUNT_WORDS.get(buffers, str(buffers))
    return (
        f"this looks like a live telemetry snapshot ({words} rotating buffers), "
        f"not a disk recording; {_READ_SNAPSHOT}"
    )


def salvage_note(whole: int) -> str:
    """The sentence for a recording whose header counts more records than the file holds."""
    return f"the file holds {whole} whole record{'s' if whole != 1 else ''}: {_SALVAGE} reads them"


def empty_result_note(
    live_buffers: list[tuple[int, int]] | None, whole_records: int | None
) -> str | None:
    """Why a source read as a recording without records may hold more: the reader takes it for
    a live snapshot (``live_buffers``, its buffer table), or ``whole_records`` whole records
    follow the data offset of a recording that was never closed. None when neither."""
    if live_buffers:
        return live_snapshot_note(len(live_buffers))
    if not whole_records:
        return None
    follow = "records follow" if whole_records != 1 else "record follows"
    return (
        f"the header counts 0 records but {whole_records} whole {follow} the data offset (the "
        f"recording was not closed); {_SALVAGE} reads them"
    )


def explain_failure(exc: BaseException) -> str | None:
    """One sentence saying what the source is when the reader failed on it with ``exc``, or None.

    Made from the kind and the facts the reader's exception carries; an exception without them
    (one the reader did not raise) gets no sentence.
    """
    kind = error_kind(exc)
    if kind == NOT_A_FILE:
        file_type = getattr(exc, "file_type", None)
        if file_type == "directory":
            return DIRECTORY
        return f"this is a {file_type}, not a file" if isinstance(file_type, str) else None
    if kind == NOT_IBT_KIND:
        return EMPTY if getattr(exc, "file_size", None) == 0 else NOT_IBT
    if kind == LIVE_SNAPSHOT:
        buffers = getattr(exc, "buffers", None)
        return live_snapshot_note(len(buffers)) if isinstance(buffers, list) else None
    if kind == TRUNCATED:
        whole = getattr(exc, "whole_records", None)
        return salvage_note(whole) if isinstance(whole, int) and whole > 0 else None
    return None
