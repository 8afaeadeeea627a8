"""Probe: what a call does when its file is cut or rewritten while the call is running.

Usage: python bench/probe_truncate.py

A path source is mapped, not copied. Two kinds of interference are tried:

- from inside the progress callback, once every channel is done: the file is truncated or
  rewritten before the call goes on to the lap table, metadata and LogFile;
- from another process while the call is in its pass over the records: the reader signals that
  it is about to call ibt on a large file, and this script truncates the file a few
  milliseconds later.

Each scenario runs in a child interpreter (with faulthandler on), so that a fatal signal is
observed and reported instead of ending this script. This is a probe, not a test.
"""

from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
import tempfile
import textwrap
import time
from pathlib import Path

from corvex.testing import keep_records, layout, repeat_records, sample_session

CHILD = textwrap.dedent("""
    import faulthandler, json, os, struct, sys
    faulthandler.enable()
    from corvex.testing import layout
    from corvex._corvex_rs import ibt

    path, scenario, source_kind = sys.argv[1], sys.argv[2], sys.argv[3]
    original = open(path, "rb").read()
    fields = layout.read_fields(original)
    buf_len, buf_offset = fields["buf_len"], fields["buf_offset"]

    def interfere():
        if scenario == "truncate to 0":
            os.truncate(path, 0)
        elif scenario == "truncate to half of the data region":
            os.truncate(path, buf_offset + (len(original) - buf_offset) // 2)
        elif scenario == "truncate to the start of the data region":
            os.truncate(path, buf_offset)
        elif scenario == "truncate, then extend to the old size (zeros)":
            os.truncate(path, buf_offset)
            os.truncate(path, len(original))
        elif scenario == "rewrite the records in place":
            with open(path, "r+b") as f:
                f.seek(buf_offset)
                f.write(bytes(len(original) - buf_offset))

    def progress(done, total):
        if done == total:
            interfere()

    source = path if source_kind == "path" else original
    try:
        log = ibt(source, progress)
        outcome = {"result": "LogFile", "lap_rows": log.laps.num_rows,
                   "lap_nums": log.laps.column("num").to_pylist()[:8]}
    except BaseException as error:
        outcome = {"result": type(error).__name__, "message": str(error)}
    print(json.dumps(outcome), flush=True)
    """)

RACER = textwrap.dedent("""
    import faulthandler, json, sys
    faulthandler.enable()
    from corvex._corvex_rs import ibt

    print("go", flush=True)
    try:
        log = ibt(sys.argv[1])
        outcome = {"result": "LogFile", "records": log.record_count}
    except BaseException as error:
        outcome = {"result": type(error).__name__, "message": str(error)}
    print(json.dumps(outcome), flush=True)
    """)

SCENARIOS = [
    "truncate to 0",
    "truncate to half of the data region",
    "truncate to the start of the data region",
    "truncate, then extend to the old size (zeros)",
    "rewrite the records in place",
]


def describe(returncode: int, stdout: str, stderr: str) -> str:
    if returncode < 0:
        name = signal.Signals(-returncode).name
        fatal = [line for line in stderr.splitlines() if line.startswith("Fatal")]
        return f"child killed by {name} (exit status {returncode}); {' '.join(fatal)}"
    if returncode != 0:
        return f"child exited with {returncode}: {stderr.strip()[-300:]}"
    return json.dumps(json.loads(stdout.splitlines()[-1]))


def race(directory: Path, data: bytes, delay_ms: float, keep: int) -> str:
    """Truncate the file to `keep` bytes `delay_ms` after the reader starts its call."""
    path = directory / "race.ibt"
    path.write_bytes(data)
    child = subprocess.Popen(
        [sys.executable, "-c", RACER, str(path)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    assert child.stdout is not None and child.stdout.readline().strip() == "go"
    time.sleep(delay_ms / 1000)
    os.truncate(path, keep)
    stdout, stderr = child.communicate(timeout=120)
    return describe(child.returncode, stdout, stderr)


def run(directory: Path, data: bytes, scenario: str, source_kind: str) -> str:
    path = directory / "probe.ibt"
    path.write_bytes(data)
    child = subprocess.run(
        [sys.executable, "-c", CHILD, str(path), scenario, source_kind],
        capture_output=True,
        text=True,
        timeout=120,
    )
    return describe(child.returncode, child.stdout, child.stderr)


def main() -> int:
    data = keep_records(sample_session(), 7200)  # two minutes at 60 Hz, a few laps
    with tempfile.TemporaryDirectory() as tmp:
        directory = Path(tmp)
        print(f"file: {len(data)} bytes; untouched: {run(directory, data, 'none', 'path')}")
        print("-- from inside the progress callback, after the last channel")
        for scenario in SCENARIOS:
            for kind in ("path", "bytes"):
                print(f"{scenario} [{kind} source]: {run(directory, data, scenario, kind)}")
        big = repeat_records(sample_session(), 8)
        buf_offset = layout.read_field(big, "buf_offset")
        print(f"-- from another process, during the call on a {len(big)} byte file")
        for delay_ms in (0, 2, 5, 10, 20, 50):
            for keep, what in ((0, "to 0"), (buf_offset, "to the start of the data region")):
                outcome = race(directory, big, delay_ms, keep)
                print(f"truncate {what} {delay_ms} ms after the call starts: {outcome}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
