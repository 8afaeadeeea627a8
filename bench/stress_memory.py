"""Memory over thousands of ibt calls on good and bad files.

Usage: python bench/stress_memory.py [--calls N] [--every K]

Cycles through good files (bytes, path, file object, with and without a progress callback)
and bad ones (cut, broken header, a lap read past the data region, a callback that raises),
and prints the resident set size every K calls. Memory that stays flat after the first
rounds means no call leaks what it allocates, whether it succeeds or fails.
"""

from __future__ import annotations

import argparse
import io
import os
import sys
import tempfile
from collections.abc import Callable
from pathlib import Path
from typing import Any

from corvex._corvex_rs import ibt

from corvex.testing import CHAR, DOUBLE, Var, build_ibt, keep_records, layout, sample_session


def rss_mib() -> float:
    """The current resident set size, from /proc."""
    with open("/proc/self/statm") as statm:
        pages = int(statm.read().split()[1])
    return pages * os.sysconf("SC_PAGE_SIZE") / 2**20


def raise_at_third(done: int, total: int) -> None:
    if done == 3:
        raise KeyError("stop")


def count_progress(done: int, total: int) -> None:
    pass


def workload(directory: Path) -> list[tuple[str, Callable[[], Any]]]:
    """Named calls; the good ones return a LogFile, the bad ones raise."""
    good = keep_records(sample_session(), 3600)  # about a minute at 60 Hz, 23 channels
    path = directory / "good.ibt"
    path.write_bytes(good)
    overrun = build_ibt(
        [Var("SessionTime", DOUBLE), Var("Lap", CHAR)], {"SessionTime": [0.0, 1.0], "Lap": [1, 2]}
    )
    bad_header = bytearray(good)
    layout.patch_field(bad_header, "num_vars", 2**31 - 1)
    return [
        ("good bytes", lambda: ibt(good)),
        ("good path", lambda: ibt(path)),
        ("good file object", lambda: ibt(io.BytesIO(good))),
        ("good with progress", lambda: ibt(good, count_progress)),
        ("cut file", lambda: ibt(good[: len(good) // 2])),
        ("huge num_vars", lambda: ibt(bytes(bad_header))),
        ("lap read past the region", lambda: ibt(overrun)),
        ("progress raises", lambda: ibt(good, raise_at_third)),
        ("missing path", lambda: ibt(directory / "missing.ibt")),
    ]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=4000)
    parser.add_argument("--every", type=int, default=500)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        calls = workload(Path(tmp))
        outcomes: dict[str, set[str]] = {name: set() for name, _ in calls}
        print(f"{'calls':>7} {'rss MiB':>9}")
        print(f"{0:>7} {rss_mib():>9.1f}")
        samples = []
        for i in range(1, args.calls + 1):
            name, call = calls[i % len(calls)]
            try:
                outcomes[name].add(type(call()).__name__)
            except (RuntimeError, OSError, KeyError) as error:
                outcomes[name].add(type(error).__name__)
            if i % args.every == 0:
                samples.append(rss_mib())
                print(f"{i:>7} {samples[-1]:>9.1f}")
    for name, kinds in outcomes.items():
        print(f"  {name}: {', '.join(sorted(kinds))}")
    if len(samples) >= 2:
        print(f"growth after the first {args.every} calls: {samples[-1] - samples[0]:+.1f} MiB")
    return 0


if __name__ == "__main__":
    sys.exit(main())
