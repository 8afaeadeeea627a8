"""Time the lap analysis on the one-hour benchmark session (no targets, figures only).

    python bench/bench_analysis.py [--session PATH] [--rounds 5]

The session is the one of ``make bench`` (generated into bench/data/ when missing). Its laps
are 90 s of made-up channels whose Speed does not add up to the track length, so none of them
is valid: the figures are those of the work, not of a real driver's laps.
"""

from __future__ import annotations

import statistics
import sys
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

import corvex

sys.path.insert(0, str(Path(__file__).resolve().parent))


def timed(label: str, work: Callable[[], Any], rounds: int) -> None:
    seconds = []
    for _ in range(rounds):
        start = time.perf_counter()
        work()
        seconds.append(time.perf_counter() - start)
    print(
        f"{label:<48} median {statistics.median(seconds) * 1000:8.1f} ms"
        f"   min {min(seconds) * 1000:8.1f} ms"
    )


def main() -> None:
    from make_session import open_session_from_arguments

    log, args = open_session_from_arguments(__doc__.splitlines()[0])
    lap, other = log.lap(5), log.lap(6)
    timed("lap_summary (valid, sectors)", lambda: log.lap_summary, args.rounds)
    timed("fastest_lap", lambda: log.fastest_lap, args.rounds)
    timed("lap(5).on_distance(1.0), all channels", lambda: lap.on_distance(1.0), args.rounds)
    timed(
        "lap(5).on_distance(1.0, Speed,Throttle,Brake)",
        lambda: lap.on_distance(1.0, ["Speed", "Throttle", "Brake"]),
        args.rounds,
    )
    timed("corvex.delta(lap 5, lap 6)", lambda: corvex.delta(lap, other), args.rounds)


if __name__ == "__main__":
    main()
