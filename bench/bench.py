"""Benchmark `ibt` against the memory floor and a do-it-yourself numpy peer.

Run with ``make bench`` (or ``python bench/bench.py``). On the one-hour session of
``bench/make_session.py`` (generated once, then cached in ``bench/data/``) it times, in this
process with a warm page cache, the median of several rounds (each timed call right after an
untimed call of the same contender) of:

- floor: map the file and copy its data region once with numpy, the least any reader must do;
- ``ibt(path)`` and ``ibt(bytes)`` of the same file;
- the numpy peer: a structured dtype over the mapped records, one ``np.ascontiguousarray`` per
  scalar channel, the time column in milliseconds, a ``pyarrow.table`` per channel and the lap
  table computed with numpy.

Before timing, it checks once that ``ibt`` (from the path and from bytes) and the peer give
identical values for every channel, bit for bit, and the same lap table. It then measures the
peak resident memory of each contender in a fresh subprocess, and the instruction count of one
``ibt(path)`` call with valgrind's callgrind, the figure that machine noise does not move.
Timings are printed, never asserted.
"""

from __future__ import annotations

import argparse
import gc
import json
import mmap
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
import pyarrow as pa

sys.path.insert(0, str(Path(__file__).resolve().parent))
# The tests' helpers, for the lap table's schema.
sys.path.insert(1, str(Path(__file__).resolve().parents[1] / "tests"))
from _helpers import LAP_SCHEMA  # noqa: E402
from corvex._corvex_rs import ibt  # noqa: E402
from make_session import HOUR_RECORDS, ensure_session  # noqa: E402

from corvex.testing import layout  # noqa: E402

WARMUP_RECORDS = 600  # ten seconds: the warm-up call before each measured one

# ----------------------------------------------------------------------------------------------
# The file layout, read with struct: what a do-it-yourself reader needs of the headers.

_TYPES = {  # type code -> (numpy type of one element, Arrow type, interpolates)
    0: ("u1", pa.uint8(), False),
    1: ("u1", pa.bool_(), False),
    2: ("<i4", pa.int32(), False),
    3: ("<u4", pa.uint32(), False),
    4: ("<f4", pa.float32(), True),
    5: ("<f8", pa.float64(), True),
}


@dataclass
class Header:
    """The header fields that locate the variables and the sample records."""

    num_vars: int
    var_header_offset: int
    buf_len: int
    buf_offset: int
    record_count: int

    @property
    def region_size(self) -> int:
        return self.buf_len * self.record_count


@dataclass
class VarInfo:
    name: str
    type: int
    offset: int
    count: int
    desc: str
    unit: str


def read_header(buf: Any) -> Header:
    fields = layout.read_fields(bytes(buf[: layout.HEADERS_END]))
    return Header(
        fields["num_vars"],
        fields["var_header_offset"],
        fields["buf_len"],
        fields["buf_offset"],
        fields["session_record_count"],
    )


def read_vars(buf: Any, header: Header) -> list[VarInfo]:
    return [
        VarInfo(v.name, v.type, v.offset, v.count, v.desc, v.unit)
        for v in layout.read_var_headers(buf)
    ]


def header_of(path: Path) -> Header:
    with open(path, "rb") as f:
        return read_header(f.read(144))


def map_file(path: Path) -> mmap.mmap:
    with open(path, "rb") as f:
        return mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)


# ----------------------------------------------------------------------------------------------
# The contenders. Each takes the path (and the file's bytes) and returns what it built.


_MAPPED: dict[Path, np.ndarray] = {}


def floor(path: Path, _data: bytes) -> np.ndarray:
    """One single-threaded copy of the data region of a file mapped (and read) already."""
    region = _MAPPED.get(path)
    if region is None:
        mm = map_file(path)
        header = read_header(mm)
        region = np.frombuffer(mm, np.uint8, count=header.region_size, offset=header.buf_offset)
        _MAPPED[path] = region
    return region.copy()


