"""Reading a recording: :func:`open` and :func:`open_snapshot`, the package's entry points.

They call the compiled reader (``corvex._corvex_rs``), add what the reader's result alone cannot
say (a note on what a failing source really is, the warnings of a salvaged or empty read), and
give the :class:`~corvex.LogFile` its session info bytes and its array variables. The package
exports both as ``corvex.open`` and ``corvex.open_snapshot``; modules inside the package that
read a file call them here, below the package's own ``__init__``.
"""

from __future__ import annotations

import os
from collections.abc import Callable
from typing import IO, TYPE_CHECKING, Any

from corvex.errors import CorvexWarning

if TYPE_CHECKING:
    import pyarrow as pa
    from corvex._corvex_rs import ReadDetails

    from corvex.base import LogFile

__all__ = ["Source", "open", "open_snapshot"]

Source = str | os.PathLike[str] | bytes | bytearray | memoryview | IO[bytes]

# The note on the error of a file object opened in text mode, whose read() gives text.
TEXT_MODE_NOTE = (
    'the file object was opened in text mode: open the file in binary mode, open(path, "rb"), '
    "or pass its path"
)


def open(  # noqa: A001 - the package's entry point, named like the builtin on purpose
    source: Source,
    progress: Callable[[int, int], Any] | None = None,
    *,
    salvage: bool = False,
    arrays: bool = False,
) -> LogFile:
    """Read a whole IBT file and return its :class:`LogFile`.

    ``source`` is a path (``str`` or path-like), the file's bytes (any bytes-like object), or
    a binary file object with ``read`` and ``seek``. Any name the file system allows opens: one
    that is not UTF-8 comes as a ``str`` with lone surrogates (as ``os.listdir`` and
    ``os.fsdecode`` give it) or as a path-like whose ``__fspath__`` returns bytes, and the
    ``LogFile``'s ``source`` and the messages give that ``str``. ``progress``, when given, is
    called as ``progress(done, total)`` after each channel table is built. A path is opened
    once for the channels, the laps, the metadata and the session info's bytes.

    ``salvage=True`` reads the whole records of a recording that was cut (its header counts
    more records than the file holds) or never closed (its header counts 0 while records
    follow), drops a half record at the end, and warns with :class:`CorvexWarning` how many
    records it read and why. Without it such a file raises, or reads as empty with a
    ``CorvexWarning``, and the exception or warning says that ``salvage=True`` would read the
    whole records that are there.

    The array variables (:attr:`LogFile.arrays`) are read on first access, from the source
    again: a path by its path (refused with ``RuntimeError`` when the file was replaced or
    changed since), a ``bytes`` object through a reference the ``LogFile`` keeps (no copy), a
    file object by seeking to its start and reading it again. A ``bytearray``, ``memoryview`` or
    other sequence can change after this call, so it is not kept: pass ``arrays=True`` to read
    the arrays now (for any source), in a second pass over the records of the same opening.

    A path that cannot be read or holds no valid IBT file raises ``OSError`` with the path in
    its message; a directory, FIFO, device or socket is refused before it is opened. Invalid
    bytes or file objects raise ``RuntimeError``. The exception's ``kind`` attribute says what
    failed (see :mod:`corvex.errors`); when the source is recognisably something else (a
    directory, a file that is no IBT file, a live telemetry snapshot, a cut recording), it also
    carries a note that says so. The message itself is the reader's. ``ImportError`` means the
    compiled extension is not built.
    """
    reader = _extension()
    try:
        log, details = reader.read(source, progress, salvage=salvage, arrays=arrays)
    except (OSError, RuntimeError) as exc:
        from corvex.diagnose import explain_failure

        note = explain_failure(exc)
        if note:
            exc.add_note(note)
        raise
    except (TypeError, UnicodeDecodeError) as exc:
        if _is_text_stream(source):
            exc.add_note(TEXT_MODE_NOTE)
        raise
    from corvex.base import LogFile as _LogFile

    if not isinstance(log, _LogFile):  # a LogFile replaced by its caller's own class
        return log  # type: ignore[no-any-return]
    if log.session_info_bytes is None:
        log.session_info_bytes = details["session_info_bytes"]
    from corvex.arrays import left_out_of

    log.left_out_variables = left_out_of(details["left_out"])
    log.live_buffers = details["live_buffers"]
    report = details["salvage"]
    if report is not None:
        _warn_salvaged(log.source, report)
    elif not salvage and log.record_count == 0:
        _warn_empty(details, log.source)
    _attach_arrays(log, reader, source, salvage, details)
    return log


