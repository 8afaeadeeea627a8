"""Stints, pit stops, fuel and tyres on race sessions written with corvex.testing.race.

Expected values are what the race was written with: the fuel burn per lap, the fuel added and
the tyre values at each stop, the laps the car pitted on, the race length; and facts read from
the bytes with struct (tests/_helpers.py).
"""

from __future__ import annotations

import json
import math
import statistics
import subprocess
import sys
from pathlib import Path

import pytest
from _helpers import RawIbt

import corvex
from corvex.cli import main
from corvex.fuel import MissingChannelsError, fuel_to_finish, lap_fuel
from corvex.pits import pit_stops
from corvex.testing.race import READ_DELAY, Stop, Tyre, race_session
from corvex.tyres import tyre_readings

pytest.importorskip("corvex._corvex_rs")

BURN = 2.5  # litres a lap
LAPS = 12.4  # the recording ends 40 % into lap 13
PACE = [60.8, 60.3, 60.5, 60.1, 61.0, 60.2, 60.4, 60.0, 60.6, 60.9, 60.3, 60.7, 60.5]
WORN = {
    "LF": Tyre((82.5, 87.6, 91.1), (0.951, 0.942, 0.933), 178.4),
    "RF": Tyre((88.8, 85.0, 78.8), (0.962, 0.955, 0.969), 179.1),
    "LR": Tyre((83.4, 86.7, 88.0), (0.971, 0.966, 0.961), 158.2),
    "RR": Tyre((84.9, 83.5, 77.5), (0.975, 0.972, 0.983), 157.6),
}
WORN_AGAIN = {c: Tyre(tuple(t + 3.0 for t in v.temps), v.wear, v.pressure) for c, v in WORN.items()}
STOPS = [Stop(5, 20.0, WORN, new_tyres=True), Stop(10, 15.0, WORN_AGAIN)]

# Pit lane (entry, stall, exit as lap fractions) -> the laps in which the car reaches its stall
# and the valid laps of each stint (full laps off pit road).
GEOMETRIES = {
    "stall past the line": ((0.92, 0.03, 0.08), [6, 11], [4, 3, 1]),
    "stall before the line": ((0.90, 0.96, 0.05), [5, 10], [4, 3, 1]),
    "pit lane inside a lap": ((0.80, 0.85, 0.90), [5, 10], [4, 4, 2]),
}


def race(**options):
    kwargs = {"laps": LAPS, "lap_seconds": PACE, "burn_per_lap": BURN, "stops": STOPS, **options}
    written = race_session(**kwargs)
    return written, corvex.open(written.data)


def near(value, expected, rel=0.01):
    return value is not None and math.isclose(value, expected, rel_tol=rel)


