"""Run the core's check tool built for Linux and for Windows (under wine) on the same files.

Usage: python native/tools/windows_check.py NATIVE_EXE WINDOWS_EXE

The files: the bundled sample session, a writer-made file of every variable type with a lap in
almost every record, one large enough for the threaded record pass, and the real recording
beside the project when there is one. Each is read on one and on three threads; every output
must be the same bytes on both platforms. Exits 1 on the first difference.
"""

from __future__ import annotations

import os
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np

from corvex.testing import BITFIELD, BOOL, CHAR, DOUBLE, FLOAT, INT, Var, build_ibt, sample_session

REAL = Path(__file__).resolve().parents[3] / "shared" / "data" / "real"


def random_file(records: int, seed: int) -> bytes:
    variables = [
        Var("SessionTime", DOUBLE),
        Var("Lap", INT),
        Var("OnPitRoad", BOOL),
        Var("LapDistPct", FLOAT),
        Var("Gear", CHAR),
        Var("Flags", BITFIELD),
        Var("Speed", FLOAT),
        Var("Temps", FLOAT, count=4),
    ]
    buf_len = sum(v.area for v in variables) + 3
    data = np.random.default_rng(seed).integers(0, 256, buf_len * records, dtype=np.uint8)
    return build_ibt(variables, None, buf_len=buf_len, record_count=records, data=data.tobytes())


def files(directory: Path) -> list[Path]:
    made = {
        "sample.ibt": sample_session(),
        "every-type.ibt": random_file(5_000, 1),
        "threaded.ibt": random_file(300_000, 2),  # about 11 MB of records
    }
    paths = []
    for name, data in made.items():
        path = directory / name
        path.write_bytes(data)
        paths.append(path)
    return paths + sorted(REAL.glob("*.ibt"))


def run(command: list[str]) -> bytes:
    env = {**os.environ, "WINEDEBUG": "-all"}
    done = subprocess.run(command, capture_output=True, env=env, timeout=600)
    if done.returncode != 0:
        raise SystemExit(f"{' '.join(command)} failed ({done.returncode}): {done.stdout[-500:]!r}")
    return done.stdout


def main() -> int:
    native, windows = sys.argv[1], sys.argv[2]
    with tempfile.TemporaryDirectory() as tmp:
        for path in files(Path(tmp)):
            for threads in ("1", "3"):
                here = run([native, str(path), threads])
                there = run(["wine", windows, str(path), threads])
                if here != there:
                    print(f"DIFFERENT: {path.name} on {threads} thread(s)")
                    return 1
                lines = here.count(b"\n")
                print(f"same bytes: {path.name}, {threads} thread(s), {lines} lines")
    return 0


if __name__ == "__main__":
    sys.exit(main())
