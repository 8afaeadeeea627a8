"""corvex: fast, exact reader for iRacing IBT telemetry files.

``corvex.open(path)`` reads a whole file and returns a :class:`LogFile` whose channels are
pyarrow tables::

    import corvex

    log = corvex.open("session.ibt")
    log.laps                 # one row per lap
    log["Speed"]             # timecodes + Speed
    log.to_pandas(["Speed", "Throttle"])
"""

from __future__ import annotations

import os
from collections.abc import Callable
from importlib import metadata as _metadata
from typing import IO, Any

from corvex.base import LogFile

__all__ = ["LogFile", "open", "__version__"]

try:
    __version__: str = _metadata.version("corvex")
except _metadata.PackageNotFoundError:  # running from a source tree that was never installed
    __version__ = "0.0.0+unknown"

Source = str | os.PathLike[str] | bytes | bytearray | memoryview | IO[bytes]


def open(  # noqa: A001 - the package's entry point, named like the builtin on purpose
    source: Source, progress: Callable[[int, int], Any] | None = None
) -> LogFile:
    """Read a whole IBT file and return its :class:`LogFile`.

    ``source`` is a path (``str`` or path-like), the file's bytes (any bytes-like object), or
    a binary file object with ``read`` and ``seek``. ``progress``, when given, is called as
    ``progress(done, total)`` after each channel table is built.

    A path that cannot be read or holds no valid IBT file raises ``OSError`` with the path in
    its message; invalid bytes or file objects raise ``RuntimeError``. ``ImportError`` means
    the compiled extension is not built.
    """
    log: LogFile = _extension().ibt(source, progress)
    return log


def _extension() -> Any:
    try:
        from corvex import _corvex_rs
    except ImportError as exc:
        raise ImportError(
            "corvex's compiled extension corvex._corvex_rs is not available "
            f"({exc}); build it with `make install` or reinstall the package"
        ) from exc
    return _corvex_rs
