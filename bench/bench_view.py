"""Time `corvex view` in chromium and `corvex report` on the one-hour bench session.

    python bench/bench_view.py [--session PATH] [--rounds 5]

- the first chart: from the page's request to the charts drawn with the lap's data, in a
  fresh browser (nothing cached, target 1.5 s) and reloaded (BokehJS cached);
- switching the lap, and the reference (target 300 ms each): from the choice to every chart
  drawn again;
- zooming to a corner: the traces of the window, thinned for it;
- the largest response of the data endpoints (target 300 KB), and what the static files
  weigh (BokehJS is sent once, compressed, and cached);
- `corvex report` end to end (a new process, target 3 s) and the file's size (target 5 MB);
- thinning a 360 Hz lap (32,000 samples) to 1,200 pixels.

`corvex view` runs as users start it (a new process that reads the file before it listens);
the browser is Debian's chromium through its chromedriver. Timings are printed with their
targets, never asserted; the median of the rounds counts. Without chromium the browser part
is left out with a note.
"""

from __future__ import annotations

import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Any

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

READY = "return !!(window.corvexView && corvexView.state.ready && corvexView.state.pending === 0)"
MAP = "return !!(window.corvexView && corvexView.state.map && corvexView.state.pending === 0)"


def verdict(label: str, values: list[float], target: float | None, unit: str = "ms") -> None:
    median = statistics.median(values)
    shown = f"{label:<58} {median:9.1f} {unit} (min {min(values):.1f}, max {max(values):.1f})"
    if target is not None:
        shown += f"  target {target:.0f} {unit}  {'ok' if median <= target else 'OVER TARGET'}"
    print(shown, flush=True)


def browser() -> Any:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium") or "/usr/bin/chromium"
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1600,1200"):
        options.add_argument(arg)
    driver = shutil.which("chromedriver") or "/usr/bin/chromedriver"
    return webdriver.Chrome(service=Service(executable_path=driver), options=options)


def wait(driver: Any, script: str, timeout: float = 60.0) -> Any:
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        value = driver.execute_script(script)
        if value:
            return value
        time.sleep(0.01)
    raise TimeoutError(script)


def start_viewer(session: Path) -> tuple[subprocess.Popen[str], str, float]:
    """`corvex view SESSION` in a new process: the process, its address and its start time."""
    started = time.perf_counter()
    child = subprocess.Popen(
        [sys.executable, "-m", "corvex", "view", str(session), "--no-browser", "--port", "0"],
        stdout=subprocess.PIPE,
        text=True,
    )
    assert child.stdout is not None
    for line in child.stdout:
        found = re.search(r"http://127\.0\.0\.1:\d+/", line)
        if found:
            return child, found[0], time.perf_counter() - started
    raise RuntimeError("corvex view stopped before it listened")


def time_switch(driver: Any, call: str) -> float:
    """ms from calling ``call`` (a promise of the page's) to every chart drawn again."""
    return float(
        driver.execute_async_script(
            "const done = arguments[arguments.length - 1];"
            "const t0 = performance.now();"
            f"{call}.then(() => requestAnimationFrame(() => done(performance.now() - t0)));"
        )
    )


