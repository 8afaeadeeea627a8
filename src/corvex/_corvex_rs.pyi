"""Types of corvex's compiled extension, which reads IBT files in C++.

Every ``OSError`` and ``RuntimeError`` the reader raises for a file it cannot read carries the
attributes ``kind`` (``"io"``, ``"not_a_file"``, ``"not_ibt"``, ``"truncated"``,
``"invalid_header"``, ``"live_snapshot"``, ``"changed"`` or ``"arrow"``), ``file_size``,
``whole_records``, ``buffers`` (a live snapshot's ``(tick_count, offset)`` pairs) and
``file_type`` (what a path that is no regular file names: ``"directory"``, ``"FIFO"``, ...),
``None`` where unknown. An internal failure of the reader raises
``corvex._corvex_rs.PanicException``, a BaseException (like SystemExit, so that ``except
Exception`` does not swallow it); the module creates that class when it first raises it and does
not export it, so it has no name to declare here.
"""

from collections.abc import Callable
from typing import Any, TypedDict

import pyarrow as pa

from corvex import Source
from corvex.base import LogFile

__all__ = [
    "ibt",
    "ibt_salvage",
    "read_arrays",
    "snapshot",
    "probe",
    "read",
    "live_open",
    "live_read",
    "live_status",
    "live_replay",
    "lap_table",
]

# (device, inode, size, mtime_ns) of a file read by path, from the status of the open handle.
Identity = tuple[int, int, int, int]

class SalvageReport(TypedDict):
    header_records: int
    records: int
    dropped_bytes: int

class SnapshotBuffers(TypedDict):
    buffers: list[tuple[int, int]]  # (tick_count, offset) of each record buffer
    newest: int

class Variable(TypedDict):
    name: str
    desc: str
    unit: str
    type: str  # "Char", "Bool", "Int", "BitField", "Float" or "Double"
    arrow_type: pa.DataType  # of one element
    offset: int
    count: int

class Header(TypedDict):
    version: int
    tick_rate: int
    session_info_len: int
    session_info_offset: int
    num_vars: int
    var_header_offset: int
    num_buf: int
    buf_len: int
    buf_offset: int
    session_start_date: int
    start_time: float
    end_time: float
    lap_count: int
    session_record_count: int

class RawBlocks(TypedDict):
    headers: bytes
    variable_headers: bytes
    session_info: bytes

class FileFacts(TypedDict):
    session_info_bytes: bytes
    salvage: SalvageReport | None
    file_size: int
    whole_records: int | None
    live_buffers: list[tuple[int, int]] | None
    identity: Identity | None

class Probe(FileFacts):
    header: Header
    variables: list[Variable]
    channels: pa.Schema
    raw: RawBlocks

class ReadDetails(FileFacts):
    left_out: list[Variable]
    arrays: dict[str, pa.Table] | None
    snapshot: SnapshotBuffers | None

def ibt(source: Source, progress: Callable[[int, int], object] | None = None) -> LogFile:
    """Read a whole IBT file and return its :class:`~corvex.base.LogFile`.

    ``source`` is a path, the file's bytes (any bytes-like object) or a binary file object;
    ``progress(done, total)`` is called after each channel table is built.
    """

def ibt_salvage(
    source: Source, progress: Callable[[int, int], object] | None = None
) -> tuple[LogFile, SalvageReport | None]:
    """Read like :func:`ibt`, and also the whole records of a cut or unclosed recording."""

def read_arrays(
    source: Source, *, salvage: bool = False, identity: Identity | None = None
) -> dict[str, pa.Table]:
    """The array variables' tables; with ``identity``, only from that very file."""

def snapshot(source: Source) -> tuple[LogFile, dict[str, pa.Table], SnapshotBuffers]:
    """Read a live telemetry snapshot: its newest record, its arrays and its buffer table."""

def probe(source: Source, *, salvage: bool = False) -> Probe:
    """Read and check the headers only, as :func:`ibt` checks them, and raise as it raises."""

def read(
    source: Source,
    progress: Callable[[int, int], object] | None = None,
    *,
    salvage: bool = False,
    arrays: bool = False,
    snapshot: bool = False,
) -> tuple[LogFile, ReadDetails]:
    """Read as :func:`ibt`, :func:`ibt_salvage` or :func:`snapshot` does, from one opening."""

# Live telemetry (corvex.live, corvex.recording): a handle is an opaque capsule.

def live_open(path: str | None = None) -> object:
    """Open live telemetry: the file at ``path``, or the simulator's shared memory."""

def live_read(
    handle: object, count: int = 1, timeout: float | None = None, latest: bool = False
) -> tuple[pa.RecordBatch, dict[str, Any]] | None:
    """Records as one batch and what they are (ticks, missed, new_layout, ...), or None."""

def live_status(handle: object) -> dict[str, Any]:
    """The header now: connected, and once a layout was read, its facts."""

def live_replay(
    source: str,
    path: str | None = None,
    speed: float = 1.0,
    first_tick: int = 1,
    progress: Callable[[int, int], object] | None = None,
    lead_in: float = 0.0,
) -> dict[str, Any]:
    """Publish an IBT file as live telemetry."""

def lap_table(
    timecodes: object, lap: object, on_pit_road: object = None, lap_dist_pct: object = None
) -> pa.Table:
    """The lap table of records given as columns, by the file reader's rules."""
