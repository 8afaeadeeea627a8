"""Findings of the atheris harness (fuzz/python_fuzzer.py) in the LogFile layer, kept as tests."""

from __future__ import annotations

import subprocess
import sys
import textwrap

import pyarrow as pa
import pyarrow.compute as pc
import pytest

import corvex
from corvex.analysis import track_metres
from corvex.testing import DOUBLE, FLOAT, INT, Var, build_ibt


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
    import os, resource, sys
    import corvex
    if "libasan" not in os.environ.get("LD_PRELOAD", ""):  # AddressSanitizer maps far more
        resource.setrlimit(resource.RLIMIT_DATA, (2 << 30, resource.RLIM_INFINITY))
    lap = corvex.open(sys.argv[1]).lap_at(0)
    try:
        lap.on_distance()
    except ValueError as e:
        sys.exit(0 if "LapDist" in str(e) else 2)  # refused: a lap of 2**31 m is no lap
    except MemoryError:
        sys.exit(3)  # a grid of 2**31 points was asked for
    sys.exit(4)
"""


def test_on_distance_of_an_absurd_lap_distance_does_not_exhaust_memory(tmp_path):
    # Without a track length the grid runs to the largest LapDist: 2**31 m at 1 m steps is a
    # grid of 16 GiB per column. Run under a 2 GiB data limit, so a regression is a MemoryError.
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


def test_the_fastest_lap_of_a_session_that_repeats_its_number_is_its_own_row(tmp_path):
    # The lap counter runs 1, 2, 1, 2 in one session (no 0, so no new session): the number
    # alone names two rows, the fastest lap names one.
    from test_analysis import RATE, VARIABLES, constant, drive_columns, session_info

    columns = drive_columns([constant(s) for s in (50.0, 40.0, 52.0, 45.0)], first_lap=0)
    columns["Lap"] = [1 + n % 2 for n in columns["Lap"]]
    log = corvex.open(build_ibt(VARIABLES, columns, session_info=session_info(), tick_rate=RATE))
    assert log.laps.column("num").to_pylist() == [1, 2, 1, 2]
    assert log.laps.column("session").to_pylist() == [0, 0, 0, 0]
    durations = pc.subtract(log.laps.column("end_time"), log.laps.column("start_time"))
    valid = log.lap_summary.column("valid").to_pylist()
    row = min((r for r in range(4) if valid[r]), key=lambda r: durations[r].as_py())
    fastest = log.fastest_lap
    assert fastest == log.laps.column("num")[row].as_py()
    with pytest.raises(ValueError, match="occurs 2 times"):
        log.lap(int(fastest))
    picked = log.lap(fastest)
    assert picked.laps.to_pylist() == log.laps.slice(row, 1).to_pylist()


def test_on_distance_keeps_the_track_length_when_lapdistpct_gives_no_length():
    # The one record in the middle of the lap by LapDistPct has LapDist 0: the length the two
    # channels give is 0 m, which once divided by zero. The session info's 2 km stands instead,
    # and the lap driven at 50 m/s comes out as distance / 50 s.
    from test_analysis import LENGTH, session_info

    log = corvex.open(
        build_ibt(
            [Var("SessionTime", DOUBLE), Var("Lap", INT), Var("LapDist", FLOAT)]
            + [Var("LapDistPct", FLOAT)],
            {
                "SessionTime": [0.0, 10.0, 20.0, 30.0],
                "Lap": [1, 1, 1, 1],
                "LapDist": [0.0, 500.0, 1000.0, 1500.0],
                "LapDistPct": [0.5, 0.0, 0.0, 0.0],
            },
            session_info=session_info(),
        )
    )
    assert track_metres(log.metadata["track_length"]) == LENGTH
    resampled = log.lap_at(0).on_distance()
    distance = resampled.column("distance").to_numpy()
    assert distance.tolist() == list(range(0, 1501))
    assert max(abs(resampled.column("time").to_numpy() - distance / 50.0)) < 1e-9
