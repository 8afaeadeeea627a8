"""Benchmark the MoTeC export against reading the same file.

Run with ``make bench-motec`` (or ``python bench/bench_motec.py``). On the one-hour session of
``bench/make_session.py`` (generated once, then cached in ``bench/data/``) it times, in this
process with a warm page cache, rounds in which these take turns:

- read: ``ibt(path)``, the file's pages in the page cache;
- write: ``write_motec`` of every channel of the log read once before the rounds, to a new
  ``.ld``/``.ldx`` pair in ``bench/data/`` (the disk the session is on; the pages go to the page
  cache and the pair is deleted before the kernel writes them back);
- write (tmpfs): the same into a memory file system (``/dev/shm``), without the disk's file system;
- read + write: ``corvex.open`` and ``write_motec``, what ``corvex export FILE -o OUT.ld`` does.

Each timed call follows an untimed call of the same contender, and the files a call wrote are
deleted, untimed, after it. Before timing, the written file is read back once with
``corvex.motec.read_ld`` and every channel is compared with the log. Prints the medians and the
ratios to the read; nothing is asserted.
"""

from __future__ import annotations

import argparse
import gc
import os
import platform
import statistics
import sys
import tempfile
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from corvex._corvex_rs import ibt  # noqa: E402
from make_session import DATA_DIR, HOUR_RECORDS, ensure_session  # noqa: E402

import corvex  # noqa: E402
from corvex.motec import read_ld, write_motec  # noqa: E402

TARGET = 3.0  # export time at most this many times the read time


def check_round_trip(log: Any, out: Path) -> None:
    """Fails loudly unless every channel reads back as written (floats by their bits)."""
    written = read_ld(out)
    problems = []
    for name, channel in zip(log.channels, written.channels):
        values = log.channels[name].column(1).to_numpy()
        if values.dtype == np.float64:
            values = values.astype(np.float32)
        if values.dtype.kind == "f":
            same = np.array_equal(values.view(f"u{values.itemsize}"), channel.data.view("u4"))
        else:
            stored = channel.data.astype(np.int64) & 0xFFFFFFFF
            same = np.array_equal(values.astype(np.int64) & 0xFFFFFFFF, stored)
        if not same:
            problems.append(name)
    if len(written.channels) != len(log.channels) or problems:
        raise SystemExit(f"the .ld file does not hold the log's values: {problems}")


def time_rounds(runs: dict[str, Callable[[], Any]], rounds: int) -> dict[str, list[float]]:
    """Seconds per call; each timed call follows an untimed call of the same contender."""
    times: dict[str, list[float]] = {name: [] for name in runs}
    for _ in range(rounds):
        for name, run in runs.items():
            _discard(run())
            gc.collect()
            gc.disable()
            start = time.perf_counter()
            result = run()
            elapsed = time.perf_counter() - start
            gc.enable()
            _discard(result)
            times[name].append(elapsed)
    return times


def _discard(result: Any) -> None:
    """Delete the files a write returned; drop anything else."""
    if isinstance(result, list):
        for written in result:
            Path(written).unlink(missing_ok=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--records", type=int, default=HOUR_RECORDS)
    parser.add_argument("--rounds", type=int, default=11)
    args = parser.parse_args()

    path = ensure_session(args.records)
    out = DATA_DIR / f"{path.stem}.ld"
    log = corvex.open(path)
    _discard(write_motec(log, out))  # a first call, so that the check below reads a fresh file
    written = write_motec(log, out)
    check_round_trip(log, out)
    size = out.stat().st_size
    _discard(written)
    print(f"session: {path.name}, {log.record_count:,} records x {len(log.channels)} channels")
    print(f"output:  {out.name}, {size:,} bytes, checked with read_ld")

    with tempfile.TemporaryDirectory(dir="/dev/shm" if Path("/dev/shm").is_dir() else None) as tmp:
        in_memory = Path(tmp) / out.name
        runs = {
            "read": lambda: ibt(path),
            "write": lambda: write_motec(log, out),
            "write (tmpfs)": lambda: write_motec(log, in_memory),
            "read + write": lambda: write_motec(corvex.open(path), out),
        }
        load = os.getloadavg()[0]
        times = time_rounds(runs, args.rounds)
    medians = {name: statistics.median(values) for name, values in times.items()}
    print(
        f"\n{platform.machine()}, {os.cpu_count()} cores, Python {platform.python_version()}, "
        f"load {load:.2f} before, {os.getloadavg()[0]:.2f} after; median of {args.rounds} rounds"
    )
    print(f"{'':16}{'median':>10}{'min .. max':>24}")
    for name, values in times.items():
        spread = f"{min(values) * 1e3:.1f} .. {max(values) * 1e3:.1f} ms"
        print(f"{name:16}{medians[name] * 1e3:>7.1f} ms{spread:>24}")
    print()
    for name in ("write", "write (tmpfs)", "read + write"):
        ratio = medians[name] / medians["read"]
        print(f"{name + ' / read':22} {ratio:5.2f}  (target <= {TARGET})")
    print(f"write throughput: {size / medians['write'] / 1e6:,.0f} MB/s")


if __name__ == "__main__":
    main()
