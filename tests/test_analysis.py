"""Lap analysis on sessions whose motion is known in closed form.

Each session is written by the project's writer from a piecewise constant-speed drive: every
lap is a list of (metres, m/s) segments, so the time at any distance is a sum of quotients and
the expected delta, sector times and travelled distance need no code under test.
"""

from __future__ import annotations

import math

import numpy as np
import pyarrow.parquet as pq
import pytest

import corvex
from corvex import delta
from corvex.testing import BOOL, DOUBLE, FLOAT, INT, Var, build_ibt
from corvex.units import display_unit

pytest.importorskip("corvex._corvex_rs")

LENGTH = 2000.0  # metres; the session info says "2.00 km"
RATE = 60
TICK = 1.0 / RATE
SECTORS = (0.0, 0.3, 0.75)

VARIABLES = [
    Var("SessionTime", DOUBLE, unit="s"),
    Var("Lap", INT),
    Var("LapDist", FLOAT, unit="m"),
    Var("LapDistPct", FLOAT, unit="%"),
    Var("OnPitRoad", BOOL),
    Var("Speed", FLOAT, unit="m/s"),
    Var("Gear", INT),
]


def session_info(track: str = "test ring", sectors=SECTORS) -> str:
    lines = ["---", "WeekendInfo:", f" TrackName: {track}", f" TrackLength: {LENGTH / 1000:.2f} km"]
    lines += ["", "SplitTimeInfo:", " Sectors:"]
    for n, start in enumerate(sectors):
        lines += [f" - SectorNum: {n}", f"   SectorStartPct: {start:.6f}"]
    return "\n".join([*lines, "...", ""])


def drive(laps: list[list[tuple[float, float]]], **options) -> bytes:
    """The file of :func:`drive_columns`."""
    track = options.pop("track", "test ring")
    sectors = options.pop("sectors", SECTORS)
    columns = drive_columns(laps, **options)
    return build_ibt(VARIABLES, columns, session_info=session_info(track, sectors), tick_rate=RATE)


