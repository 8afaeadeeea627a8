"""Benchmark live telemetry: one record, recording at 60 Hz, and the bridge's latency.

Run with ``make bench-live`` (part of ``make bench``), or
``python bench/bench_live.py [--replay-exe EXE --bridge-exe EXE]``. On a writer-made session of
300 variables (283 scalars of every type, 17 arrays of 64 values like the simulator's per-car
arrays; 6,036-byte records at 60 Hz):

- one record: the core's part (``native/tools/live_bench``: the header read and checked, the
  newest buffer copied and checked again, the record written into a block of columns) and
  ``Live.latest()``, which adds the one-row batch pyarrow makes of it; on a file the replay
  wrote, medians of many calls (target at most 50 us);
- recording: ``corvex record`` on a replay at the file's own 60 Hz, its processor time (user and
  system, read from /proc while the replay publishes: the start-up, the wait for the first
  record and the final combination into one file are left out) over that time (target at most
  5 % of one core);
- the bridge (with the Windows programs, under wine): the replay publishes into the named
  mapping and logs when each tick is in place, the bridge logs when it has mirrored each tick
  into /dev/shm; both log the same clock (wine's performance counter is the system's
  monotonic clock), and the difference is the latency the bridge adds: its median against the
  target of at most 1 ms, its 90th and 99th percentiles and the most beside it, with the
  spacing of the replay's own publishes, which shows how steadily wine ran meanwhile.

Prints each figure against its target; exits 1 when one is missed.
"""

from __future__ import annotations

import argparse
import os
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

import numpy as np

import corvex
import corvex.live
from corvex.testing import BITFIELD, BOOL, DOUBLE, FLOAT, INT, WIDTH, Var, build_ibt

TARGET_RECORD_US = 50.0
TARGET_RECORD_CPU = 0.05
TARGET_BRIDGE_MS = 1.0