def bench_browser(session: Path, rounds: int) -> None:
    child, url, start = start_viewer(session)
    print(f"corvex view {session.name}: listening after {start:.2f} s (it reads the file first)")
    try:
        drawn = "return performance.getEntriesByName('charts drawn')[0].startTime"
        mapped = "return performance.getEntriesByName('embedded map')[0].startTime"
        first, cached, maps = [], [], []
        for _ in range(rounds):
            driver = browser()  # a new profile: nothing cached
            try:
                driver.get(url)
                wait(driver, READY)
                first.append(driver.execute_script(drawn))
                driver.get(url)
                wait(driver, READY)
                wait(driver, MAP)
                cached.append(driver.execute_script(drawn))
                maps.append(driver.execute_script(mapped))
            finally:
                driver.quit()
        verdict("first chart, fresh browser (page request to drawn)", first, 1500)
        verdict("first chart, page reloaded (BokehJS cached)", cached, 1500)
        verdict("  and the map, page reloaded", maps, None)

        driver = browser()
        try:
            driver.get(url)
            wait(driver, READY)
            wait(driver, MAP)
            laps = driver.execute_script("return corvexView.state.session.laps")
            valid = [lap["row"] for lap in laps if lap["valid"]]
            file = driver.execute_script("return corvexView.state.file")
            picks = valid[: max(rounds, 5) + 1]
            lap_times = [
                time_switch(driver, f"corvexView.pickLap({{file: '{file}', row: {row}}})")
                for row in picks
            ]
            ref_times = [
                time_switch(driver, f"corvexView.pickRef({{file: '{file}', row: {row}}})")
                for row in reversed(picks)
            ]
            verdict("switching the lap (choice to charts drawn)", lap_times, 300)
            verdict("switching the reference", ref_times, 300)
            zones = driver.execute_script(
                "return corvexView.state.compare.header.zones.filter(z => z.kind === 'corner')"
            )
            zoom = []
            for zone in zones[: max(rounds, 5)]:
                before = driver.execute_script("return corvexView.state.tracesSeq")
                start_ms = driver.execute_script(
                    "corvexView.zoomTo(arguments[0]); return performance.now()", zone
                )
                wait(driver, f"return corvexView.state.tracesSeq > {before} && {READY[7:]}")
                zoom.append(driver.execute_script("return performance.now()") - start_ms)
            verdict("zoom to a corner (with the 120 ms pause after a gesture)", zoom, None)
            sizes = driver.execute_script(
                "return performance.getEntriesByType('resource')"
                ".map(e => [e.name, e.encodedBodySize, e.decodedBodySize])"
            )
            data = [s for s in sizes if "/api/" in s[0]]
            biggest = max(data, key=lambda s: s[1])
            print(
                f"{'largest data response':<58} {biggest[1] / 1000:9.1f} KB"
                f"  target 300 KB  {'ok' if biggest[1] <= 300_000 else 'OVER TARGET'}"
                f"  ({re.sub(r'.*/api/', '', biggest[0])[:60]})"
            )
            for name, encoded, decoded in sizes:
                if "/static/" in name:
                    print(
                        f"  static {name.rsplit('/', 1)[1]:<20} {encoded / 1000:8.1f} KB sent"
                        f" ({decoded / 1000:.1f} KB unpacked; cached by the browser)"
                    )
        finally:
            driver.quit()
        bench_high_rate(url)
    finally:
        child.send_signal(signal.SIGINT)
        child.wait(timeout=30)


def bench_high_rate(url: str) -> None:
    """The 360 Hz shock deflection of a lap against a reference, whole lap and a corner."""
    import json
    import urllib.request

    with urllib.request.urlopen(url + "api/files") as response:
        file = json.loads(response.read())["files"][0]
    with urllib.request.urlopen(f"{url}api/session?file={file}") as response:
        view = json.loads(response.read())
    query = f"file={file}&lap={view['lap']}&ref={view['reference']}&px=1200"
    for window in ("", "&low=1000&high=1400"):
        start = time.perf_counter()
        with urllib.request.urlopen(
            f"{url}api/traces?{query}&channels=LFshockDefl_ST,RFshockDefl_ST{window}"
        ) as response:
            body = response.read()
        took = (time.perf_counter() - start) * 1000
        what = "two 360 Hz channels, both laps, " + ("whole lap" if not window else "400 m")
        print(f"{what:<58} {took:9.1f} ms  {len(body) / 1000:.1f} KB")


def bench_report(session: Path, rounds: int) -> None:
    with tempfile.TemporaryDirectory() as folder:
        out = Path(folder) / "report.html"
        command = [sys.executable, "-m", "corvex", "report", str(session), "-o", str(out)]
        import resource

        times, cpu = [], []
        for _ in range(rounds):
            start = time.perf_counter()
            before = resource.getrusage(resource.RUSAGE_CHILDREN)
            subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
            after = resource.getrusage(resource.RUSAGE_CHILDREN)
            times.append(time.perf_counter() - start)
            cpu.append(after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime)
        verdict(
            "corvex report (a new process, to the file written)", [t * 1000 for t in times], 3000
        )
        verdict("  its CPU time (what a busy machine stretches)", [c * 1000 for c in cpu], None)
        size = out.stat().st_size / 1e6
        print(f"{'report size':<58} {size:9.2f} MB  target 5 MB  {'ok' if size <= 5 else 'OVER'}")


def bench_thinning() -> None:
    from corvex.view.decimate import min_max

    rng = np.random.default_rng(0)
    x = np.sort(rng.uniform(0.0, 4300.0, 32_400))
    y = np.cumsum(rng.normal(0.0, 1.0, len(x)))
    times = []
    for _ in range(50):
        start = time.perf_counter()
        min_max(x, y, 0.0, 4300.0, 1200)
        times.append((time.perf_counter() - start) * 1000)
    verdict("thinning 32,400 samples to 1,200 pixels (numpy)", times, None)


def main() -> None:
    import argparse

    from make_session import ensure_session

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--session", type=Path, help="IBT file (default: the bench session)")
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    session = args.session or ensure_session()
    bench_thinning()
    bench_report(session, args.rounds)
    try:
        import selenium  # noqa: F401
    except ImportError:
        print("the browser timings need selenium (pip install 'corvex[view,test]'): left out")
        return
    if not shutil.which("chromium") or not os.path.exists("/usr/bin/chromedriver"):
        print("the browser timings need chromium and chromium-driver (apt): left out")
        return
    bench_browser(session, args.rounds)


if __name__ == "__main__":
    main()
