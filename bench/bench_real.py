"""Time ``ibt`` on the real recordings kept beside the project (``../shared/data/real/*.ibt``).

Run with ``python bench/bench_real.py [FILE ...]``. For each file it prints the median and the
minimum of many rounds of ``ibt(path)`` and ``ibt(bytes)`` (warm page cache, one untimed call
first), and, when valgrind is installed, the instruction count of one ``ibt(path)`` call measured
with callgrind, the figure that a busy machine does not move. Timings are printed, never asserted.
"""

from __future__ import annotations

import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable
from pathlib import Path

from corvex._corvex_rs import ibt

REAL_DIR = Path(__file__).resolve().parents[2] / "shared" / "data" / "real"


def rounds(function: Callable[[object], object], source: object, n: int) -> list[float]:
    function(source)
    out = []
    for _ in range(n):
        start = time.perf_counter()
        function(source)
        out.append(time.perf_counter() - start)
    return out


def _callgrind(args: list[str], out: Path) -> int | None:
    subprocess.run(
        ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", *args],
        check=True,
        capture_output=True,
        env={**os.environ, "PYTHONHASHSEED": "0"},  # the same work in every run
    )
    match = re.search(r"^(?:summary|totals):\s+(\d+)", out.read_text(), re.M)
    return int(match.group(1)) if match else None


def instructions(path: Path, calls: int = 10, whole: bool = False) -> tuple[int, str] | None:
    """Instructions of one ibt(path) call, counted by callgrind, and how they were counted.

    When the extension carries its symbols (a plain CMake build), only the instructions inside
    its ibt function are counted, over ``calls`` calls. A stripped extension (the pip build) has
    no name to aim at: then two whole runs are counted, one with a single call and one with
    ``calls`` + 1, and the difference is divided, a figure that moves by a few per cent between
    runs of the same build. ``whole`` asks for the second way always: it counts the record
    pass's worker threads too, which the first leaves out.
    """
    if shutil.which("valgrind") is None:
        return None
    script = (
        "import sys, pyarrow, corvex.base\nfrom corvex._corvex_rs import ibt\n"
        "for _ in range(int(sys.argv[2])): ibt(sys.argv[1])\n"
    )
    with tempfile.TemporaryDirectory() as tmp:
        aimed = (
            None
            if whole
            else _callgrind(
                [
                    "--collect-atstart=no",
                    "--toggle-collect=corvex::py::*::ibt(*",
                    sys.executable,
                    "-c",
                    script,
                    str(path),
                    str(calls),
                ],
                Path(tmp) / "aimed",
            )
        )
        if aimed:
            return aimed // calls, "inside ibt"
        totals = []
        for n in (1, calls + 1):
            total = _callgrind([sys.executable, "-c", script, str(path), str(n)], Path(tmp) / "w")
            if total is None:
                return None
            totals.append(total)
    return (totals[1] - totals[0]) // calls, "whole runs, difference"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("files", nargs="*", type=Path)
    parser.add_argument("--rounds", type=int, default=200)
    parser.add_argument("--no-callgrind", action="store_true")
    parser.add_argument("--calls", type=int, default=10, help="calls counted by callgrind")
    parser.add_argument(
        "--whole-runs", action="store_true", help="count whole runs (worker threads included)"
    )
    args = parser.parse_args()
    files = args.files or sorted(REAL_DIR.glob("*.ibt"))
    if not files:
        sys.exit(f"no IBT file given and none in {REAL_DIR}")
    for path in files:
        data = path.read_bytes()
        print(f"{path.name} ({len(data)} bytes)")
        calls = {"ibt(path)": (ibt, str(path)), "ibt(bytes)": (ibt, data)}
        for label, (function, source) in calls.items():
            times = rounds(function, source, args.rounds)
            print(
                f"  {label:<11} median {statistics.median(times) * 1e3:7.3f} ms  "
                f"min {min(times) * 1e3:7.3f} ms  ({args.rounds} rounds)"
            )
        if not args.no_callgrind:
            counted = instructions(path, args.calls, args.whole_runs)
            if counted is not None:
                print(f"  ibt(path)   {counted[0]:,} instructions (callgrind, {counted[1]})")


if __name__ == "__main__":
    main()