def with_threads(threads: int | None, call: Callable[[], Any]) -> Any:
    """``call()`` with CORVEX_MAX_THREADS set to ``threads`` (None: the default, every core)."""
    before = os.environ.pop("CORVEX_MAX_THREADS", None)
    if threads is not None:
        os.environ["CORVEX_MAX_THREADS"] = str(threads)
    try:
        return call()
    finally:
        os.environ.pop("CORVEX_MAX_THREADS", None)
        if before is not None:
            os.environ["CORVEX_MAX_THREADS"] = before


def ibt_path(path: Path, _data: bytes) -> Any:
    return with_threads(None, lambda: ibt(str(path)))


def ibt_path_one_thread(path: Path, _data: bytes) -> Any:
    return with_threads(1, lambda: ibt(str(path)))


def ibt_bytes(_path: Path, data: bytes) -> Any:
    return ibt(data)


def numpy_timecodes(seconds: np.ndarray) -> np.ndarray:
    """Whole milliseconds, halves away from zero, NaN to 0, saturated at the int64 limits."""
    with np.errstate(invalid="ignore"):
        ms = seconds * 1000.0
        whole = np.trunc(ms)
        rounded = np.where(np.abs(ms - whole) == 0.5, whole + np.sign(ms), np.round(ms))
        limit = 2.0**63
        inside = (rounded >= -limit) & (rounded < limit)
        out = np.where(inside, rounded, 0.0).astype(np.int64)
    out[rounded >= limit] = np.iinfo(np.int64).max
    out[rounded < -limit] = np.iinfo(np.int64).min
    return out


def numpy_laps(lap: np.ndarray, pit: np.ndarray, pct: np.ndarray, times: np.ndarray) -> pa.Table:
    """The lap table: a lap is a run of equal "Lap" values, typed by pit road and lap fraction."""
    n = lap.size
    starts = np.flatnonzero(np.concatenate(([True], lap[1:] != lap[:-1])))
    ends = np.append(starts[1:], n)
    last = ends - 1
    low, high = np.float32(0.02), np.float32(0.98)
    inside = lambda f: (f > low) & (f < high)  # noqa: E731
    lap_type = np.select(
        [ends - starts < 2, pit[starts], pit[last], inside(pct[starts]) | inside(pct[last])],
        ["incomplete", "out", "in", "partial"],
        "full",
    )
    num = lap[starts]
    session = np.cumsum(np.concatenate(([0], num[1:] == 0))).astype(np.int32)
    columns = [num, times[starts], times[np.minimum(ends, n - 1)], lap_type.tolist(), session]
    return pa.table(columns, schema=LAP_SCHEMA)


def numpy_peer(path: Path, _data: bytes) -> tuple[dict[str, pa.Table], pa.Table]:
    """What a competent user writes without corvex: numpy over the mapping, then pyarrow."""
    mm = map_file(path)
    header = read_header(mm)
    scalars = [v for v in read_vars(mm, header) if v.count == 1]
    dtype = np.dtype(
        {
            "names": [v.name for v in scalars],
            "formats": [_TYPES[v.type][0] for v in scalars],
            "offsets": [v.offset for v in scalars],
            "itemsize": header.buf_len,
        }
    )
    records = np.frombuffer(mm, dtype, count=header.record_count, offset=header.buf_offset)
    times = numpy_timecodes(np.ascontiguousarray(records["SessionTime"]))
    time_column = pa.array(times)
    channels = {}
    for v in scalars:
        _, arrow_type, interpolates = _TYPES[v.type]
        values = np.ascontiguousarray(records[v.name])
        if v.type == 1:
            values = values != 0
        metadata = {"units": v.unit, "desc": v.desc, "interpolate": str(interpolates)}
        schema = pa.schema(
            [
                pa.field("timecodes", pa.int64(), nullable=False),
                pa.field(v.name, arrow_type, nullable=False, metadata=metadata),
            ]
        )
        channels[v.name] = pa.table([time_column, pa.array(values, arrow_type)], schema=schema)
    lap = np.ascontiguousarray(records["Lap"])
    pit = np.ascontiguousarray(records["OnPitRoad"]) != 0
    pct = np.ascontiguousarray(records["LapDistPct"])
    # The mapping closes when the last array over it goes: with one record a "contiguous" copy
    # of a column is a view of the mapping itself.
    return channels, numpy_laps(lap, pit, pct, times)