@pytest.mark.parametrize("geometry", GEOMETRIES)
def test_two_stops_split_the_race_into_three_stints(geometry):
    pit, stop_laps, valid = GEOMETRIES[geometry]
    written, log = race(pit=pit)
    summary, ranges = log.lap_summary, log.lap_record_ranges()

    stops = pit_stops(log.channels, summary, ranges).to_pylist()
    assert [s["lap"] for s in stops] == stop_laps
    for stop, plan in zip(stops, STOPS):
        assert stop["fuel_added"] == pytest.approx(plan.fuel_added, abs=1e-3)
        # The car burns nothing standing in the stall; "before" is a tick before it stopped.
        gain = stop["fuel_after"] - stop["fuel_before"]
        assert gain == pytest.approx(plan.fuel_added, abs=2e-3)
        assert stop["stall_time"] == pytest.approx(plan.stall_seconds, abs=0.11)

    stints = log.stints.to_pylist()
    assert [(s["first_lap"], s["last_lap"], s["stop"]) for s in stints] == [
        (1, 5, 1),
        (6, 10, 2),
        (11, 13, None),
    ]
    assert [s["valid_laps"] for s in stints] == valid
    lap_times = summary.column("lap_time").to_pylist()
    is_valid = summary.column("valid").to_pylist()
    nums = summary.column("num").to_pylist()
    for stint in stints:
        times = [
            t
            for n, t, ok in zip(nums, lap_times, is_valid)
            if ok and stint["first_lap"] <= n <= stint["last_lap"]
        ]
        assert stint["best"] == min(times)
        assert stint["median"] == pytest.approx(statistics.median(times))
        assert stint["mean"] == pytest.approx(statistics.fmean(times))
        assert stint["best_to_median"] == pytest.approx(statistics.median(times) - min(times))
        expected_spread = statistics.stdev(times) if len(times) > 1 else None
        assert stint["stdev"] == pytest.approx(expected_spread)
    # The fuel a stint used is the burn over the distance it covered; refuelling is no use.
    assert [s["fuel_used"] for s in stints] == pytest.approx(
        [5 * BURN, 5 * BURN, (LAPS - 10) * BURN], rel=0.01
    )
    assert all(near(s["fuel_per_lap"], BURN) for s in stints)

    fuel = lap_fuel(log.channels, summary, ranges).to_pylist()
    assert [lap["num"] for lap in fuel] == list(range(1, 14))
    assert all(near(lap["fuel_used"], BURN) for lap in fuel[:12])
    assert near(fuel[12]["fuel_used"], (LAPS - 12) * BURN)
    added = {lap["num"]: lap["fuel_added"] for lap in fuel if lap["fuel_added"] > 1e-6}
    assert added == pytest.approx({stop_laps[0]: 20.0, stop_laps[1]: 15.0}, abs=1e-3)
    for lap in fuel:
        assert lap["fuel_start"] - lap["fuel_end"] == pytest.approx(
            lap["fuel_used"] - lap["fuel_added"], abs=1e-4
        )

    tyres = tyre_readings(log.channels, pit_stops(log.channels, summary, ranges)).to_pylist()
    for row in tyres:
        stop = stops[row["stop"] - 1]
        written_tyre = (WORN if row["stop"] == 1 else WORN_AGAIN)[row["corner"]]
        # L, M, R of a tyre as the driver sees them: L is the outer side on the car's left.
        left_side = row["corner"] in ("LF", "LR")
        inner, middle, outer = (2, 1, 0) if left_side else (0, 1, 2)
        for side, k in (("inner", inner), ("middle", middle), ("outer", outer)):
            assert row[f"temp_{side}"] == pytest.approx(written_tyre.temps[k], abs=1e-4)
            assert row[f"wear_{side}"] == pytest.approx(written_tyre.wear[k], abs=1e-6)
        assert row["pressure"] == pytest.approx(written_tyre.pressure, abs=0.02)
        assert stop["stall_in"] < row["read_at"] <= stop["stall_in"] + READ_DELAY * 1000 + 100


@pytest.mark.parametrize(
    "start_in_pits, stops, first_type, expected",
    [
        (False, [], "full", [(1, 13, None)]),
        (True, [], "out", [(1, 13, None)]),
        (False, [Stop(5, stall_seconds=0)], "full", [(1, 13, None)]),  # a drive-through
        (True, [Stop(7, 10.0)], "out", [(1, 7, 1), (8, 13, None)]),
    ],
    ids=["no stops", "pit box start", "drive-through", "pit box start and a stop"],
)
def test_stints_without_stops_and_from_the_pit_box(start_in_pits, stops, first_type, expected):
    _, log = race(start_in_pits=start_in_pits, stops=stops)
    assert log.laps.column("lap_type")[0].as_py() == first_type
    stints = log.stints.to_pylist()
    assert [(s["first_lap"], s["last_lap"], s["stop"]) for s in stints] == expected
    assert stints[0]["start_time"] == log.laps.column("start_time")[0].as_py()
    stop_count = len([s for s in stops if s.stall_seconds > 0])
    stop_table = pit_stops(log.channels, log.lap_summary, log.lap_record_ranges())
    assert stop_table.num_rows == stop_count


def test_a_stop_after_a_reset_is_in_the_session_the_listings_give_it():
    """Lap 1, the one record of lap 0 a reset leaves, lap 1 again, a pit visit in lap 2: the
    reset starts a session in the lap table, not in the listings, and the stop and the stints
    count sessions as the listings do."""
    from corvex.testing import build_ibt, lap_variables

    laps = [1] * 30 + [0] + [1] * 30 + [2] * 30 + [3] * 30
    pits = [False] * 71 + [True] * 10 + [False] * 40
    data = build_ibt(
        lap_variables(),
        {
            "SessionTime": [i / 10 for i in range(len(laps))],
            "Lap": laps,
            "LapDistPct": [0.5] * len(laps),
            "OnPitRoad": pits,
        },
        tick_rate=10,
    )
    log = corvex.open(data)
    assert log.laps.column("session").to_pylist() == [0, 1, 1, 1, 1]  # the reader's own
    stop = pit_stops(log.channels, log.lap_summary, log.lap_record_ranges()).to_pylist()[0]
    assert (stop["lap"], stop["session"]) == (2, 0)
    assert log.stints.column("session").to_pylist() == [0, 0]
    assert log.lap(stop["lap"], stop["session"]).row == 3


