"""The dataset and the file exports under faults: kills at chosen points, a full disk, files
deleted by hand, edits in place, names that are not UTF-8, FIFOs, link loops, interrupts.

After each fault the dataset must read the same through pyarrow, DuckDB and polars (no
orphan telemetry, no session without its laps), and a run after it must leave what a fresh
export of the same sources gives. Sessions are the small writer-made ones of
tests/_helpers_dataset.py; processes are killed for real where the fault is a kill.
"""

from __future__ import annotations

import errno
import os
import shutil
import signal
import subprocess
import sys
import textwrap
import time
from collections import Counter
from pathlib import Path

import pyarrow as pa
import pyarrow.parquet as pq
import pytest
from _helpers_dataset import PLANS

from corvex import dataset
from corvex.cli import main

pytest.importorskip("corvex._corvex_rs")
duckdb = pytest.importorskip("duckdb")
pl = pytest.importorskip("polars")


# -- what a consistent dataset is ---------------------------------------------------------


def read_everywhere(out: Path) -> dict[str, object]:
    """The dataset as pyarrow, DuckDB and polars read it, checked to agree; what it holds."""
    sessions = dataset.open_dataset(out, "sessions").to_table()
    laps = dataset.open_dataset(out, "laps").to_table()
    records = dict(zip(sessions["session_key"].to_pylist(), sessions["record_count"].to_pylist()))
    lap_counts = dict(zip(sessions["session_key"].to_pylist(), sessions["lap_count"].to_pylist()))
    telemetry = dataset.open_dataset(out).to_table(columns=["session_key"])
    assert Counter(telemetry["session_key"].to_pylist()) == Counter(records)  # no orphans
    assert Counter(laps["session_key"].to_pylist()) == Counter(
        {k: n for k, n in lap_counts.items() if n}
    )
    # The names a user types into DuckDB and polars read the same snapshot.
    glob = f"{out}/telemetry/**/*.parquet"
    by_duckdb = dict(
        duckdb.sql(
            f"SELECT session_key, count(*) FROM read_parquet('{glob}', hive_partitioning=true) "
            "GROUP BY 1"
        ).fetchall()
    )
    assert by_duckdb == records
    assert duckdb.sql(f"SELECT count(*) FROM '{out}/laps.parquet'").fetchall() == [(laps.num_rows,)]
    scan = pl.scan_parquet(glob, extra_columns="ignore", missing_columns="insert")
    by_polars = scan.group_by("session_key").len().collect()
    assert dict(by_polars.iter_rows()) == records
    assert pl.read_parquet(out / "sessions.parquet").height == sessions.num_rows
    # Each layout's model lies in the same snapshot, and its sessions are the snapshot's.
    tracks = dataset.open_dataset(out, "tracks").to_table()
    snapshot = dataset.snapshot_path(out)
    for row in tracks.to_pylist():
        assert (snapshot / row["model"]).is_file() and set(row["sessions"]) <= set(records)
    return {
        "sessions": _normal(sessions, ["converted_at"]),
        "laps": laps.sort_by([("session_key", "ascending"), ("num", "ascending")]),
        "telemetry": sorted(records.items()),
        "tracks": tracks,
    }


def _normal(table: pa.Table, drop: list[str]) -> pa.Table:
    return table.drop_columns(drop).sort_by("session_key")


def fresh(sources: list[Path], where: Path) -> dict[str, object]:
    """What a fresh export of ``sources`` holds."""
    dataset.export_dataset(sources, where, jobs=1, progress=False)
    return read_everywhere(where)


def stray_files(out: Path) -> list[Path]:
    work = out / ".corvex" / "tmp"
    left = [p for p in work.iterdir()] if work.exists() else []
    return left + [
        p for p in out.iterdir() if ".corvex-tmp" in p.name or p.name.startswith(".current")
    ]


@pytest.fixture
def sources(tmp_path: Path) -> Path:
    src = tmp_path / "src"
    src.mkdir()
    for plan in PLANS[:3]:
        (src / f"{plan.name}.ibt").write_bytes(plan.build())
    return src


def change_sources(src: Path) -> None:
    """A new file, a file that now holds another session, a removed one: a run's worth."""
    (src / "b2.ibt").write_bytes(PLANS[3].build())
    (src / "a2.ibt").write_bytes(PLANS[0].build()[:-40])  # cut: its old session must stay
    os.utime(src / "a1.ibt", ns=(1, 1))  # touched only