CONTENDERS: dict[str, Callable[[Path, bytes], Any]] = {
    "floor": floor,
    "ibt(path)": ibt_path,
    "ibt(path) 1T": ibt_path_one_thread,
    "ibt(bytes)": ibt_bytes,
    "numpy peer": numpy_peer,
}

# ----------------------------------------------------------------------------------------------
# The one correctness check: identical channels (bit for bit) and lap tables.


def _bits(column: pa.ChunkedArray) -> pa.Array:
    """The column with floating-point values viewed as integers, so NaN payloads compare too."""
    array = column.combine_chunks()
    if pa.types.is_float32(array.type):
        return array.view(pa.uint32())
    if pa.types.is_float64(array.type):
        return array.view(pa.uint64())
    return array


def _same_tables(a: pa.Table, b: pa.Table) -> bool:
    if not a.schema.equals(b.schema, check_metadata=True) or a.num_rows != b.num_rows:
        return False
    return all(_bits(x).equals(_bits(y)) for x, y in zip(a.columns, b.columns))


def check_identical(path: Path, data: bytes) -> int:
    """Fails loudly unless ibt (path and bytes) and the peer agree; returns the channel count."""
    from_path, from_bytes = ibt_path(path, data), ibt_bytes(path, data)
    channels, laps = numpy_peer(path, data)
    problems = []
    for name, log in (("ibt(path)", from_path), ("ibt(bytes)", from_bytes)):
        if list(log.channels) != list(channels):
            problems.append(f"{name}: channel names differ from the peer's")
        problems += [
            f"{name}: channel {key!r} differs from the peer's"
            for key, table in channels.items()
            if key in log.channels and not _same_tables(log.channels[key], table)
        ]
        if not log.laps.equals(laps, check_metadata=True):
            problems.append(f"{name}: lap table differs from the peer's")
    if problems:
        raise SystemExit("ibt and the numpy peer disagree:\n  " + "\n  ".join(problems))
    return len(channels)


# ----------------------------------------------------------------------------------------------
# Timing, memory and instruction count.


def time_rounds(path: Path, data: bytes, rounds: int) -> dict[str, list[float]]:
    """Seconds per call of every contender, in rounds in which the contenders take turns.

    Each timed call follows an untimed call of the same contender, so that every contender
    finds the memory allocators as a repeated call of its own leaves them: the pool that holds
    pyarrow's buffers keeps the pages of the previous call for a while, and a timed call right
    after another contender's would find them returned or not depending on the order.
    """
    times: dict[str, list[float]] = {name: [] for name in CONTENDERS}
    for _ in range(rounds):
        for name, run in CONTENDERS.items():
            run(path, data)  # untimed; its result is dropped at once
            gc.collect()
            gc.disable()
            start = time.perf_counter()
            result = run(path, data)
            elapsed = time.perf_counter() - start
            gc.enable()
            del result
            times[name].append(elapsed)
    return times


def _status_kib(field: str) -> int:
    text = Path("/proc/self/status").read_text()
    return int(re.search(rf"^{field}:\s+(\d+) kB", text, re.M).group(1))


def peak_of(contender: str, path: Path, warmup: Path) -> dict[str, int]:
    """Memory of one call in this (fresh) process, after a warm-up call on a tiny file.

    "peak" is the kernel's high-water mark of the resident set (the figure ru_maxrss reports),
    reset to the current size just before the call; it counts the file's pages while they are
    mapped. "private" is the growth of anonymous memory, held by the result after the call.
    """
    run = CONTENDERS[contender]
    data = path.read_bytes() if contender == "ibt(bytes)" else b""
    kept = run(warmup, warmup.read_bytes())
    del kept
    gc.collect()
    Path("/proc/self/clear_refs").write_text("5")  # reset the high-water mark
    base_rss, base_anon = _status_kib("VmRSS"), _status_kib("RssAnon")
    result = run(path, data)
    peak, private = _status_kib("VmHWM") - base_rss, _status_kib("RssAnon") - base_anon
    del result
    return {"peak": peak * 1024, "private": private * 1024}


