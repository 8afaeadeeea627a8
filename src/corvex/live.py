"""Live telemetry: the running simulator's records as Arrow record batches.

The simulator publishes its telemetry in shared memory (a named mapping on Windows) in the
layout of a live telemetry snapshot: the main header, the variable headers, the session info
and a ring of record buffers, each stamped with the tick count of the record it holds. corvex
reads it with the same channel names and types as its file reader::

    import corvex.live

    with corvex.live.connect(timeout=30) as live:        # Windows: the simulator's memory
        print(live.latest().column("Speed"))
        for batch in live.stream(every=60):               # one batch a second at 60 Hz
            ...

``connect(path=...)`` reads a file of the same layout on any platform: a snapshot dump, the
file ``corvex replay --path`` writes, or the mirror the bridge keeps under ``/dev/shm`` for a
simulator that runs under wine or Proton (see the README).

Each batch has the schema of the file reader's wide table plus its arrays: ``timecodes``
(SessionTime in ms, int64), then every variable in file order with the field the file reader
gives it (a channel's values, an array variable's fixed-size list), field metadata included.
The schema metadata of the batches of :meth:`Live.next`, :meth:`Live.wait` and
:meth:`Live.stream` says which ticks they hold: ``corvex.first_tick``, ``corvex.last_tick`` and
``corvex.missed``, the ticks skipped since the previous record read (a reader that falls behind
the ring of buffers misses ticks; every one is counted); :attr:`Live.last_ticks` has the tick of
every record of the last batch.

A record is copied consistently: the tick count is read before and after the copy and a torn
copy is read again, never returned; the header is checked again whenever it changes, so a
writer cannot make the reader read outside its memory. A simulator that exits and starts again
is followed; a new session with another variable set gives batches of a new schema and a
:class:`SchemaChanged` warning says so.
"""

from __future__ import annotations

import os
import warnings
from collections.abc import Callable, Iterator
from types import TracebackType
from typing import TYPE_CHECKING, Any

from corvex.errors import CorvexWarning
from corvex.reading import _extension

if TYPE_CHECKING:
    import pyarrow as pa

__all__ = ["Live", "SchemaChanged", "connect", "replay"]


class SchemaChanged(CorvexWarning):
    """The simulator started a session with another variable set: batches have a new schema."""


def connect(path: str | os.PathLike[str] | None = None, *, timeout: float | None = None) -> Live:
    """Open live telemetry and wait until a writer is connected.

    Without ``path``, the simulator's shared memory (Windows only); with ``path``, a file of its
    layout. Waits at most ``timeout`` seconds (None: as long as it takes; Ctrl-C ends the wait)
    for the memory to exist and its status flag to say connected, then raises
    ``TimeoutError`` that says what was missing. A layout that breaks its own rules raises
    ``RuntimeError`` (or ``OSError`` naming the file) with the reader's message.
    """
    import time

    import pyarrow  # noqa: F401 - loaded now, not while the first records wait in the ring

    reader = _extension()
    target = None if path is None else os.fspath(path)
    start = time.monotonic()
    while True:
        try:
            handle = reader.live_open(target)
            break
        except OSError as exc:
            waited = time.monotonic() - start
            if timeout is not None and waited >= timeout:
                raise TimeoutError(f"no live telemetry after {timeout:g} s: {exc}") from exc
            time.sleep(0.1)
    live = Live(handle, target)
    while not live.connected:
        waited = time.monotonic() - start
        if timeout is not None and waited >= timeout:
            where = target or "the simulator's shared memory"
            raise TimeoutError(
                f"{where}: no writer connected after {timeout:g} s (its status flag is clear: "
                "the simulator is not in a session, or the replay or bridge has stopped)"
            )
        time.sleep(0.02)
    return live


def replay(
    source: str | os.PathLike[str],
    path: str | os.PathLike[str] | None = None,
    *,
    speed: float | None = 1.0,
    first_tick: int = 1,
    lead_in: float = 1.0,
    progress: Callable[[int, int], object] | None = None,
) -> dict[str, Any]:
    """Publish the IBT file ``source`` as the simulator publishes its telemetry, tick by tick.

    Without ``path`` into the simulator's named shared memory with its event (Windows; refused
    while the simulator or another replay publishes there), with ``path`` into that file (under
    a temporary name until its first image is whole, readable by its owner only). ``speed``
    multiplies the file's tick rate; None publishes as fast as readers can be kept up with the
    memory (each record still whole). The tick counts run from ``first_tick``, one a record; the
    first comes ``lead_in`` seconds after the layout, so that readers waiting for the simulator
    attach in time for it.
    ``progress(done, total)`` is called now and then. The status flag is cleared at the end, and
    on Ctrl-C, which raises ``KeyboardInterrupt``. Returns ``published``, ``total``,
    ``seconds`` and ``stopped``.
    """
    if speed is not None and not speed > 0:
        raise ValueError(f"speed must be positive (or None for as fast as possible), got {speed}")
    reader = _extension()
    target = None if path is None else os.fspath(path)
    report: dict[str, Any] = reader.live_replay(
        os.fspath(source),
        target,
        0.0 if speed is None else float(speed),
        first_tick,
        progress,
        float(lead_in),
    )
    return report


