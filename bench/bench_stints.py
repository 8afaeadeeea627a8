"""Time the stints, the fuel table and the rest of ``corvex stints`` on one-hour sessions.

    python bench/bench_stints.py [--rounds 11]

Two sessions, both of 60 Hz and an hour: the one of ``make bench`` (bench/make_session.py: its
made-up channels give one stop, at the end) and a race of 39.5 laps of 90 s with two stops,
written with :func:`corvex.testing.race.race_session` (cached in bench/data/ like the other).
For each it prints the median and the best of ``--rounds`` rounds of ``log.stints`` (the lap
summary included, as a caller pays for it), of the fuel table (:func:`corvex.fuel.lap_fuel` of
the lap summary the caller has), and their sum, the figure the target of 50 ms applies to; then
the parts by themselves. Figures are printed, never asserted.
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))
from make_session import DATA_DIR, ensure_session  # noqa: E402

import corvex  # noqa: E402
from corvex.fuel import fuel_to_finish, lap_fuel  # noqa: E402
from corvex.pits import pit_stops  # noqa: E402
from corvex.stints import stint_table  # noqa: E402
from corvex.testing.race import Stop, race_session  # noqa: E402
from corvex.tyres import tyre_readings  # noqa: E402

TARGET_MS = 50.0
RACE_VERSION = 1  # bump when the race below changes


def ensure_race() -> Path:
    """The one-hour race with two stops, written first when it is not cached yet."""
    path = DATA_DIR / f"race_v{RACE_VERSION}.ibt"
    if not path.exists():
        race = race_session(
            laps=39.5,
            lap_seconds=90.0,
            tick_rate=60,
            fuel_start=60.0,
            session_laps=45,
            stops=[Stop(13, 30.0), Stop(26, 30.0)],
        )
        path.parent.mkdir(parents=True, exist_ok=True)
        partial = path.with_suffix(f".tmp{os.getpid()}")
        partial.write_bytes(race.data)
        partial.replace(path)  # a half-written file is never taken for a finished one
    return path


def timed(work: Callable[[], Any], rounds: int) -> list[float]:
    work()  # warm: imports and first-use caches are not what is measured
    seconds = []
    for _ in range(rounds):
        start = time.perf_counter()
        work()
        seconds.append(time.perf_counter() - start)
    return seconds


def show(label: str, seconds: list[float]) -> None:
    print(
        f"  {label:<44} median {statistics.median(seconds) * 1000:7.1f} ms"
        f"   best {min(seconds) * 1000:7.1f} ms"
    )


def fresh(log: corvex.LogFile) -> corvex.LogFile:
    """The log with its lap timing forgotten, as a newly opened log has it: the log keeps the
    lap summary once built, and the first build is what a command pays."""
    log.__dict__.pop("_timing", None)
    return log


def bench(path: Path, rounds: int) -> None:
    log = corvex.open(str(path))
    summary, ranges = log.lap_summary, log.lap_record_ranges()
    stops = pit_stops(log.channels, summary, ranges)
    print(
        f"{path.name}: {log.record_count:,} records, {log.laps.num_rows} laps, "
        f"{stops.num_rows} stops, {log.stints.num_rows} stints"
    )
    stints = timed(lambda: fresh(log).stints, rounds)
    fuel = timed(lambda: lap_fuel(log.channels, summary, ranges), rounds)
    together = [a + b for a, b in zip(stints, fuel)]
    show("log.stints (lap summary included)", stints)
    show("fuel table: lap_fuel", fuel)
    show("together", together)
    verdict = "within" if statistics.median(together) * 1000 <= TARGET_MS else "OVER"
    print(f"  {verdict} the target of {TARGET_MS:.0f} ms for the two together (median)")
    fuel_table = lap_fuel(log.channels, summary, ranges)
    show("  of which log.lap_summary", timed(lambda: fresh(log).lap_summary, rounds))
    show(
        "  and stint_table of that summary",
        timed(lambda: stint_table(log.channels, summary, ranges), rounds),
    )
    show("pit_stops", timed(lambda: pit_stops(log.channels, summary, ranges), rounds))
    show("tyre_readings", timed(lambda: tyre_readings(log.channels, stops), rounds))
    show(
        "fuel_to_finish",
        timed(lambda: fuel_to_finish(log.channels, summary, fuel_table, log.session_info), rounds),
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=11)
    args = parser.parse_args()
    for path in (ensure_session(), ensure_race()):
        bench(path, args.rounds)


if __name__ == "__main__":
    main()
