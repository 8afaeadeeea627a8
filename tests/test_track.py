"""The track model, its corners and the corner-by-corner comparison of two laps.

The sessions are driven on synthetic tracks (corvex.testing.tracks) whose geometry is known in
closed form: the turns' places and directions, the car's braking points and the moments it
crossed the line come from the driving model, never from the code under test.
"""

from __future__ import annotations

import math
import re
from pathlib import Path

import numpy as np
import pyarrow as pa
import pytest

import corvex
from corvex.cli.corners import advice
from corvex.corner_analysis import CORNER_CHANNELS, DrivenLap, corner_table
from corvex.testing import tracks as T
from corvex.track import TrackModel, build_track, layout_track, session_track, to_plane

scipy_spatial = pytest.importorskip("scipy.spatial")

WGS84_A, WGS84_F = 6_378_137.0, 1.0 / 298.257223563


def _open(drive: T.Drive, **options: object) -> corvex.LogFile:
    return corvex.open(T.session_file(drive, **options))  # type: ignore[arg-type]


def _lap(log: corvex.LogFile, num: int) -> pa.Table:
    lap = log.lap(num)
    return lap.to_table([n for n in CORNER_CHANNELS if n in lap.channels])


@pytest.fixture(scope="module")
def road() -> T.TrackShape:
    return T.road_course()


@pytest.fixture(scope="module")
def mutated(road: T.TrackShape) -> tuple[T.Drive, corvex.LogFile]:
    """Lap 1 the reference, lap 2 driven alike, laps 3.. each with one fault."""
    plans = [T.LapPlan(), T.LapPlan()] + [plan for _, _, plan in _FAULTS]
    drive = T.drive(road, plans)
    return drive, _open(drive)


# (what, turn index, plan): braking 10 m early, or 3 km/h less through the turn.
_FAULTS = [
    ("brakes 10 m earlier", 0, T.LapPlan(brake_earlier={0: 10.0})),
    ("brakes 10 m earlier", 2, T.LapPlan(brake_earlier={2: 10.0})),
    ("brakes 10 m earlier", 7, T.LapPlan(brake_earlier={7: 10.0})),
    ("3 km/h slower", 2, T.LapPlan(slower={2: 3 / 3.6})),
    ("3 km/h slower", 5, T.LapPlan(slower={5: 3 / 3.6})),
    ("3 km/h slower", 7, T.LapPlan(slower={7: 3 / 3.6})),
]


# -- projection --------------------------------------------------------------------------------


@pytest.mark.parametrize("lat0", [0.0, 47.22, -33.9, 69.0])
@pytest.mark.parametrize(("north", "east"), [(1.0, 0.0), (0.0, 1.0), (80.0, -60.0)])
def test_plane_has_the_ellipsoids_local_scale(lat0: float, north: float, east: float) -> None:
    """Metres on the plane near its centre: the meridian and prime vertical radii of WGS84."""
    e2 = WGS84_F * (2 - WGS84_F)
    w = math.sqrt(1 - e2 * math.sin(math.radians(lat0)) ** 2)
    meridian, prime = WGS84_A * (1 - e2) / w**3, WGS84_A / w
    lat = lat0 + math.degrees(north / meridian)
    lon = 14.0 + math.degrees(east / (prime * math.cos(math.radians(lat0))))
    x, y = to_plane(np.array([lat]), np.array([lon]), (lat0, 14.0))
    assert x[0] == pytest.approx(east, abs=2e-3)
    assert y[0] == pytest.approx(north, abs=2e-3)


def test_real_positions_move_as_far_as_the_speed_says(real_file: Path) -> None:
    """The real recording (a car leaving its pit box) put on the plane: the distance its
    positions cover is what its Speed integrates to, and it has no lap to draw a track from."""
    log = corvex.open(real_file)
    table = log.to_table(["SessionTime", "Lat", "Lon", "Speed"])
    lat, lon = table.column("Lat").to_numpy(), table.column("Lon").to_numpy()
    x, y = to_plane(lat, lon, (float(lat[0]), float(lon[0])))
    t, v = table.column("SessionTime").to_numpy(), table.column("Speed").to_numpy()
    travelled = float(np.sum(np.diff(t) * (v[1:] + v[:-1]) / 2))
    assert travelled > 0.5
    assert math.hypot(x[-1], y[-1]) == pytest.approx(travelled, abs=0.1)
    with pytest.raises(ValueError, match="no full lap with positions"):
        session_track(log)


# -- the line and its corners -------------------------------------------------------------------


@pytest.mark.parametrize("make", [T.road_course, T.oval, T.figure_eight])
def test_corners_are_the_tracks_turns(make: object) -> None:
    shape = make()  # type: ignore[operator]
    drive = T.drive(shape, [T.LapPlan(offset=0.8, seed=s) for s in range(2)])
    log = _open(drive)
    model = log.track
    assert model.length == pytest.approx(shape.length, rel=1e-3)
    assert model.line_length == pytest.approx(shape.length, rel=2e-3)
    corners = model.corners.to_pylist()
    assert [c["direction"] for c in corners] == [t.direction for t in shape.turns]
    for corner, turn in zip(corners, shape.turns):
        assert abs(corner["apex"] - turn.apex) < 15.0
        assert corner["entry"] < turn.apex < corner["exit"]
    assert [c["corner"] for c in corners] == list(range(1, len(corners) + 1))