class Live:
    """Live telemetry being read; made by :func:`connect`.

    Attributes:
        source: the file read, or None for the simulator's shared memory.
        missed: every tick skipped so far by :meth:`wait` and :meth:`stream`.
        last_ticks: the tick counts of the records of the last batch returned, in order.
    """

    def __init__(self, handle: Any, source: str | None) -> None:
        self._reader = _extension()
        self._handle = handle
        self.source = source
        self.missed = 0
        self.last_ticks: list[int] = []
        self._generation: int | None = None
        self._schema: pa.Schema | None = None
        self._info_update: int | None = None
        self._session_info: dict[str, Any] = {}
        self._session_info_text = ""

    # -- the header -------------------------------------------------------------------------

    def _status(self) -> dict[str, Any]:
        status: dict[str, Any] = self._reader.live_status(self._open())
        return status

    def _open(self) -> Any:
        if self._handle is None:
            raise ValueError(f"{self!r} is closed")
        return self._handle

    @property
    def connected(self) -> bool:
        """The header's status flag now: True while the simulator (or a replay) is connected."""
        return bool(self._status()["connected"])

    @property
    def tick_rate(self) -> int:
        """Records a second, as the header says."""
        return int(self._status().get("tick_rate", 0))

    @property
    def session_info_text(self) -> str:
        """The session info text as the simulator published it last."""
        self._refresh_session_info()
        return self._session_info_text

    @property
    def session_info(self) -> dict[str, Any]:
        """The session info parsed (as :attr:`corvex.LogFile.session_info`), parsed again
        whenever the simulator's update counter changes."""
        self._refresh_session_info()
        return self._session_info

    def _refresh_session_info(self) -> None:
        status = self._status()
        update = status.get("session_info_update")
        if update is None or update == self._info_update:
            return
        from corvex.session_info import parse_session_info

        self._session_info_text = str(status["session_info"])
        self._session_info = parse_session_info(self._session_info_text)
        self._info_update = update

    @property
    def schema(self) -> pa.Schema:
        """The schema of the batches read now (that of the newest record)."""
        if self._schema is None:
            self.latest()
        assert self._schema is not None
        return self._schema

    # -- records ----------------------------------------------------------------------------

    def latest(self) -> pa.RecordBatch:
        """The newest record now, as a one-row record batch (whether or not the simulator is
        still connected); its tick is ``last_ticks[0]``. ``RuntimeError`` when nothing was
        published yet.

        Made for polling at a dashboard's rate: the record is a slice of a block of columns
        that pyarrow takes over once for many records, so a record of a 300-variable session
        costs tens of microseconds. Its schema carries no tick metadata (setting it would cost
        as much again); the batches of :meth:`next` do.
        """
        batch, info = self._reader.live_read(self._open(), latest=True)
        return self._finish(batch, info, tag=False)

    def wait(self, timeout: float | None = None) -> pa.RecordBatch | None:
        """The next record in tick order (see :meth:`next`), as a one-row batch; None when none
        came within ``timeout`` seconds (None: wait as long as it takes) or the writer stopped."""
        return self.next(1, timeout)

    def next(self, count: int = 1, timeout: float | None = None) -> pa.RecordBatch | None:
        """Up to ``count`` records in tick order, each read once, as one batch.

        From the first call of :meth:`next`, :meth:`wait` or :meth:`stream` on, a thread of the
        extension follows the writer (starting at its newest record) and keeps every record it
        reads, so that a consumer that pauses for longer than the simulator's ring of buffers
        lasts (a few ticks) loses nothing; a consumer that stops taking records for over a
        minute has the oldest dropped, counted as missed. Fewer records when the time is up,
        the layout changes or the writer stops; None when none came within ``timeout`` seconds
        (None: wait as long as it takes) or the writer stopped.
        """
        got = self._reader.live_read(self._open(), count, timeout)
        if got is None:
            return None
        return self._finish(*got)

    def stream(self, every: int = 1, timeout: float | None = None) -> Iterator[pa.RecordBatch]:
        """Batches of ``every`` ticks, each tick read once and in order, until the writer stops.

        Ticks that passed while the reader was busy elsewhere are read from the ring of buffers
        while it still holds them; the ones it lost are counted in each batch's
        ``corvex.missed`` metadata and in :attr:`missed`. A batch is shorter when the simulator
        changes its layout, stops, or starts a new session. The stream ends when the writer
        disconnects and nothing comes for ``timeout`` seconds (None: it waits for the next
        session); Ctrl-C ends it with ``KeyboardInterrupt``.
        """
        if every < 1:
            raise ValueError(f"every must be at least 1, got {every}")
        while True:
            batch = self.next(every, timeout)
            if batch is None:
                if timeout is not None and not self.connected:
                    return
                continue
            yield batch

    def _finish(
        self, batch: pa.RecordBatch, info: dict[str, Any], tag: bool = True
    ) -> pa.RecordBatch:
        ticks = info["ticks"]
        self.last_ticks = ticks
        missed = int(info["missed"])
        self.missed += missed
        generation = info["generation"]
        if self._generation is not None and generation != self._generation:
            if self._schema is not None and not batch.schema.equals(self._schema):
                warnings.warn(
                    f"{self.source or 'the simulator'}: a new session with another variable "
                    f"set ({batch.num_columns - 1} variables, before "
                    f"{len(self._schema) - 1}): batches have a new schema from here",
                    SchemaChanged,
                    stacklevel=3,
                )
        self._generation = generation
        self._schema = batch.schema
        if not tag:
            return batch
        return batch.replace_schema_metadata(
            {
                "corvex.first_tick": str(ticks[0]),
                "corvex.last_tick": str(ticks[-1]),
                "corvex.missed": str(missed),
            }
        )

    # -- lifetime ---------------------------------------------------------------------------

    def close(self) -> None:
        """Let the memory go (it is let go anyway when the object is collected)."""
        self._handle = None

    def __enter__(self) -> Live:
        return self

    def __exit__(
        self,
        kind: type[BaseException] | None,
        value: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        self.close()

    def __repr__(self) -> str:
        where = self.source or "the simulator's shared memory"
        return f"<corvex.live.Live {where}>"
