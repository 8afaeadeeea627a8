"""corvex.dask on a real two-process LocalCluster, over writer-made sessions and bad files."""

from __future__ import annotations

import doctest
import re
from pathlib import Path

import pyarrow.parquet as pq
import pytest
from _helpers_dataset import PLANS, TICK_RATE, write_archive

pytest.importorskip("corvex._corvex_rs")
distributed = pytest.importorskip("distributed")
pytest.importorskip("dask.dataframe")

import corvex.dask as cdask  # noqa: E402 - after the skips

DATASETS_PAGE = Path(__file__).resolve().parents[1] / "docs" / "datasets.md"


@pytest.fixture(scope="module")
def client():
    with (
        distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
        ) as cluster,
        distributed.Client(cluster) as client,
    ):
        yield client


@pytest.fixture(scope="module")
def archive(tmp_path_factory) -> dict[str, Path]:
    return write_archive(tmp_path_factory.mktemp("archive"))


def test_read_telemetry_one_partition_per_session(client, archive):
    good = [archive[s.name] for s in PLANS]
    frame = cdask.read_telemetry(good, channels=["Speed", "Gear", "BrakeTemp"])
    assert frame.npartitions == len(PLANS)
    # The schema is known before computing: widened Gear, the partition columns at the end.
    assert list(frame.columns) == [
        "session_key", "timecodes", "lap_num", "lap_session", "Speed", "Gear", "BrakeTemp",
        "track", "car",
    ]  # fmt: skip
    assert str(frame.dtypes["Gear"]) == "double[pyarrow]"
    result = frame.compute()
    assert len(result) == sum(s.records for s in PLANS)
    for plan in PLANS:
        rows = result[result["car"].eq(plan.car) & result["track"].eq(plan.track)]
        cols = plan.columns()
        assert rows["timecodes"].tolist() == [i * 1000 // TICK_RATE for i in range(plan.records)]
        assert rows["Gear"].tolist() == [float(v) for v in cols["Gear"]]
        assert rows["lap_num"].tolist() == cols["Lap"]
        has_brake = rows["BrakeTemp"].notna().all()
        assert has_brake == ("BrakeTemp" in plan.extra)
    per_track = frame.groupby("track").Speed.count().compute().to_dict()
    for track in {s.track for s in PLANS}:
        assert per_track[track] == sum(s.records for s in PLANS if s.track == track)


def test_read_telemetry_names_bad_files(client, archive):
    with pytest.raises(ValueError, match="3 files cannot be read") as info:
        cdask.read_telemetry(archive["a1"].parents[1])
    text = str(info.value)
    assert (
        "truncated: Invalid header: File too small" in text
        and "not_ibt" in text
        and "live_snapshot" in text
    )
    with pytest.warns(UserWarning) as caught:
        frame = cdask.read_telemetry(archive["a1"].parents[1], errors="skip")
    assert frame.npartitions == len(PLANS)
    texts = sorted(str(w.message).split(": ")[1] for w in caught if "/bad/" in str(w.message))
    assert texts == ["live_snapshot", "not_ibt", "truncated"]


def test_a_file_that_fails_when_its_partition_is_read_is_skipped(client, tmp_path):
    # The headers were good when the graph was made; the file is cut before it is computed.
    paths = []
    for plan in PLANS[:2]:
        paths.append(tmp_path / f"{plan.name}.ibt")
        paths[-1].write_bytes(plan.build())
    frames = {
        m: cdask.read_telemetry(paths, channels=["Speed"], errors=m) for m in ("skip", "raise")
    }
    paths[1].write_bytes(paths[1].read_bytes()[:200])
    assert len(frames["skip"].compute()) == PLANS[0].records
    with pytest.raises(OSError, match="File too small"):
        frames["raise"].compute()


def test_export_on_the_cluster_matches_the_local_export(client, archive, tmp_path):
    from corvex import dataset

    root = archive["a1"].parents[1]
    remote = cdask.export_dataset([root], tmp_path / "dask", client=client, progress=False)
    local = dataset.export_dataset([root], tmp_path / "local", jobs=1, progress=False)
    assert (remote.converted, remote.failed) == (len(PLANS), 3)
    assert sorted(remote.errors) == sorted(local.errors)
    # Two worker processes did the work, and each one told its peak memory.
    assert len(remote.worker_peak_rss) == 2 and all(remote.worker_peak_rss.values())
    for name in ("sessions.parquet", "laps.parquet"):
        # The time of each conversion is the one thing that differs.
        a, b = (
            pq.read_table(tmp_path / where / name).sort_by("session_key")
            for where in ("dask", "local")
        )
        if "converted_at" in a.column_names:
            a, b = a.drop_columns("converted_at"), b.drop_columns("converted_at")
        assert a.equals(b), name
    tables = [dataset.open_dataset(tmp_path / d).to_table() for d in ("dask", "local")]
    order = [("session_key", "ascending"), ("timecodes", "ascending")]
    assert tables[0].sort_by(order).equals(tables[1].sort_by(order))
    again = cdask.export_dataset([root], tmp_path / "dask", client=client, progress=False)
    assert (again.converted, again.skipped) == (0, len(PLANS))


def test_the_documented_dask_example_answers_right(archive, tmp_path, monkeypatch):
    # The page runs it on an archive of its own; here on one whose top speeds are known.
    blocks = re.findall(r"```python\n(.*?)```", DATASETS_PAGE.read_text(), re.S)
    (text,) = [b for b in blocks if "corvex.dask" in b]
    block = "".join(e.source for e in doctest.DocTestParser().get_examples(text))
    (tmp_path / "archive").symlink_to(archive["a1"].parents[1], target_is_directory=True)
    monkeypatch.chdir(tmp_path)
    namespace: dict[str, object] = {}
    try:
        with pytest.warns(UserWarning):
            exec(compile(block, "datasets.md", "exec"), namespace)
    finally:
        if "client" in namespace:
            namespace["client"].close()
    top = namespace["top_speed"].to_dict()
    for track in {s.track for s in PLANS}:
        assert top[track] == max(v for s in PLANS if s.track == track for v in s.columns()["Speed"])
    assert namespace["summary"].converted == len(PLANS)
    # Written where the relative path points from here, not from the workers' directory.
    assert len(list((tmp_path / "dataset-dask" / "telemetry").rglob("*.parquet"))) == len(PLANS)