def test_oval_anticlockwise_is_all_lefts_figure_eight_both() -> None:
    oval = _open(T.drive(T.oval(), [T.LapPlan()])).track
    eight = _open(T.drive(T.figure_eight(), [T.LapPlan()])).track
    assert set(oval.corners.column("direction").to_pylist()) == {"left"}
    assert sorted(eight.corners.column("direction").to_pylist()) == ["left", "right"]
    # The hairpin of the road course is one corner of about 160 degrees, the chicane two.
    road = _open(T.drive(T.road_course(), [T.LapPlan()])).track.corners.to_pylist()
    assert road[2]["angle"] == pytest.approx(160.0, abs=8.0)
    assert [c["direction"] for c in road[3:5]] == ["left", "right"]


def test_lines_of_two_laps_agree(road: T.TrackShape) -> None:
    """Built from two different laps (each weaving up to 0.8 m off the centre line, each its
    own way), the lines lie within 2 m of each other everywhere and have the same corners."""
    drive = T.drive(road, [T.LapPlan(offset=0.8, seed=1), T.LapPlan(offset=0.8, seed=5)])
    log = _open(drive)
    a = build_track([log.lap(1).to_table(["Lat", "Lon", "LapDistPct"])])
    b = build_track([log.lap(2).to_table(["Lat", "Lon", "LapDistPct"])])
    ox, oy = to_plane(np.array([b.origin[0]]), np.array([b.origin[1]]), a.origin)
    fine = np.arange(0.0, a.length, 0.25)  # dense enough that the points stand for the lines
    pa_ = np.column_stack(a.at(fine)[:2])
    pb = np.column_stack(b.at(fine)[:2]) + (ox[0], oy[0])
    hausdorff = max(
        scipy_spatial.distance.directed_hausdorff(pa_, pb)[0],
        scipy_spatial.distance.directed_hausdorff(pb, pa_)[0],
    )
    assert hausdorff < 2.0
    assert a.corners.num_rows == b.corners.num_rows == len(road.turns)
    apexes = np.abs(np.array(a.corners.column("apex")) - np.array(b.corners.column("apex")))
    assert apexes.max() < 15.0


def test_laps_of_another_file_project_onto_the_line(road: T.TrackShape) -> None:
    first = _open(T.drive(road, [T.LapPlan(offset=0.5, seed=2)] * 2))
    other = _open(T.drive(road, [T.LapPlan(offset=0.7, seed=9)], start_time=1000.0))
    model = layout_track([first, other])
    assert model.laps == 3
    lap = other.lap(1).to_table(["Lat", "Lon", "LapDist"])
    distance, lateral = model.project(
        lap.column("Lat").to_numpy(), lap.column("Lon").to_numpy(), lap.column("LapDist")
    )
    assert np.nanmax(np.abs(lateral)) < 1.5
    gap = (distance - lap.column("LapDist").to_numpy() + model.length / 2) % model.length
    assert np.nanmax(np.abs(gap - model.length / 2)) < 1.0


def test_layouts_are_not_mixed(road: T.TrackShape) -> None:
    a = _open(T.drive(road, [T.LapPlan()]))
    b = _open(T.drive(T.oval(), [T.LapPlan()]))
    with pytest.raises(ValueError, match="different layouts"):
        layout_track([a, b])


def test_saved_model_loads_the_same(road: T.TrackShape, tmp_path: Path) -> None:
    model = _open(T.drive(road, [T.LapPlan()])).track
    path = model.save(tmp_path / "track.parquet")
    loaded = TrackModel.load(path)
    assert loaded.line.equals(model.line)
    assert loaded.corners.equals(model.corners)
    assert (loaded.sectors, loaded.origin, loaded.length) == (
        model.sectors,
        model.origin,
        model.length,
    )
    assert (loaded.track_id, loaded.config) == (road.track_id, road.config)
    assert loaded.file_name() == "track_900_grand-prix.parquet"
    assert [p.name for p in tmp_path.iterdir()] == ["track.parquet"]
    with pytest.raises(ValueError, match="not a saved track model"):
        TrackModel.from_table(pa.table({"x": [1.0]}))


# -- the comparison -----------------------------------------------------------------------------


