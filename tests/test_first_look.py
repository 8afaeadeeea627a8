"""What a new user meets first: start-up imports, notes on files that are no recordings,
channel suggestions, missing optional packages, ``info --json`` and the notebook views.

Expected values come from the written bytes (tests/_helpers.py) or from what the
extension itself raises, never from the code under test.
"""

from __future__ import annotations

import html
import json
import os
import shutil
import subprocess
import sys
from importlib import metadata
from pathlib import Path

import pyarrow as pa
import pytest
from _helpers import RawIbt

import corvex
from corvex.cli import main
from corvex.errors import KINDS, error_kind
from corvex.testing import BOOL, DOUBLE, FLOAT, INT, Var, build_ibt, layout, write_sample

ext = pytest.importorskip("corvex._corvex_rs")

LIVE = (
    "this looks like a live telemetry snapshot (three rotating buffers), not a disk recording; "
    "corvex.open_snapshot reads it"
)
# good[:-3] below: three records of one double, the last cut by 3 bytes.
CUT = (
    "the file holds 2 whole records: corvex.open(source, salvage=True) (--salvage on the "
    "command line) reads them"
)


@pytest.fixture(scope="module")
def sample(tmp_path_factory) -> tuple[Path, RawIbt]:
    path = write_sample(tmp_path_factory.mktemp("first") / "sample.ibt")
    return path, RawIbt(path.read_bytes())


def live_snapshot() -> bytes:
    """A file laid out like the simulator's shared memory: three record buffers in the main
    header and, where a recording has its disk sub-header, whatever the memory held."""
    data = bytearray(
        build_ibt(
            [Var("SessionTime", DOUBLE), Var("Speed", FLOAT)],
            {"SessionTime": [1.0, 2.0, 3.0], "Speed": [1.0, 2.0, 3.0]},
        )
    )
    layout.patch_field(data, "num_buf", 3)
    buf_offset = layout.read_field(data, "buf_offset")
    buf_len = layout.read_field(data, "buf_len")
    for i in (1, 2):
        layout.patch_buffer_descriptor(data, i, 17 + i, buf_offset + i * buf_len)
    data[layout.MAIN_HEADER_SIZE : layout.HEADERS_END] = b"`vil" * 8
    return bytes(data)


def sources(tmp_path: Path) -> dict[str, object]:
    text = b"this is not telemetry\n" * 20
    good = build_ibt([Var("SessionTime", DOUBLE)], {"SessionTime": [0.0, 1.0, 2.0]})
    files = {"empty": b"", "text": text, "live": live_snapshot(), "truncated": good[:-3]}
    out: dict[str, object] = {"directory": tmp_path, "missing": tmp_path / "nope.ibt"}
    for name, data in files.items():
        path = tmp_path / f"{name}.ibt"
        path.write_bytes(data)
        out[name] = path
        out[f"{name}-bytes"] = data
    return out


@pytest.mark.parametrize(
    "kind, note",
    [
        ("directory", "this is a directory"),
        ("missing", None),
        ("empty", "the file is empty"),
        ("empty-bytes", "the file is empty"),
        ("text", "this is not an IBT file"),
        ("text-bytes", "this is not an IBT file"),
        ("live", LIVE),
        ("live-bytes", LIVE),
        ("truncated", CUT),
        ("truncated-bytes", CUT),
    ],
)
def test_open_notes_what_the_source_is_and_keeps_the_message(tmp_path, kind, note):
    source = sources(tmp_path)[kind]
    with pytest.raises((OSError, RuntimeError)) as plain:
        ext.ibt(source)
    with pytest.raises(type(plain.value)) as noted:
        corvex.open(source)
    assert str(noted.value) == str(plain.value)
    assert getattr(noted.value, "__notes__", []) == ([note] if note else [])


def test_cli_error_line_carries_the_note(capsys, tmp_path):
    path = sources(tmp_path)["live"]
    with pytest.raises(RuntimeError) as plain:
        ext.ibt(Path(path).read_bytes())
    assert main(["channels", str(path)]) == 1
    err = capsys.readouterr().err
    # The note as the command line says it: its own way to read the file, not Python's.
    said = LIVE.replace("corvex.open_snapshot reads it", "corvex info shows it")
    assert err == f"corvex: error: {path}: {plain.value}; {said}\n"


def with_kind(exc: BaseException, kind: object) -> BaseException:
    exc.kind = kind  # type: ignore[attr-defined]
    return exc


