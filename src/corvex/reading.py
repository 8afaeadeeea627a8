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

    from corvex.base import LogFile

__all__ = ["Source", "open", "open_snapshot"]

Source = str | os.PathLike[str] | bytes | bytearray | memoryview | IO[bytes]


def open(  # noqa: A001 - the package's entry point, named like the builtin on purpose
    source: Source,
    progress: Callable[[int, int], Any] | None = None,
    *,
    salvage: bool = False,
    arrays: bool = False,
) -> LogFile:
    """Read a whole IBT file and return its :class:`LogFile`.

    ``source`` is a path (``str`` or path-like), the file's bytes (any bytes-like object), or
    a binary file object with ``read`` and ``seek``. ``progress``, when given, is called as
    ``progress(done, total)`` after each channel table is built.

    ``salvage=True`` reads the whole records of a recording that was cut (its header counts
    more records than the file holds) or never closed (its header counts 0 while records
    follow), drops a half record at the end, and warns with :class:`CorvexWarning` how many
    records it read and why. Without it such a file raises, or reads as empty with a
    ``CorvexWarning``, and the exception or warning says that ``salvage=True`` would read the
    whole records that are there.

    The array variables (:attr:`LogFile.arrays`) are read on first access, from the source
    again: a path by its path, a ``bytes`` object through a reference the ``LogFile`` keeps (no
    copy), a file object by seeking to its start and reading it again. A ``bytearray``,
    ``memoryview`` or other sequence can change after this call, so it is not kept: pass
    ``arrays=True`` to read the arrays now (for any source), in a second pass over the records.

    A path that cannot be read or holds no valid IBT file raises ``OSError`` with the path in
    its message; invalid bytes or file objects raise ``RuntimeError``. When the source is
    recognisably something else (a directory, a file that is no IBT file, a live telemetry
    snapshot), the exception carries a note that says so; the message itself is the reader's.
    ``ImportError`` means the compiled extension is not built.
    """
    reader = _extension()
    report: dict[str, int] | None = None
    try:
        if salvage:
            log, report = reader.ibt_salvage(source, progress)
        else:
            log = reader.ibt(source, progress)
    except (OSError, RuntimeError) as exc:
        from corvex.diagnose import explain_failure

        note = explain_failure(source, exc)
        if note:
            exc.add_note(note)
        raise
    from corvex.base import LogFile as _LogFile

    if not isinstance(log, _LogFile):  # a LogFile replaced by its caller's own class
        return log  # type: ignore[no-any-return]
    if log.session_info_bytes is None:
        log.session_info_bytes = _session_info_bytes(source, log.source)
    if report is not None:
        _warn_salvaged(log.source, report)
    elif not salvage and log.record_count == 0:
        _warn_empty(source, log.source)
    _attach_arrays(log, reader, source, salvage, arrays)
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
    """
    reader = _extension()
    log, tables, buffers = reader.snapshot(source)
    from corvex.arrays import ArrayVariables
    from corvex.base import LogFile as _LogFile

    if isinstance(log, _LogFile):
        log.metadata["snapshot"] = buffers
        log.array_variables = ArrayVariables(tables)
        if log.session_info_bytes is None:
            log.session_info_bytes = _session_info_bytes(source, log.source)
    return log  # type: ignore[no-any-return]


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


def _warn_empty(source: Source, label: str) -> None:
    from corvex.diagnose import empty_result_note

    note = empty_result_note(source)
    if note is None:
        return
    import warnings

    warnings.warn(f"{label}: read no records: {note}", CorvexWarning, stacklevel=3)


def _attach_arrays(log: LogFile, reader: Any, source: Source, salvage: bool, now: bool) -> None:
    """Give the LogFile its arrays (now) or the way to read them on first access."""
    from corvex.arrays import ArrayVariables, check_time_base

    if now:
        tables = reader.read_arrays(source, salvage=salvage)
        check_time_base(tables, log.timecodes if log.channels else None, log.source)
        log.array_variables = ArrayVariables(tables)
        return
    kept: Any
    if log.source != "<bytes>":
        kept = os.path.abspath(log.source)  # a path: read again by its path
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
        tables: dict[str, pa.Table] = reader.read_arrays(kept, salvage=salvage)
        return tables

    log.array_variables = ArrayVariables(loader=read)


def _session_info_bytes(source: Source, label: str) -> bytes | None:
    """The session info's text bytes, for the text's right decoding (LogFile.session_info_text).

    Read again from the path, sliced from a bytes source, or read again from a seekable file
    object (its position is kept). None for sources that cannot give them again, such as other
    sequences of integers; the reader's own text stays in use then.
    """
    from corvex.session_info import (
        read_session_info_file,
        read_session_info_path,
        session_info_bytes,
    )

    if label != "<bytes>":
        return read_session_info_path(label)
    if isinstance(source, (bytes, bytearray)):
        return session_info_bytes(source)
    if isinstance(source, memoryview):
        # The reader takes the buffer of a 1-D view of unsigned bytes; any other view element
        # by element, which the buffer's raw bytes need not match.
        if source.ndim == 1 and source.format in ("B", "@B"):
            return session_info_bytes(source)
        return None
    if hasattr(source, "read") and hasattr(source, "seek"):
        return read_session_info_file(source)  # type: ignore[arg-type]
    return None


def _extension() -> Any:
    try:
        from corvex import _corvex_rs
    except ImportError as exc:
        raise ImportError(
            "corvex's compiled extension corvex._corvex_rs is not available "
            f"({exc}); build it with `make install` or reinstall the package"
        ) from exc
    return _corvex_rs