# The race runs 12.4 laps from a clock of 100 s: 12 laps completed, 40 % into the 13th.
@pytest.mark.parametrize(
    "laps_limit, time_limit, margin_laps, margin_percent",
    [(30, None, 1.0, 0.0), (None, 1100.0, 0.5, 0.0), (15, 1100.0, 0.0, 10.0), (None, None, 1, 0)],
    ids=["laps", "time", "laps or time", "unlimited"],
)
def test_fuel_to_finish(laps_limit, time_limit, margin_laps, margin_percent):
    written, log = race(session_laps=laps_limit, session_time=time_limit)
    raw = RawIbt(written.data)
    summary, ranges = log.lap_summary, log.lap_record_ranges()
    fuel = lap_fuel(log.channels, summary, ranges)
    got = fuel_to_finish(
        log.channels,
        summary,
        fuel,
        log.session_info,
        margin_laps=margin_laps,
        margin_percent=margin_percent,
    )
    fraction = raw.values("LapDistPct")[-1]
    in_tank = raw.values("FuelLevel")[-1]
    assert got.session_num == 2 and got.session_type == "Race"
    assert got.laps_completed == 12 and got.lap_fraction == pytest.approx(fraction)
    assert got.fuel_in_tank == pytest.approx(in_tank)
    assert near(got.per_lap, BURN)
    if laps_limit is None and time_limit is None:
        assert got.laps_remaining is None and got.fuel_needed is None
        assert "unlimited" in got.reason
        return
    remaining = []
    if laps_limit is not None:
        remaining.append(laps_limit - 12 - fraction)
    if time_limit is not None:
        clock = raw.values("SessionTime")[-1]
        lap_time = statistics.fmean(
            t
            for t, ok in zip(summary.column("lap_time").to_pylist(), summary["valid"].to_pylist())
            if ok
        )
        # The race ends at the first crossing of the line after the time has run out.
        remaining.append(math.ceil((time_limit - clock) / lap_time + fraction) - fraction)
        assert got.time_left == pytest.approx(time_limit - clock)
    assert got.laps_remaining == pytest.approx(min(remaining))
    needed = got.per_lap * (min(remaining) * (1 + margin_percent / 100) + margin_laps)
    assert got.fuel_needed == pytest.approx(needed)
    assert got.fuel_to_add == pytest.approx(max(needed - in_tank, 0.0))
    assert got.tank == written.tank
    assert got.stops == (0 if needed <= in_tank else math.ceil((needed - in_tank) / written.tank))


# -- missing channels -------------------------------------------------------------------------

TYRE_NAMES = [
    f"{c}{kind}"
    for c in ("LF", "RF", "LR", "RR")
    for kind in ("tempCL", "tempCM", "tempCR", "wearL", "wearM", "wearR")
]


@pytest.mark.parametrize(
    "leave_out, splits, note",
    [
        ({"FuelLevel"}, True, "Fuel: fuel per lap needs the FuelLevel channel"),
        ({"PlayerCarInPitStall"}, True, "a stop is a pit road visit where the car came to rest"),
        ({"PlayerCarInPitStall", "Speed"}, True, "every pit road visit counts as a stop"),
        ({"OnPitRoad"}, True, "the runs of PlayerCarInPitStall are the pit visits"),
        ({"OnPitRoad", "PlayerCarInPitStall"}, False, "each session is one stint"),
        (set(TYRE_NAMES), True, "Tyres: tyre readings need the carcass temperature"),
        ({"LFwearL"}, True, "Tyres: no LFwearL in this file"),
    ],
    ids=["fuel", "stall flag", "stall and speed", "pit road", "pit channels", "tyres", "one"],
)
def test_missing_channels_are_named_and_the_rest_is_shown(
    capsys, tmp_path, leave_out, splits, note
):
    written, log = race(leave_out=leave_out)
    stints = log.stints.to_pylist()
    expected = [(1, 5), (6, 10), (11, 13)] if splits else [(1, 13)]
    assert [(s["first_lap"], s["last_lap"]) for s in stints] == expected
    assert all((s["fuel_used"] is None) == ("FuelLevel" in leave_out) for s in stints)
    if "FuelLevel" in leave_out:
        with pytest.raises(MissingChannelsError) as missing:
            lap_fuel(log.channels, log.lap_summary, log.lap_record_ranges())
        assert missing.value.names == ["FuelLevel"]
    path = tmp_path / "race.ibt"
    path.write_bytes(written.data)
    assert main(["stints", str(path)]) == 0
    out = capsys.readouterr().out
    assert note in out
    assert f"Stints: {len(expected)}" in out
    if leave_out == {"LFwearL"}:
        stops = pit_stops(log.channels, log.lap_summary, log.lap_record_ranges())
        lf = tyre_readings(log.channels, stops).to_pylist()[0]
        assert lf["corner"] == "LF" and lf["wear_outer"] is None
        assert lf["wear_inner"] == pytest.approx(WORN["LF"].wear[2], abs=1e-6)


