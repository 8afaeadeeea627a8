"""Time the track model, the corner table and `corvex map` (figures against their targets).

    python bench/bench_track.py [--session PATH] [--rounds 5]

- building the track model of the one-hour bench session (target 0.5 s): from its valid laps,
  as ``log.track`` does, and from all its full laps (38 of its 40),
- the corner table of one lap against a reference, both put on that model (target 20 ms),
- ``corvex map`` end to end on the demo's sample session, a fresh process each time, from
  start-up to the PNG written (target 1.5 s).

Timings are printed with their targets, never asserted; the median of the rounds counts. The
one-hour session is the one of ``make bench`` (generated into bench/data/ when missing).
"""

from __future__ import annotations

import resource
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

import corvex
from corvex.corner_analysis import lap_table
from corvex.track import build_track, session_track

sys.path.insert(0, str(Path(__file__).resolve().parent))


def _cpu() -> float:
    """CPU seconds of this process and of the children it waited for."""
    own = resource.getrusage(resource.RUSAGE_SELF)
    children = resource.getrusage(resource.RUSAGE_CHILDREN)
    return own.ru_utime + own.ru_stime + children.ru_utime + children.ru_stime


def timed(label: str, work: Callable[[], Any], rounds: int, target: float) -> float:
    """Median wall and CPU time of ``work``; the target is held against the wall time, and the
    CPU time tells what a machine shared with other work made of it."""
    wall, cpu = [], []
    for _ in range(rounds):
        start, start_cpu = time.perf_counter(), _cpu()
        work()
        wall.append(time.perf_counter() - start)
        cpu.append(_cpu() - start_cpu)
    median = statistics.median(wall)
    verdict = "ok" if median <= target else "OVER TARGET"
    print(
        f"{label:<50} wall {median * 1000:7.1f} ms (min {min(wall) * 1000:7.1f})"
        f"  cpu {statistics.median(cpu) * 1000:7.1f} ms  target {target * 1000:5.0f} ms  {verdict}"
    )
    return median


def main() -> None:
    from make_session import open_session_from_arguments

    log, args = open_session_from_arguments(__doc__.splitlines()[0])

    def build() -> Any:
        # A fresh LogFile view each round, so that no lap summary is kept from the last.
        fresh = corvex.base.LogFile(log.channels, log.laps, log.metadata, log.source)
        return session_track(fresh)

    model = build()
    print(f"  {model!r}")
    timed("track model of the session (its valid laps)", build, args.rounds, 0.5)
    full = [
        row for row, kind in enumerate(log.laps.column("lap_type").to_pylist()) if kind == "full"
    ]

    def build_all() -> Any:
        names = ["Lat", "Lon", "LapDist", "LapDistPct"]
        return build_track([log.lap_at(row).to_table(names) for row in full])

    print(f"  {build_all()!r}")
    timed(f"track model of all {len(full)} full laps", build_all, args.rounds, 0.5)

    lap, reference = log.lap(5), log.lap(6)
    timed(
        "corner table: lap 5 against lap 6",
        lambda: lap.corners(reference, track=model),
        max(args.rounds, 20),
        0.020,
    )
    ours, theirs = lap_table(lap), lap_table(reference)
    from corvex.corner_analysis import corner_table

    timed(
        "  of which: from the wide tables on",
        lambda: corner_table(ours, theirs, model),
        max(args.rounds, 20),
        0.020,
    )

    with tempfile.TemporaryDirectory() as folder:
        from corvex.testing import write_sample

        sample = write_sample(Path(folder) / "sample.ibt")
        command = [sys.executable, "-m", "corvex", "map", str(sample), "-o", f"{folder}/map.png"]

        def draw() -> None:
            subprocess.run(command, check=True, stdout=subprocess.DEVNULL)

        draw()  # the first run warms the page cache and matplotlib's font cache
        timed("corvex map sample.ibt -o map.png (a new process)", draw, args.rounds, 1.5)


if __name__ == "__main__":
    main()