@pytest.mark.parametrize(("number", "fault"), list(enumerate(_FAULTS, start=3)))
def test_a_fault_is_charged_to_its_corner(
    mutated: tuple[T.Drive, corvex.LogFile], number: int, fault: tuple[str, int, T.LapPlan]
) -> None:
    drive, log = mutated
    _, turn, _ = fault
    table = log.lap(number).corners(_lap(log, 1), track=log.track).to_pylist()
    lost = (drive.crossings[number] - drive.crossings[number - 1]) - (
        drive.crossings[1] - drive.crossings[0]
    )
    assert lost > 0.02
    # The parts add up to the difference of the times the laps crossed the line.
    assert sum(row["delta"] for row in table) == pytest.approx(lost, abs=1e-3)
    on_corner = next(row["delta"] for row in table if row["corner"] == turn + 1)
    assert on_corner >= 0.8 * lost
    row = next(row for row in table if row["corner"] == turn + 1)
    assert row["braking_point"] == pytest.approx(drive.braking[number][turn], abs=1.5)
    assert row["reference_braking_point"] == pytest.approx(drive.braking[1][turn], abs=1.5)
    # The sentence names the fault, in racer units, and nothing the lap does better.
    said = advice(pa.Table.from_pylist(table))[0]
    slower = "you carry 3 km/h less through the slowest point"
    cause = "you brake (9|10|11) m earlier" if "brakes" in fault[0] else slower
    assert re.fullmatch(rf"you lose \d\.\d\d s in turn {turn + 1}: {cause}", said), said


def test_zones_tile_the_lap_and_a_lap_matches_itself(
    mutated: tuple[T.Drive, corvex.LogFile],
) -> None:
    drive, log = mutated
    model = log.track
    same = corner_table(_lap(log, 1), _lap(log, 1), model).to_pylist()
    assert all(row["delta"] == 0.0 for row in same)
    starts = [row["start"] for row in same]
    ends = [row["end"] for row in same]
    assert starts[0] == 0.0 and ends[-1] == model.length and starts[1:] == ends[:-1]
    assert [row["corner"] for row in same if row["kind"] == "corner"] == list(
        range(1, model.corners.num_rows + 1)
    )
    # Lap 2 is driven exactly like lap 1, recorded at other moments of its 60 Hz ticks.
    alike = corner_table(_lap(log, 2), _lap(log, 1), model)
    assert max(abs(d) for d in alike.column("delta").to_pylist()) < 2e-3
    for row in alike.to_pylist():
        if row["kind"] == "corner":
            assert row["min_speed"] == pytest.approx(row["reference_min_speed"], abs=0.05)
    lap_time = float(alike.schema.metadata[b"corvex.lap_time"])
    assert lap_time == pytest.approx(drive.crossings[2] - drive.crossings[1], abs=1e-3)


@pytest.mark.parametrize(
    "era",
    [
        {"version": 1, "yaw_north": False},
        {"zero_first_record": True},
        {"pit_start": True},
        {"tow": True},
    ],
    ids=["version 1", "zeroed first record", "pit lane start", "towed"],
)
def test_every_era_of_recording(road: T.TrackShape, era: dict[str, bool]) -> None:
    plans = [T.LapPlan(offset=0.5, seed=1), T.LapPlan(offset=0.5, seed=2), T.LapPlan()]
    if era.get("pit_start"):
        plans = [T.LapPlan(pit_until=350.0)] + plans
    if era.get("tow"):
        plans = plans + [T.LapPlan(tow_at=0.55)]
    drive = T.drive(road, plans, zero_first_record=bool(era.get("zero_first_record")))
    options = {k: v for k, v in era.items() if k in ("version", "yaw_north")}
    log = _open(drive, **options)
    model = log.track
    assert model.corners.num_rows == len(road.turns)
    # No record without a position reaches the line or the map (no stroke from 0, 0).
    last = log.laps.column("num").to_pylist()[-2]
    for num in (1, last):
        lap = DrivenLap.of(_lap(log, num), model)
        assert np.hypot(lap.x, lap.y).max() < 2000.0
    table = corner_table(_lap(log, last), _lap(log, 2), model).to_pylist()
    if era.get("tow"):
        # Towed at 55 % of the lap: the zones before were driven, the rest were not.
        cut = 0.55 * model.length
        assert all(r["time"] is not None for r in table if r["end"] < cut - 50)
        assert all(r["time"] is None for r in table if r["start"] > cut + 50)
        lap = DrivenLap.of(_lap(log, last), model)
        assert lap.distance.max() < cut + 5.0
    else:
        assert all(r["delta"] is not None for r in table)
    if era.get("pit_start"):
        out = DrivenLap.of(_lap(log, 1), model)
        assert log.laps.column("lap_type").to_pylist()[1] == "out"
        assert np.min(out.lateral) == pytest.approx(-25.0, abs=1.0)


def test_no_lap_to_build_from_says_so(road: T.TrackShape) -> None:
    drive = T.drive(road, [T.LapPlan(tow_at=0.3)])
    with pytest.raises(ValueError, match="no full lap with positions"):
        session_track(_open(drive))
    no_positions = pa.table({"timecodes": [0, 1], "LapDistPct": [0.0, 0.1]})
    with pytest.raises(ValueError, match="Lat, Lon"):
        build_track([no_positions], length=1000.0)
