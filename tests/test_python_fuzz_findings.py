"""Findings of the atheris harness (fuzz/python_fuzzer.py) in the LogFile layer, kept as tests.

Each is marked xfail(strict=True) until the module it lives in is fixed: the mark then has to
go, since a strict xfail that passes fails the run.
"""

from __future__ import annotations

import subprocess
import sys
import textwrap

import pyarrow as pa
import pytest

import corvex
from corvex.writer import DOUBLE, FLOAT, INT, Var, build_ibt


@pytest.mark.xfail(strict=True, reason="lap_summary: sim_lap_time column of length 1, no laps")
def test_lap_summary_of_a_file_without_laps_but_with_last_lap_times():
    data = build_ibt(
        [Var("SessionTime", DOUBLE), Var("LapLastLapTime", FLOAT)],
        {"SessionTime": [0.0, 0.1], "LapLastLapTime": [1.0, 2.0]},
    )
    log = corvex.open(data)
    assert log.laps.num_rows == 0
    summary = log.lap_summary
    assert isinstance(summary, pa.Table) and summary.num_rows == 0


ON_DISTANCE = """
    import resource, sys
    import corvex
    resource.setrlimit(resource.RLIMIT_DATA, (2 << 30, resource.RLIM_INFINITY))
    lap = corvex.open(sys.argv[1]).lap_at(0)
    try:
        lap.on_distance()
    except ValueError:
        sys.exit(0)  # refused: a lap of 2**31 m is no lap
    except MemoryError:
        sys.exit(3)  # a grid of 2**31 points was asked for
    sys.exit(0)
"""


@pytest.mark.xfail(strict=True, reason="on_distance: grid as long as any LapDist value asks")
def test_on_distance_of_an_absurd_lap_distance_does_not_exhaust_memory(tmp_path):
    # Without a track length the grid runs to the largest LapDist: 2**31 m at 1 m steps is a
    # grid of 16 GiB per column. Run under a 2 GiB data limit, so the failure is MemoryError.
    path = tmp_path / "far.ibt"
    path.write_bytes(
        build_ibt(
            [Var("SessionTime", DOUBLE), Var("Lap", INT), Var("LapDist", FLOAT)],
            {"SessionTime": [0.0, 0.1, 0.2], "Lap": [1, 1, 1], "LapDist": [0.0, 1e6, 2.0**31]},
        )
    )
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(ON_DISTANCE), str(path)], timeout=120
    )
    assert done.returncode == 0
