"""The viewer's data, its server and the report, on sessions driven on synthetic tracks.

Expected values come from the driving model's own columns (corvex.testing.tracks: what the
writer was given), the payload's documented byte layout, and brute force over the samples.
"""

from __future__ import annotations

import http.client
import json
import os
import re
import signal
import struct
import subprocess
import sys
import threading
from pathlib import Path

import numpy as np
import pytest
from _helpers import RawIbt

from corvex.testing import tracks as T

pytest.importorskip("bokeh")

from corvex.view.decimate import min_max  # noqa: E402
from corvex.view.files import FileCatalog, FileRefused  # noqa: E402
from corvex.view.payload import decode, encode  # noqa: E402
from corvex.view.server import ViewApp, make_server  # noqa: E402


@pytest.fixture(scope="module")
def folder(view_folder) -> Path:
    return view_folder


def _rows(app: ViewApp, name: str = "road.ibt") -> dict[int, int]:
    """Lap number -> row of the lap table."""
    session = json.loads(app.handle("/api/session", {"file": name}).body)
    return {lap["num"]: lap["row"] for lap in session["laps"]}


# -- decimation ---------------------------------------------------------------------------------


def _columns(x, low, high, px):
    return np.minimum(np.floor((x - low) * px / (high - low)), px - 1)


