"""The corvex command line on files from the project's writer, good and bad.

Expected values come from a struct reading of the written bytes (tests/_helpers.py).
"""

from __future__ import annotations

import csv
import math
import os
import re
import struct
import subprocess
import sys
from datetime import UTC, datetime
from pathlib import Path

import pytest
from _helpers import RawIbt, lap_time_text

from corvex.cli import PLOT_MARGIN, PLOT_PANEL, PLOT_WIDTH, main
from corvex.cli.compare import MAP_PANEL

pytest.importorskip("corvex._corvex_rs")

COMMANDS = [
    "info", "channels", "laps", "stints", "export", "plot", "compare", "corners", "map", "view",
    "report", "demo",
]  # fmt: skip


@pytest.fixture(scope="module")
def sample(tmp_path_factory) -> tuple[Path, RawIbt]:
    from corvex.testing import write_sample

    path = write_sample(tmp_path_factory.mktemp("cli") / "sample.ibt")
    return path, RawIbt(path.read_bytes())


@pytest.fixture(scope="module")
def bad_files(tmp_path_factory, sample) -> dict[str, Path]:
    folder = tmp_path_factory.mktemp("bad")
    data = sample[0].read_bytes()
    files = {
        "missing": folder / "missing.ibt",
        "directory": folder,
        "text": folder / "notes.ibt",
        "truncated": folder / "truncated.ibt",
        "empty": folder / "empty.ibt",
    }
    files["text"].write_text("this is not telemetry\n" * 20)
    files["truncated"].write_bytes(data[: len(data) // 2])
    files["empty"].write_bytes(b"")
    return files


def run(capsys, *args: str) -> tuple[int, str, str]:
    status = main(list(args))
    out, err = capsys.readouterr()
    return status, out, err


def command_args(command: str, path: Path, tmp_path: Path) -> list[str]:
    return {
        "info": ["info", str(path)],
        "channels": ["channels", str(path)],
        "export": ["export", str(path), "-o", str(tmp_path / "out.parquet")],
        "plot": ["plot", str(path), "--channels", "Speed", "-o", str(tmp_path / "out.png")],
    }[command]


# -- errors ----------------------------------------------------------------------------------


@pytest.mark.parametrize("kind", ["missing", "directory", "text", "truncated", "empty"])
@pytest.mark.parametrize("command", ["info", "channels", "export", "plot"])
def test_a_bad_file_gives_one_line_and_status_1(capsys, tmp_path, bad_files, command, kind):
    path = bad_files[kind]
    status, out, err = run(capsys, *command_args(command, path, tmp_path))
    assert status == 1
    assert out == ""
    assert err.count("\n") == 1 and err.startswith("corvex: error: ")
    assert str(path) in err
    assert "Traceback" not in err
    assert not (tmp_path / "out.parquet").exists() and not (tmp_path / "out.png").exists()


@pytest.mark.parametrize(
    "args, message",
    [
        (["export", "{file}", "-o", "{tmp}/x.xlsx"], "cannot tell the format of"),
        (
            ["export", "{file}", "-o", "{tmp}/x.csv", "--channels", "Sped"],
            "no channel 'Sped' (did you mean Speed?)",
        ),
        (
            ["export", "{file}", "-o", "{tmp}/x.csv", "--lap", "99"],
            "no lap 99 (laps: 1, 2, 3, 4, 5)",
        ),
        (
            ["export", "{file}", "-o", "{tmp}/x.csv", "--channels", ","],
            "--channels names no channel",
        ),
        (["export", "{file}", "-o", "{tmp}/no/such/dir/x.parquet"], "x.parquet"),
        (
            ["plot", "{file}", "--channels", "Speed", "--vs-lap", "2", "-o", "{tmp}/x.png"],
            "--vs-lap needs --lap",
        ),
        (["plot", "{file}", "--channels", "Nope", "-o", "{tmp}/x.png"], "no channel 'Nope'"),
        (
            ["plot", "{file}", "--channels", "Speed,CarIdxLap", "-o", "{tmp}/x.png"],
            "CarIdxLap is an array variable (64 values a record), not a channel",
        ),
        (
            ["plot", "{file}", "--channels", "Speed", "--lap", "42", "-o", "{tmp}/x.png"],
            "no lap 42",
        ),
    ],
)
def test_usage_problems_give_one_line(capsys, tmp_path, sample, args, message):
    args = [a.format(file=sample[0], tmp=tmp_path) for a in args]
    status, _, err = run(capsys, *args)
    assert status == 1
    assert err.count("\n") == 1 and err.startswith("corvex: error: ")
    assert message in err


@pytest.mark.parametrize(
    "argv",
    [["plot", "{f}", "--channels", "Speed"], ["compare", "{f}:2", "{f}:3"], ["map", "{f}:2"]],
)
def test_plotting_without_matplotlib_says_how_to_get_it(
    capsys, tmp_path, sample, monkeypatch, argv
):
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    args = [a.format(f=sample[0]) for a in argv]
    status, _, err = run(capsys, *args, "-o", str(tmp_path / "p.png"))
    assert status == 1
    assert (
        err == f"corvex: error: corvex {argv[0]} needs matplotlib, which is not installed: "
        "pip install 'corvex[plot]'\n"
    )


@pytest.mark.parametrize("command", COMMANDS)
def test_every_command_has_help(capsys, command):
    with pytest.raises(SystemExit) as exit_info:
        main([command, "--help"])
    assert exit_info.value.code == 0
    assert f"usage: corvex {command}" in capsys.readouterr().out


# -- info ------------------------------------------------------------------------------------


def test_info(capsys, sample):
    path, raw = sample
    status, out, err = run(capsys, "info", str(path))
    assert status == 0 and err == ""
    fields = dict(
        (line[:16].strip(), line[16:])
        for line in out.splitlines()
        if line[:1].isalpha() and not line.startswith("Laps")
    )
    session = {}
    for line in raw.data[raw.session_info_offset :].split(b"\n")[:40]:
        key, _, value = line.decode("utf-8", "replace").strip().partition(": ")
        session.setdefault(key, value)
    assert (
        fields["Track"]
        == f"{session['TrackDisplayName']} ({session['TrackCity']}, {session['TrackCountry']})"
    )
    assert fields["Track length"] == session["TrackLength"]
    assert fields["Car"] == "GT4 Coupe"
    assert fields["Series ID"] == session["SeriesID"]
    assert fields["Season ID"] == session["SeasonID"]
    assert fields["Session ID"] == session["SessionID"]
    assert fields["Sub-session ID"] == session["SubSessionID"]
    started = datetime.fromtimestamp(raw.session_start_date, tz=UTC)
    assert fields["Started"] == started.strftime("%Y-%m-%d %H:%M:%S UTC")
    times = raw.timecodes()
    assert fields["Duration"] == lap_time_text(times[-1] - times[0])
    assert fields["Records"] == str(raw.record_count)
    assert fields["Tick rate"] == f"{raw.tick_rate} Hz"
    scalar = [v for v in raw.vars if v.count == 1]
    assert fields["Channels"].startswith(f"{len(scalar)} (")
    floats = sum(v.type == 4 for v in scalar)
    assert f"{floats} float" in fields["Channels"]

    laps_text, stints_text = out.split("Laps: ", 1)[1].split("\n\n")
    lap_rows = [line.split() for line in laps_text.splitlines()[2:]]
    runs = raw.lap_runs()
    assert len(lap_rows) == len(runs)
    for row, (num, first, stop) in zip(lap_rows, runs):
        end = times[stop] if stop < len(times) else times[-1]
        assert row[0] == str(num) and row[1] == "0"
        assert row[5] == lap_time_text(end - times[first])
    assert [r[2] for r in lap_rows] == ["out", "full", "full", "full", "in"]
    assert [r[3] for r in lap_rows] == ["out", "timed", "timed", "timed", "in"]
    # No stop in the pit stall: one stint of all the laps, the three flying laps valid.
    assert stints_text.startswith(f"Stints: 1\n   1  laps 1-{len(runs)} ({len(runs)}, 3 valid)")


# -- channels --------------------------------------------------------------------------------


@pytest.mark.parametrize("grep", [None, "speed", "LAP", "no-such-text"])
def test_channels(capsys, sample, grep):
    path, raw = sample
    args = ["channels", str(path)] + (["--grep", grep] if grep else [])
    status, out, _ = run(capsys, *args)
    assert status == 0
    table, _, after = out.partition("\n\n")
    lines = table.splitlines()
    matches = [v for v in raw.vars if not grep or grep.lower() in (v.name + " " + v.desc).lower()]
    expected = [v for v in matches if v.count == 1]
    # Array variables are no channels; they are named after the table.
    arrays = [v for v in matches if v.count != 1]
    if arrays:
        noun = "array variable" if len(arrays) == 1 else "array variables"
        names = ", ".join(f"{v.name}[{v.count}]" for v in arrays)
        assert " ".join(after.split()) == f"{len(arrays)} {noun}, not read as channels: {names}"
    else:
        assert after == ""
    if not expected:
        assert lines == [f"no channel matches {grep!r}"]
        return
    assert lines[0].split() == ["name", "type", "unit", "description"]
    assert [line.split()[0] for line in lines[1:]] == [v.name for v in expected]
    type_names = {0: "uint8", 1: "bool", 2: "int32", 3: "uint32", 4: "float", 5: "double"}
    for line, var in zip(lines[1:], expected):
        assert line.split()[1] == type_names[var.type]
        assert line.endswith(var.desc)
        assert (" " + var.unit + " ") in line if var.unit else True


# -- export ----------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "units, headers, scales",
    [
        ("stored", ["Speed [m/s]", "Throttle [0-1]", "SteeringWheelAngle [rad]"], [1, 1, 1]),
        ("racer", ["Speed [km/h]", "Throttle [%]", "SteeringWheelAngle [deg]"], [3.6, 100, 0]),
    ],
)
def test_export_csv_says_its_units(capsys, tmp_path, sample, units, headers, scales):
    path, raw = sample
    out_file = tmp_path / "out.csv"
    names = ["Speed", "Throttle", "SteeringWheelAngle"]
    args = ["export", str(path), "-o", str(out_file), "--channels", ",".join(names)]
    status, out, err = run(capsys, *args, "--lap", "2", "--units", units)
    assert status == 0 and err == ""
    with open(out_file, newline="") as handle:
        rows = list(csv.reader(handle))
    assert rows[0] == ["timecodes [ms]", *headers]
    first, stop = [(a, b) for num, a, b in raw.lap_runs() if num == 2][0]
    for column, (name, scale) in enumerate(zip(names, scales), 1):
        scale = scale or 180 / math.pi
        want = [v * scale for v in raw.values(name)[first:stop]]
        got = [float(row[column]) for row in rows[1:]]
        assert got == pytest.approx(want, rel=1e-6, abs=1e-9)
    status, out, err = run(capsys, *args, "--units", "racer", "-o", str(tmp_path / "x.parquet"))
    assert status == 1 and "--units racer applies to CSV" in err


@pytest.mark.parametrize("suffix", [".parquet", ".feather", ".csv", ".plain.csv"])
@pytest.mark.parametrize("lap", [None, 3])
def test_export(capsys, tmp_path, sample, suffix, lap):
    path, raw = sample
    plain = suffix == ".plain.csv"
    suffix = ".csv" if plain else suffix
    out_file = tmp_path / f"out{suffix}"
    names = ["Speed", "Gear", "OnPitRoad", "Lap"]
    args = ["export", str(path), "-o", str(out_file), "--channels", ",".join(names)]
    args += ["--plain-headers"] if plain else []
    if lap is not None:
        args += ["--lap", str(lap)]
    status, out, err = run(capsys, *args)
    assert status == 0 and err == ""
    first, stop = 0, raw.record_count
    if lap is not None:
        first, stop = [(a, b) for num, a, b in raw.lap_runs() if num == lap][0]
    assert out == f"wrote {stop - first} rows x {len(names)} channels to {out_file}\n"
    expected = {"timecodes": raw.timecodes()[first:stop]}
    expected.update({name: raw.values(name)[first:stop] for name in names})

    if suffix == ".csv":
        with open(out_file, newline="") as handle:
            rows = list(csv.reader(handle))
        if plain:
            assert rows[0] == ["timecodes", *names]
        else:
            units = [raw.var(name).unit for name in names]
            headers = [f"{n} [{u}]" if u else n for n, u in zip(names, units)]
            assert rows[0] == ["timecodes [ms]", *headers]
            assert headers[0] == "Speed [m/s]"
        got = list(zip(*rows[1:]))
        assert [int(x) for x in got[0]] == expected["timecodes"]
        # float32 values are written as the shortest text that reads back as the same single
        as_single = [struct.unpack("<f", struct.pack("<f", float(x)))[0] for x in got[1]]
        assert as_single == expected["Speed"]
        assert [x == "true" for x in got[3]] == expected["OnPitRoad"]
        return
    import pyarrow.feather as feather
    import pyarrow.parquet as pq

    table = pq.read_table(out_file) if suffix == ".parquet" else feather.read_table(out_file)
    assert table.column_names == ["timecodes", *names]
    assert table.to_pydict() == expected
    for name in names:
        var = raw.var(name)
        meta = table.schema.field(name).metadata
        assert meta[b"units"].decode() == var.unit
        assert meta[b"desc"].decode() == var.desc
        assert meta[b"interpolate"] == (b"True" if var.type in (4, 5) else b"False")


def test_export_parquet_metadata_survives_a_plain_schema_read(capsys, tmp_path, sample):
    import pyarrow.parquet as pq

    out_file = tmp_path / "all.parquet"
    assert run(capsys, "export", str(sample[0]), "-o", str(out_file))[0] == 0
    schema = pq.read_schema(out_file)
    assert schema.field("Speed").metadata[b"units"] == b"m/s"
    assert schema.field("Speed").metadata[b"desc"] == b"GPS vehicle speed"
    assert schema.names == ["timecodes", *sample[1].scalar_names()]


# -- plot ------------------------------------------------------------------------------------


def png_size(path: Path) -> tuple[int, int]:
    data = path.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n" and data[12:16] == b"IHDR"
    return struct.unpack(">II", data[16:24])


@pytest.mark.parametrize(
    "extra, panels",
    [
        ([], 1),
        (["--lap", "2"], 2),
        (["--lap", "2", "--vs-lap", "3"], 3),
        (["--lap", "2", "--vs-lap", "3", "--x", "time"], 2),
        (["--x", "distance"], 2),
    ],
)
def test_plot_writes_a_png_of_the_expected_size(capsys, tmp_path, sample, extra, panels):
    pytest.importorskip("matplotlib")
    names = ["Speed", "Throttle", "Gear"][:panels]
    out_file = tmp_path / "plot.png"
    args = ["plot", str(sample[0]), "--channels", ",".join(names), "-o", str(out_file), *extra]
    status, out, err = run(capsys, *args)
    assert status == 0 and err == ""
    assert out == f"wrote {out_file}\n"
    assert png_size(out_file) == (PLOT_WIDTH, PLOT_MARGIN + PLOT_PANEL * panels)


def test_plot_shows_racer_units_lap_times_and_no_one_record_lap(sample):
    plt = pytest.importorskip("matplotlib.pyplot")
    import corvex
    from corvex.cli.plot import _plot_runs, plot_runs

    path, raw = sample
    log = corvex.open(str(path))
    runs = _plot_runs(log, (2, None), (3, None), "distance")
    figure = plot_runs(plt, log, runs, ["Speed", "Throttle"], "distance", "metric")
    try:
        speed_ax, throttle_ax = figure.axes
        assert speed_ax.get_ylabel() == "Speed [km/h]"
        assert throttle_ax.get_ylabel() == "Throttle [%]"
        times = raw.timecodes()
        spans = {num: (first, stop) for num, first, stop in raw.lap_runs()}
        for line, num in zip(speed_ax.get_lines(), (2, 3)):
            first, stop = spans[num]
            assert line.get_label() == f"lap {num} ({lap_time_text(times[stop] - times[first])})"
            top = max(raw.values("Speed")[first:stop]) * 3.6
            assert max(line.get_ydata()) == pytest.approx(top, rel=1e-3)
        pedal = max(max(line.get_ydata()) for line in throttle_ax.get_lines())
        assert pedal == pytest.approx(100 * max(raw.values("Throttle")), rel=1e-6)
    finally:
        plt.close(figure)


def test_a_one_record_lap_is_not_drawn(tmp_path):
    import corvex
    from corvex.cli.plot import _plot_runs
    from corvex.testing import DOUBLE, FLOAT, INT, Var, build_ibt

    path = tmp_path / "blip.ibt"
    path.write_bytes(
        build_ibt(
            [Var("SessionTime", DOUBLE), Var("Lap", INT), Var("LapDist", FLOAT)],
            {
                "SessionTime": [0.0, 1.0, 2.0, 3.0, 4.0, 5.0],
                "Lap": [1, 1, 9, 2, 2, 2],
                "LapDist": [0.0, 10.0, 20.0, 30.0, 40.0, 50.0],
            },
        )
    )
    labels = [
        label
        for label, _ in _plot_runs(corvex.open(str(path)), (None, None), (None, None), "distance")
    ]
    assert labels == ["lap 1 (0:02.000)", "lap 2 (0:02.000)"]


def test_plot_against_distance_needs_a_distance_channel(capsys, tmp_path):
    pytest.importorskip("matplotlib")
    from corvex.testing import DOUBLE, FLOAT, INT, Var, build_ibt

    path = tmp_path / "nodist.ibt"
    path.write_bytes(
        build_ibt(
            [Var("SessionTime", DOUBLE), Var("Lap", INT), Var("Speed", FLOAT)],
            {"SessionTime": [0.0, 0.1, 0.2], "Lap": [1, 1, 2], "Speed": [1.0, 2.0, 3.0]},
        )
    )
    status, _, err = run(
        capsys,
        "plot",
        str(path),
        "--channels",
        "Speed",
        "--x",
        "distance",
        "-o",
        str(tmp_path / "p.png"),
    )
    assert status == 1
    assert (
        err
        == "corvex: error: the file has no LapDist or LapDistPct channel to plot against distance\n"
    )


# -- laps and compare -------------------------------------------------------------------------


def seconds(text: str) -> float:
    """ "1:12.583" or "27.065" (with or without a trailing "*") -> seconds."""
    text = text.rstrip(" *")
    minutes, _, rest = text.rpartition(":")
    return 60 * int(minutes or 0) + float(rest)


def test_laps_marks_the_fastest_lap_and_sectors_and_sums_the_theoretical_best(capsys, sample):
    path, raw = sample
    status, out, err = run(capsys, "laps", str(path))
    assert status == 0 and err == ""
    lines = out.splitlines()
    header = next(i for i, line in enumerate(lines) if line.split()[:2] == ["lap", "session"])
    rows = [line for line in lines[header + 1 :] if line.strip()][: len(raw.lap_runs())]
    cells = [re.split(r"(?<=[\d*])\s{2,}|\s{2,}(?=\S)", line.strip()) for line in rows]
    assert [c[0] for c in cells] == [str(num) for num, _, _ in raw.lap_runs()]
    valid = [c for c in cells if c[3] == "timed"]
    assert [c[2] for c in valid] == ["full", "full", "full"]
    for column in range(4, 8):  # lap time, then the three sectors
        marked = [c for c in valid if c[column].endswith("*")]
        assert len(marked) == 1
        assert seconds(marked[0][column]) == min(seconds(c[column]) for c in valid)
    best = [min(seconds(c[column]) for c in valid) for column in (5, 6, 7)]
    theoretical = next(line for line in lines if line.startswith("Theoretical best:"))
    assert abs(seconds(theoretical.split()[2]) - sum(best)) < 0.0015
    fastest = next(line for line in lines if line.startswith("Fastest lap:"))
    lap = min(valid, key=lambda c: seconds(c[4]))
    assert fastest.split()[2] == lap[4].rstrip(" *") and f"(lap {lap[0]})" in fastest


@pytest.fixture(scope="module")
def saved_lap(tmp_path_factory, sample) -> Path:
    out_file = tmp_path_factory.mktemp("ref") / "lap2.parquet"
    assert main(["export", str(sample[0]), "--lap", "2", "-o", str(out_file)]) == 0
    return out_file


@pytest.mark.parametrize(
    "chosen, channels",
    [
        (["{file}:3", "{file}:2"], None),
        (["{file}", "{file}:4"], "Speed,Gear"),
        (["{file}:3", "{saved}"], "Throttle"),
    ],
)
def test_compare_writes_a_delta_panel_and_one_panel_per_channel(
    capsys, tmp_path, sample, saved_lap, chosen, channels
):
    pytest.importorskip("matplotlib")
    out_file = tmp_path / "compare.png"
    args = ["compare", *(s.format(file=sample[0], saved=saved_lap) for s in chosen)]
    args += ["--channels", channels] if channels else []
    status, out, err = run(capsys, *args, "-o", str(out_file))
    assert status == 0 and err == "" and out == f"wrote {out_file}\n"
    panels = 1 + len((channels or "Speed,Throttle,Brake").split(","))
    # The sample session has valid laps: its track is drawn beside the panels.
    assert png_size(out_file) == (PLOT_WIDTH + MAP_PANEL, PLOT_MARGIN + PLOT_PANEL * panels)


def test_compare_refuses_another_track_and_bad_specs(capsys, tmp_path, sample, saved_lap):
    pytest.importorskip("matplotlib")
    from corvex.testing import DOUBLE, FLOAT, INT, Var, build_ibt

    other = tmp_path / "other.ibt"
    info = "---\nWeekendInfo:\n TrackName: elsewhere\n TrackLength: 4.32 km\n...\n"
    other.write_bytes(
        build_ibt(
            [Var("SessionTime", DOUBLE), Var("Lap", INT), Var("LapDist", FLOAT)],
            {"SessionTime": [0.0, 1.0, 2.0], "Lap": [1] * 3, "LapDist": [0.0, 50.0, 100.0]},
            session_info=info,
        )
    )
    out_file = str(tmp_path / "x.png")
    cases = [
        ([f"{sample[0]}:2", f"{other}:1"], "different tracks: 'veldstrand gp' and 'elsewhere'"),
        ([f"{sample[0]}:2", f"{saved_lap}:2"], "is a saved lap: it takes no :LAP"),
        ([f"{sample[0]}:9", f"{sample[0]}:2"], "no lap 9 (laps: 1, 2, 3, 4, 5)"),
        ([f"{sample[0]}:2", f"{sample[0]}:3", "--channels", "Sped"], "did you mean Speed"),
    ]
    for args, message in cases:
        status, _, err = run(capsys, "compare", *args, "-o", out_file)
        assert status == 1 and err.count("\n") == 1 and message in err, err
    assert not Path(out_file).exists()


# -- demo and the installed entry points -----------------------------------------------------


def test_demo_writes_the_sample_and_shows_its_info(capsys, tmp_path):
    from corvex.testing import sample_session

    target = tmp_path / "demo.ibt"
    status, out, err = run(capsys, "demo", "-o", str(target))
    assert status == 0 and err == ""
    assert target.read_bytes() == sample_session()
    assert f"File            {target}" in out
    assert "Laps: 5" in out


def corvex_script() -> Path:
    return Path(sys.executable).parent / "corvex"


@pytest.mark.parametrize("launcher", ["module", "script"])
def test_entry_points(tmp_path, sample, launcher):
    if launcher == "script" and not corvex_script().exists():
        pytest.skip("the corvex script is not installed beside this interpreter")
    prefix = [sys.executable, "-m", "corvex"] if launcher == "module" else [str(corvex_script())]
    env = {**os.environ, "COLUMNS": "80"}
    good = subprocess.run(
        [*prefix, "info", str(sample[0])], capture_output=True, text=True, env=env
    )
    assert good.returncode == 0 and "Veldstrand Ring" in good.stdout
    bad = subprocess.run(
        [*prefix, "info", str(tmp_path / "nope.ibt")], capture_output=True, text=True, env=env
    )
    assert bad.returncode == 1
    assert bad.stdout == ""
    assert bad.stderr.startswith("corvex: error: ") and bad.stderr.count("\n") == 1
