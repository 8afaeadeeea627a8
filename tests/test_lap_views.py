"""The laps as people see them: rows of one record folded into their neighbours, the status that
says why a lap does not count, sessions named on the command line, and what the plots show.

The recording is :func:`corvex.testing.quirks.quirky_session`: a zeroed first record, lap 0 from
the pit box at 98 % to the line (the reader calls it "full"), a reset in the middle of lap 4 and,
with a second session, laps 1 to 4 once more. Expected values come from its construction and
from a struct reading of its Lap column, never from the code under test.
"""

from __future__ import annotations

import json
from pathlib import Path

import pytest
from _helpers import RawIbt

import corvex
from corvex.cli import main
from corvex.testing.quirks import QUIRKS, quirky_session

pytest.importorskip("corvex._corvex_rs")

ONE_SESSION = quirky_session()
TWO_SESSIONS = quirky_session(second_session=True)
# What the listings show of the first session: each lap once, and why it does or does not count.
STATUSES = {0: "out", 1: "timed", 2: "timed", 3: "timed", 4: "reset", 5: "timed", 6: "timed"}
STATUSES[7] = "partial"


@pytest.fixture
def files(tmp_path: Path) -> tuple[Path, Path]:
    one, two = tmp_path / "one.ibt", tmp_path / "two.ibt"
    one.write_bytes(ONE_SESSION)
    two.write_bytes(TWO_SESSIONS)
    return one, two


def run(capsys: pytest.CaptureFixture[str], *argv: str) -> tuple[int, str, str]:
    status = main(list(argv))
    out, err = capsys.readouterr()
    return status, out, err


def test_the_lap_table_keeps_every_row_and_the_views_fold_one_record_rows():
    raw = RawIbt(ONE_SESSION)
    runs = raw.lap_runs()
    log = corvex.open(ONE_SESSION)
    # The lap table is the reader's, row for row: the reset's one record starts a session there.
    assert log.laps.column("num").to_pylist() == [num for num, _, _ in runs]
    assert log.laps.column("session").to_pylist() == [0] * 5 + [1] * 5
    assert [stop - first for num, first, stop in runs if num == 0][1] == 1
    # The views: every lap once, in one session, the fastest by the valid rule.
    report = log.lap_report()
    listed = [line.split() for line in repr(report).splitlines()[2:] if line[:3] == "   "]
    assert {int(r[0]): r[3] for r in listed} == STATUSES
    assert {r[1] for r in listed} == {"0"}
    assert log.laps.column("lap_type")[0].as_py() == "full"  # the reader's type of lap 0
    assert (log.fastest_lap, log.fastest_lap.session) == (1, 0)
    assert log.lap(log.fastest_lap).lap_time == QUIRKS["timed_laps"][1]
    # Lap 4 is one lap, its two parts and the reset's record between them.
    lap4 = [(first, stop) for num, first, stop in runs if num == 4]
    four = log.lap(4)
    assert four.record_count == lap4[-1][1] - lap4[0][0]
    assert (four.session, four.valid, four.status) == (0, False, "reset")
    assert log.lap(5).session == 0  # no session= needed after the reset
    timed = [lap for lap, status in STATUSES.items() if status == "timed"]
    assert [log.lap(n).valid for n in timed] == [True] * len(timed)


def test_laps_and_info_list_each_lap_once_with_its_status(files, capsys):
    status, out, err = run(capsys, "laps", str(files[0]))
    assert status == 0 and err == ""
    rows = [line.split() for line in out.splitlines() if line[:3].strip().isdigit()]
    assert {int(r[0]): r[3] for r in rows} == STATUSES
    assert len(rows) == len(STATUSES)
    assert "Fastest lap:      0:24.000 (lap 1)" in out
    status, out, err = run(capsys, "info", "--json", str(files[1]))
    facts = json.loads(out)
    assert [(lap["num"], lap["session"]) for lap in facts["laps"]] == [
        *((n, 0) for n in range(8)),
        *((n, 1) for n in range(4)),
    ]
    assert [r["num"] for r in facts["one_record_rows"]] == [0, 4]
    assert [s["type"] for s in facts["sessions"]] == ["Practice", "Race"]
    # Lap 2 is in both sessions: the fastest is named with its own.
    fastest = facts["fastest_lap"]
    assert (fastest["num"], fastest["session"]) == (2, 1)
    assert (
        "Fastest lap:      0:23.000 (lap 2 of session 1)" in run(capsys, "laps", str(files[1]))[1]
    )
    assert "fastest lap 2 of session 1 in 0:23.000" in repr(corvex.open(files[1]))
    status, out, err = run(capsys, "info", str(files[0]))
    assert "\nSession       Practice\n" in out  # the second session holds no record


