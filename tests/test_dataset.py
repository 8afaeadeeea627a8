"""Many sessions into one dataset, on writer-made sessions and bad files.

Expected values come from what the sessions were built from (tests/_helpers_dataset.py) or from
the file headers read with corvex.testing.layout, never from the code under test.
"""

from __future__ import annotations

import doctest
import os
import re
import shutil
import struct
from datetime import UTC, datetime
from pathlib import Path

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq
import pytest
from _helpers_dataset import PLANS, TICK_RATE, Plan, snapshot_bytes, write_archive

from corvex import dataset
from corvex.cli import main
from corvex.testing import layout

pytest.importorskip("corvex._corvex_rs")

DATASETS_PAGE = Path(__file__).resolve().parents[1] / "docs" / "datasets.md"
BY_DRIVER_TRACK = {}
for _plan in PLANS:
    _best = min(_plan.full_lap_times().values())
    _key = (_plan.driver, _plan.track)
    BY_DRIVER_TRACK[_key] = min(_best, BY_DRIVER_TRACK.get(_key, _best))


@pytest.fixture(scope="module")
def archive(tmp_path_factory) -> dict[str, Path]:
    return write_archive(tmp_path_factory.mktemp("archive"))


@pytest.fixture(scope="module")
def exported(archive, tmp_path_factory) -> tuple[Path, dataset.ExportSummary]:
    out = tmp_path_factory.mktemp("dataset") / "out"
    root = archive["a1"].parents[1]
    summary = dataset.export_dataset([root], out, jobs=2, progress=False)
    return out, summary


def plan_by_sub_session(sessions: Path) -> dict[str, Plan]:
    plans = {s.sub_session_id: s for s in PLANS}
    return {
        row["session_key"]: plans[row["sub_session_id"]]
        for row in pq.read_table(sessions).to_pylist()
    }


def test_sessions_table_describes_each_session(exported, archive):
    out, summary = exported
    assert (summary.files, summary.converted, summary.failed) == (7, 4, 3)
    rows = {r["sub_session_id"]: r for r in pq.read_table(out / "sessions.parquet").to_pylist()}
    assert sorted(rows) == sorted(s.sub_session_id for s in PLANS)
    for plan in PLANS:
        row = rows[plan.sub_session_id]
        assert row["source_path"] == str(archive[plan.name].resolve())
        assert (row["track"], row["car"], row["driver"]) == (plan.track, plan.car, plan.driver)
        assert row["track_length_km"] == pytest.approx(3.5)
        assert row["start_date"] == datetime.fromtimestamp(plan.start_date, UTC)
        assert row["record_count"] == plan.records
        assert row["duration"] == (plan.records - 1) / TICK_RATE
        assert row["channel_count"] == len(plan.channel_types())
        assert row["lap_count"] == len(plan.laps)
        assert row["fastest_lap_time"] == min(plan.full_lap_times().values())
        assert (out / row["output"]).is_file()
        track_dir, car_dir = Path(row["output"]).parts[1:3]
        assert track_dir == f"track={plan.track}"
        assert car_dir == "car=" + plan.car.replace("/", "%2F")


def test_laps_table_has_every_lap(exported):
    out, _ = exported
    laps = pq.read_table(out / "laps.parquet")
    plans = plan_by_sub_session(out / "sessions.parquet")
    for key, plan in plans.items():
        mine = laps.filter(pa.compute.equal(laps["session_key"], key)).to_pylist()
        assert [lap["num"] for lap in mine] == list(range(len(plan.laps)))
        expected = [n / TICK_RATE for n in plan.laps[:-1]] + [(plan.laps[-1] - 1) / TICK_RATE]
        assert [lap["lap_time"] for lap in mine] == expected
        types = ["out"] + ["full"] * (len(plan.laps) - 2) + ["in"]
        assert [lap["lap_type"] for lap in mine] == types
        # The full laps off pit road are the valid ones; one sector (no split times in the
        # session info) that is the whole lap.
        assert [lap["valid"] for lap in mine] == [t == "full" for t in types]
        assert [lap["sector_times"] for lap in mine] == [
            [lap["lap_time"]] if t == "full" else None for lap, t in zip(mine, types)
        ]


