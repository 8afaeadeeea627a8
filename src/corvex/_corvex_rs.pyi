"""Types of corvex's compiled extension, which reads IBT files in C++."""

from collections.abc import Callable

from corvex import Source
from corvex.base import LogFile

__all__ = ["ibt"]

class PanicException(BaseException):
    """An internal failure of the reader.

    It derives from BaseException, like SystemExit, so that ``except Exception`` does not
    swallow it.
    """

def ibt(source: Source, progress: Callable[[int, int], object] | None = None) -> LogFile:
    """Read a whole IBT file and return its :class:`~corvex.base.LogFile`.

    ``source`` is a path, the file's bytes (any bytes-like object) or a binary file object;
    ``progress(done, total)`` is called after each channel table is built.
    """
