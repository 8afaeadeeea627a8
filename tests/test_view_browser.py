"""The viewer and the report in a real browser: Debian's chromium, driven by selenium through
Debian's chromedriver (named explicitly, so selenium never looks for or downloads a driver).

Skipped where chromium or its driver is not installed; .ci/run installs both and sets
CORVEX_REQUIRE_BROWSER, which turns the skip into a failure. With
``CORVEX_SCREENSHOTS=DIR`` the screenshots are also written to DIR (``make screenshots`` writes
the documentation's).
"""

from __future__ import annotations

import json
import os
import shutil
import threading
import time
from pathlib import Path

import numpy as np
import pytest

from corvex.testing import tracks as T

pytest.importorskip("bokeh")
webdriver = pytest.importorskip("selenium.webdriver")

CHROMIUM = shutil.which("chromium")
DRIVER = shutil.which("chromedriver") or "/usr/bin/chromedriver"
if not CHROMIUM or not os.path.isfile(DRIVER):
    # .ci/run installs both and says so: a skip there would hide a broken install.
    if os.environ.get("CORVEX_REQUIRE_BROWSER"):
        pytest.fail("no chromium or chromedriver for the browser tests", pytrace=False)
    pytest.skip("needs Debian's chromium and chromium-driver", allow_module_level=True)

from selenium.webdriver.chrome.service import Service  # noqa: E402
from selenium.webdriver.common.action_chains import ActionChains  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.support.ui import Select  # noqa: E402

import corvex  # noqa: E402
from corvex.view.server import ViewApp, make_server  # noqa: E402

SIZE = (1600, 1300)


def _browser(*extra: str):
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                f"--window-size={SIZE[0]},{SIZE[1]}", *extra):  # fmt: skip
        options.add_argument(arg)
    # The browser is no part of what the sanitizer builds check: it starts without their
    # runtimes.
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONMALLOC")}
    return webdriver.Chrome(service=Service(executable_path=DRIVER, env=env), options=options)


def _shot(driver, tmp_path: Path, name: str) -> Path:
    path = tmp_path / name
    driver.save_screenshot(str(path))
    folder = os.environ.get("CORVEX_SCREENSHOTS")
    if folder:
        Path(folder).mkdir(parents=True, exist_ok=True)
        shutil.copyfile(path, Path(folder) / name)
    return path


def _wait(driver, script: str, timeout: float = 60.0):
    end = time.monotonic() + timeout
    while True:
        value = driver.execute_script(script)
        if value:
            return value
        if time.monotonic() > end:
            error = driver.execute_script(
                "return document.getElementById('error-text').textContent"
            )
            raise AssertionError(f"timed out waiting for {script!r}; error panel: {error!r}")
        time.sleep(0.05)


READY = (
    "return window.corvexView && corvexView.state.ready && !!corvexView.state.map"
    " && corvexView.state.pending === 0"
)


@pytest.fixture(scope="module")
def drive(road_drive) -> T.Drive:
    return road_drive


@pytest.fixture(scope="module")
def folder(view_folder) -> Path:
    return view_folder


@pytest.fixture(scope="module")
def url(folder):
    app = ViewApp(folder)
    app.warm()  # as corvex view does: the page opens on the first file that reads
    server = make_server(app, "127.0.0.1", 0)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    yield server.url
    server.shutdown()
    server.server_close()


@pytest.fixture(scope="module")
def driver():
    d = _browser()
    yield d
    d.quit()


def _rows(folder: Path) -> dict[int, int]:
    log = corvex.open(folder / "road.ibt")
    return {n: r for r, n in enumerate(log.laps.column("num").to_pylist())}