def test_telemetry_has_one_widened_schema(exported):
    out, summary = exported
    table = dataset.open_dataset(out).to_table()
    assert table.num_rows == sum(s.records for s in PLANS)
    schema = table.schema
    # Int in three sessions and Float in one widen to float64; an extra channel is null in
    # the sessions that lack it; Bool against Float does not widen and is reported.
    assert schema.field("Gear").type == pa.float64()
    assert schema.field("BrakeTemp").type == pa.float32()
    assert "Flag" not in schema.names
    assert summary.conflicts == {"Flag": ["float", "bool"]}
    assert schema.field("Speed").metadata[b"units"] == b"m/s"
    assert schema.field("Speed").metadata[b"desc"] == b"Speed of the car"
    plans = plan_by_sub_session(out / "sessions.parquet")
    for key, plan in plans.items():
        rows = table.filter(pa.compute.equal(table["session_key"], key))
        assert rows.num_rows == plan.records
        assert set(rows["track"].to_pylist()) == {plan.track}
        assert set(rows["car"].to_pylist()) == {plan.car}
        cols = plan.columns()
        assert rows["Gear"].to_pylist() == [float(v) for v in cols["Gear"]]
        brake = rows["BrakeTemp"].to_pylist()
        assert brake == (cols["BrakeTemp"] if "BrakeTemp" in plan.extra else [None] * plan.records)
        assert rows["lap_num"].to_pylist() == cols["Lap"]
        assert rows["timecodes"].to_pylist() == [i * 1000 // TICK_RATE for i in range(plan.records)]
    # The conflicting channel is still in the session files that have it.
    flagged = [s for s in PLANS if "Flag" in s.extra]
    for key, plan in plans.items():
        path = (
            out
            / pq.read_table(out / "sessions.parquet")
            .filter(pa.compute.equal(pa.compute.field("session_key"), key))["output"][0]
            .as_py()
        )
        assert ("Flag" in pq.read_schema(path).names) == (plan in flagged)


@pytest.mark.parametrize(
    "name, error_class, reason",
    [
        ("truncated", "truncated", r"File too small for \d+ records"),
        ("notes", "not_ibt", "Unsupported IBT version"),
        ("snapshot", "live_snapshot", r"File too small for 1515870810 records"),
    ],
)
def test_bad_files_are_listed_with_their_class(exported, archive, name, error_class, reason):
    out, summary = exported
    errors = {e["source_path"]: e for e in pq.read_table(out / "errors.parquet").to_pylist()}
    error = errors[str(archive[name].resolve())]
    assert error["error_class"] == error_class
    assert re.search(reason, error["reason"])
    assert str(archive[name]) not in error["reason"]  # the path is in its own column
    assert (str(archive[name].resolve()), error_class, error["reason"], error["hint"]) in (
        summary.errors
    )


def _variant(kind: str) -> bytes:
    good = bytearray(PLANS[0].build())
    if kind == "snapshot with a negative count":
        data = bytearray(snapshot_bytes(bytes(good)))
        layout.patch_field(data, "session_record_count", -7)
        return bytes(data)
    if kind == "cut in the variable headers":
        return bytes(good[: layout.HEADERS_END + 10])
    if kind == "empty":
        return b""
    if kind == "version 7":
        layout.patch_field(good, "version", 7)
        return bytes(good)
    if kind == "negative buf_offset":
        layout.patch_field(good, "buf_offset", -1)
        return bytes(good)
    if kind == "one buffer in use of three":
        layout.patch_field(good, "num_buf", 3)
        layout.patch_field(good, "buf_offset", -1)
        return bytes(good)
    raise AssertionError(kind)


@pytest.mark.parametrize(
    "kind, error_class",
    [
        ("snapshot with a negative count", "live_snapshot"),
        ("cut in the variable headers", "truncated"),
        ("empty", "not_ibt"),
        ("version 7", "not_ibt"),
        ("negative buf_offset", "invalid_header"),
        ("one buffer in use of three", "invalid_header"),
        ("a directory", "io_error"),
    ],
)
def test_error_classes_from_the_readers_message_and_the_header(tmp_path, kind, error_class):
    path = tmp_path / "x.ibt"
    if kind == "a directory":
        path.mkdir()
    else:
        path.write_bytes(_variant(kind))
    outcome = dataset.convert_session(dataset.Task(str(path), "k", str(tmp_path / "out")))
    assert not outcome.ok
    assert outcome.error_class == error_class
    assert outcome.reason and "\n" not in outcome.reason


def test_rerun_skips_then_converts_only_what_is_new(tmp_path, archive):
    src = tmp_path / "src"
    src.mkdir()
    for name in ("a1", "a2"):
        shutil.copy(archive[name], src / f"{name}.ibt")
    out = tmp_path / "out"
    first = dataset.export_dataset(src, out, jobs=1, progress=False)
    assert (first.converted, first.skipped) == (2, 0)
    outputs = {p: p.stat().st_mtime_ns for p in (out / "telemetry").rglob("*.parquet")}

    shutil.copy(archive["b1"], src / "b1.ibt")
    (src / "a1.ibt").rename(src / "renamed.ibt")
    second = dataset.export_dataset(src, out, jobs=1, progress=False)
    assert (second.converted, second.skipped, second.sessions) == (1, 2, 3)
    # The two sessions already there were not written again.
    assert all(p.stat().st_mtime_ns == m for p, m in outputs.items())
    paths = pq.read_table(out / "sessions.parquet")["source_path"].to_pylist()
    assert str((src / "renamed.ibt").resolve()) in paths
    assert str((src / "a1.ibt").resolve()) not in paths
    assert pq.read_table(out / "laps.parquet").num_rows == sum(
        len(s.laps) for s in PLANS if s.name in ("a1", "a2", "b1")
    )

    # A copy is the same session, taken once; a file whose content changed replaces its session.
    shutil.copy(archive["b1"], src / "b1-copy.ibt")
    shutil.copy(archive["b2"], src / "a2.ibt")
    third = dataset.export_dataset(src, out, jobs=1, progress=False)
    assert (third.converted, third.skipped, third.sessions) == (1, 2, 3)
    assert [Path(p).name for p, _ in third.duplicates] == ["b1.ibt"]
    subs = sorted(pq.read_table(out / "sessions.parquet")["sub_session_id"].to_pylist())
    assert subs == sorted(s.sub_session_id for s in PLANS if s.name in ("a1", "b1", "b2"))
    assert len(list((out / "telemetry").rglob("*.parquet"))) == 3

    with pytest.raises(ValueError, match="other options"):
        dataset.export_dataset(src, out, channels=["Speed"], jobs=1, progress=False)


def test_an_interrupted_write_leaves_no_file(tmp_path, archive, monkeypatch):
    def half_then_fail(data: dataset.SessionData, path: Path) -> None:
        path.write_bytes(b"PAR1 half a file")
        raise OSError(28, "No space left on device")

    monkeypatch.setitem(
        dataset.WRITERS, "parquet", dataset.SessionWriter(".parquet", half_then_fail, True)
    )
    out = tmp_path / "out"
    summary = dataset.export_dataset([archive["a1"]], out, jobs=1, progress=False)
    assert summary.failed == 1
    assert summary.errors[0][1] == "io_error" and "No space left" in summary.errors[0][2]
    assert [
        p for p in (out / "telemetry").rglob("*") if p.is_file() and p.name != "_common_metadata"
    ] == []


@pytest.mark.parametrize("executor", ["thread", "process"])
def test_jobs_and_channels_give_the_same_dataset(tmp_path, archive, executor):
    files = [archive[s.name] for s in PLANS] + [archive["notes"]]
    out = tmp_path / "out"
    summary = dataset.export_dataset(
        files, out, channels=["Speed", "BrakeTemp"], jobs=2, progress=False, executor=executor
    )
    assert (summary.converted, summary.failed) == (4, 1)
    table = dataset.open_dataset(out).to_table()
    assert table.schema.names == [
        "session_key", "timecodes", "lap_num", "lap_session", "Speed", "BrakeTemp", "track", "car"
    ]  # fmt: skip
    speeds = sorted(table["Speed"].to_pylist())
    assert speeds == sorted(v for s in PLANS for v in s.columns()["Speed"])


# -- command line ------------------------------------------------------------------------------


def run(capsys, *args: str) -> tuple[int, str, str]:
    status = main(list(args))
    out, err = capsys.readouterr()
    return status, out, err


def test_cli_folder_form_reports_failures_and_exits_1(capsys, tmp_path, archive):
    root = archive["a1"].parents[1]
    out = tmp_path / "ds"
    status, stdout, err = run(capsys, "export", str(root / "alpha_ring"), str(archive["notes"]),
                              "-o", str(out), "--jobs", "1")  # fmt: skip
    assert status == 1
    assert "converted 2 of 3 files" in stdout
    lines = err.splitlines()
    assert lines[0] == f"corvex: {archive['notes'].resolve()}: not_ibt: " + (
        "Invalid header: Unsupported IBT version: "
        + str(struct.unpack_from("<i", archive["notes"].read_bytes())[0])
        + "; this is not an IBT file"
    )
    assert lines[-1].startswith("corvex: error: 1 of 3 files could not be read")
    # The same files by a glob pattern: nothing new.
    status, stdout, _ = run(capsys, "export", f"{root}/alpha_*/*.IBT", "-o", str(out), "-q")
    assert status == 0 and "converted 0 of 2 files" in stdout and "skipped 2 up to date" in stdout


@pytest.mark.parametrize(
    "args, message",
    [
        (["{a1}", "{a2}", "-o", "{tmp}/x.parquet"], "give a directory to export several"),
        (["{a1}", "-o", "{tmp}/ds", "--lap", "2"], "--lap applies to one file"),
        (["{a1}", "-o", "{tmp}/ds", "--format", "xls"], "unknown --format 'xls'"),
        (["{a1}", "-o", "{tmp}/x.parquet", "--jobs", "2"], "--jobs and --format apply"),
    ],
)
def test_cli_usage_problems(capsys, tmp_path, archive, args, message):
    args = [a.format(a1=archive["a1"], a2=archive["a2"], tmp=tmp_path) for a in args]
    status, _, err = run(capsys, "export", *args)
    assert status == 1
    assert err.count("\n") == 1 and message in err


# -- the documentation's examples on an archive whose answers are known ------------------------


def page_examples(page: Path) -> list[str]:
    """The code of each Python example of a documentation page, its prompts taken off."""
    parser = doctest.DocTestParser()
    blocks = re.findall(r"```python\n(.*?)```", page.read_text(), re.S)
    return ["".join(example.source for example in parser.get_examples(b)) for b in blocks]


def test_the_documented_queries_answer_right(tmp_path, archive, monkeypatch):
    # The page runs them on an archive of its own (its output is checked by the doc tests);
    # here they run on one whose fastest laps and lap lengths are known from the plans (which
    # have no positions, so no track models: test_one_track_model_per_layout_... checks those).
    pytest.importorskip("duckdb")
    pytest.importorskip("polars")
    shutil.copytree(archive["a1"].parents[1], tmp_path / "archive")
    monkeypatch.chdir(tmp_path)
    blocks = [
        b.replace('"roadcourse"', '"beta park"')
        for b in page_examples(DATASETS_PAGE)
        if "corvex.dask" not in b and "tracks" not in b and ("dataset/" in b or "open_dataset" in b)
    ]
    assert len(blocks) == 3
    namespace: dict[str, object] = {"os": os}
    for block in blocks:
        exec(compile(block, "datasets.md", "exec"), namespace)
    expected = sorted(BY_DRIVER_TRACK.items(), key=lambda item: (item[0][1], item[1]))
    assert namespace["fastest"] == [(d or "?", t, round(v, 3)) for (d, t), v in expected]
    lap2 = namespace["lap2"]
    beta = [s for s in PLANS if s.track == "beta park"]
    assert lap2.height == sum(s.laps[2] for s in beta)
    assert sorted(lap2["car"].unique().to_list()) == sorted(s.car for s in beta)


# -- a real recording --------------------------------------------------------------------------


def test_real_file(real_file, tmp_path):
    summary = dataset.export_dataset([real_file], tmp_path / "out", jobs=1, progress=False)
    assert summary.converted == 1, summary.errors
    row = pq.read_table(tmp_path / "out" / "sessions.parquet").to_pylist()[0]
    head = real_file.read_bytes()
    fields = layout.read_fields(head)
    scalars = {v.name for v in layout.read_var_headers(head) if v.count == 1}
    assert row["record_count"] == fields["session_record_count"]
    assert row["tick_rate"] == fields["tick_rate"]
    assert row["channel_count"] == len(scalars)
    table = dataset.open_dataset(tmp_path / "out").to_table()
    assert table.num_rows == fields["session_record_count"]
    assert set(table.schema.names) >= scalars
    assert row["source_size"] == os.path.getsize(real_file)


def test_motec_folder_form_writes_a_log_per_session_and_skips_on_rerun(tmp_path, archive):
    from _helpers import RawLd, ldx_laps

    out = tmp_path / "out"
    files = [archive["a1"], archive["b1"], archive["notes"]]
    first = dataset.export_dataset(files, out, jobs=1, progress=False, format="motec")
    assert (first.converted, first.failed) == (2, 1)
    logs = sorted((out / "telemetry").rglob("*.ld"))
    assert len(logs) == 2 and all(p.with_suffix(".ldx").is_file() for p in logs)
    rows = pq.read_table(out / "sessions.parquet").to_pylist()
    for row in rows:
        ld = RawLd((out / row["output"]).read_bytes())
        assert len(ld.channels) == row["channel_count"]
        _, details = ldx_laps((out / row["output"]).with_suffix(".ldx"))
        assert details["Total Laps"] == str(row["lap_count"])
    again = dataset.export_dataset(files, out, jobs=1, progress=False, format="motec")
    assert (again.converted, again.skipped) == (0, 2)


# -- the track model of each layout ----------------------------------------------------------


def test_one_track_model_per_layout_from_the_session_folders(tmp_path):
    """Two sessions of the road course (two runs, its first file gone before the second), an
    oval and a session without positions: one model per layout, built at each commit from what
    the sessions' folders keep, on which the laps of both road files lie."""
    from corvex.testing import tracks as T
    from corvex.track import TrackModel

    road = T.road_course()
    src = tmp_path / "src"
    src.mkdir()
    (src / "road-a.ibt").write_bytes(T.session_file(T.drive(road, [T.LapPlan(offset=0.5)] * 3)))
    (src / "plain.ibt").write_bytes(PLANS[0].build())  # no Lat/Lon
    out = tmp_path / "out"
    dataset.export_dataset([src], out, jobs=1, progress=False)
    (src / "road-a.ibt").unlink()  # the next commit cannot read it again
    second = T.drive(road, [T.LapPlan(offset=0.7, seed=9)] * 2, start_time=1000.0)
    (src / "road-b.ibt").write_bytes(T.session_file(second))
    (src / "oval.ibt").write_bytes(T.session_file(T.drive(T.oval(), [T.LapPlan()] * 2)))
    summary = dataset.export_dataset([src], out, jobs=1, progress=False)
    assert (summary.converted, summary.failed, summary.sessions) == (2, 0, 4)
    sessions = dataset.open_dataset(out, "sessions").to_table().to_pylist()
    key = {Path(s["source_path"]).stem: s["session_key"] for s in sessions}
    layouts = {s["session_key"]: (s["track_id"], s["track_config"]) for s in sessions}
    assert layouts[key["road-a"]] == layouts[key["road-b"]] == (road.track_id, road.config)
    assert layouts[key["plain"]] == (None, None)
    tracks = {r["track_id"]: r for r in dataset.open_dataset(out, "tracks").to_table().to_pylist()}
    assert sorted(tracks) == [road.track_id, T.oval().track_id]
    row = tracks[road.track_id]
    assert row["sessions"] == sorted([key["road-a"], key["road-b"]])
    assert row["laps"] == 3 + 2  # the valid laps of both files
    model = TrackModel.load(dataset.snapshot_path(out) / row["model"])
    assert model.length == pytest.approx(road.length, rel=1e-3) == row["length"]
    assert model.corners.column("direction").to_pylist() == [t.direction for t in road.turns]
    # A lap of the second file lies on the shared line, at its own distance from the line.
    cols = second.columns
    lat, lon = np.asarray(cols["Lat"]), np.asarray(cols["Lon"])
    dist = np.asarray(cols["LapDist"])
    along, lateral = model.project(lat, lon, dist)
    on_lap = np.asarray(cols["Lap"]) == 1
    assert np.nanmax(np.abs(lateral[on_lap])) < 1.5
    gap = (along - dist + model.length / 2) % model.length - model.length / 2
    assert np.nanmax(np.abs(gap[on_lap])) < 1.0
    assert tracks[T.oval().track_id]["sessions"] == [key["oval"]]
