"""Time parse_session_info on a 60-car race's session info (target: at most 10 ms).

The text comes from the project's writer (race_session_info: practice, qualifying and race
results, 60 drivers, radio, cameras, a car setup). Prints the median and the range of the
rounds, for the text decoded from UTF-8 and from Windows-1252 bytes, and the whole path a user
takes: LogFile.session_info on a file read with corvex.open.
"""

from __future__ import annotations

import argparse
import statistics
import sys
import tempfile
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

import corvex
from corvex.session_info import decode_session_info, loader_name, parse_session_info
from corvex.testing import DOUBLE, Var, build_ibt, race_session_info

TARGET_MS = 10.0


def timed(call: Callable[[], Any], rounds: int) -> list[float]:
    call()  # warm: imports, compiled patterns
    out = []
    for _ in range(rounds):
        start = time.perf_counter()
        call()
        out.append((time.perf_counter() - start) * 1000.0)
    return out


def report(label: str, times: list[float]) -> float:
    median = statistics.median(times)
    print(f"{label:<44} median {median:6.2f} ms   min {min(times):6.2f}   max {max(times):6.2f}")
    return median


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=51)
    parser.add_argument("--cars", type=int, default=60)
    args = parser.parse_args()

    names = [(f"Driver Ünïcødé {i:02d}", f"Team «{i % 20}» #{i}") for i in range(args.cars)]
    text, tree = race_session_info(names, cars=args.cars)
    latin = text.encode("cp1252")
    print(
        f"{args.cars} cars: {len(text):,} characters, {text.count(chr(10)):,} lines; "
        f"PyYAML loader {loader_name()}; Python {sys.version.split()[0]}"
    )
    assert parse_session_info(text) == tree, "the parser does not give the written tree"
    median = report(
        "parse_session_info(text)", timed(lambda: parse_session_info(text), args.rounds)
    )
    report(
        "decode (Windows-1252) + parse",
        timed(lambda: parse_session_info(decode_session_info(latin)), args.rounds),
    )
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "race.ibt"
        path.write_bytes(
            build_ibt([Var("SessionTime", DOUBLE)], {"SessionTime": [0.0]}, session_info=latin)
        )
        report(
            "corvex.open(path).session_info",
            timed(lambda: corvex.open(path).session_info, args.rounds),
        )
    verdict = "met" if median <= TARGET_MS else "NOT met"
    print(f"target: parse at most {TARGET_MS:.0f} ms: {verdict}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