def test_cursor_zoom_and_corners_follow_each_other(driver, url, folder, drive, tmp_path):
    rows = _rows(folder)
    driver.get(url)
    _wait(driver, READY)
    # Lap 3 (it brakes early into turn 3) against lap 1, picked as a user picks them.
    Select(driver.find_element(By.ID, "ref")).select_by_value(str(rows[1]))
    _wait(driver, f"return corvexView.state.ref.row === {rows[1]} && " + READY[7:])
    Select(driver.find_element(By.ID, "lap")).select_by_value(str(rows[3]))
    _wait(driver, f"return corvexView.state.lap.row === {rows[3]} && " + READY[7:])
    summary = driver.find_element(By.ID, "summary").text
    assert "lap 3" in summary and "lap 1" in summary

    charts = driver.find_element(By.ID, "charts")
    width = charts.size["width"]
    channels = driver.execute_script("return corvexView.state.channels")
    assert channels == ["Speed", "Throttle", "Brake", "Gear"]
    log = corvex.open(folder / "road.ibt")
    seen = []
    for share in (0.3, 0.62):
        # Over the time slip chart (the top one), at a share of the plot's width.
        ActionChains(driver).move_to_element_with_offset(
            charts, int((share - 0.5) * (width - 90)), -charts.size["height"] // 2 + 90
        ).perform()
        cursor = _wait(driver, "return corvexView.state.cursor")
        texts = {
            name: driver.execute_script(f"return corvexView.model('charts', 'readout:{name}').text")
            for name in ["delta", *channels]
        }
        place = driver.execute_script("return corvexView.model('map', 'lap_pos').data")
        seen.append((cursor, texts, place))
        # The speed shown at the cursor is the lap's speed there (the driving model's).
        lap = np.asarray(drive.columns["Lap"]) == 3
        dist = np.asarray(drive.columns["LapDist"])[lap]
        speed = np.asarray(drive.columns["Speed"])[lap] * 3.6
        shown = float(texts["Speed"].split("|")[0])
        assert shown == pytest.approx(np.interp(cursor, dist, speed), abs=1.5)
        # The lap's dot on the map is on the track at the cursor's distance.
        x, y, _ = log.track.at(cursor)
        assert np.hypot(place["x"][0] - x, place["y"][0] - y) < 15.0
    (a, texts_a, place_a), (b, texts_b, place_b) = seen
    assert b > a + 500
    assert all(texts_a[name] and texts_a[name] != texts_b[name] for name in texts_a)
    assert place_a != place_b
    shot = _shot(driver, tmp_path, "view-cursor.png")
    assert shot.stat().st_size > 50_000

    # A click on T3 in the corner table zooms every chart (they share one range) to it, and
    # the traces come again at the detail of the window.
    row = driver.find_element(By.XPATH, "//table[@id='zones']//td[text()='T3']")
    row.click()
    # Until the traces drawn are those of the window shown.
    _wait(
        driver,
        "const r = corvexView.model('charts', 'x_range'); const w = corvexView.state.window;"
        " return w && Math.abs(w[0] - r.start) < 1 && Math.abs(w[1] - r.end) < 1 && " + READY[7:],
    )
    zone = next(
        z
        for z in driver.execute_script("return corvexView.state.compare.header.zones")
        if z["name"] == "T3"
    )
    start, end = driver.execute_script(
        "const r = corvexView.model('charts', 'x_range'); return [r.start, r.end]"
    )
    assert start < zone["start"] < zone["end"] < end < zone["end"] + 0.6 * (zone["end"] - start)
    xs = _wait(driver, "const t = corvexView.state.traces.Speed; return t && Array.from(t.lap_x)")
    assert xs[1] >= start - 5 and xs[-2] <= end + 5
    assert zone["delta"] > 0.02
    _shot(driver, tmp_path, "view-corner.png")


def test_a_broken_file_shows_an_error_and_the_viewer_goes_on(driver, url, tmp_path):
    driver.get(url)
    _wait(driver, READY)
    Select(driver.find_element(By.ID, "file")).select_by_value("road-cut.ibt")
    panel = driver.find_element(By.ID, "error")
    _wait(driver, "return !document.getElementById('error').hidden")
    # Named as the page names it, with what to do about it; the page stays on the file it
    # shows, and goes on working.
    assert panel.text.lstrip("×\n ").startswith("road-cut.ibt: ")
    assert "salvage" in panel.text and str(tmp_path) not in panel.text
    assert Select(driver.find_element(By.ID, "file")).first_selected_option.text == "road.ibt"
    _shot(driver, tmp_path, "view-error.png")
    rows = driver.execute_script("return corvexView.state.session.laps.map(l => l.row)")
    Select(driver.find_element(By.ID, "lap")).select_by_value(str(rows[2]))
    _wait(driver, f"return corvexView.state.compare.header.lap.row === {rows[2]} && {READY[7:]}")


def test_the_report_opens_without_a_network(folder, tmp_path):
    from corvex.cli import main

    out = tmp_path / "report.html"
    assert (
        main(["report", f"{folder / 'road.ibt'}:3", f"{folder / 'road.ibt'}:1", "-o", str(out)])
        == 0
    )
    # No name resolves and every connection goes to a closed port.
    offline = _browser("--host-resolver-rules=MAP * ~NOTFOUND", "--proxy-server=127.0.0.1:9")
    try:
        offline.get(out.as_uri())
        _wait(offline, READY)
        loaded = offline.execute_script(
            "return performance.getEntriesByType('resource').map(e => e.name)"
        )
        assert all(name.startswith(("file:", "data:", "blob:")) for name in loaded), loaded
        zones = offline.execute_script("return corvexView.state.compare.header.zones.length")
        assert zones > 8
        offline.execute_script("corvexView.cursor(1200)")
        texts = offline.execute_script("return corvexView.model('charts', 'readout:Speed').text")
        assert "|" in texts
        _shot(offline, tmp_path, "report.png")
        errors = [e for e in offline.get_log("browser") if e["level"] == "SEVERE"]
        assert errors == [], json.dumps(errors)
    finally:
        offline.quit()