def session(seconds: int, path: Path) -> Path:
    """A 60 Hz session of 300 variables with random values (SessionTime and Lap real)."""
    variables = [Var("SessionTime", DOUBLE, unit="s"), Var("Lap", INT), Var("LapDistPct", FLOAT)]
    kinds = [FLOAT] * 200 + [INT] * 40 + [BOOL] * 25 + [DOUBLE] * 10 + [BITFIELD] * 5
    variables += [Var(f"Scalar{i}", kind) for i, kind in enumerate(kinds)]
    variables += [Var(f"CarIdx{i}", FLOAT if i % 2 else INT, count=64) for i in range(17)]
    assert len(variables) == 300
    n = seconds * 60
    buf_len = sum(v.width * v.count for v in variables)
    data = np.random.default_rng(1).integers(0, 256, (n, buf_len), dtype=np.uint8)
    offset = 0
    for var in variables:  # the writer places them one after the other in this order
        if var.name == "SessionTime":
            data[:, offset : offset + 8] = (np.arange(n) / 60.0).view(np.uint8).reshape(n, 8)
        elif var.name == "Lap":
            data[:, offset : offset + 4] = (
                (np.arange(n, dtype=np.int32) // 5400).view(np.uint8).reshape(n, 4)
            )
        elif var.type == BOOL:
            data[:, offset] &= 1
        elif var.type in (FLOAT, DOUBLE):  # finite values: NaN payloads are fine, but not typical
            width = WIDTH[var.type]
            values = np.random.default_rng(offset).random((n, var.count))
            kind = np.float32 if width == 4 else np.float64
            data[:, offset : offset + width * var.count] = (
                values.astype(kind).view(np.uint8).reshape(n, -1)
            )
        offset += var.width * var.count
    path.write_bytes(
        build_ibt(variables, None, buf_len=buf_len, record_count=n, data=data.tobytes())
    )
    return path


def bench_record(live_path: Path) -> float:
    """Median microseconds of Live.latest(), over rounds of 250 calls."""
    live = corvex.live.Live(corvex.reading._extension().live_open(str(live_path)), str(live_path))
    live.latest()
    times = []
    for _ in range(20):
        start = time.perf_counter()
        for _ in range(250):
            live.latest()
        times.append((time.perf_counter() - start) / 250 * 1e6)
    return statistics.median(times)


def cpu_seconds(pid: int) -> float:
    """User and system time of a process so far, from /proc."""
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def bench_recording(source: Path, work: Path) -> tuple[float, int, int]:
    """Processor share of one core of `corvex record` at 60 Hz, and its rows and missed ticks."""
    target = work / "record.live"
    out = work / "record.parquet"
    recorder = subprocess.Popen(
        [
            sys.executable,
            "-m",
            "corvex",
            "record",
            "-o",
            str(out),
            "--path",
            str(target),
            "--timeout",
            "30",
        ],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    lead_in = 3.0
    publisher = threading.Thread(
        target=corvex.live.replay, args=(source, target), kwargs={"speed": 1.0, "lead_in": lead_in}
    )
    publisher.start()
    time.sleep(lead_in + 1.0)  # the recorder is connected and past its first records
    cpu, start = cpu_seconds(recorder.pid), time.monotonic()
    publisher.join()
    cpu, wall = cpu_seconds(recorder.pid) - cpu, time.monotonic() - start
    stdout, stderr = recorder.communicate(timeout=120)
    if recorder.returncode != 0:
        raise SystemExit(f"corvex record failed: {stderr}")
    import pyarrow.parquet as pq

    meta = pq.read_schema(out).metadata or {}
    return cpu / wall, pq.read_metadata(out).num_rows, int(meta.get(b"corvex.missed", b"0"))


def bench_bridge(source: Path, replay_exe: str, bridge_exe: str, work: Path) -> list[float]:
    """Per tick, milliseconds from the replay's publish to the bridge's mirror being written."""
    mirror = f"/dev/shm/corvex-bench-live-{os.getpid()}"
    env = {**os.environ, "WINEDEBUG": "-all"}
    published, mirrored = work / "published.txt", work / "mirrored.txt"
    bridge = subprocess.Popen(
        ["wine", bridge_exe, mirror, "--wait", "60", "--times", str(mirrored)],
        env=env,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
        start_new_session=True,
    )
    try:
        time.sleep(1.0)
        subprocess.run(
            ["wine", replay_exe, str(source), "--speed", "1", "--times", str(published)],
            env=env,
            check=True,
            timeout=300,
            stdout=subprocess.DEVNULL,
        )
        bridge.wait(60)
    finally:
        if bridge.poll() is None:
            os.killpg(bridge.pid, signal.SIGKILL)
            bridge.wait()

    def read(path: Path) -> dict[int, int]:
        rows = (line.split() for line in path.read_text().splitlines() if line.strip())
        return {int(tick): int(us) for tick, us in rows}

    sent, got = read(published), read(mirrored)
    return [(got[t] - sent[t]) / 1000.0 for t in sorted(sent) if t in got]


def publish_spacing(log: Path) -> tuple[float, float]:
    """The 1st and 99th percentile of the time between two publishes of the replay, in ms: how
    steadily wine and the machine ran the Windows programs during the measurement."""
    times = sorted(int(line.split()[1]) for line in log.read_text().splitlines() if line.strip())
    steps = sorted((b - a) / 1000.0 for a, b in zip(times, times[1:]))
    return steps[int(0.01 * (len(steps) - 1))], steps[int(0.99 * (len(steps) - 1))]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--core-bench", help="native/tools/live_bench built for this machine")
    parser.add_argument("--replay-exe")
    parser.add_argument("--bridge-exe")
    parser.add_argument("--seconds", type=int, default=30, help="length of the session (s)")
    args = parser.parse_args()
    failed = False

    # A target missed is printed, like every other bench's; only a measurement that could not be
    # made fails the run.
    def report(what: str, value: float, target: float, unit: str) -> None:
        ok = value <= target
        print(
            f"{what}: {value:.{1 if unit != '%' else 2}f} {unit} (target at most {target:g} {unit})"
            f"{'' if ok else '  MISSED'}"
        )

    with tempfile.TemporaryDirectory(dir="/dev/shm" if os.path.isdir("/dev/shm") else None) as tmp:
        work = Path(tmp)
        source = session(args.seconds, work / "session.ibt")
        static = work / "static.live"
        corvex.live.replay(source, static, speed=None, lead_in=0)
        if args.core_bench:
            core = subprocess.run(
                [args.core_bench, str(static), "21"], capture_output=True, text=True, check=True
            )
            core_us = float(core.stdout)
            report(
                "the core's read of one record of 300 variables", core_us, TARGET_RECORD_US, "us"
            )
        latest_us = bench_record(static)
        report("Live.latest(), one record of 300 variables", latest_us, TARGET_RECORD_US, "us")
        share, rows, missed = bench_recording(source, work)
        report(
            f"corvex record at 60 Hz ({rows} rows, {missed} ticks missed), one core's",
            share * 100,
            TARGET_RECORD_CPU * 100,
            "%",
        )
        if args.replay_exe and args.bridge_exe:
            latencies = bench_bridge(source, args.replay_exe, args.bridge_exe, work)
            if not latencies:
                print("bridge: no tick was mirrored  MISSED")
                failed = True
            else:
                ordered = sorted(latencies)

                def pct(q: float) -> float:
                    return ordered[int(q / 100 * (len(ordered) - 1))]

                spacing = publish_spacing(work / "published.txt")
                print(
                    f"bridge latency over {len(ordered)} ticks: median {pct(50):.3f} ms, "
                    f"90th percentile {pct(90):.3f} ms, 99th {pct(99):.3f} ms, "
                    f"most {ordered[-1]:.3f} ms; the replay's own publish spacing "
                    f"(16.667 ms due) ran from {spacing[0]:.2f} to {spacing[1]:.2f} ms"
                )
                report("bridge latency, median", pct(50), TARGET_BRIDGE_MS, "ms")
        else:
            print("bridge latency: not measured (make bench-live passes the Windows programs)")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