@pytest.mark.parametrize(
    "argv, said",
    [
        (["compare", "{f}:2", "{f}:2"], "pick one with {f}:2:SESSION or --session (e.g. {f}:2:1)"),
        (["compare", "{f}:2:0", "{f}:2"], "pick one with {f}:2:SESSION or --vs-session"),
        (["corners", "{f}:3", "{f}:2:0"], "pick one with {f}:3:SESSION or --session"),
        (["map", "{f}:2"], "pick one with {f}:2:SESSION or --session"),
        (["plot", "{f}", "--lap", "2"], "pick one with --session (e.g. --session 1)"),
        (["export", "{f}", "--lap", "2"], "pick one with --session"),
        (["compare", "{f}:2:0", "{f}:2:1", "--session", "1"], "names session 0 and --session 1"),
    ],
)
def test_the_command_line_says_how_to_name_a_session(files, capsys, tmp_path, argv, said):
    f = str(files[1])
    out_file = tmp_path / ("x.csv" if argv[0] == "export" else "x.png")
    output = [] if argv[0] == "corners" else ["-o", str(out_file)]
    status, out, err = run(capsys, *[a.format(f=f) for a in argv], *output)
    assert status == 1 and said.format(f=f) in err
    assert "session=" not in err and not out_file.exists()


@pytest.mark.parametrize(
    "argv",
    [
        ["compare", "{f}:2:0", "{f}:2:1"],
        ["compare", "{f}:2", "{f}:2", "--session", "0", "--vs-session", "1"],
        ["plot", "{f}", "--lap", "2", "--session", "0", "--vs-lap", "2", "--vs-session", "1"],
    ],
)
def test_laps_of_two_sessions_are_compared(files, capsys, tmp_path, argv):
    pytest.importorskip("matplotlib")
    f = str(files[1])
    out_file = tmp_path / "x.png"
    status, out, err = run(capsys, *[a.format(f=f) for a in argv], "-o", str(out_file))
    assert status == 0 and err == "" and out_file.stat().st_size > 0
    log = corvex.open(f)
    from corvex.formatting import lap_label

    assert lap_label(log.lap(2, 1)) == "lap 2 of session 1 (0:23.000)"
    assert lap_label(log.lap(6)) == "lap 6 (0:24.000)"


@pytest.mark.parametrize(
    "argv, nothing",
    [
        (["plot", "{f}", "--lap", "4", "--session", "1"], "nothing to plot"),
        (["compare", "{f}:4:1", "{f}:2:0"], "nothing to draw or compare"),
        (["compare", "{f}:2:0", "{f}:4:1"], "nothing to draw or compare"),
        (["map", "{f}:4:1"], "nothing to draw or compare"),
        (["corners", "{f}:2:0", "{f}:4:1"], "nothing to draw or compare"),
    ],
)
def test_a_lap_of_one_record_is_not_drawn(files, capsys, tmp_path, argv, nothing):
    """The one record where the second session's recording stops is no lap to draw."""
    pytest.importorskip("matplotlib")
    out_file = tmp_path / "x.png"
    argv = [a.format(f=files[1]) for a in argv]
    if argv[0] != "corners":
        argv += ["-o", str(out_file)]
    status, out, err = run(capsys, *argv)
    assert status == 1 and "lap 4 holds 1 record" in err and nothing in err, err
    assert not out_file.exists()


# -- pictures -------------------------------------------------------------------------------


def test_plot_draws_racer_units_whole_gears_and_time_from_the_first_lap(files):
    plt = pytest.importorskip("matplotlib.pyplot")
    from corvex.cli.plot import _plot_runs, plot_runs

    log = corvex.open(files[0])
    names = ["Gear", "SteeringWheelAngle", "Brake"]
    figure = plot_runs(plt, log, _plot_runs(log, (None, None), (None, None), "time"), names, "time")
    gear, steering, brake = figure.axes
    plt.close(figure)
    ticks = [t for t in gear.get_yticks() if gear.get_ylim()[0] <= t <= gear.get_ylim()[1]]
    assert ticks and all(float(t).is_integer() for t in ticks)
    assert steering.get_ylabel() == "SteeringWheelAngle [deg]"
    assert max(steering.lines[0].get_ydata()) == pytest.approx(0.35 * 180 / 3.141592653589793)
    low, high = brake.get_ylim()  # a constant 0 % on a 0-100 scale, not around 0
    assert low <= 0.0 and high >= 100.0
    # The axis counts from the start of lap 0, the first lap listed, not from the session's 0.
    assert gear.lines[0].get_xdata()[0] == pytest.approx(0.0)


@pytest.mark.parametrize("command", ["plot", "compare"])
def test_the_lap_is_red_and_the_reference_blue_and_the_legend_is_off_the_data(files, command):
    plt = pytest.importorskip("matplotlib.pyplot")
    from matplotlib.colors import to_hex

    log = corvex.open(files[0])
    if command == "plot":
        from corvex.cli.plot import _plot_runs, plot_runs

        runs = _plot_runs(log, (2, None), (3, None), "distance")
        figure = plot_runs(plt, log, runs, ["Speed"], "distance")
        panel = figure.axes[0]
    else:
        from argparse import Namespace

        from corvex.cli._common import LapChoice
        from corvex.cli.compare import draw_compare

        args = Namespace(salvage=False, session=None, vs_session=None)
        opened: dict[str, object] = {}
        lap = LapChoice(f"{files[0]}:2", opened, args)
        ref = LapChoice(f"{files[0]}:3", opened, args, "--vs-session")
        figure = draw_compare(plt, lap, ref, ["Speed"], 1.0, "metric")
        panel = figure.axes[1]
    colours = [to_hex(line.get_color()) for line in panel.lines if line.get_label()[0] != "_"]
    assert colours == [to_hex("tab:red"), to_hex("tab:blue")]
    assert all(ax.get_legend() is None for ax in figure.axes) and figure.legends
    plt.close(figure)
