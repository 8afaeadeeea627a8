"""atheris harness over the Python surface: corvex.open and the LogFile built from its result.

Usage: python fuzz/python_fuzzer.py [libFuzzer options] CORPUS_DIR...

Each input is the bytes of a file; its last byte picks the kind of source they are handed over
as (bytes, bytearray, a memoryview, a list or a lying sequence of integers, a file object, a
path), so that the seeds of the C++ fuzzer (fuzz/make_seeds.py) serve here unchanged. The call
may fail only the ways corvex.open documents (OSError, RuntimeError, with a kind the reader
names) or with MemoryError when the result is over the memory budget, which is set low here
(CORVEX_MAX_RESULT_BYTES) so that an amplifying input is refused rather than swapping. What
comes back is then read through the LogFile's methods, and the headers-only reading (probe) of
the same bytes must announce its channels. Any other exception, and any crash, is a finding.
"""

from __future__ import annotations

import io
import json
import os
import resource
import sys
import tempfile
from collections.abc import Callable, Iterator
from typing import Any

import atheris
import pyarrow as pa

os.environ.setdefault("CORVEX_MAX_RESULT_BYTES", str(256 << 20))
# Past this, an allocation fails with MemoryError instead of the process being killed.
resource.setrlimit(resource.RLIMIT_DATA, (3 << 30, resource.getrlimit(resource.RLIMIT_DATA)[1]))

import corvex._corvex_rs  # noqa: E402

import corvex  # noqa: E402
import corvex.analysis  # noqa: E402
import corvex.base  # noqa: E402
import corvex.diagnose  # noqa: E402
import corvex.overview  # noqa: E402
import corvex.session_info  # noqa: E402
from corvex.cli.stints import Margin, format_stints, gather, report_json  # noqa: E402

# The editable install loads corvex through a custom finder, which atheris's import hook skips;
# instrumenting everything loaded once imported covers corvex (and pyarrow's Python layer).
atheris.instrument_all()

_TEMP = tempfile.mkdtemp(prefix="corvex-pyfuzz-")
_PATH = os.path.join(_TEMP, "input.ibt")


class _Sequence:
    """A sequence of integers whose length claims far more items than it yields."""

    def __init__(self, data: bytes) -> None:
        self._data = data

    def __len__(self) -> int:
        return 1 << 62

    def __getitem__(self, index: int) -> int:
        if not isinstance(index, int) or index >= len(self._data):
            raise IndexError(index)
        return self._data[index]


class _Reader:
    """A file object whose read gives a bytearray, not bytes."""

    def __init__(self, data: bytes) -> None:
        self._data = data

    def seek(self, offset: int, whence: int = 0) -> int:
        return 0

    def read(self, size: int = -1) -> bytearray:
        return bytearray(self._data)


def _as_path(data: bytes) -> str:
    with open(_PATH, "wb") as out:
        out.write(data)
    return _PATH


SOURCES: list[Callable[[bytes], Any]] = [
    lambda d: d,
    bytearray,
    memoryview,
    lambda d: memoryview(bytearray(d)),
    list,
    _Sequence,
    io.BytesIO,
    _Reader,
    _as_path,
]


def _rows(log: corvex.base.LogFile, most: int) -> Iterator[int]:
    return iter(range(min(log.laps.num_rows, most)))


def _exercise(log: corvex.base.LogFile) -> None:
    """Every read-only view of a LogFile; they must not fail on anything the reader accepted."""
    count = log.record_count
    for name in log.channel_names[:64]:
        table = log[name]
        if table.num_rows != count:
            raise AssertionError(f"{name}: {table.num_rows} rows, the file has {count}")
    log.to_table(log.channel_names[:16])
    if len(log.channel_names) <= 64:
        pa.table(log)
    # Properties are computed on access; each is read once.
    for name in (
        "session_info_text",
        "session_info",
        "sector_starts",
        "lap_summary",
        "stints",
        "best_sectors",
        "theoretical_best",
        "duration",
    ):
        getattr(log, name)
    log.lap_report()
    report = gather(log, Margin())
    format_stints(report)
    json.dumps(report_json(report), allow_nan=False)
    repr(log)
    log._repr_html_()
    for row in _rows(log, 4):
        lap = log.lap_at(row)
        repr(lap.lap_summary)
        repr(lap)
        try:
            lap.on_distance(channels=lap.channel_names[:4])
        except ValueError:
            pass  # no distance channel, no track length or a lap past 50 km: documented
    fastest = log.fastest_lap
    if fastest is not None:
        log.lap(fastest)


_KINDS = {"io", "not_a_file", "not_ibt", "truncated", "invalid_header", "live_snapshot", "arrow"}


def test_one_input(data: bytes) -> None:
    source = SOURCES[data[-1] % len(SOURCES) if data else 0](data)
    try:
        log = corvex.open(source)
    except MemoryError:
        return
    except (OSError, RuntimeError) as exc:
        kind = corvex.diagnose.error_kind(exc)
        if kind is not None and kind not in _KINDS:  # None: a failure of the pyarrow hand-off
            raise AssertionError(f"unknown kind {kind!r}") from exc
        return
    _exercise(log)
    announced = corvex._corvex_rs.probe(data)["channels"].names
    if announced != list(log.channels):
        raise AssertionError(f"probe announced {announced}, the reading gave {list(log.channels)}")


def main() -> None:
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
