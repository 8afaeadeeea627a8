"""Calls of ibt that must not disturb each other, and arguments that must not be leaked.

A call made from inside another call's progress callback, or from several threads at once,
gives exactly what the same call gives alone; the reference counts of the source and of the
callback are the same after a call as before it, whether the call succeeded or failed.
"""

from __future__ import annotations

import io
import math
import sys
import threading
from collections.abc import Callable
from pathlib import Path
from typing import Any

import pytest

from corvex.testing import FLOAT, INT, Var, build_ibt, lap_variables


def ibt(source: Any, progress: Any = None) -> Any:
    from corvex._corvex_rs import ibt as entry

    return entry(source, progress)


def session(records: int, laps: int, phase: float = 0.0) -> bytes:
    """A file of `records` samples over `laps` laps, with values that differ by `phase`."""
    per_lap = records // laps
    variables = [
        *lap_variables(),
        Var("Speed", FLOAT, unit="m/s"),
        Var("RPM", FLOAT, unit="revs/min"),
        Var("Gear", INT),
        Var("CarIdxLap", INT, count=8),
    ]
    columns = {
        "SessionTime": [i / 60 for i in range(records)],
        "Lap": [i // per_lap for i in range(records)],
        "LapDistPct": [(i % per_lap) / per_lap for i in range(records)],
        "OnPitRoad": [i < per_lap // 4 for i in range(records)],
        "Speed": [50 + 20 * math.sin(i / 30 + phase) for i in range(records)],
        "RPM": [6000 + 1500 * math.cos(i / 20 + phase) for i in range(records)],
        "Gear": [1 + (i // 97) % 6 for i in range(records)],
    }
    info = f"---\nWeekendInfo:\n TrackName: track {phase}\n...\n"
    return build_ibt(variables, columns, session_info=info)


FILES = {
    "long": session(3000, 4),
    "short": session(300, 2, phase=1.0),
    "tiny": session(5, 1, phase=2.0),
}
BROKEN = FILES["short"][:1000]


def snapshot(log: Any) -> tuple[Any, ...]:
    """Everything a LogFile carries, in a form that compares by value."""
    return (
        list(log.channels),
        [log.channels[name] for name in log.channels],
        log.laps,
        log.metadata,
        log.source,
    )


def assert_same(log: Any, alone: Any) -> None:
    got, want = snapshot(log), snapshot(alone)
    assert got[0] == want[0]
    for name, table, expected in zip(got[0], got[1], want[1]):
        assert table.equals(expected, check_metadata=True), name
    assert got[2].equals(want[2])
    assert got[3] == want[3]
    assert got[4] == want[4]


@pytest.fixture(scope="module")
def alone() -> dict[str, Any]:
    """Each file read by a call that nothing else disturbs."""
    return {name: ibt(data) for name, data in FILES.items()}


# -- re-entry from the progress callback ------------------------------------------------------


@pytest.mark.parametrize("inner", ["long", "short", "tiny"])
@pytest.mark.parametrize("when", ["first", "every", "last"])
def test_ibt_called_from_inside_progress(alone: dict[str, Any], inner: str, when: str) -> None:
    inner_logs = []

    def progress(done: int, total: int) -> None:
        if when == "every" or (when == "first" and done == 1) or (when == "last" and done == total):
            inner_logs.append(ibt(FILES[inner]))

    outer = ibt(FILES["long"], progress)
    assert_same(outer, alone["long"])
    assert inner_logs
    for log in inner_logs:
        assert_same(log, alone[inner])


def test_nested_calls_three_deep(alone: dict[str, Any]) -> None:
    seen = []

    def innermost(done: int, total: int) -> None:
        if done == 1:
            seen.append(ibt(FILES["tiny"]))

    def middle(done: int, total: int) -> None:
        if done == total:
            seen.append(ibt(FILES["short"], innermost))

    outer = ibt(FILES["long"], middle)
    assert_same(outer, alone["long"])
    assert [log.source for log in seen] == ["<bytes>", "<bytes>"]
    assert_same(seen[0], alone["tiny"])
    assert_same(seen[1], alone["short"])


def test_failing_inner_call_leaves_the_outer_call_intact(alone: dict[str, Any]) -> None:
    errors = []

    def progress(done: int, total: int) -> None:
        try:
            ibt(BROKEN)
        except RuntimeError as error:
            errors.append(str(error))

    outer = ibt(FILES["short"], progress)
    assert_same(outer, alone["short"])
    assert len(errors) == len(alone["short"].channels)
    assert all(text.startswith("Invalid header: File too small") for text in errors)


def test_same_path_read_again_from_inside_progress(tmp_path: Path, alone: dict[str, Any]) -> None:
    path = tmp_path / "long.ibt"
    path.write_bytes(FILES["long"])
    inner_logs = []

    def progress(done: int, total: int) -> None:
        if done in (1, total):
            inner_logs.append(ibt(path))

    outer = ibt(path, progress)
    for log in (outer, *inner_logs):
        assert log.source == str(path)
        assert_same_tables(log, alone["long"])
    assert len(inner_logs) == 2


def assert_same_tables(log: Any, alone: Any) -> None:
    assert list(log.channels) == list(alone.channels)
    for name, table in log.channels.items():
        assert table.equals(alone.channels[name], check_metadata=True), name
    assert log.laps.equals(alone.laps)


# -- several threads at once ------------------------------------------------------------------


def test_threads_calling_at_once(tmp_path: Path, alone: dict[str, Any]) -> None:
    paths = {}
    for name, data in FILES.items():
        paths[name] = tmp_path / f"{name}.ibt"
        paths[name].write_bytes(data)
    sources: list[Callable[[str], Any]] = [
        lambda name: FILES[name],
        lambda name: bytearray(FILES[name]),
        lambda name: paths[name],
        lambda name: io.BytesIO(FILES[name]),
    ]
    barrier = threading.Barrier(len(sources) * 2)
    failures: list[str] = []
    progress_calls = [0] * len(sources) * 2

    def worker(slot: int) -> None:
        make_source = sources[slot % len(sources)]

        def progress(done: int, total: int) -> None:
            progress_calls[slot] += 1

        try:
            barrier.wait()
            for round_ in range(6):
                name = list(FILES)[(slot + round_) % len(FILES)]
                log = ibt(make_source(name), progress if round_ % 2 else None)
                assert_same_tables(log, alone[name])
                try:
                    ibt(BROKEN)
                except RuntimeError:
                    pass
                else:
                    failures.append(f"thread {slot}: broken file accepted")
        except BaseException as error:  # noqa: BLE001 - collected and reported below
            failures.append(f"thread {slot}: {error!r}")

    threads = [threading.Thread(target=worker, args=(slot,)) for slot in range(len(sources) * 2)]
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # switch threads as often as the interpreter allows
    try:
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(timeout=300)
    finally:
        sys.setswitchinterval(previous)
    assert not any(thread.is_alive() for thread in threads)
    assert not failures, failures
    assert all(calls > 0 for calls in progress_calls)


# -- reference counts -------------------------------------------------------------------------


class Reader:
    """A file-like source."""

    def __init__(self, data: bytes) -> None:
        self.data = data

    def seek(self, position: int) -> int:
        return position

    def read(self) -> bytes:
        return self.data


def make_source(kind: str, data: bytes, tmp_path: Path) -> Any:
    if kind == "bytes":
        return bytes(bytearray(data))  # a fresh object, not shared with FILES
    if kind == "bytearray":
        return bytearray(data)
    if kind == "memoryview":
        return memoryview(bytearray(data))
    if kind == "file-like":
        return Reader(data)
    path = tmp_path / "source.ibt"
    path.write_bytes(data)
    return str(path) if kind == "str" else path


SOURCE_KINDS = ["bytes", "bytearray", "memoryview", "str", "path", "file-like"]


def stop(done: int, total: int) -> None:
    raise KeyError("stop")


@pytest.mark.parametrize("kind", SOURCE_KINDS)
@pytest.mark.parametrize(
    "case", ["success", "success-with-progress", "invalid-file", "progress-raises"]
)
def test_reference_counts_unchanged(kind: str, case: str, tmp_path: Path) -> None:
    data = BROKEN if case == "invalid-file" else FILES["short"]
    source = make_source(kind, data, tmp_path)
    calls = []

    def progress(done: int, total: int) -> None:
        calls.append(done)

    callback = stop if case == "progress-raises" else progress
    before = sys.getrefcount(source), sys.getrefcount(callback)
    for _ in range(3):
        try:
            if case == "success":
                ibt(source)
            else:
                ibt(source, callback)
        except (RuntimeError, OSError, KeyError):
            assert case in ("invalid-file", "progress-raises")
        else:
            assert case.startswith("success")
    assert (sys.getrefcount(source), sys.getrefcount(callback)) == before
    if case == "success-with-progress":
        assert calls