@pytest.mark.parametrize(
    ("exc", "kind"),
    [
        (with_kind(OSError("a.ibt: File too small"), "truncated"), "truncated"),
        (with_kind(RuntimeError("<bytes>: ..."), "live_snapshot"), "live_snapshot"),
        (RuntimeError("no kind"), None),
        (with_kind(ValueError(), 3), None),
        (with_kind(OSError(), ""), None),
    ],
)
def test_error_kind_reads_the_kind_the_reader_sets(exc, kind):
    assert error_kind(exc) == kind


def test_error_kinds_keep_their_texts():
    # Datasets store these texts and callers match them.
    assert KINDS == {
        "io", "not_ibt", "truncated", "invalid_header", "live_snapshot", "arrow", "not_a_file",
        "changed",
    }  # fmt: skip


# -- channel suggestions --------------------------------------------------------------------


@pytest.mark.parametrize(
    "asked, first",
    [("speed", "Speed"), ("SPEED", "Speed"), ("THROTLE", "Throttle"), ("rrSpeed", "RRspeed")],
)
def test_suggestions_put_the_same_name_in_another_case_first(asked, first):
    names = ["RRspeed", "RFspeed", "LRspeed", "Speed", "Throttle"]
    data = build_ibt(
        [Var("SessionTime", DOUBLE), *(Var(n, FLOAT) for n in names)],
        {"SessionTime": [0.0], **{n: [0.0] for n in names}},
    )
    with pytest.raises(KeyError) as info:
        corvex.open(data)[asked]
    assert info.value.args[0].startswith(f"no channel {asked!r} (did you mean {first}")


# -- optional packages and start-up ---------------------------------------------------------


def test_to_pandas_without_pandas_says_how_to_get_it(monkeypatch, sample):
    log = corvex.open(sample[0])
    monkeypatch.setitem(sys.modules, "pandas", None)
    with pytest.raises(ModuleNotFoundError, match=r"pip install 'corvex\[pandas\]'"):
        log.to_pandas(["Speed"])


def test_import_and_help_load_nothing_heavy():
    heavy = ["pyarrow", "pyarrow.compute", "numpy", "pandas", "yaml", "corvex.base"]
    code = (
        "import sys, corvex, corvex.cli\n"
        "corvex.cli.build_parser().format_help()\n"
        f"print([m for m in {heavy!r} if m in sys.modules])\n"
    )
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    assert run.stdout == "[]\n"


def test_lazy_names_still_work(capsys):
    from corvex import LogFile
    from corvex.base import LogFile as BaseLogFile

    assert LogFile is BaseLogFile
    with pytest.raises(SystemExit) as done:
        main(["--version"])
    assert done.value.code == 0
    assert capsys.readouterr().out == f"corvex {metadata.version('corvex')}\n"
    with pytest.raises(AttributeError):
        corvex.no_such_name  # noqa: B018


# -- info --json and the notebook views ------------------------------------------------------


def player(raw: RawIbt) -> dict[str, str]:
    """CarIdx, UserName and CarScreenName of the player's car, from the session info lines."""
    text = raw.data[raw.session_info_offset :].split(b"\0", 1)[0].decode()
    lines = [line.strip() for line in text.splitlines()]
    idx = next(line.split(": ", 1)[1] for line in lines if line.startswith("DriverCarIdx: "))
    start = lines.index(f"- CarIdx: {idx}")
    found = {}
    for line in lines[start + 1 :]:
        if line.startswith("- "):
            break
        key, _, value = line.partition(": ")
        found[key] = value
    return found


def full_lap_times(raw: RawIbt) -> list[tuple[int, int]]:
    """(lap number, ms) from the records: a lap ends where the next starts, the last at itself."""
    times = raw.timecodes()
    out = []
    for num, first, stop in raw.lap_runs():
        end = times[stop] if stop < len(times) else times[-1]
        out.append((num, end - times[first]))
    return out


def test_info_json(capsys, sample):
    path, raw = sample
    assert main(["info", str(path), "--json"]) == 0
    facts = json.loads(capsys.readouterr().out)
    assert facts["records"] == raw.record_count
    assert facts["tick_rate"] == raw.tick_rate
    assert facts["driver"] == player(raw)["UserName"]
    assert facts["car"] == player(raw)["CarScreenName"]
    assert facts["channels"]["count"] == len([v for v in raw.vars if v.count == 1])
    assert facts["left_out"] == [
        {"name": v.name, "type": {2: "int32", 4: "float"}[v.type], "count": v.count}
        for v in raw.vars
        if v.count != 1
    ]
    laps = full_lap_times(raw)
    assert [(lap["num"], round(lap["lap_time"] * 1000)) for lap in facts["laps"]] == laps
    full = [lap for lap in facts["laps"] if lap["lap_type"] == "full"]
    best = min(full, key=lambda lap: lap["lap_time"])
    assert [lap["fastest"] for lap in facts["laps"]] == [lap is best for lap in facts["laps"]]
    assert facts["fastest_lap"] == {k: best[k] for k in ("num", "session", "lap_time")}


