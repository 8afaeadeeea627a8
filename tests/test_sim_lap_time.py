"""The simulator's own lap time in lap_summary, and picking a lap by session on the command line.

Files come from the project's writer at 10 records per second; the expected lap times are the
values written into LapLastLapTime, chosen to be exact as single-precision decimals.
"""

from __future__ import annotations

import csv
from pathlib import Path

import pytest

import corvex
from corvex.cli import main
from corvex.testing import DOUBLE, FLOAT, INT, Var, build_ibt

pytest.importorskip("corvex._corvex_rs")

HZ = 10


def session(laps: list[int], last_lap_time: list[float] | None) -> bytes:
    n = len(laps)
    variables = [Var("SessionTime", DOUBLE), Var("Lap", INT), Var("Speed", FLOAT)]
    columns: dict[str | bytes | int, list[float] | list[int]] = {
        "SessionTime": [100.0 + i / HZ for i in range(n)],
        "Lap": laps,
        "Speed": [float(i) for i in range(n)],
    }
    if last_lap_time is not None:
        variables.append(Var("LapLastLapTime", FLOAT, unit="s"))
        columns["LapLastLapTime"] = last_lap_time
    return build_ibt(variables, columns)


def runs(*pairs: tuple[int, int]) -> list[int]:
    """Lap values: ``(lap, records)`` pairs laid end to end."""
    return [lap for lap, count in pairs for _ in range(count)]


@pytest.mark.parametrize(
    "laps, published, expected",
    [
        # published three records into the next lap, kept until the next one
        (
            runs((1, 20), (2, 20), (3, 20)),
            [-1.0] * 23 + [30.5] * 20 + [31.25] * 17,
            [30.5, 31.25, None],
        ),
        # published on the first record of the next lap
        (
            runs((4, 20), (5, 20), (6, 3)),
            [12.0] * 20 + [29.125] * 20 + [28.5] * 3,
            [29.125, 28.5, None],
        ),
        # the lap after a timed lap takes the same time: the value stays two seconds
        (runs((1, 20), (2, 20), (3, 20)), [-1.0] * 22 + [30.5] * 38, [30.5, 30.5, None]),
        # ... but a next lap of half a second without a new value tells nothing
        (runs((1, 20), (2, 20), (3, 5)), [-1.0] * 22 + [30.5] * 23, [30.5, None, None]),
        # the counter went back to 0: no lap was completed, and the old value is nobody's
        (runs((1, 20), (0, 20), (1, 20)), [-1.0] * 22 + [30.5] * 38, [None, None, None]),
        # a jump in the counter is no completed lap
        (
            runs((1, 20), (3, 20), (4, 20)),
            [-1.0] * 22 + [30.5] * 20 + [33.75] * 18,
            [None, 33.75, None],
        ),
        # -1 and 0 are "no time"
        (
            runs((1, 20), (2, 20), (3, 20)),
            [5.0] * 20 + [-1.0] * 20 + [0.0] * 20,
            [None, None, None],
        ),
    ],
    ids=["delayed", "at-once", "equal-times", "short-next-lap", "reset", "jump", "no-time"],
)
def test_sim_lap_time_is_read_from_the_next_lap(laps, published, expected):
    log = corvex.open(session(laps, published))
    summary = log.lap_summary
    assert summary.column("sim_lap_time").to_pylist() == expected
    # the tick-based time is still there, from the records
    starts = [100_000 + i * 100 for i in range(len(laps)) if i == 0 or laps[i] != laps[i - 1]]
    ends = starts[1:] + [100_000 + (len(laps) - 1) * 100]
    assert summary.column("lap_time").to_pylist() == [(e - s) / 1000 for s, e in zip(starts, ends)]


def test_no_sim_lap_time_column_without_the_channel():
    log = corvex.open(session(runs((1, 5), (2, 5)), None))
    assert "sim_lap_time" not in log.lap_summary.column_names


# -- --session on the command line -----------------------------------------------------------

RESET = runs((0, 4), (1, 6), (2, 4), (0, 3), (1, 5), (2, 4))  # lap 1 in sessions 0 and 1


@pytest.fixture
def reset_file(tmp_path: Path) -> Path:
    path = tmp_path / "reset.ibt"
    path.write_bytes(session(RESET, None))
    return path


def lap_records(lap: int, which: int) -> list[int]:
    """Indices of the records of the ``which``-th run of lap value ``lap``."""
    starts = [i for i in range(len(RESET)) if RESET[i] == lap and (i == 0 or RESET[i - 1] != lap)]
    first = starts[which]
    stop = first
    while stop < len(RESET) and RESET[stop] == lap:
        stop += 1
    return list(range(first, stop))


@pytest.mark.parametrize("session_arg", [0, 1])
def test_export_picks_the_lap_of_a_session(capsys, tmp_path, reset_file, session_arg):
    out = tmp_path / "lap.csv"
    args = ["export", str(reset_file), "-o", str(out), "--channels", "Speed"]
    assert main([*args, "--lap", "1", "--session", str(session_arg)]) == 0
    with open(out, newline="") as handle:
        rows = list(csv.reader(handle))[1:]
    assert [float(r[1]) for r in rows] == [float(i) for i in lap_records(1, session_arg)]


@pytest.mark.parametrize(
    "extra, message",
    [
        (["--lap", "1"], "lap 1 occurs in sessions 0, 1; pick one with --session"),
        (["--lap", "1", "--session", "2"], "no lap 1 in session 2"),
        (["--session", "1"], "--session needs --lap"),
    ],
)
def test_export_session_problems(capsys, tmp_path, reset_file, extra, message):
    args = ["export", str(reset_file), "-o", str(tmp_path / "x.csv"), *extra]
    assert main(args) == 1
    assert message in capsys.readouterr().err


def test_plot_compares_laps_of_two_sessions(capsys, tmp_path, reset_file):
    pytest.importorskip("matplotlib")
    base = [
        "plot",
        str(reset_file),
        "--channels",
        "Speed",
        "--x",
        "time",
        "-o",
        str(tmp_path / "p.png"),
    ]
    assert main([*base, "--lap", "1", "--session", "0", "--vs-lap", "1"]) == 1
    assert "pick one with --vs-session" in capsys.readouterr().err
    assert main([*base, "--lap", "1", "--session", "0", "--vs-lap", "1", "--vs-session", "1"]) == 0