# -- the command line -------------------------------------------------------------------------


@pytest.fixture(scope="module")
def race_file(tmp_path_factory) -> Path:
    path = tmp_path_factory.mktemp("race") / "race.ibt"
    path.write_bytes(race()[0].data)
    return path


def test_stints_text_shows_stints_stops_tyres_and_fuel(capsys, race_file):
    assert main(["stints", str(race_file)]) == 0
    out = capsys.readouterr().out
    assert "Stints: 3, 2 pit stops" in out
    rows = [line.split() for line in out.splitlines() if line.strip()[:2] in ("1 ", "2 ", "3 ")]
    stint_rows = [r for r in rows if r[2].startswith("(")]
    assert [r[1] for r in stint_rows] == ["1-5", "6-10", "11-13"]
    assert [r[-1] for r in stint_rows[:2]] == ["1", "2"]  # "stop 1", "stop 2"
    lf = next(line.split() for line in out.splitlines() if line.strip().startswith("LF"))
    # Inner, middle, outer of the left front: the tyre's R, M, L as written.
    assert lf[1:4] == ["91.1", "87.6", "82.5"]
    assert lf[4:7] == ["93.3", "94.2", "95.1"]
    assert "to finish:   17.60 laps to go" in out


def test_stints_json_in_imperial_units_with_a_margin_in_percent(capsys, race_file):
    assert main(["stints", str(race_file), "--json", "--units", "imperial", "--margin", "5%"]) == 0
    got = json.loads(capsys.readouterr().out)
    assert got["units"] == {"fuel": "gal", "temperature": "F", "pressure": "psi", "time": "s"}
    finish = got["fuel_to_finish"]
    gallon = 3.785411784
    assert finish["unit"] == "gal" and finish["margin_percent"] == 5.0
    assert finish["margin_laps"] == 0.0
    assert finish["per_lap"] == pytest.approx(BURN / gallon, rel=0.01)
    assert finish["fuel_needed"] == pytest.approx(finish["per_lap"] * 17.6 * 1.05, rel=1e-3)
    assert [s["fuel_used"] for s in got["stints"]] == pytest.approx(
        [5 * BURN / gallon, 5 * BURN / gallon, 2.4 * BURN / gallon], rel=0.01
    )
    lf = next(t for t in got["tyres"] if t["stop"] == 1 and t["corner"] == "LF")
    assert lf["temp_inner"] == pytest.approx(91.1 * 1.8 + 32, abs=1e-3)
    assert lf["pressure"] == pytest.approx(178.4 / 6.894757293168361, abs=0.01)
    assert len(got["fuel_laps"]) == 13 and got["notes"] == []


@pytest.mark.parametrize("margin", ["-1", "lots", "5 l"])
def test_a_margin_that_is_no_margin_is_a_usage_error(capsys, race_file, margin):
    with pytest.raises(SystemExit) as done:
        main(["stints", str(race_file), "--margin", margin])
    assert done.value.code == 2
    assert "is no margin: give laps" in capsys.readouterr().err


def test_info_shows_a_line_per_stint(capsys, race_file):
    assert main(["info", str(race_file)]) == 0
    out = capsys.readouterr().out
    lines = out.split("Stints: 3\n", 1)[1].splitlines()
    assert [line.split()[2] for line in lines] == ["1-5", "6-10", "11-13"]
    assert lines[0].endswith("ended at stop 1")
    assert lines[2].endswith("ran to the end")
    assert main(["info", str(race_file), "--json"]) == 0
    facts = json.loads(capsys.readouterr().out)
    assert [(s["first_lap"], s["last_lap"]) for s in facts["stints"]] == [(1, 5), (6, 10), (11, 13)]


