"""Benchmark of the dataset export: many one-hour sessions, one core, all cores, Dask.

Generates --files one-hour sessions with the project's writer (the records of
bench/make_session.py, the session info varied so that they spread over four tracks and two
cars, and so over eight Hive partitions), cached in bench/data/dataset/. Then each run converts
all of them into a fresh directory, in a fresh Python process:

- local, --jobs 1 (in the process itself);
- local, all cores, worker processes (the default);
- local, all cores, threads (for the processes-versus-threads choice);
- corvex.dask.export_dataset on a LocalCluster of 2 worker processes with 1 thread each
  (the cluster's start is timed apart, the export alone is compared).

It prints files/s, MB/s of IBT input, the speed-up over one core, the CPU time of the
processes that converted files (the machine is shared, so this tells the work apart from the
wait; with --jobs 1 and threads it is the whole process's) and their peak resident memory (their
ru_maxrss), against the size of one file::

    python bench/bench_dataset.py                  # 16 one-hour sessions
    python bench/bench_dataset.py --files 6 --records 108000
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import make_session  # noqa: E402 - the benchmark's session generator, beside this file

from corvex.testing import build_ibt  # noqa: E402

GENERATOR_VERSION = 1
DATA_DIR = make_session.DATA_DIR / "dataset"
TRACKS = [
    ("veldstrand gp", "Veldstrand Ring", "4.32 km"),
    ("brannhoj", "Brannhoj Raceway", "3.05 km"),
    ("costa alta", "Circuito Costa Alta", "5.12 km"),
    ("mirow oval", "Mirow Oval", "2.41 km"),
]
CARS = ["GT4 Coupe", "LMP Proto"]


def session_info(index: int, laps: int) -> str:
    track, display, length = TRACKS[index % len(TRACKS)]
    car = CARS[(index // len(TRACKS)) % len(CARS)]
    return (
        f"---\nWeekendInfo:\n TrackName: {track}\n TrackDisplayName: {display}\n"
        f" TrackLength: {length}\n SeriesID: 260\n SeasonID: 4821\n"
        f" SessionID: {219934512 + index}\n SubSessionID: {70315588 + index}\n"
        "SessionInfo:\n Sessions:\n - SessionNum: 0\n   SessionType: Practice\n"
        f"   ResultsLapsComplete: {laps}\n"
        "DriverInfo:\n DriverCarIdx: 0\n Drivers:\n"
        f" - CarIdx: 0\n   UserName: Bench Driver {index % 5}\n   CarScreenName: {car}\n"
        "...\n"
    )


def ensure_sessions(files: int, records: int) -> list[Path]:
    """The paths of the sessions, generated (once, with one data region for all) if missing."""
    paths = [
        DATA_DIR / f"session_{i:02d}_{records}_v{make_session.GENERATOR_VERSION}"
        f".{GENERATOR_VERSION}.ibt"
        for i in range(files)
    ]
    missing = [(i, p) for i, p in enumerate(paths) if not p.exists()]
    if missing:
        DATA_DIR.mkdir(parents=True, exist_ok=True)
        variables = make_session.session_variables()
        started = time.perf_counter()
        region = make_session.data_region(variables, records)
        laps = -(-records // (make_session.LAP_SECONDS * make_session.TICK_RATE))
        for i, path in missing:
            data = build_ibt(
                variables,
                session_info=session_info(i, laps),
                data=region,
                record_count=records,
                buf_len=make_session.record_dtype(variables).itemsize,
                tick_rate=make_session.TICK_RATE,
                lap_count=laps,
                session_start_date=make_session.SESSION_START_DATE + 86_400 * i,
                start_time=make_session.START_TIME,
                end_time=make_session.START_TIME + (records - 1) / make_session.TICK_RATE,
            )
            partial = path.with_suffix(f".tmp{os.getpid()}")
            partial.write_bytes(data)
            partial.replace(path)
        print(
            f"generated {len(missing)} sessions of {records:,} records in "
            f"{time.perf_counter() - started:.1f} s",
            flush=True,
        )
    return paths


# -- one run, in a child process ----------------------------------------------------------------


def run_local(paths: list[str], out: str, jobs: int, executor: str) -> dict[str, object]:
    from corvex.dataset import export_dataset

    started = time.perf_counter()
    summary = export_dataset(paths, out, jobs=jobs, progress=False, executor=executor)
    seconds = time.perf_counter() - started
    return _result(summary, seconds, 0.0)


def run_dask(paths: list[str], out: str, workers: int) -> dict[str, object]:
    from distributed import Client, LocalCluster

    import corvex.dask

    started = time.perf_counter()
    with (
        LocalCluster(
            n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None
        ) as cluster,
        Client(cluster) as client,
    ):
        client.run(lambda: __import__("corvex.dataset"))  # imports done before the clock
        startup = time.perf_counter() - started
        started = time.perf_counter()
        summary = corvex.dask.export_dataset(paths, out, client=client, progress=False)
        seconds = time.perf_counter() - started
    return _result(summary, seconds, startup)


def _result(summary: object, seconds: float, startup: float) -> dict[str, object]:
    import resource

    from corvex.dataset import ExportSummary

    assert isinstance(summary, ExportSummary)
    if summary.failed:
        raise SystemExit(f"{summary.failed} files failed: {summary.errors}")
    peaks = dict(summary.worker_peak_rss)
    return {
        "seconds": seconds,
        "startup": startup,
        "converted": summary.converted,
        "bytes": summary.input_bytes,
        "peaks": peaks,
        "worker_cpu": sum(summary.worker_cpu.values()),
        "self_peak": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024,
    }


def child(args: argparse.Namespace) -> None:
    paths = [str(p) for p in ensure_sessions(args.files, args.records)]
    if args.run == "dask":
        result = run_dask(paths, args.out, args.dask_workers)
    else:
        result = run_local(paths, args.out, args.jobs, args.run)
    print(json.dumps(result))


# -- the parent: the runs and the report ---------------------------------------------------------


def measure(args: argparse.Namespace, run: str, jobs: int) -> dict[str, object]:
    out = Path(args.out_dir or DATA_DIR) / "bench-dataset-out"
    shutil.rmtree(out, ignore_errors=True)
    command = [
        sys.executable, __file__, "--child", "--run", run, "--jobs", str(jobs),
        "--files", str(args.files), "--records", str(args.records), "--out", str(out),
        "--dask-workers", str(args.dask_workers),
    ]  # fmt: skip
    done = subprocess.run(command, check=True, capture_output=True, text=True)
    result: dict[str, object] = json.loads(done.stdout.strip().splitlines()[-1])
    shutil.rmtree(out, ignore_errors=True)
    return result


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--files", type=int, default=16)
    parser.add_argument("--records", type=int, default=make_session.HOUR_RECORDS)
    parser.add_argument("--jobs", type=int, default=len(os.sched_getaffinity(0)))
    parser.add_argument("--dask-workers", type=int, default=2)
    parser.add_argument("--no-dask", action="store_true")
    parser.add_argument(
        "--out-dir", help="where the dataset is written (default bench/data/dataset/)"
    )
    parser.add_argument("--no-threads", action="store_true")
    parser.add_argument("--rounds", type=int, default=1, help="runs of each kind, taking turns")
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--run", default="process", help=argparse.SUPPRESS)
    parser.add_argument("--out", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args)
        return

    paths = ensure_sessions(args.files, args.records)
    size = paths[0].stat().st_size
    for path in paths:  # into the page cache, so that every run reads from memory
        with open(path, "rb") as f:
            while f.read(1 << 24):
                pass
    cores = len(os.sched_getaffinity(0))
    print(
        f"{len(paths)} sessions of {args.records:,} records, {size:,} bytes each "
        f"({len(paths) * size / 1e9:.2f} GB); {cores} cores; "
        f"load average before: {os.getloadavg()[0]:.2f}",
        flush=True,
    )
    runs = [
        ("one core (--jobs 1)", "process", 1),
        (f"--jobs {args.jobs}, processes", "process", args.jobs),
    ]
    if not args.no_threads:
        runs.append((f"--jobs {args.jobs}, threads", "thread", args.jobs))
    if not args.no_dask:
        runs.append((f"Dask, {args.dask_workers} workers", "dask", args.dask_workers))
    # The runs take turns, round after round; each is reported by its fastest round, with the
    # slowest beside it (the machine is shared, so the spread says how far to trust it).
    rounds: dict[str, list[dict[str, object]]] = {label: [] for label, _, _ in runs}
    for _ in range(args.rounds):
        for label, run, jobs in runs:
            rounds[label].append(measure(args, run, jobs))
    base = min(float(r["seconds"]) for r in rounds[runs[0][0]])  # type: ignore[arg-type]
    best: dict[str, float] = {}
    for label, run, jobs in runs:
        results = sorted(rounds[label], key=lambda r: float(r["seconds"]))  # type: ignore[arg-type]
        result = results[0]
        seconds = best[label] = float(result["seconds"])  # type: ignore[arg-type]
        slowest = float(results[-1]["seconds"])  # type: ignore[arg-type]
        mb = float(result["bytes"]) / 1e6  # type: ignore[arg-type]
        peaks = result["peaks"]
        assert isinstance(peaks, dict)
        if run == "thread" or jobs == 1:
            peaks = {"this process": result["self_peak"]}
        peak_text = ", ".join(f"{p / 2**20:,.0f} MiB ({p / size:.2f}x)" for p in peaks.values())
        extra = f"; cluster start {result['startup']:.1f} s" if run == "dask" else ""
        spread = f" (..{slowest:.1f})" if args.rounds > 1 else ""
        print(
            f"{label:<26} {seconds:6.1f} s{spread}  {len(paths) / seconds:5.2f} files/s  "
            f"{mb / seconds:6.1f} MB/s  speed-up {base / seconds:4.2f}x  "
            f"CPU {float(result['worker_cpu']):5.1f} s  "  # type: ignore[arg-type]
            f"peak per worker: {peak_text}{extra}",
            flush=True,
        )
    print(f"load average after: {os.getloadavg()[0]:.2f}")
    if not args.no_dask:
        ratio = best[runs[-1][0]] / best[runs[1][0]]
        print(f"Dask / local all cores: {ratio:.2f} (target <= 1.3)")


if __name__ == "__main__":
    main()