def measure_peaks(path: Path, warmup: Path) -> dict[str, dict[str, int]]:
    """peak_of for every contender, each in a process of its own."""
    peaks = {}
    for name in CONTENDERS:
        cmd = [sys.executable, __file__, "--peak-of", name, "--file", str(path)]
        cmd += ["--warmup", str(warmup)]
        out = subprocess.run(cmd, check=True, capture_output=True, text=True).stdout
        peaks[name] = json.loads(out)
    return peaks


# Run under callgrind: the counters are zeroed when os.getppid() enters and dumped when
# os.getpgrp() enters, so the dump holds exactly one ibt(path) call after a warm-up call.
_CALLGRIND_SCRIPT = """
import os, sys
import pyarrow, corvex.base
from corvex._corvex_rs import ibt
ibt(sys.argv[1])
os.getppid()
result = ibt(sys.argv[2])
os.getpgrp()
os._exit(0)
"""


def count_instructions(path: Path, warmup: Path) -> int | None:
    """Instructions executed by one ibt(path) call, from callgrind; None without valgrind."""
    if shutil.which("valgrind") is None:
        return None
    with tempfile.TemporaryDirectory() as tmp:
        out = Path(tmp) / "callgrind.out"
        cmd = [
            "valgrind",
            "--tool=callgrind",
            "--zero-before=getppid",
            "--dump-before=getpgrp",
            f"--callgrind-out-file={out}",
            sys.executable,
            "-c",
            _CALLGRIND_SCRIPT,
            str(warmup),
            str(path),
        ]
        env = {**os.environ, "OPENBLAS_NUM_THREADS": "1", "PYTHONHASHSEED": "0"}
        subprocess.run(cmd, check=True, capture_output=True, env=env)
        totals = re.search(r"^totals: (\d+)", Path(f"{out}.1").read_text(), re.M)
    return int(totals.group(1)) if totals else None


def bytes_peak(kind: str, path: Path, warmup: Path) -> dict[str, float]:
    """Peak resident growth and time of one call on the file's bytes held as `kind` (exact bytes
    are read where they lie, a bytearray is copied first), and the bytes of the columns made."""
    ibt(warmup.read_bytes())
    with path.open("rb") as file:
        if kind == "bytes":
            source: bytes | bytearray = file.read()
        else:
            source = bytearray(os.fstat(file.fileno()).st_size)
            file.readinto(source)
    gc.collect()
    Path("/proc/self/clear_refs").write_text("5")  # reset the high-water mark
    base = _status_kib("VmRSS")
    start = time.perf_counter()
    log = ibt(source)
    seconds = time.perf_counter() - start
    peak = (_status_kib("VmHWM") - base) * 1024
    columns = log.timecodes.nbytes + sum(t.column(1).nbytes for t in log.channels.values())
    return {"peak": peak, "seconds": seconds, "columns": columns + log.laps.nbytes}


def print_exact_bytes(path: Path, warmup: Path) -> None:
    """bytes_peak for exact bytes and for a bytearray, each in a process of its own."""
    print("\nexact bytes read in place against a bytearray (copied), one call in a fresh process:")
    for kind in ("bytes", "bytearray"):
        cmd = [sys.executable, __file__, "--bytes-peak", kind, "--file", str(path)]
        cmd += ["--warmup", str(warmup)]
        out = subprocess.run(cmd, check=True, capture_output=True, text=True).stdout
        m = json.loads(out)
        print(
            f"  ibt({kind:<9}) peak {m['peak'] / 2**20:7.1f} MiB = "
            f"{m['peak'] / m['columns']:4.2f} x the result's columns, {m['seconds'] * 1e3:7.1f} ms"
        )


# ----------------------------------------------------------------------------------------------


def _load() -> str:
    return ", ".join(f"{x:.2f}" for x in os.getloadavg())


