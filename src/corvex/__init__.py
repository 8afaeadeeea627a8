"""corvex: fast, exact reader for iRacing IBT telemetry files.

``corvex.open(path)`` reads a whole file and returns a :class:`LogFile` whose channels are
pyarrow tables::

    import corvex

    log = corvex.open("session.ibt")
    log.laps                 # one row per lap
    log["Speed"]             # timecodes + Speed
    log.to_pandas(["Speed", "Throttle"])
    corvex.delta(log.lap(3), log.lap(log.fastest_lap))   # time lost along lap 3

Importing the package is cheap: pyarrow, ``LogFile`` and the version number are loaded on first
use, so that ``corvex --help`` answers at once.
"""

from __future__ import annotations

import os
from collections.abc import Callable, Iterable, Sequence
from typing import IO, TYPE_CHECKING, Any

if TYPE_CHECKING:
    import pyarrow as pa
    import pyarrow.dataset

    from corvex.base import LapNumber, LogFile
    from corvex.dataset import ExportSummary

__all__ = [
    "LapNumber",
    "LogFile",
    "delta",
    "open",
    "export_dataset",
    "open_dataset",
    "__version__",
]

Source = str | os.PathLike[str] | bytes | bytearray | memoryview | IO[bytes]


def open(  # noqa: A001 - the package's entry point, named like the builtin on purpose
    source: Source, progress: Callable[[int, int], Any] | None = None
) -> LogFile:
    """Read a whole IBT file and return its :class:`LogFile`.

    ``source`` is a path (``str`` or path-like), the file's bytes (any bytes-like object), or
    a binary file object with ``read`` and ``seek``. ``progress``, when given, is called as
    ``progress(done, total)`` after each channel table is built.

    A path that cannot be read or holds no valid IBT file raises ``OSError`` with the path in
    its message; invalid bytes or file objects raise ``RuntimeError``. When the source is
    recognisably something else (a directory, a file that is no IBT file, a live telemetry
    snapshot), the exception carries a note that says so; the message itself is the reader's.
    ``ImportError`` means the compiled extension is not built.
    """
    reader = _extension()
    try:
        log: LogFile = reader.ibt(source, progress)
    except (OSError, RuntimeError) as exc:
        from corvex.diagnose import explain_failure

        note = explain_failure(source, exc)
        if note:
            exc.add_note(note)
        raise
    from corvex.base import LogFile as _LogFile

    if isinstance(log, _LogFile) and log._session_info_bytes is None:
        log._session_info_bytes = _session_info_bytes(source, log.source)
    return log


def delta(
    lap: LogFile | pa.Table | str | os.PathLike[str],
    reference: LogFile | pa.Table | str | os.PathLike[str],
    step: float = 1.0,
) -> pa.Table:
    """Time gained or lost along ``lap`` against ``reference``, on a grid of ``step`` metres.

    Each lap is a one-lap ``LogFile`` (``log.lap(n)``), its ``to_table()``, or the path of that
    table saved as Parquet. Columns: ``distance``, ``delta`` (s, positive = slower than the
    reference), ``time``, ``reference_time``, ``speed``, ``reference_speed``. Laps of
    different tracks raise ``ValueError``. See :func:`corvex.analysis.delta`.
    """
    from corvex.analysis import delta as _delta

    return _delta(lap, reference, step)


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


def export_dataset(
    sources: Iterable[str | os.PathLike[str]] | str | os.PathLike[str],
    out: str | os.PathLike[str],
    channels: Sequence[str] | None = None,
    jobs: int | None = None,
    progress: bool = True,
    format: str = "parquet",  # noqa: A002 - the name of the command line option
) -> ExportSummary:
    """Convert many IBT recordings into one Parquet dataset in the directory ``out``.

    See :func:`corvex.dataset.export_dataset`; returns an :class:`~corvex.dataset.ExportSummary`.
    """
    from corvex import dataset

    return dataset.export_dataset(sources, out, channels, jobs, progress, format)


def open_dataset(out: str | os.PathLike[str], table: str = "telemetry") -> pyarrow.dataset.Dataset:
    """One table of an exported directory as a ``pyarrow.dataset.Dataset``.

    See :func:`corvex.dataset.open_dataset`.
    """
    from corvex import dataset

    return dataset.open_dataset(out, table)


def __getattr__(name: str) -> Any:
    # LogFile (and LapNumber beside it) pulls in pyarrow, and the version number
    # importlib.metadata: both are loaded on first use and then kept as module attributes.
    if name in ("LogFile", "LapNumber"):
        from corvex import base

        globals()["LogFile"] = base.LogFile
        globals()["LapNumber"] = base.LapNumber
        return globals()[name]
    if name == "__version__":
        from importlib import metadata

        try:
            version = metadata.version("corvex")
        except metadata.PackageNotFoundError:  # a source tree that was never installed
            version = "0.0.0+unknown"
        globals()["__version__"] = version
        return version
    raise AttributeError(f"module 'corvex' has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted({*globals(), *__all__})
