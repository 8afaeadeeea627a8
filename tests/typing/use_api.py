"""A small typed use of corvex's public API, checked with mypy --strict by test_typing.py."""

from __future__ import annotations

import corvex
from corvex import _corvex_rs
from corvex.errors import error_kind


def main(path: str) -> None:
    log: corvex.LogFile = corvex.open(path, salvage=True)
    print(log.record_count, log.metadata["tick_rate"], log.channels["Speed"].num_rows)
    found: _corvex_rs.Probe = _corvex_rs.probe(path)
    names: list[str] = [v["name"] for v in found["variables"] if v["count"] > 1]
    size: int = found["file_size"]
    info: bytes = found["session_info_bytes"]
    buffers: list[tuple[int, int]] | None = found["live_buffers"]
    print(names, size, len(info), buffers, found["channels"].names, found["header"]["tick_rate"])
    read, details = _corvex_rs.read(path, None, salvage=True, arrays=True)
    left_out: list[_corvex_rs.Variable] = details["left_out"]
    identity: tuple[int, int, int, int] | None = details["identity"]
    print(read.source, left_out, identity, details["arrays"])
    salvaged, report = _corvex_rs.ibt_salvage(path)
    if report is not None:
        records: int = report["records"]
        print(records)
    arrays = _corvex_rs.read_arrays(path, salvage=True, identity=identity)
    snapshot, tables, table = _corvex_rs.snapshot(path)
    print(salvaged.source, len(arrays), snapshot.source, len(tables), table["newest"])
    try:
        _corvex_rs.ibt(path)
    except OSError as exc:
        kind: str | None = error_kind(exc)
        print(kind)