def test_stints_and_info_import_no_pandas(tmp_path, race_file):
    """Everything past the lap summary runs without pandas; the lap summary itself is handed
    over ready-made, read from an Arrow IPC file (pyarrow loads pandas for its own
    conversions, which the session models avoid)."""
    import pyarrow as pa

    summary = corvex.open(str(race_file)).lap_summary
    saved = tmp_path / "summary.arrow"
    with pa.OSFile(str(saved), "wb") as sink, pa.ipc.new_file(sink, summary.schema) as writer:
        writer.write_table(summary)
    code = (
        "import sys, pyarrow as pa, corvex.base\n"
        f"summary = pa.ipc.open_file({str(saved)!r}).read_all()\n"
        "corvex.base.LogFile.lap_summary = property(lambda self: summary)\n"
        "from corvex.cli import main\n"
        f"assert main(['stints', {str(race_file)!r}]) == 0\n"
        f"assert main(['stints', {str(race_file)!r}, '--json']) == 0\n"
        f"assert main(['info', {str(race_file)!r}]) == 0\n"
        "print('pandas' in sys.modules, file=sys.stderr)\n"
    )
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    assert run.stderr == "False\n"


def test_real_recording_is_one_stint_that_starts_in_the_stall(real_file):
    log = corvex.open(real_file)
    raw = RawIbt(real_file.read_bytes())
    # The recording starts in the stall: no stop, one stint of its one lap.
    stints = log.stints.to_pylist()
    assert [(s["first_lap"], s["last_lap"], s["stop"]) for s in stints] == [(9, 9, None)]
    fuel = raw.values("FuelLevel")
    drops = sum(max(a - b, 0.0) for a, b in zip(fuel, fuel[1:]))
    assert stints[0]["fuel_used"] == pytest.approx(drops, rel=1e-6)
    stops = pit_stops(log.channels, log.lap_summary, log.lap_record_ranges())
    assert stops.num_rows == 0 and tyre_readings(log.channels, stops).num_rows == 0


def _odd_file(kind: str) -> bytes:
    from corvex.testing.writer import BOOL, CHAR, DOUBLE, FLOAT, INT, Var, build_ibt

    n = 0 if kind == "no records" else 1 if kind == "one record" else 60
    pit = [10 <= i < 30 for i in range(n)]
    columns = {
        "SessionTime": [i / 10 for i in range(n)],
        "Lap": [1 + i // 20 for i in range(n)],
        "LapDistPct": [(i % 20) / 20 for i in range(n)],
        "OnPitRoad": [float(p) for p in pit],
        "PlayerCarInPitStall": [int(15 <= i < 25) for i in range(n)],
        "Speed": [0 if 15 <= i < 25 else 40 for i in range(n)],
        "FuelLevel": [float("nan")] * n if kind == "NaN fuel" else [i % 2 for i in range(n)],
        "LFtempCL": [80 + (i > 20) for i in range(n)],
        "SessionNum": [7.0] * n,
    }
    variables = [
        Var("SessionTime", DOUBLE),
        Var("Lap", INT),
        Var("LapDistPct", FLOAT),
        Var("OnPitRoad", FLOAT),
        Var("PlayerCarInPitStall", INT),
        Var("Speed", INT),
        Var("FuelLevel", FLOAT if kind == "NaN fuel" else BOOL),
        Var("LFtempCL", CHAR),
        Var("SessionNum", DOUBLE),
    ]
    info = "---\nSessionInfo:\n Sessions:\n - SessionNum: 7\n   SessionLaps: 0\n...\n"
    return build_ibt(variables, columns, session_info=info)


@pytest.mark.parametrize("kind", ["odd types", "NaN fuel", "no records", "one record"])
def test_odd_files_give_a_report_not_a_crash(capsys, tmp_path, kind):
    path = tmp_path / "odd.ibt"
    path.write_bytes(_odd_file(kind))
    log = corvex.open(path)
    assert (log.stints.num_rows > 0) == (log.laps.num_rows > 0)
    assert main(["stints", str(path)]) == 0
    assert main(["stints", str(path), "--json"]) == 0
    out = capsys.readouterr().out
    json.loads("{" + out.split("\n{", 1)[1])


def test_dataset_tables_of_one_session():
    from corvex.dataset.stints import STINTS_SCHEMA, lap_fuel_used, session_stints

    _, log = race()
    stints = session_stints(log, "key-1")
    assert stints.schema == STINTS_SCHEMA
    assert stints.column("session_key").to_pylist() == ["key-1"] * 3
    assert stints.drop(["session_key"]).to_pylist() == log.stints.to_pylist()
    used = lap_fuel_used(log).to_pylist()
    assert len(used) == log.laps.num_rows
    assert all(near(u, BURN) for u in used[:12])
    _, dry = race(leave_out={"FuelLevel"})
    assert lap_fuel_used(dry).null_count == dry.laps.num_rows
