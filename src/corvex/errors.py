"""How corvex fails: what raises, what warns, and the kinds of a reading error.

**What raises.** A call that cannot do what it was asked raises, and a function that returns has
succeeded: there is no partial result and no error code.

- Reading a file (:func:`corvex.open`, :func:`corvex.open_snapshot`): ``OSError`` for a path
  that cannot be read or holds no valid IBT file, with the path in its message; ``RuntimeError``
  for invalid bytes or file objects; ``MemoryError`` for a result larger than the process may
  have. Each carries the reader's error kind (:func:`error_kind`), and a note that says what the
  source is when it is recognisably something else (a directory, another kind of file, a live
  telemetry snapshot). The message is the reader's own and callers may match it word for word.
- Asking for something the file does not have: ``KeyError`` for an unknown channel (the message
  names the close matches) or lap; ``IndexError`` for a lap table row out of range.
- Arguments or data that do not allow the computation: ``ValueError`` (a lap number that occurs
  in several sessions without ``session=``, laps of different tracks, a lap without a distance
  channel, a channel type a MoTeC log cannot hold, a disk recording given to
  :func:`corvex.open_snapshot`); ``TypeError`` for an argument of a wrong type (a file object
  opened in text mode gives the reader's ``TypeError``, or the decoder's
  ``UnicodeDecodeError``, with a note to open it in binary mode).
- A part of the analysis that needs channels the file does not have (fuel, pit stops, tyres):
  :class:`MissingChannelsError`, a ``ValueError`` whose ``names`` lists them.
- An optional dependency that is not installed: ``ImportError`` (``ModuleNotFoundError``) whose
  message says which extra to install, e.g. ``pip install 'corvex[plot]'``.
- An internal failure of the reader: ``corvex._corvex_rs.PanicException``, a ``BaseException``,
  so that ``except Exception`` does not swallow a broken invariant.

**What warns.** Work that can go on does, and says what it did with a warning:

- :class:`CorvexWarning`: a file was read, but not as its header describes it (whole records
  salvaged from a cut or unclosed recording, or no records read with a hint why).
- Processing many files (a dataset export, Dask partitions) does not stop at one bad file: the
  file becomes a row of the errors table, or a ``UserWarning`` with ``errors="skip"``.

The command line turns every exception into one line on standard error and exit status 1, its
notes naming the command line's own ways ("--salvage reads them", "corvex info shows it"); it
shows a ``CorvexWarning`` as one ``corvex: warning:`` line, and ends quietly with status 0 when
the reader of its output goes away (``corvex laps FILE | head -3``).

**Error kinds.** The reader sets the attribute ``kind`` on the ``OSError`` and ``RuntimeError``
it raises for a file it refuses; :func:`error_kind` reads it. The kinds are the constants below,
and the text of each is stable: datasets store it and callers match it.
"""

from __future__ import annotations

from collections.abc import Sequence

__all__ = [
    "ARROW",
    "CHANGED",
    "INVALID_HEADER",
    "IO",
    "KINDS",
    "LIVE_SNAPSHOT",
    "MissingChannelsError",
    "NOT_A_FILE",
    "NOT_IBT",
    "TRUNCATED",
    "CorvexWarning",
    "error_kind",
]

# The kinds of a reading error, as the reader sets them on its exceptions (matched word for word).
IO = "io"  # the source could not be read (permissions, a device error, a file cut while read)
NOT_IBT = "not_ibt"  # too small for a header, or a header version the reader does not know
TRUNCATED = "truncated"  # a region the headers place lies past the end of the file
INVALID_HEADER = "invalid_header"  # any other header check failed
LIVE_SNAPSHOT = "live_snapshot"  # a live telemetry snapshot, not a disk recording
ARROW = "arrow"  # handing the columns to pyarrow failed
NOT_A_FILE = "not_a_file"  # a directory, FIFO, device or socket, refused before reading
CHANGED = "changed"  # the file is no longer the one read before (the lazy arrays load)

KINDS = frozenset(
    {IO, NOT_IBT, TRUNCATED, INVALID_HEADER, LIVE_SNAPSHOT, ARROW, NOT_A_FILE, CHANGED}
)


class MissingChannelsError(ValueError):
    """A part of the analysis needs channels the file does not have; ``names`` lists them.

    Raised by the parts that need them (fuel, pit stops, tyres); everything else of the file
    still reads."""

    def __init__(self, message: str, names: Sequence[str]) -> None:
        super().__init__(message)
        self.names = list(names)


class CorvexWarning(UserWarning):
    """A file was read, but not as its header describes it (records salvaged, or left unread)."""


def error_kind(exc: BaseException) -> str | None:
    """The reader's kind of ``exc`` (one of :data:`KINDS`), or None for any other exception."""
    kind = getattr(exc, "kind", None)
    return kind if isinstance(kind, str) and kind else None