# -- kills at chosen points -------------------------------------------------------------------

# Runs an export in this interpreter and kills it with SIGKILL at the n-th file operation of
# the run (the writes of tables, renames, links); n = 0 runs it whole and prints the count.
KILL_AT = textwrap.dedent(
    """
    import os, signal, sys
    import pyarrow.parquet as pq
    from corvex import dataset

    n, count = int(sys.argv[1]), 0

    def wrap(module, name):
        real = getattr(module, name)
        def hit(*args, **kwargs):
            global count
            count += 1
            if count == n:
                os.kill(os.getpid(), signal.SIGKILL)
            return real(*args, **kwargs)
        setattr(module, name, hit)

    for module, name in [(os, "rename"), (os, "replace"), (os, "link"), (os, "symlink"),
                         (pq, "write_table"), (pq, "write_metadata")]:
        wrap(module, name)
    dataset.export_dataset([sys.argv[2]], sys.argv[3], jobs=1, progress=False)
    print(count)
    """
)


def run_killed(n: int, src: Path, out: Path) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-c", KILL_AT, str(n), str(src), str(out)],
        capture_output=True,
        text=True,
        timeout=120,
    )


def test_a_kill_at_any_point_leaves_a_consistent_dataset_that_a_rerun_completes(sources, tmp_path):
    out = tmp_path / "out"
    dataset.export_dataset([sources], out, jobs=1, progress=False)
    before = read_everywhere(out)
    change_sources(sources)
    after = fresh([sources], tmp_path / "fresh-a")
    # The cut file keeps its session in a rerun: what the dataset holds then is the old
    # export's a2 beside the new files (not what a fresh export of the cut file gives).
    probe = tmp_path / "probe"
    shutil.copytree(out, probe, symlinks=True)
    whole = run_killed(0, sources, probe)
    assert whole.returncode == 0, whole.stderr
    operations = int(whole.stdout.split()[-1])
    expected = read_everywhere(probe)
    assert expected != before and expected["telemetry"] != after["telemetry"]
    points = sorted({2, operations // 2, operations - 1, operations})
    for n in points:
        work = tmp_path / f"kill-{n}"
        shutil.copytree(out, work, symlinks=True)
        killed = run_killed(n, sources, work)
        assert killed.returncode == -signal.SIGKILL, (n, killed.stderr)
        seen = read_everywhere(work)
        assert seen in (before, expected), f"killed at operation {n} of {operations}"
        rerun = dataset.export_dataset([sources], work, jobs=1, progress=False)
        assert read_everywhere(work) == expected, f"rerun after a kill at {n}: {rerun}"
        assert stray_files(work) == []


class _Crash(BaseException):
    """An end the code cannot catch as an error of one file (as a kill, but in this process)."""


def test_a_crash_at_every_step_leaves_a_consistent_dataset(sources, tmp_path, monkeypatch):
    """Every file operation of a run, one at a time, ends it: the dataset is the last commit
    or the new one, never a mix, and a rerun completes it. A session with positions gives the
    run a track model to commit."""
    from corvex.testing import tracks as T

    (sources / "road.ibt").write_bytes(T.session_file(T.drive(T.road_course(), [T.LapPlan()])))
    out = tmp_path / "out"
    dataset.export_dataset([sources], out, jobs=1, progress=False)
    assert dataset.open_dataset(out, "tracks").count_rows() == 1
    before = read_everywhere(out)
    change_sources(sources)
    count = [0, 0]  # operations so far, the one that crashes

    def wrap(module: object, name: str) -> None:
        real = getattr(module, name)

        def hit(*args: object, **kwargs: object) -> object:
            count[0] += 1
            if count[0] == count[1]:
                raise _Crash
            return real(*args, **kwargs)

        monkeypatch.setattr(module, name, hit)

    for module, name in [(os, "rename"), (os, "replace"), (os, "link"), (os, "symlink"),
                         (pq, "write_table"), (pq, "write_metadata")]:  # fmt: skip
        wrap(module, name)
    whole = tmp_path / "whole"
    shutil.copytree(out, whole, symlinks=True)
    count[0] = 0
    dataset.export_dataset([sources], whole, jobs=1, progress=False)
    expected = read_everywhere(whole)
    steps = count[0]
    assert steps >= 15  # a conversion, a renamed row, the tables, links and the switch
    for step in range(1, steps + 1):
        work = tmp_path / f"crash-{step}"
        shutil.copytree(out, work, symlinks=True)
        count[:] = [0, step]
        with pytest.raises(_Crash):
            dataset.export_dataset([sources], work, jobs=1, progress=False)
        count[:] = [0, 0]
        assert read_everywhere(work) in (before, expected), f"step {step} of {steps}"
        dataset.export_dataset([sources], work, jobs=1, progress=False)
        assert read_everywhere(work) == expected, f"rerun after step {step}"
        assert stray_files(work) == []
        shutil.rmtree(work)


# -- a full disk ---------------------------------------------------------------------------------


@pytest.mark.parametrize("at", [1, 3, 5, 7])  # of the 7 table writes of the run
def test_a_full_disk_at_any_write_changes_nothing_and_a_rerun_completes(
    sources, tmp_path, monkeypatch, capsys, at
):
    out = tmp_path / "out"
    dataset.export_dataset([sources], out, jobs=1, progress=False)
    before = read_everywhere(out)
    (sources / "b2.ibt").write_bytes(PLANS[3].build())
    real = pq.write_table
    calls = []

    def full(table: pa.Table, where: object, *args: object, **kwargs: object) -> None:
        calls.append(where)
        if len(calls) == at:
            raise OSError(errno.ENOSPC, "No space left on device")
        real(table, where, *args, **kwargs)

    monkeypatch.setattr(pq, "write_table", full)
    status = main(["export", str(sources), "-o", str(out), "-q", "--jobs", "1"])
    err = capsys.readouterr().err
    assert status == 1 and "No space left on device" in err
    assert read_everywhere(out) == before
    monkeypatch.setattr(pq, "write_table", real)
    assert main(["export", str(sources), "-o", str(out), "-q", "--jobs", "1"]) == 0
    assert read_everywhere(out) == fresh([sources], tmp_path / "fresh")
    assert stray_files(out) == []


# -- files deleted by hand -------------------------------------------------------------------


@pytest.mark.parametrize(
    "victim",
    [
        "laps.parquet",
        "current/laps.parquet",
        "current/sessions.parquet",
        "current",
        ".corvex/versions",
        "session folder's laps",
        "session folder's telemetry",
        "telemetry link",
    ],
)
def test_files_deleted_by_hand_are_repaired_by_a_rerun(sources, tmp_path, victim):
    out = tmp_path / "out"
    dataset.export_dataset([sources], out, jobs=1, progress=False)
    expected = read_everywhere(out)
    folder = sorted((out / ".corvex" / "sessions").iterdir())[0]
    path = {
        "session folder's laps": folder / "laps.parquet",
        "session folder's telemetry": folder / "telemetry.parquet",
        "telemetry link": next((out / "current" / "telemetry").rglob("*.parquet")),
    }.get(victim, out / victim)
    if path.is_dir() and not path.is_symlink():
        shutil.rmtree(path)
    else:
        path.unlink()
    summary = dataset.export_dataset([sources], out, jobs=1, progress=False)
    assert summary.failed == 0
    assert read_everywhere(out) == expected
    # The run says what it repaired.
    assert any(word in note for note in summary.notes for word in ("missing", "damaged"))
    if victim.startswith("session folder"):
        assert summary.converted == 1  # read again from its source, not from a combined table


# -- edits ---------------------------------------------------------------------------------------


def test_edits_are_seen_and_a_cut_source_keeps_its_session(sources, tmp_path):
    out = tmp_path / "out"
    dataset.export_dataset([sources], out, jobs=1, progress=False)
    a1 = sources / "a1.ibt"
    stamp = a1.stat().st_mtime_ns
    # The same size and headers, other telemetry: the last record's bytes changed in place.
    data = bytearray(a1.read_bytes())
    data[-4:] = bytes(b ^ 0xFF for b in data[-4:])
    a1.write_bytes(bytes(data))
    os.utime(a1, ns=(stamp + 1, stamp + 1))
    os.utime(sources / "b1.ibt", ns=(stamp, stamp))  # touched only: same content
    (sources / "a2.ibt").write_bytes(PLANS[1].build()[:-40])  # cut
    summary = dataset.export_dataset([sources], out, jobs=1, progress=False)
    assert (summary.converted, summary.skipped, summary.failed) == (1, 1, 1)
    path, error_class, reason, hint = summary.errors[0]
    assert path.endswith("a2.ibt") and error_class == "truncated"
    assert "keeps the session read from this file before" in reason and "salvage" in (hint or "")
    names = [Path(p).name for p in dataset.open_dataset(out, "sessions").to_table()["source_path"]
             .to_pylist()]  # fmt: skip
    assert sorted(names) == ["a1.ibt", "a2.ibt", "b1.ibt"]
    errors = pq.read_table(out / "errors.parquet").to_pylist()
    assert [e["error_class"] for e in errors] == ["truncated"] and errors[0]["hint"] == hint
    # With --salvage the cut file is read, and says so.
    assert main(["export", str(sources), "-o", str(out), "-q", "--salvage", "--jobs", "1"]) == 0
    rows = {
        Path(r["source_path"]).name: r for r in pq.read_table(out / "sessions.parquet").to_pylist()
    }
    assert rows["a2.ibt"]["salvaged"] and not rows["a1.ibt"]["salvaged"]
    assert rows["a2.ibt"]["record_count"] < PLANS[1].records


# -- names, FIFOs, loops -------------------------------------------------------------------------


def test_names_that_are_not_utf8_are_kept_losslessly(tmp_path):
    src = tmp_path / "src"
    src.mkdir()
    raw = os.fsencode(src) + b"/r\xe9sum\xff.ibt"
    with open(raw, "wb") as f:
        f.write(PLANS[0].build())
    (src / "plain.ibt").write_bytes(PLANS[1].build())
    out = tmp_path / "out"
    assert main(["export", str(src), "-o", str(out), "-q"]) == 0
    rows = read_everywhere(out)["sessions"].to_pylist()
    by_bytes = {r["source_path_bytes"]: r for r in rows}
    assert raw in by_bytes
    assert by_bytes[raw]["source_path"].endswith("/r\\xe9sum\\xff.ibt")
    # What the table stores opens the file again.
    assert dataset_session_count(os.fsdecode(raw)) == PLANS[0].records
    (src / "plain.ibt").write_bytes(b"no recording")
    os.utime(raw, ns=(1, 1))
    summary = dataset.export_dataset([src], out, jobs=1, progress=False)
    errors = pq.read_table(out / "errors.parquet").to_pylist()
    assert summary.skipped == 1 and [e["source_path_bytes"] for e in errors] == [
        os.fsencode(src / "plain.ibt")
    ]


def dataset_session_count(path: str) -> int:
    import corvex

    return corvex.open(path).record_count


class _TooSlow(Exception):
    pass


def within(seconds: float, call: object, *args: object) -> object:
    """``call(*args)``, or a failure when it takes longer than ``seconds`` (a hang)."""

    def alarm(signum: int, frame: object) -> None:
        raise _TooSlow(f"still running after {seconds} s")

    previous = signal.signal(signal.SIGALRM, alarm)
    signal.setitimer(signal.ITIMER_REAL, seconds)
    try:
        return call(*args)  # type: ignore[operator]
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


def test_fifos_and_link_loops_never_hang(tmp_path, capsys):
    src = tmp_path / "src"
    (src / "deep").mkdir(parents=True)
    (src / "deep" / "a1.ibt").write_bytes(PLANS[0].build())
    (src / "deep" / "up").symlink_to(src, target_is_directory=True)
    (src / "deep" / "loop").symlink_to(src / "deep", target_is_directory=True)
    os.mkfifo(src / "pipe.ibt")
    out = tmp_path / "out"
    for sources, found in [
        ([src], 1),
        ([f"{src}/**/*.ibt"], 1),
        ([src / "pipe.ibt", src / "deep" / "a1.ibt"], 2),
    ]:
        summary = within(20, dataset.export_dataset, sources, out, None, 1, False)
        assert isinstance(summary, dataset.ExportSummary)
        assert (summary.files, summary.converted + summary.skipped) == (found, 1), sources
    errors = pq.read_table(out / "errors.parquet").to_pylist()
    assert [(Path(e["source_path"]).name, e["error_class"]) for e in errors] == [
        ("pipe.ibt", "io_error")
    ]
    assert within(20, main, ["info", str(src / "pipe.ibt")]) == 1
    assert "pipe.ibt" in capsys.readouterr().err


@pytest.mark.parametrize(
    "pattern",
    ["**/*.ibt", "*/*.ibt", "**", "a/**", "[ac]/*", ".h/*.ibt", "**/.*.ibt", "*", "**/**/*.IBT"],
)
def test_glob_patterns_match_what_glob_matches(tmp_path, monkeypatch, pattern):
    """On a tree without link loops the walk that ends on loops finds what glob.glob finds."""
    import glob

    from corvex.dataset.sources import find_sources

    for name in ["a/x.ibt", "a/b/y.IBT", ".h/z.ibt", "c/.w.ibt", "top.ibt", "c/d/e.ibt"]:
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_bytes(b"")
    monkeypatch.chdir(tmp_path)
    expected: set[str] = set()
    for hit in glob.glob(pattern, recursive=True):
        if os.path.isdir(hit):
            expected |= {
                os.path.abspath(os.path.join(d, f))
                for d, _, names in os.walk(hit)
                for f in names
                if f.lower().endswith(".ibt")
            }
        else:
            expected.add(os.path.abspath(hit))
    found, _ = find_sources([pattern])
    assert {str(p) for p in found} == expected


# -- interrupts and kills of the whole export ------------------------------------------------

# Slows each conversion down, in every process of the export (the fork server and its
# workers start from a fresh interpreter, which imports sitecustomize).
SLOW = textwrap.dedent(
    """
    import time
    import corvex.dataset.convert as convert

    _real = convert._convert

    def _slow(*args):
        try:
            time.sleep(30)
        except KeyboardInterrupt:
            if __import__("os").environ.get("SWALLOW"):  # as a library that catches it would
                raise RuntimeError("the interrupt, taken for an error") from None
            raise
        return _real(*args)

    convert._convert = _slow
    """
)


def descendants_alive(group: int) -> list[int]:
    alive = []
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            fields = (entry / "stat").read_text().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(fields[2]) == group and fields[0] != "Z":
            alive.append(int(entry.name))
    return alive


def start_slow_export(
    tmp_path: Path, sources: Path, jobs: int, swallow: bool = False
) -> subprocess.Popen[str]:
    hooks = tmp_path / "hooks"
    hooks.mkdir(exist_ok=True)
    (hooks / "sitecustomize.py").write_text(SLOW)
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([str(hooks), *sys.path])}
    if swallow:
        env["SWALLOW"] = "1"
    return subprocess.Popen(
        [sys.executable, "-m", "corvex", "export", str(sources), "-o", str(tmp_path / "out"),
         "--jobs", str(jobs), "-q"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=env,
        start_new_session=True,
    )  # fmt: skip


def wait_for_conversions(out: Path, count: int) -> None:
    """Until ``count`` conversions are under way (each has its work folder)."""
    work = out / ".corvex" / "tmp"
    deadline = time.monotonic() + 60
    while len(list(work.glob("work-*")) if work.exists() else []) < count:
        assert time.monotonic() < deadline, "the conversions never started"
        time.sleep(0.05)
    time.sleep(0.2)


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
@pytest.mark.parametrize("how", [signal.SIGKILL, signal.SIGTERM])
def test_no_process_of_a_killed_export_outlives_it(tmp_path, sources, how):
    export = start_slow_export(tmp_path, sources, jobs=2)
    wait_for_conversions(tmp_path / "out", 2)
    # the export, the fork server, two workers (and the resource tracker)
    assert len(descendants_alive(export.pid)) >= 4
    export.send_signal(how)
    export.wait(timeout=30)
    assert_all_gone_within(export.pid, 1.0)
    export.communicate(timeout=30)  # nobody holds its pipes any more


def assert_all_gone_within(group: int, seconds: float) -> None:
    deadline = time.monotonic() + seconds
    while (left := descendants_alive(group)) and time.monotonic() < deadline:
        time.sleep(0.05)
    names = [Path(f"/proc/{pid}/cmdline").read_bytes()[:80] for pid in left]
    assert left == [], names


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
@pytest.mark.parametrize("jobs, swallow", [(1, False), (1, True), (2, False)])
def test_ctrl_c_ends_the_export_with_130_and_one_line(tmp_path, sources, jobs, swallow):
    export = start_slow_export(tmp_path, sources, jobs=jobs, swallow=swallow)
    wait_for_conversions(tmp_path / "out", jobs)
    os.killpg(export.pid, signal.SIGINT)  # as the terminal sends it: to the whole group
    _, err = export.communicate(timeout=60)
    assert export.returncode == 130, err
    assert err.splitlines() == ["corvex: interrupted"]
    assert_all_gone_within(export.pid, 1.0)
    assert not (tmp_path / "out" / "errors.parquet").exists()  # nothing committed
    assert stray_files(tmp_path / "out") == []


# -- smaller faults --------------------------------------------------------------------------


def test_identical_bad_files_each_get_their_row(tmp_path):
    src = tmp_path / "src"
    src.mkdir()
    for i in range(5):
        (src / f"bad{i}.ibt").write_bytes(PLANS[0].build()[:-40])
    summary = dataset.export_dataset([src], tmp_path / "out", jobs=1, progress=False)
    assert summary.failed == 5
    assert sorted(Path(e[0]).name for e in summary.errors) == [f"bad{i}.ibt" for i in range(5)]


@pytest.mark.parametrize(
    "track",
    ["__HIVE_DEFAULT_PARTITION__", "T" * 300, "é" * 200 + "/=%", ".."],
)
def test_any_track_name_reads_back(tmp_path, track):
    from dataclasses import replace

    src = tmp_path / "src"
    src.mkdir()
    (src / "s.ibt").write_bytes(replace(PLANS[0], track=track).build())
    out = tmp_path / "out"
    summary = dataset.export_dataset([src], out, jobs=1, progress=False)
    assert summary.failed == 0
    read_everywhere(out)
    assert dataset.open_dataset(out, "sessions").to_table()["track"].to_pylist() == [track]
    partition = set(dataset.open_dataset(out).to_table(columns=["track"])["track"].to_pylist())
    assert len(partition) == 1 and None not in partition
    if track == "__HIVE_DEFAULT_PARTITION__":  # the one name Hive readers take for null
        assert partition == {track + "~"}
    elif len(track.encode()) < 200:
        assert partition == {track}


def test_a_bad_reader_setting_is_one_error_for_the_run(tmp_path, sources, monkeypatch, capsys):
    monkeypatch.setenv("CORVEX_MAX_THREADS", "abc")
    status = main(["export", str(sources), "-o", str(tmp_path / "out"), "-q"])
    err = capsys.readouterr().err.splitlines()
    assert status == 1 and len(err) == 1 and "CORVEX_MAX_THREADS" in err[0]


def test_a_folder_to_one_file_says_what_to_do(tmp_path, sources, capsys):
    assert main(["export", str(sources), "-o", str(tmp_path / "all.parquet")]) == 1
    assert "a folder becomes a dataset directory" in capsys.readouterr().err


# -- layout 1 ------------------------------------------------------------------------------------


def test_a_layout_1_directory_is_upgraded_without_losing_a_session(sources, tmp_path):
    """A directory as the first layout wrote it: combined tables as the only copy of the rows,
    telemetry files under telemetry/. Its sessions come over; those whose sources are there
    are read again for the new columns, the one whose source is gone keeps its rows."""
    made = tmp_path / "made"
    dataset.export_dataset([sources], made, jobs=1, progress=False)
    old = tmp_path / "old"
    (old / "telemetry").mkdir(parents=True)
    current = made / "current"
    shutil.copytree(current / "telemetry", old / "telemetry", dirs_exist_ok=True)
    old_session_columns = [
        *("session_key", "source_path", "source_size", "source_mtime_ns", "output"),
        *("track", "car", "driver", "record_count", "lap_count"),
    ]
    options = b'{"layout": 1, "format": "parquet", "channels": null}'
    sessions = pq.read_table(current / "sessions.parquet").select(old_session_columns)
    pq.write_table(sessions.replace_schema_metadata({b"corvex.export": options}),
                   old / "sessions.parquet")  # fmt: skip
    laps = pq.read_table(current / "laps.parquet").select(
        ["session_key", "num", "session", "lap_type", "start_time", "end_time", "lap_time"]
    )
    pq.write_table(laps, old / "laps.parquet")
    gone = sources / "a1.ibt"
    gone_key = next(r["session_key"] for r in sessions.to_pylist()
                    if r["source_path"] == str(gone))  # fmt: skip
    gone.unlink()
    summary = dataset.export_dataset([sources], old, jobs=1, progress=False)
    assert summary.converted == 2 and summary.sessions == 3
    assert any("upgraded" in n and "3 sessions kept" in n for n in summary.notes)
    seen = read_everywhere(old)
    rows = {r["session_key"]: r for r in seen["sessions"].to_pylist()}
    assert rows[gone_key]["record_count"] == PLANS[0].records
    assert rows[gone_key]["source_hash"] is None  # kept as layout 1 had it
    for key, row in rows.items():
        if key != gone_key:
            assert row["source_hash"] is not None  # read again
    assert (old / "sessions.parquet").is_symlink() and (old / "telemetry").is_symlink()


# -- single-file exports -----------------------------------------------------------------------


@pytest.fixture
def one_file(tmp_path: Path) -> Path:
    path = tmp_path / "one.ibt"
    path.write_bytes(PLANS[0].build())
    return path


@pytest.mark.parametrize(
    "suffix, module, function",
    [
        (".parquet", "pyarrow.parquet", "write_table"),
        (".feather", "pyarrow.feather", "write_feather"),
        (".csv", "pyarrow.csv", "write_csv"),
    ],
)
def test_a_failed_table_export_leaves_the_previous_file(
    tmp_path, one_file, monkeypatch, capsys, suffix, module, function
):
    import importlib

    target = tmp_path / f"x{suffix}"
    assert main(["export", str(one_file), "-o", str(target)]) == 0
    previous = target.read_bytes()
    mod = importlib.import_module(module)
    real = getattr(mod, function)

    def half(table: pa.Table, where: object, *args: object, **kwargs: object) -> None:
        real(table.slice(0, 3), where, *args, **kwargs)
        raise OSError(errno.ENOSPC, "No space left on device")

    monkeypatch.setattr(mod, function, half)
    assert main(["export", str(one_file), "-o", str(target)]) == 1
    assert "No space left" in capsys.readouterr().err
    assert target.read_bytes() == previous
    assert [p.name for p in tmp_path.iterdir() if p.name.startswith(".")] == []
    monkeypatch.setattr(mod, function, real)
    target.chmod(0o444)
    assert main(["export", str(one_file), "-o", str(target)]) == 1
    assert "read-only" in capsys.readouterr().err


def test_motec_pair_is_all_or_nothing(tmp_path, one_file, monkeypatch):
    pytest.importorskip("numpy")
    import corvex
    from corvex import files
    from corvex.motec import write_motec

    log = corvex.open(one_file)
    ld = tmp_path / "s.ld"
    write_motec(log, ld, channels=["Speed"])
    before = (ld.read_bytes(), ld.with_suffix(".ldx").read_bytes())
    real = os.replace
    calls = []

    def second_fails(src: object, dst: object) -> None:
        calls.append(dst)
        if len(calls) == 2:
            raise OSError(errno.EIO, "Input/output error")
        real(src, dst)

    monkeypatch.setattr(files.os, "replace", second_fails)
    with pytest.raises(OSError, match="Input/output"):
        write_motec(log, ld, channels=["Speed", "Gear"])
    monkeypatch.setattr(files.os, "replace", real)
    assert (ld.read_bytes(), ld.with_suffix(".ldx").read_bytes()) == before
    assert sorted(p.name for p in tmp_path.iterdir()) == ["one.ibt", "s.ld", "s.ldx"]
    ld.chmod(0o444)
    with pytest.raises(PermissionError, match="read-only"):
        write_motec(log, ld)


def test_motec_writers_of_one_path_never_mix(tmp_path, one_file):
    pytest.importorskip("numpy")
    from concurrent.futures import ThreadPoolExecutor

    import corvex
    from corvex.motec import read_ld, read_ldx, write_motec

    logs = [corvex.open(one_file), corvex.open(one_file)]
    picks = [["Speed"], ["Speed", "Gear", "Lap"]]
    ld = tmp_path / "s.ld"
    for _ in range(5):
        with ThreadPoolExecutor(2) as pool:
            list(pool.map(lambda i: write_motec(logs[i], ld, channels=picks[i]), [0, 1]))
        names = sorted(c.name for c in read_ld(ld).channels)
        assert names in (sorted(picks[0]), sorted(picks[1]))
        assert read_ldx(ld.with_suffix(".ldx")) is not None
    assert sorted(p.name for p in tmp_path.iterdir()) == ["one.ibt", "s.ld", "s.ldx"]