def test_html_views_escape_and_mark_the_fastest_lap(tmp_path, sample):
    path = tmp_path / "a<b>&c.ibt"
    path.write_bytes(sample[0].read_bytes())
    log = corvex.open(path)
    page = log._repr_html_()
    assert html.escape(str(path)) in page and str(path) not in page
    for text in (player(sample[1])["UserName"], player(sample[1])["CarScreenName"]):
        assert html.escape(text) in page
    report = log.lap_report()
    best = report.table.column("num")[report.fastest].as_py()
    for view in (page, report._repr_html_()):
        bold = [row for row in view.split("<tr>") if "font-weight: bold" in row]
        assert len(bold) == 1 and f">{best}</td>" in bold[0] and ">fastest</td>" in bold[0]
    assert pa.table(report).equals(log.lap_summary)


def test_lap_report_prints_as_the_lap_table_of_info(capsys, sample):
    assert main(["info", str(sample[0])]) == 0
    info_laps = capsys.readouterr().out.split("\n\n")[1].rstrip("\n")
    assert repr(corvex.open(sample[0]).lap_report()) == info_laps


def test_a_lap_last_lap_time_that_is_no_number_is_left_alone():
    data = build_ibt(
        [Var("SessionTime", DOUBLE), Var("Lap", INT), Var("LapLastLapTime", BOOL)],
        {"SessionTime": [0.0, 1.0], "Lap": [1, 2], "LapLastLapTime": [True, False]},
    )
    log = corvex.open(data)
    assert "sim_lap_time" not in log.lap_summary.column_names


@pytest.mark.parametrize("command", ["info", "laps", "stints", "corners", "map"])
def test_commands_that_give_no_pandas_objects_leave_pandas_alone(sample, command, tmp_path):
    pytest.importorskip("pandas")  # pyarrow imports it only when it is installed
    path = str(sample[0])
    argv = {
        "corners": [command, f"{path}:2", f"{path}:3"],
        "map": [
            command,
            f"{path}:2",
            f"{path}:3",
            "--color",
            "delta",
            "-o",
            str(tmp_path / "m.png"),
        ],
    }.get(command, [command, path])
    if command == "map":
        pytest.importorskip("matplotlib")
    code = (
        "import sys\nfrom corvex.cli import main\n"
        f"status = main({argv!r})\n"
        "print(status, 'pandas' in sys.modules, file=sys.stderr)\n"
    )
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert run.stderr.splitlines()[-1] == "0 False", run.stderr


def test_a_reader_that_stops_reading_is_no_error(tmp_path):
    # More than a pipe's buffer of output, so the writer meets the closed pipe.
    variables = [Var("SessionTime", DOUBLE, unit="s")]
    variables += [Var(f"Channel{i:04d}", FLOAT, desc="d" * 60, unit="m") for i in range(1500)]
    path = tmp_path / "wide.ibt"
    path.write_bytes(build_ibt(variables, {"SessionTime": [0.0, 0.1]}))
    child = subprocess.Popen(
        [sys.executable, "-m", "corvex", "channels", str(path)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    assert child.stdout is not None and child.stdout.readline().startswith(b"name")
    child.stdout.close()
    assert child.wait(timeout=60) == 0
    assert child.stderr is not None and child.stderr.read() == b""


@pytest.mark.parametrize("goal, extras", [("demo", "plot"), ("test", "test,plot,dev,docs")])
def test_make_demo_installs_the_package_and_its_plot_extra_only(tmp_path, goal, extras):
    root = Path(__file__).resolve().parent.parent
    if not (root / "Makefile").exists() or shutil.which("make") is None:
        pytest.skip("no Makefile beside the tests, or no make")
    venv = tmp_path / "venv"
    # A make that runs the suite (CI's `make test EXTRAS=...`) passes its command line on to
    # every process below it, in the environment and in MAKEFLAGS; this make must see the
    # Makefile's own defaults.
    passed_on = {"MAKEFLAGS", "MFLAGS", "MAKELEVEL", "MAKEOVERRIDES", "EXTRAS", "PINS", "VENV"}
    env = {k: v for k, v in os.environ.items() if k not in passed_on}
    plan = subprocess.run(
        ["make", "-n", goal, f"VENV={venv}"], cwd=root, capture_output=True, text=True, env=env
    )
    assert plan.returncode == 0, plan.stderr
    assert f"EXTRAS={extras} PINS=" in plan.stdout
    assert not venv.exists()