def drive_columns(
    laps: list[list[tuple[float, float]]],
    *,
    phase: float = 0.37,
    lag: int = 0,
    first_lap: int = 1,
    start: float = 0.0,
    pit: tuple[float, float] | None = None,
    jumps: dict[int, float] | None = None,
    speed_cap: float = math.inf,
) -> dict[str, list]:
    """A session driving ``laps`` (segments of (metres, m/s) adding up to the track length).

    The car starts ``start`` metres past the line; records fall ``phase`` ticks after whole
    ticks; the lap counter switches ``lag`` records late (early when negative); ``pit`` is a
    (from, to) range of total distance on pit road; ``jumps`` moves the reported distance of a
    record (not the car) by some metres, like a reset; the Speed channel reads at most
    ``speed_cap``.
    """
    ends_x, ends_t, speeds = [], [], []
    x, t = 0.0, 0.0
    for lap in laps:
        for metres, speed in lap:
            x += metres
            t += metres / speed
            ends_x.append(x)
            ends_t.append(t)
            speeds.append(speed)
    ends_x, ends_t, speeds = map(np.array, (ends_x, ends_t, speeds))
    t_start = np.interp(start, np.concatenate(([0.0], ends_x)), np.concatenate(([0.0], ends_t)))
    ticks = t_start + (np.arange(int((ends_t[-1] - t_start) * RATE)) + phase) * TICK
    seg = np.searchsorted(ends_t, ticks, side="right")
    x = ends_x[seg] - (ends_t[seg] - ticks) * speeds[seg]
    reported = x.copy()
    for record, metres in (jumps or {}).items():
        reported[record] += metres
    counted = np.roll(x, lag)
    counted[: max(lag, 0)] = x[0]
    if lag < 0:
        counted[lag:] = x[-1]
    return {
        "SessionTime": list(100.0 + ticks),
        "Lap": [first_lap + int(v // LENGTH) for v in counted],
        "LapDist": list(reported % LENGTH),
        "LapDistPct": list((reported % LENGTH) / LENGTH),
        "OnPitRoad": [bool(pit is not None and pit[0] <= v <= pit[1]) for v in x],
        "Speed": list(np.minimum(speeds[seg], speed_cap)),
        "Gear": [1 + int(v % LENGTH >= LENGTH / 2) for v in x],
    }


def constant(speed: float) -> list[tuple[float, float]]:
    return [(LENGTH, speed)]


def open_session(tmp_path, data: bytes, name: str = "s.ibt") -> corvex.LogFile:
    path = tmp_path / name
    path.write_bytes(data)
    return corvex.open(str(path))


# -- delta --------------------------------------------------------------------------------------


@pytest.mark.parametrize("lag", [0, 3, -3])
@pytest.mark.parametrize("v, w", [(50.0, 40.0), (40.0, 50.0), (45.0, 45.0)])
def test_delta_of_constant_speeds_is_d_over_v_minus_d_over_w(tmp_path, v, w, lag):
    log = open_session(tmp_path, drive([constant(30.0), constant(v), constant(w)], lag=lag))
    table = delta(log.lap(2), log.lap(3))
    d = table.column("distance").to_numpy()
    # The lap counter decides which records belong to the lap; they cover the whole lap but
    # for the records that a late or early counter gives to the lap before or after.
    assert d[0] <= (max(lag, 0) + 1) * 50.0 * TICK + 1.0
    assert d[-1] >= LENGTH - (max(-lag, 0) + 1) * 50.0 * TICK - 1.0
    np.testing.assert_allclose(np.diff(d), 1.0)
    expected = d / v - d / w
    assert np.max(np.abs(table.column("delta").to_numpy() - expected)) < TICK
    inside = d > 5.0  # past the records of the lap before, which an early counter includes
    np.testing.assert_allclose(table.column("speed").to_numpy()[inside], v, rtol=1e-6)
    np.testing.assert_allclose(table.column("reference_speed").to_numpy()[inside], w, rtol=1e-6)


@pytest.mark.parametrize("corner", [(600.0, 700.0), (1500.0, 1580.0)])
def test_a_quarter_second_lost_in_one_corner_is_a_step_at_that_corner(tmp_path, corner):
    a, b = corner
    v = 50.0
    slow = (b - a) / ((b - a) / v + 0.25)  # the corner at this speed takes 0.25 s longer
    lossy = [(a, v), (b - a, slow), (LENGTH - b, v)]
    log = open_session(
        tmp_path,
        drive([constant(v), lossy, constant(v)], jumps=dict.fromkeys(range(2800, 2810), -9.0)),
    )
    table = delta(log.lap(2), log.lap(3))
    d = table.column("distance").to_numpy()
    expected = 0.25 * np.clip((d - a) / (b - a), 0.0, 1.0)
    assert np.max(np.abs(table.column("delta").to_numpy() - expected)) < TICK


def test_reference_from_another_file_or_saved_parquet(tmp_path):
    log = open_session(tmp_path, drive([constant(50.0), constant(48.0)], phase=0.1), "a.ibt")
    other = open_session(tmp_path, drive([constant(40.0), constant(40.0)], phase=0.8), "b.ibt")
    saved = tmp_path / "ref.parquet"
    pq.write_table(other.lap(1).to_table(), saved)
    from_file = delta(log.lap(2), other.lap(1))
    from_parquet = delta(log.lap(2), saved)
    assert from_parquet.equals(from_file)
    d = from_file.column("distance").to_numpy()
    assert np.max(np.abs(from_file.column("delta").to_numpy() - (d / 48.0 - d / 40.0))) < TICK


@pytest.mark.parametrize(
    "other_track, sectors, message",
    [
        ("other ring", SECTORS, "different tracks: 'test ring' and 'other ring'"),
    ],
)
def test_laps_of_different_tracks_are_refused(tmp_path, other_track, sectors, message):
    log = open_session(tmp_path, drive([constant(50.0)]), "a.ibt")
    other = open_session(tmp_path, drive([constant(50.0)], track=other_track), "b.ibt")
    with pytest.raises(ValueError, match=message):
        delta(log.lap(1), other.lap(1))
    saved = tmp_path / "ref.parquet"
    pq.write_table(other.lap(1).to_table(), saved)
    with pytest.raises(ValueError, match=message):
        delta(log.lap(1), saved)


# -- distance axis ------------------------------------------------------------------------------


@pytest.mark.parametrize("lag", [0, 4, -4])
@pytest.mark.parametrize("step", [1.0, 2.5])
def test_on_distance_time_and_step_channels(tmp_path, lag, step):
    v = 40.0
    log = open_session(
        tmp_path, drive([constant(v)] * 3, lag=lag, jumps=dict.fromkeys(range(3130, 3140), -12.0))
    )
    table = log.lap(2).on_distance(step, ["Gear", "Speed"])
    d = table.column("distance").to_numpy()
    assert d[0] >= 0.0 and d[-1] <= LENGTH
    assert d[0] <= (max(lag, 0) + 1) * v * TICK + step
    assert d[-1] >= LENGTH - (max(-lag, 0) + 1) * v * TICK - step
    np.testing.assert_allclose(np.diff(d), step)
    # Time runs from the line crossing, interpolated or extrapolated from the nearest records
    # (the session time is kept in whole milliseconds).
    np.testing.assert_allclose(table.column("time").to_numpy(), d / v, atol=2.5e-3)
    gear = np.array(table.column("Gear").to_pylist())
    # A step channel holds the last record's value: gear 2 from the first record past L/2
    # (and before the line, where an early counter gives the lap records of the lap before).
    assert set(gear[(d >= v * TICK) & (d < LENGTH / 2)]) == {1}
    assert set(gear[d >= LENGTH / 2 + v * TICK]) == {2}
    assert table.schema.field("Gear").metadata[b"interpolate"] == b"False"


def test_a_lap_that_covers_part_of_the_track_is_resampled_on_what_it_covers(tmp_path):
    log = open_session(tmp_path, drive([constant(40.0)] * 2, start=0.4 * LENGTH))
    d = log.lap(1).on_distance().column("distance").to_numpy()
    assert 0.4 * LENGTH <= d[0] <= 0.4 * LENGTH + 2 and d[-1] >= LENGTH - 2
    with pytest.raises(TypeError, match=r"whole recording: pick one lap with log\.lap\(n\)"):
        delta(log, log.lap(1))


# -- sectors, valid laps, fastest lap -----------------------------------------------------------


@pytest.mark.parametrize("sectors", [SECTORS, (0.0,), (0.0, 0.5)])
def test_sector_times_match_the_drive_and_add_up_to_the_lap_time(tmp_path, sectors):
    corner = [(700.0, 50.0), (300.0, 25.0), (1000.0, 50.0)]
    laps = [constant(40.0), corner, constant(55.0), constant(40.0)]
    log = open_session(tmp_path, drive(laps, sectors=sectors))
    summary = log.lap_summary.to_pylist()
    bounds = [*(s * LENGTH for s in sectors), LENGTH]
    for row, lap in zip(summary[1:3], (corner, constant(55.0))):
        ends = np.cumsum([m for m, _ in lap])
        durations = np.cumsum([m / s for m, s in lap])

        def time_at(x, ends=ends, durations=durations, lap=lap):
            k = int(np.searchsorted(ends, x))
            return durations[k] - (ends[k] - x) / lap[k][1]

        times = [row[f"sector_{n}"] for n in range(1, len(sectors) + 1)]
        expected = [time_at(b) - time_at(a) for a, b in zip(bounds, bounds[1:])]
        assert np.max(np.abs(np.array(times) - expected)) < TICK
        assert abs(sum(times) - row["lap_time"]) < TICK
    assert f"sector_{len(sectors) + 1}" not in summary[0]


def test_valid_laps_and_the_fastest_lap_number(tmp_path):
    # Laps 7..12. Lap 8 is the quickest but touches pit road mid-lap; lap 11 jumps 1800 m in
    # a fraction of a second while Speed reads at most 60 m/s, like a replay jump: a "full" lap of
    # 5 s that covered 200 m. The fastest valid lap is 9.
    jump = [(100.0, 40.0), (1800.0, 1e5), (100.0, 40.0)]
    laps = [constant(40.0), constant(60.0), constant(45.0), constant(42.0), jump, constant(44.0)]
    log = open_session(
        tmp_path, drive(laps, first_lap=7, pit=(LENGTH + 900.0, LENGTH + 950.0), speed_cap=60.0)
    )
    summary = log.lap_summary.to_pylist()
    assert [row["lap_type"] for row in summary] == ["full"] * 6
    assert [row["valid"] for row in summary] == [True, False, True, True, False, True]
    assert log.fastest_lap == 9 and f"{log.fastest_lap}" == "9"
    assert log.lap(log.fastest_lap).laps.column("num")[0].as_py() == 9
    best = log.best_sectors.to_pylist()
    assert {row["num"] for row in best} == {9}
    assert log.theoretical_best == pytest.approx(LENGTH / 45.0, abs=TICK)


def test_fastest_lap_picks_its_session_when_numbers_repeat(tmp_path):
    columns = drive_columns([constant(s) for s in (50.0, 40.0, 52.0, 45.0)], first_lap=0)
    columns["Lap"] = [n % 2 for n in columns["Lap"]]  # the counter restarts: 0, 1, 0, 1
    data = build_ibt(VARIABLES, columns, session_info=session_info(), tick_rate=RATE)
    log = open_session(tmp_path, data)
    assert log.laps.column("num").to_pylist() == [0, 1, 0, 1]
    assert log.laps.column("session").to_pylist() == [0, 0, 1, 1]
    fastest = log.fastest_lap
    assert fastest is not None and (int(fastest), fastest.session) == (0, 1)
    with pytest.raises(ValueError, match="occurs 2 times"):
        log.lap(0)
    picked = log.lap(fastest)
    assert picked.laps.column("session")[0].as_py() == 1
    assert picked.laps.column("start_time")[0].as_py() == log.laps.column("start_time")[2].as_py()


# -- display units ------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "unit, system, largest, stored, shown, label",
    [
        ("m/s", "metric", None, 10.0, 36.0, "km/h"),
        ("m/s", "imperial", None, 44.704, 100.0, "mph"),
        ("m/s", "si", None, 10.0, 10.0, "m/s"),
        ("%", "metric", 1.0, 0.5, 50.0, "%"),
        ("%", "si", None, 0.25, 25.0, "%"),
        ("%", "metric", 85.0, 42.0, 42.0, "%"),  # already in percent
        ("C", "imperial", None, 100.0, 212.0, "F"),
        ("C", "metric", None, 100.0, 100.0, "C"),
        ("kPa", "imperial", None, 6.894757293168361, 1.0, "psi"),
        ("revs/min", "imperial", None, 7000.0, 7000.0, "revs/min"),
    ],
)
def test_display_units(unit, system, largest, stored, shown, label):
    display = display_unit(unit, system, largest)
    assert display.unit == label
    assert display.apply(stored) == pytest.approx(shown)
