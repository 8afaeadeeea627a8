"""The record pass on several threads gives the same bytes as on one.

Files large enough for the threaded pass (8 MiB of records and more) are built from random
records, so that every lap value, flag and time differs from the next and the lap table has a
row for almost every record: a range boundary in the wrong place shows up as a changed value, a
missing lap row or a bitmap byte written by two threads.
"""

from __future__ import annotations

import pyarrow as pa
import pytest
from corvex._corvex_rs import ibt
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from corvex.testing import BOOL, CHAR, DOUBLE, FLOAT, INT, Var, build_ibt

THREADED_FROM = 8 << 20


def variables(extra: list[int]) -> list[Var]:
    fixed = [
        Var("SessionTime", DOUBLE),
        Var("Lap", INT),
        Var("OnPitRoad", BOOL),
        Var("LapDistPct", FLOAT),
    ]
    return fixed + [Var(f"v{i}", code) for i, code in enumerate(extra)]


def random_file(extra: list[int], pad: int, records_past: int, seed: int) -> bytes:
    vars_ = variables(extra)
    buf_len = sum(v.area for v in vars_) + pad
    records = THREADED_FROM // buf_len + records_past
    data = random_bytes(buf_len * records, seed)
    return build_ibt(vars_, None, buf_len=buf_len, record_count=records, data=data)


def random_bytes(n: int, seed: int) -> bytes:
    import numpy as np

    return np.random.default_rng(seed).integers(0, 256, n, dtype=np.uint8).tobytes()


def column_bytes(table: pa.Table) -> list[bytes]:
    """The raw buffers of every column, so that NaN payloads compare too."""
    out = []
    for column in table.columns:
        (chunk,) = column.chunks
        out.extend(b.to_pybytes() if b is not None else b"" for b in chunk.buffers())
    return out


def snapshot(data: bytes, threads: int | None, monkeypatch: pytest.MonkeyPatch) -> list[bytes]:
    if threads is None:
        monkeypatch.delenv("CORVEX_MAX_THREADS", raising=False)
    else:
        monkeypatch.setenv("CORVEX_MAX_THREADS", str(threads))
    log = ibt(data)
    out = [name.encode() for name in log.channels]
    for table in log.channels.values():
        out += column_bytes(table)
    return out + column_bytes(log.laps)


@settings(
    max_examples=8,
    deadline=None,
    suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow],
)
@given(
    extra=st.lists(st.sampled_from([CHAR, BOOL, INT, FLOAT, DOUBLE]), min_size=1, max_size=6),
    pad=st.integers(0, 9),
    records_past=st.integers(-70, 130),
    seed=st.integers(0, 2**32 - 1),
    threads=st.integers(2, 8),
)
def test_every_thread_count_gives_the_same_bytes(
    monkeypatch: pytest.MonkeyPatch,
    extra: list[int],
    pad: int,
    records_past: int,
    seed: int,
    threads: int,
) -> None:
    data = random_file(extra, pad, records_past, seed)
    assert snapshot(data, threads, monkeypatch) == snapshot(data, 1, monkeypatch)


@pytest.mark.parametrize("value", ["0", "-1", "two", "1.5"])
def test_a_bad_thread_setting_is_refused(monkeypatch: pytest.MonkeyPatch, value: str) -> None:
    monkeypatch.setenv("CORVEX_MAX_THREADS", value)
    data = build_ibt([Var("SessionTime", DOUBLE)], {"SessionTime": [0.0]})
    with pytest.raises(ValueError, match="^CORVEX_MAX_THREADS must be a whole number"):
        ibt(data)


def test_the_default_thread_count_gives_the_same_bytes(monkeypatch: pytest.MonkeyPatch) -> None:
    data = random_file([FLOAT, BOOL], 3, 5, 7)
    assert snapshot(data, None, monkeypatch) == snapshot(data, 1, monkeypatch)