@pytest.mark.parametrize(
    ("n", "px", "low", "high"),
    [(50_000, 500, 0.0, 5000.0), (32_400, 1200, 1000.0, 1500.0), (7_000, 300, -10.0, 80.0)],
)
def test_min_max_draws_the_same_extremes_in_every_column(n, px, low, high):
    rng = np.random.default_rng(n)
    x = np.sort(rng.uniform(-100.0, 5100.0, n))
    y = np.cumsum(rng.normal(0.0, 1.0, n))
    y[n // 3] = 1e6  # a spike of one sample
    y[n // 2] = np.nan
    keep = min_max(x, y, low, high, px)
    assert np.all(np.diff(keep) > 0), "the samples stay in their order"
    inside = (x >= low) & (x <= high)
    assert len(keep) <= 4 * px + 2
    # One sample beyond each edge, so the line reaches them.
    first, last = np.flatnonzero(inside)[[0, -1]]
    assert keep[0] == max(first - 1, 0) and keep[-1] == min(last + 1, n - 1)
    column = _columns(x, low, high, px)
    kept_columns = column[keep]
    for c in np.unique(column[inside]):
        mine = (column == c) & np.isfinite(y) & inside
        shown = keep[(kept_columns == c) & np.isfinite(y[keep]) & inside[keep]]
        assert y[shown].min() == y[mine].min() and y[shown].max() == y[mine].max()


def test_min_max_keeps_a_short_trace_whole():
    x = np.arange(100.0)
    assert np.array_equal(min_max(x, np.sin(x), 10.0, 20.0, 800), np.arange(9, 22))


# -- the payload ---------------------------------------------------------------------------------


def test_payload_layout():
    data = encode({"what": "ü"}, {"a": [1.5, np.nan], "b": np.arange(3)})
    (size,) = struct.unpack_from("<I", data)
    assert size % 4 == 0
    header = json.loads(data[4 : 4 + size])
    assert header["what"] == "ü"
    body = data[4 + size :]
    assert header["arrays"] == [["a", 0, 2], ["b", 8, 3]] and len(body) == 20
    assert struct.unpack("<2f", body[:8])[0] == 1.5 and np.isnan(struct.unpack("<2f", body[:8])[1])
    assert struct.unpack("<3f", body[8:]) == (0.0, 1.0, 2.0)
    with pytest.raises(ValueError, match="outside"):
        decode(data[:-4])


# -- which files ----------------------------------------------------------------------------------


@pytest.fixture
def tree(tmp_path) -> Path:
    root = tmp_path / "root"
    (root / "sub").mkdir(parents=True)
    (root / "a.ibt").write_bytes(b"x")
    (root / "sub" / "b.ibt").write_bytes(b"x")
    (tmp_path / "secret.ibt").write_bytes(b"x")
    (root / "out.ibt").symlink_to(tmp_path / "secret.ibt")
    (root / "sub" / "in.ibt").symlink_to(root / "a.ibt")
    (root / "dirlink").symlink_to(tmp_path, target_is_directory=True)
    return root


@pytest.mark.parametrize(
    "name",
    [
        "../secret.ibt",
        "sub/../../secret.ibt",
        "/etc/passwd",
        "out.ibt",  # a symbolic link out of the directory
        "dirlink/secret.ibt",
        "sub\\b.ibt",
        "./a.ibt",
        "a.txt",
        "",
        "a.ibt\x00",
    ],
)
def test_names_that_leave_the_directory_are_refused(tree, name):
    with pytest.raises(FileRefused):
        FileCatalog(tree).path(name)


def test_the_list_holds_only_what_is_served(tree, tmp_path):
    catalog = FileCatalog(tree)
    assert catalog.names() == ["a.ibt", "sub/b.ibt", "sub/in.ibt"]
    assert catalog.path("sub/in.ibt") == (tree / "a.ibt").resolve()
    single = FileCatalog(tree / "sub" / "b.ibt")
    assert single.names() == ["b.ibt"]
    with pytest.raises(FileRefused, match="serves b.ibt only"):
        single.path("in.ibt")


# -- the data of the views ------------------------------------------------------------------------


def test_traces_place_each_sample_at_its_distance(folder, road_drive):
    app = ViewApp(folder)
    rows = _rows(app)
    body = app.handle(
        "/api/traces",
        {"file": "road.ibt", "lap": str(rows[2]), "ref": str(rows[1]), "channels": "Speed,Gear",
         "px": "4000"},
    ).body  # fmt: skip
    header, arrays = decode(body)
    assert [(c["label"], c["stepped"]) for c in header["channels"]] == [
        ("Speed [km/h]", False),
        ("Gear", True),
    ]
    cols = road_drive.columns
    lap = np.asarray(cols["Lap"]) == 2
    dist = np.asarray(cols["LapDist"])[lap]
    speed = np.asarray(cols["Speed"])[lap] * 3.6
    # The lap's own records, where the distance counts up from the line (short of the wrap).
    x, y = arrays["Speed|lap_x"], arrays["Speed|lap_y"]
    assert len(x) > 0.95 * lap.sum()
    before = dist < dist.max()
    expected = np.interp(x, dist[before], speed[before])
    compared = x <= dist[before].max()
    assert compared.sum() > 0.95 * lap.sum()
    assert np.max(np.abs(y - expected)[compared]) < 0.05
    gears = np.asarray(cols["Gear"])[lap]
    assert set(np.unique(arrays["Gear|lap_y"])) == set(np.unique(gears))


def test_the_comparison_charges_the_late_lap_where_it_lost(folder, road_drive):
    app = ViewApp(folder)
    rows = _rows(app)
    header, arrays = decode(
        app.handle(
            "/api/compare", {"file": "road.ibt", "lap": str(rows[3]), "ref": str(rows[1])}
        ).body
    )
    # Lap 3 brakes 10 m early into the third turn of the track: its worst zone is that corner,
    # lost (positive), and the slip at the end is the two laps' difference of times.
    worst = max(header["zones"], key=lambda z: z["delta"] or 0.0)
    assert worst["name"] == "T3" and worst["delta"] > 0.02
    crossings = road_drive.crossings
    gap = (crossings[3] - crossings[2]) - (crossings[1] - crossings[0])
    assert arrays["delta_y"][-1] == pytest.approx(gap, abs=0.005)
    assert header["lap"]["num"] == 3 and header["reference"]["num"] == 1
    assert len(header["corners"]) == len(road_drive.track.turns)
    assert len(arrays["lap_map_x"]) == len(arrays["lap_map_d"]) == len(arrays["lap_map_c"]) > 100


def test_the_laps_are_listed_as_the_listings_list_them(tmp_path):
    """A recording with a zeroed first record, a reset inside lap 4 and a cut last lap: one
    entry per lap with its status, the one-record row counted apart, and the lap a reset split
    drawn whole (its time from its first row's start to its last row's end)."""
    from corvex.testing.quirks import QUIRKS, quirky_session

    (tmp_path / "q.ibt").write_bytes(quirky_session())
    app = ViewApp(tmp_path)
    session = json.loads(app.handle("/api/session", {"file": "q.ibt"}).body)
    laps = {lap["num"]: lap for lap in session["laps"]}
    assert [lap["num"] for lap in session["laps"]] == list(range(8))
    assert session["one_record_rows"] == 1
    timed = QUIRKS["timed_laps"]
    assert {n for n, lap in laps.items() if lap["status"] == "timed"} == set(timed)
    assert all(lap["valid"] == (lap["status"] == "timed") for lap in laps.values())
    for num, seconds in timed.items():
        assert laps[num]["time"] == pytest.approx(seconds, abs=1 / 60)
    assert laps[QUIRKS["reset_lap"]]["status"] == "reset"
    assert laps[QUIRKS["out_lap"]]["status"] == "out"
    assert laps[7]["status"] == "partial"
    assert {lap["stint"] for lap in laps.values()} == {1}  # one stint, the reset's laps too
    # The lap table's rows of lap 4, read with struct: the reset lap runs over all of them.
    raw = RawIbt((tmp_path / "q.ibt").read_bytes())
    lap_values = raw.values("Lap")
    times = raw.values("SessionTime")
    mine = [i for i, n in enumerate(lap_values) if n == QUIRKS["reset_lap"]]
    end = next(i for i in range(mine[-1], len(lap_values)) if lap_values[i] != lap_values[mine[-1]])
    expected = times[end] - times[mine[0]]
    params = {"file": "q.ibt", "lap": str(laps[4]["row"]), "ref": str(laps[1]["row"])}
    header, _ = decode(app.handle("/api/compare", params).body)
    assert laps[4]["time"] == pytest.approx(expected, abs=0.001)
    assert header["lap"]["lap_time"] == pytest.approx(expected, abs=0.001)
    assert not header["lap"]["valid"]


def test_the_best_lap_of_the_same_track_and_car(folder, road_drive):
    app = ViewApp(folder)
    best = json.loads(app.handle("/api/best", {"file": "road.ibt"}).body)
    times = np.diff(road_drive.crossings)
    assert best["file"] == "road.ibt"
    assert best["lap_time"] == pytest.approx(times.min(), abs=0.02)
    # The oval is another track: its laps never count.
    other = json.loads(app.handle("/api/best", {"file": "sub/oval.ibt"}).body)
    assert other["file"] == "sub/oval.ibt"


# -- the server -----------------------------------------------------------------------------------


@pytest.fixture(scope="module")
def server(folder):
    app = ViewApp(folder)
    srv = make_server(app, "127.0.0.1", 0)
    thread = threading.Thread(target=srv.serve_forever, daemon=True)
    thread.start()
    yield srv
    srv.shutdown()
    srv.server_close()


def _get(server, path, method="GET", host=None):
    port = server.server_address[1]
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    headers = {"Host": host} if host else {}
    conn.request(method, path, headers=headers)
    response = conn.getresponse()
    body = response.read()
    conn.close()
    return response.status, body


@pytest.mark.parametrize(
    ("path", "status", "message"),
    [
        ("/api/session?file=../road.ibt", 403, "under the viewer's directory"),
        ("/api/session?file=%2Fetc%2Fpasswd", 403, "absolute"),
        ("/api/session?file=notes.txt", 403, "not an IBT file"),
        ("/api/session?file=missing.ibt", 404, "no such file"),
        ("/api/session?file=road-cut.ibt", 422, r"holds \d+ whole records: --salvage reads them"),
        ("/api/compare?file=road.ibt&lap=99&ref=1", 422, "row 99"),
        ("/api/traces?file=road.ibt&lap=1&ref=1&channels=Nope", 422, "Nope"),
        ("/api/compare?file=road.ibt&lap=x&ref=1", 422, "not a number"),
        ("/api/nothing", 404, "no endpoint"),
    ],
)
def test_bad_requests_get_an_error_and_the_server_goes_on(server, path, status, message):
    got, body = _get(server, path)
    assert got == status
    assert re.search(message, json.loads(body)["error"], re.I)
    ok, page = _get(server, "/api/files")
    assert ok == 200 and json.loads(page)["files"] == ["road-cut.ibt", "road.ibt", "sub/oval.ibt"]


@pytest.mark.parametrize(
    ("method", "host", "status"),
    [("POST", None, 405), ("DELETE", None, 405), ("GET", "evil.example:80", 403)],
)
def test_only_reads_from_this_machine(server, method, host, status):
    assert _get(server, "/", method, host)[0] == status


def test_the_page_names_nothing_outside_the_viewer(server):
    status, page = _get(server, "/")
    assert status == 200
    text = page.decode()
    assert not re.search(r"(src|href)=\"(https?:)?//", text)
    assert _get(server, "/static/bokeh.min.js")[0] == 200


# -- the report -----------------------------------------------------------------------------------


def test_report_is_one_file_without_addresses(folder, tmp_path):
    from corvex.cli import main

    out = tmp_path / "r.html"
    assert (
        main(["report", str(folder / "road.ibt:3"), str(folder / "road.ibt:1"), "-o", str(out)])
        == 0
    )
    text = out.read_text()
    assert os.listdir(tmp_path) == ["r.html"]
    # The markup and the viewer's own script and style name no address; BokehJS's text
    # mentions some for features a report never uses (the browser test loads it offline).
    markup = re.sub(r"<(script|style)[^>]*>.*?</\1>", "", text, flags=re.S)
    assert not re.search(r"(src|href)=|url\(|@import|//", markup.replace("<!DOCTYPE html>", ""))
    from corvex.view.page import static_text

    for name in ("view.js", "view.css"):
        assert static_text(name) in text and not re.search(r"https?:|//[a-z]", static_text(name))
    boot = json.loads(re.search(r'id="corvex-boot">(.*?)</script>', text, re.S)[1])
    header, _ = decode(__import__("base64").b64decode(boot["report"]["compare"]))
    assert (header["lap"]["num"], header["reference"]["num"]) == (3, 1)


# -- the command ----------------------------------------------------------------------------------


@pytest.mark.skipif(sys.platform == "win32", reason="SIGINT to a child process")
def test_view_says_where_it_listens_and_stops_on_ctrl_c(folder):
    child = subprocess.Popen(
        [sys.executable, "-m", "corvex", "view", str(folder / "road.ibt"), "--no-browser",
         "--port", "0"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
    )  # fmt: skip
    try:
        line = ""
        while "serving" not in line:
            line = child.stdout.readline()
            assert line, child.stderr.read()
        url = re.search(r"http://127\.0\.0\.1:(\d+)/", line)
        assert url and "this computer only" in line
        conn = http.client.HTTPConnection("127.0.0.1", int(url[1]), timeout=30)
        conn.request("GET", "/api/files")
        assert json.loads(conn.getresponse().read())["files"] == ["road.ibt"]
        conn.close()
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=30)
    finally:
        child.kill()
    assert child.returncode == 0
    assert "stopped" in out and "Traceback" not in err


# -- references from a dataset -------------------------------------------------------------------


def test_the_best_lap_may_come_from_a_dataset(tmp_path, road_drive):
    """A folder with a slow recording and a dataset (`corvex export`) of a faster session of
    the same track and a faster still of another configuration of it: the best reference is
    the dataset's fastest lap of the same layout, drawn against."""
    import dataclasses

    from corvex.cli import main

    source = tmp_path / "source"
    source.mkdir()
    fast = T.drive(T.road_course(), [T.LapPlan(slower={k: 1.0 for k in range(8)})] * 3)
    (source / "fast.ibt").write_bytes(T.session_file(fast))
    national = dataclasses.replace(
        road_drive, track=dataclasses.replace(road_drive.track, config="National")
    )
    (source / "national.ibt").write_bytes(T.session_file(national))
    root = tmp_path / "root"
    root.mkdir()
    assert main(["export", str(source), "-o", str(root / "export")]) == 0
    slow = T.drive(T.road_course(), [T.LapPlan(slower={k: 2.0 for k in range(8)})] * 3)
    (root / "slow.ibt").write_bytes(T.session_file(slow))
    app = ViewApp(root)
    rows = _rows(app, "slow.ibt")  # the page asks for the session first
    best = json.loads(app.handle("/api/best", {"file": "slow.ibt"}).body)
    fast_times = np.diff(fast.crossings)
    assert fast_times.min() > np.diff(road_drive.crossings).min() + 0.1
    assert best["file"].startswith("dataset:export|") and best["label"] == "dataset export"
    assert best["lap_time"] == pytest.approx(fast_times.min(), abs=0.02)
    params = {"file": "slow.ibt", "lap": str(rows[2]), "ref_file": best["file"], "ref": "0"}
    header, arrays = decode(app.handle("/api/compare", params).body)
    slow_time = slow.crossings[2] - slow.crossings[1]
    assert arrays["delta_y"][-1] == pytest.approx(slow_time - fast_times.min(), abs=0.02)
    assert header["reference"]["label"].startswith("export lap ")
    _, traces = decode(app.handle("/api/traces", params | {"channels": "Speed"}).body)
    assert len(traces["Speed|ref_x"]) > 1000
    refused = app.handle("/api/compare", params | {"ref_file": "dataset:..|x|0|1"})
    assert refused.status == 403


def test_high_rate_samples_land_where_the_car_was(tmp_path):
    """A 360 Hz variable (six samples a tick) whose every sample holds the distance the car
    was at when it was taken (the car drives 60 m/s from the line): the viewer draws each
    sample at that distance, within what whole milliseconds of time allow (6 cm)."""
    from corvex.testing import FLOAT, Var, build_ibt, lap_variables

    ticks, per_lap, rate, count = 600, 300, 60, 6
    time = np.arange(ticks) / rate
    in_lap = time - (np.arange(ticks) // per_lap) * per_lap / rate
    samples = [
        [60.0 * (t - (count - 1 - j) / (count * rate)) for j in range(count)] for t in in_lap
    ]
    data = build_ibt(
        [*lap_variables(), Var("LapDist", FLOAT, unit="m"), Var("Dist_ST", FLOAT, count=count)],
        {
            "SessionTime": time.tolist(),
            "Lap": (1 + np.arange(ticks) // per_lap).tolist(),
            "LapDistPct": (in_lap / (per_lap / rate)).tolist(),
            "OnPitRoad": [False] * ticks,
            "LapDist": (60.0 * in_lap).tolist(),
            "Dist_ST": samples,
        },
        tick_rate=rate,
    )
    (tmp_path / "st.ibt").write_bytes(data)
    app = ViewApp(tmp_path)
    session = json.loads(app.handle("/api/session", {"file": "st.ibt"}).body)
    assert {"name": "Dist_ST", "unit": "", "desc": "", "rate": "high"} in session["channels"]
    rows = {lap["num"]: lap["row"] for lap in session["laps"]}
    params = {"file": "st.ibt", "lap": str(rows[2]), "ref": str(rows[1]), "px": "4000"}
    _, arrays = decode(app.handle("/api/traces", params | {"channels": "Dist_ST"}).body)
    x, y = arrays["Dist_ST|lap_x"], arrays["Dist_ST|lap_y"]
    assert len(x) > 0.9 * count * per_lap  # every sample of the lap, not one a tick
    assert np.max(np.abs(x - y)) < 0.061