def _machine() -> str:
    lines = Path("/proc/cpuinfo").read_text().splitlines()
    model = next((x.split(":", 1)[1].strip() for x in lines if x.startswith("model name")), "?")
    return f"{os.cpu_count()} CPUs ({model}), load average {_load()}"


def print_setup(path: Path, header: Header) -> None:
    size = path.stat().st_size
    print(f"file: {path.name}, {size:,} bytes; data region {header.region_size:,} bytes")
    print(f"      ({header.record_count:,} records x {header.buf_len} bytes)")
    print(f"machine: {_machine()}")
    print(f"python {platform.python_version()}, pyarrow {pa.__version__}, numpy {np.__version__}")


def print_times(times: dict[str, list[float]], header: Header) -> None:
    med = {name: statistics.median(values) for name, values in times.items()}
    print(f"\ntime of one repeated call, median of {len(times['floor'])} rounds (min .. max):")
    for name, values in times.items():
        spread = f"({min(values) * 1e3:.1f} .. {max(values) * 1e3:.1f})"
        rate = header.region_size / med[name] / 2**30
        print(f"  {name:<11} {med[name] * 1e3:7.1f} ms {spread:<18} {rate:5.2f} GiB/s")
    ratios = [
        ("ibt(path) / floor", med["ibt(path)"] / med["floor"], "<= 1.0"),
        ("ibt(path) 1T / floor", med["ibt(path) 1T"] / med["floor"], ""),
        ("numpy peer / ibt(path)", med["numpy peer"] / med["ibt(path)"], ">= 4"),
        ("ibt(bytes) / ibt(path)", med["ibt(bytes)"] / med["ibt(path)"], "<= 1.5"),
    ]
    print("ratios of the medians:")
    for label, value, target in ratios:
        print(f"  {label:<24} {value:5.2f}" + (f"   (target {target})" if target else ""))


def print_peaks(peaks: dict[str, dict[str, int]], header: Header) -> None:
    region = header.region_size
    print("\nmemory of one call in a fresh process, above its baseline: peak resident set (the")
    print("file's pages count while mapped) and private memory held by the result:")
    for name, peak in peaks.items():
        resident = f"{peak['peak'] / 2**20:6.1f} MiB = {peak['peak'] / region:4.2f} x region"
        private = f"{peak['private'] / 2**20:6.1f} MiB = {peak['private'] / region:4.2f} x region"
        print(f"  {name:<11} peak {resident}   private {private}")
    print("  target: ibt(path) peak <= 1.1 x data region")


def time_two_files(path: Path, rounds: int) -> dict[str, list[float]]:
    """Two one-hour files read one after the other, and at once on two Python threads.

    The second file is a copy of the first under another name, so that each call reads pages of
    its own. Measured with one worker thread per call and with the default (every core).
    """
    import threading

    other = path.with_name(path.stem + "-copy" + path.suffix)
    if not other.exists() or other.stat().st_size != path.stat().st_size:
        shutil.copyfile(path, other)
    files = [str(path), str(other)]
    times: dict[str, list[float]] = {}
    for threads in (1, None):
        label = "1 worker each" if threads == 1 else "default workers"

        def one_after_the_other() -> None:
            for name in files:
                ibt(name)

        def at_once() -> None:
            workers = [threading.Thread(target=ibt, args=(name,)) for name in files]
            for worker in workers:
                worker.start()
            for worker in workers:
                worker.join()

        for kind, run in (("sequential", one_after_the_other), ("two threads", at_once)):
            key = f"{kind}, {label}"
            times[key] = []
            for _ in range(rounds):
                with_threads(threads, run)  # untimed
                gc.collect()
                start = time.perf_counter()
                with_threads(threads, run)
                times[key].append(time.perf_counter() - start)
    return times


def print_two_files(times: dict[str, list[float]]) -> None:
    med = {name: statistics.median(values) for name, values in times.items()}
    print("\ntwo one-hour files, median of the rounds:")
    for name, value in med.items():
        print(f"  {name:<34} {value * 1e3:7.1f} ms")
    for label in ("1 worker each", "default workers"):
        gain = med[f"sequential, {label}"] / med[f"two threads, {label}"]
        print(f"  throughput on two threads / sequential, {label}: {gain:4.2f}   (target >= 1.7)")


