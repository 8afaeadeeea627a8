"""Types of corvex's compiled extension, which reads IBT files in C++."""

from collections.abc import Callable

from corvex import Source
from corvex.base import LogFile

__all__ = ["ibt"]

# An internal failure of the reader raises corvex._corvex_rs.PanicException, a BaseException
# (like SystemExit, so that `except Exception` does not swallow it). The module creates that
# class when it first raises it and does not export it, so it has no name to declare here.

def ibt(source: Source, progress: Callable[[int, int], object] | None = None) -> LogFile:
    """Read a whole IBT file and return its :class:`~corvex.base.LogFile`.

    ``source`` is a path, the file's bytes (any bytes-like object) or a binary file object;
    ``progress(done, total)`` is called after each channel table is built.
    """