def open_snapshot(source: Source) -> LogFile:
    """Read a live telemetry snapshot (the simulator's telemetry memory saved to a file).

    The main header and variable headers are a recording's, but there is no disk sub-header
    and the records sit in a ring of up to four buffers, each with the tick count of the record
    it holds. The buffer table is checked (1 to 4 buffers, each inside the file, none
    overlapping) and the record of the buffer with the newest tick count is read: the
    ``LogFile`` has one record, its channels, its arrays (read at once), the session info and
    ``metadata["snapshot"]``, ``{"buffers": [(tick_count, offset), ...], "newest": index}``.
    The disk sub-header's values ("session_start_date", "start_time", "end_time",
    "lap_count") read as 0. Errors are raised as :func:`open` raises them.

    A disk recording of more than one record is refused with ``ValueError``: read as a snapshot
    it would give its first record alone, which is neither the newest nor the recording;
    :func:`open` reads it.
    """
    reader = _extension()
    _refuse_recording(reader, source)
    log, details = reader.read(source, snapshot=True)
    from corvex.arrays import ArrayVariables
    from corvex.base import LogFile as _LogFile

    if isinstance(log, _LogFile):
        from corvex.arrays import left_out_of

        log.metadata["snapshot"] = details["snapshot"]
        log.array_variables = ArrayVariables(details["arrays"] or {})
        log.left_out_variables = left_out_of(details["left_out"])
        log.live_buffers = details["live_buffers"]
        if log.session_info_bytes is None:
            log.session_info_bytes = details["session_info_bytes"]
    return log  # type: ignore[no-any-return]


def _is_text_stream(source: object) -> bool:
    """Whether ``source`` is a file object whose ``read()`` gives text, not bytes."""
    import io

    if isinstance(source, io.TextIOBase):
        return True
    mode = getattr(source, "mode", None)
    return hasattr(source, "read") and isinstance(mode, str) and "b" not in mode


def _refuse_recording(reader: Any, source: Source) -> None:
    """Raise ValueError when ``source`` reads as a disk recording of more than one record."""
    try:
        found = reader.probe(source)
    except (OSError, RuntimeError):
        return  # not a readable recording: the snapshot reader says what it is
    records = found["header"]["session_record_count"]
    if found["live_buffers"] is None and records > 1:
        label = os.fspath(source) if isinstance(source, (str, os.PathLike)) else "<bytes>"
        raise ValueError(
            f"{label}: a disk recording of {records} records, not a live telemetry snapshot "
            "(read as one, it would give its first record alone); corvex.open reads it"
        )


def _warn_salvaged(label: str, report: dict[str, int]) -> None:
    import warnings

    records, header = report["records"], report["header_records"]
    why = (
        "its header counts 0 records (the recording was not closed)"
        if header == 0
        else f"its header counts {header} records but the file holds only {records} whole ones"
    )
    dropped = report["dropped_bytes"]
    unit = "byte" if dropped == 1 else "bytes"
    tail = f"; {dropped} {unit} of a half record at the end were dropped" if dropped else ""
    warnings.warn(
        f"{label}: salvaged {records} whole record{'s' if records != 1 else ''}: {why}{tail}",
        CorvexWarning,
        stacklevel=3,
    )


def _warn_empty(details: ReadDetails, label: str) -> None:
    from corvex.diagnose import empty_result_note

    note = empty_result_note(details["live_buffers"], details["whole_records"])
    if note is None:
        return
    import warnings

    warnings.warn(f"{label}: read no records: {note}", CorvexWarning, stacklevel=3)


def _attach_arrays(
    log: LogFile, reader: Any, source: Source, salvage: bool, details: ReadDetails
) -> None:
    """Give the LogFile its arrays (read already) or the way to read them on first access."""
    from corvex.arrays import ArrayVariables, check_time_base

    tables = details["arrays"]
    if tables is not None:
        check_time_base(tables, log.timecodes if log.channels else None, log.source)
        log.array_variables = ArrayVariables(tables)
        return
    identity = details["identity"]
    kept: Any
    if log.source != "<bytes>":
        kept = os.path.abspath(log.source)  # a path: read again by its path, if still the same file
    elif type(source) is bytes or (hasattr(source, "read") and hasattr(source, "seek")):
        kept = source  # cannot change (bytes), or is read again from its start (file object)
    else:
        log.array_variables = ArrayVariables(
            unavailable=f"the arrays of a LogFile read from a {type(source).__name__} are not "
            "kept, since it can change after the call; open it with "
            "corvex.open(source, arrays=True), or from bytes or a path"
        )
        return

    def read() -> dict[str, pa.Table]:
        arrays: dict[str, pa.Table] = reader.read_arrays(kept, salvage=salvage, identity=identity)
        return arrays

    log.array_variables = ArrayVariables(loader=read)


def _extension() -> Any:
    try:
        from corvex import _corvex_rs
    except ImportError as exc:
        raise ImportError(
            "corvex's compiled extension corvex._corvex_rs is not available "
            f"({exc}); build it with `make install` or reinstall the package"
        ) from exc
    return _corvex_rs