def time_small_file(rounds: int) -> tuple[Path, float, float, int] | None:
    """ibt on the real 390-record recording against building its channels as plain tables."""
    real = sorted((Path(__file__).resolve().parents[2] / "shared/data/real").glob("*.ibt"))
    if not real:
        return None
    path = str(real[0])
    log = ibt(path)
    columns = [(t.column(0).chunk(0), t.column(1).chunk(0)) for t in log.channels.values()]

    def plain() -> None:
        for time_column, values in columns:
            pa.table([time_column, values], names=["timecodes", "v"])

    results: dict[str, list[float]] = {"ibt": [], "plain": []}
    for _ in range(rounds * 10):
        for name, run in (("ibt", lambda: ibt(path)), ("plain", plain)):
            run()
            start = time.perf_counter()
            run()
            results[name].append(time.perf_counter() - start)
    return (
        real[0],
        statistics.median(results["ibt"]),
        statistics.median(results["plain"]),
        len(columns),
    )


def print_small_file(result: tuple[Path, float, float, int] | None) -> None:
    if result is None:
        print("\nsmall real file: none beside the project, skipped")
        return
    path, ibt_time, plain_time, channels = result
    print(f"\nsmall real file {path.name}: ibt {ibt_time * 1e3:.2f} ms, {channels} plain")
    print(f"  two-column pa.table builds {plain_time * 1e3:.2f} ms, ratio")
    print(f"  {ibt_time / plain_time:4.2f}   (target <= 2.0)")


def print_instructions(path: Path) -> None:
    count = count_instructions(path, ensure_session(WARMUP_RECORDS))
    if count is None:
        print("\ninstructions: valgrind not found")
        return
    records = header_of(path).record_count
    print(f"\ninstructions of one ibt(path) call on {path.name} (callgrind):")
    print(f"  {count:,} = {count / records:,.0f} per record")


def report(path: Path, rounds: int, callgrind: bool) -> None:
    header = header_of(path)
    print_setup(path, header)
    data = path.read_bytes()
    channels = check_identical(path, data)
    print(f"check: ibt(path), ibt(bytes) and the numpy peer agree on all {channels} channels")
    print("       (bit for bit, schemas included) and on the lap table")
    print_times(time_rounds(path, data, rounds), header)
    del data
    _MAPPED.clear()
    print_two_files(time_two_files(path, max(3, rounds // 2)))
    print_small_file(time_small_file(rounds))
    print_peaks(measure_peaks(path, ensure_session(WARMUP_RECORDS)), header)
    print_exact_bytes(path, ensure_session(WARMUP_RECORDS))
    if callgrind:
        print_instructions(path)
    print(f"\nload average at the end: {_load()}")


def main() -> None:
    parser = argparse.ArgumentParser(description="Benchmark ibt against the floor and a numpy peer")
    parser.add_argument("--rounds", type=int, default=11, help="timed rounds (default 11)")
    parser.add_argument("--records", type=int, default=HOUR_RECORDS, help="session length")
    parser.add_argument("--no-callgrind", action="store_true", help="skip the instruction count")
    parser.add_argument("--peak-of", choices=list(CONTENDERS), help=argparse.SUPPRESS)
    parser.add_argument("--bytes-peak", choices=["bytes", "bytearray"], help=argparse.SUPPRESS)
    parser.add_argument("--file", type=Path, help=argparse.SUPPRESS)
    parser.add_argument("--warmup", type=Path, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.bytes_peak:
        print(json.dumps(bytes_peak(args.bytes_peak, args.file, args.warmup)))
        return
    if args.peak_of:
        print(json.dumps(peak_of(args.peak_of, args.file, args.warmup)))
        return
    report(ensure_session(args.records), args.rounds, not args.no_callgrind)


if __name__ == "__main__":
    main()
