"""Probe: what a call does when its file is cut or rewritten while the call is running.

Usage: python bench/probe_truncate.py

A path source is mapped, not copied, and the lap table is read from the mapping after every
channel has been handed to Python. Here the progress callback plays the other process: once
the channels are done it truncates or rewrites the file, before the lap stage reads it again.
Each scenario runs in a child interpreter (with faulthandler on), so that a fatal signal is
observed and reported instead of ending this script. This is a probe, not a test.
"""

from __future__ import annotations

import json
import os
import signal
import struct
import subprocess
import sys
import tempfile
import textwrap
from pathlib import Path

from corvex.writer import sample_session

CHILD = textwrap.dedent("""
    import faulthandler, json, os, struct, sys
    faulthandler.enable()
    from corvex._corvex_rs import ibt

    path, scenario, source_kind = sys.argv[1], sys.argv[2], sys.argv[3]
    original = open(path, "rb").read()
    buf_len, buf_offset = struct.unpack_from("<i", original, 36)[0], struct.unpack_from(
        "<i", original, 52)[0]

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

SCENARIOS = [
    "truncate to 0",
    "truncate to half of the data region",
    "truncate to the start of the data region",
    "truncate, then extend to the old size (zeros)",
    "rewrite the records in place",
]


def shortened(data: bytes, records: int) -> bytes:
    buf_len, buf_offset = (
        struct.unpack_from("<i", data, 36)[0],
        struct.unpack_from("<i", data, 52)[0],
    )
    out = bytearray(data[: buf_offset + buf_len * records])
    struct.pack_into("<i", out, 140, records)
    return bytes(out)


def run(directory: Path, data: bytes, scenario: str, source_kind: str) -> str:
    path = directory / "probe.ibt"
    path.write_bytes(data)
    child = subprocess.run(
        [sys.executable, "-c", CHILD, str(path), scenario, source_kind],
        capture_output=True,
        text=True,
        timeout=120,
    )
    if child.returncode < 0:
        name = signal.Signals(-child.returncode).name
        fatal = [line for line in child.stderr.splitlines() if line.startswith("Fatal")]
        return f"child killed by {name} (exit status {child.returncode}); {' '.join(fatal)}"
    if child.returncode != 0:
        return f"child exited with {child.returncode}: {child.stderr.strip()[-300:]}"
    return json.dumps(json.loads(child.stdout))


def main() -> int:
    data = shortened(sample_session(), 7200)  # two minutes at 60 Hz, a few laps
    with tempfile.TemporaryDirectory() as tmp:
        directory = Path(tmp)
        print(f"file: {len(data)} bytes; untouched: {run(directory, data, 'none', 'path')}")
        for scenario in SCENARIOS:
            for kind in ("path", "bytes"):
                print(f"{scenario} [{kind} source]: {run(directory, data, scenario, kind)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
