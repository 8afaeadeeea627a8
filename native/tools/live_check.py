"""The live path end to end under wine: replay -> named mapping -> bridge -> /dev/shm -> Linux.

Usage: python native/tools/live_check.py REPLAY_EXE BRIDGE_EXE   (WINEPREFIX set by the caller)

For the real recording beside the project (when there is one) and a writer-made one-minute
session, at --speed 1 and at --speed max: the Windows replay publishes the file into the
simulator's named mapping, the Windows bridge in the same wine prefix mirrors it into a file
under /dev/shm, and corvex.live reads that file on Linux. Checked:
- the mirror is mode 0600 while it exists and is gone once the bridge stops;
- at --speed 1 every tick arrives, once and in order, and no tick is counted as missed;
- at --speed max the ticks read rise, and the ticks counted as missed are exactly the gaps;
- every record read equals the IBT file's record of that tick, bit for bit, in every column.
Exits 1 on the first failure. Every child process dies with this one.

A ring of four buffers at 60 Hz holds 50 ms: a process of the chain that does not run for longer
loses ticks (counted exactly, but every tick must arrive at --speed 1). On a machine shared
with other work the chain runs at a raised priority where that is permitted (as root; the wine
server and the Windows programs inherit it), and a run at --speed 1 whose only fault is ticks
lost that way is tried again, twice at most, saying so; anything read wrong fails at once.
"""

from __future__ import annotations

import ctypes
import os
import signal
import stat
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path
from typing import Any

import numpy as np
import pyarrow as pa

import corvex
import corvex.live
from corvex.testing import keep_records, sample_session

REAL = Path(__file__).resolve().parents[3] / "shared" / "data" / "real"
PR_SET_PDEATHSIG = 1
# Ticks lost at --speed 1 while everything read was right: a process of the chain did not run
# for longer than the ring lasts. Tried again (twice at most) before it counts as a failure.
LOST = "ticks lost at --speed 1"


def _die_with_parent() -> None:
    """In the child before exec: SIGKILL when this process goes, and a group of its own."""
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGKILL)
    os.setpgid(0, 0)


def start(command: list[str], log: Path) -> subprocess.Popen[bytes]:
    env = {**os.environ, "WINEDEBUG": "-all"}
    with log.open("wb") as out:
        return subprocess.Popen(
            command, stdout=out, stderr=subprocess.STDOUT, env=env, preexec_fn=_die_with_parent
        )


def stop(process: subprocess.Popen[bytes]) -> None:
    if process.poll() is None:
        try:
            os.killpg(process.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        process.wait(10)


class Reader(threading.Thread):
    """corvex.live on the mirror: every batch until the writer stops."""

    def __init__(self, path: str) -> None:
        super().__init__(daemon=True)
        self.path = path
        self.batches: list[pa.RecordBatch] = []
        self.ticks: list[int] = []
        self.missed: list[int] = []
        self.mode: int | None = None
        self.error: BaseException | None = None

    def run(self) -> None:
        try:
            live = corvex.live.connect(self.path, timeout=120)
            self.mode = stat.S_IMODE(os.stat(self.path).st_mode)
            for batch in live.stream(every=60, timeout=3):
                self.missed.append(int(batch.schema.metadata[b"corvex.missed"]))
                self.batches.append(batch)
                self.ticks.extend(live.last_ticks)
        except BaseException as exc:  # noqa: BLE001 - reported by the main thread
            self.error = exc


def bits(array: pa.Array | pa.ChunkedArray) -> np.ndarray[Any, Any]:
    """The values of a column as unsigned integers of their width (exact for floats and NaNs)."""
    if isinstance(array, pa.ChunkedArray):
        array = array.combine_chunks()
    if pa.types.is_fixed_size_list(array.type):
        array = array.flatten()
    values = array.to_numpy(zero_copy_only=False)
    if values.dtype == np.bool_:
        return values.astype(np.uint8)
    return values.view(f"u{values.dtype.itemsize}")


def compare(log: corvex.LogFile, batches: list[pa.RecordBatch], ticks: list[int]) -> str | None:
    """Why the records read differ from the file's records of those ticks, or None."""
    table = pa.Table.from_batches([b.replace_schema_metadata(None) for b in batches])
    rows = pa.array(np.asarray(ticks, dtype=np.int64) - 1)  # tick 1 is the first record
    expected_time = log.timecodes.take(rows)
    if not np.array_equal(bits(table.column("timecodes")), bits(expected_time)):
        return "timecodes differ"
    arrays = log.arrays
    for name in table.column_names[1:]:
        source = log.channels.get(name) or arrays.get(name)
        if source is None:
            return f"{name} is not a variable of the file"
        field = table.schema.field(name)
        if field != source.schema.field(1):
            return f"{name}: field {field} differs from the file's {source.schema.field(1)}"
        if not np.array_equal(bits(table.column(name)), bits(source.column(1).take(rows))):
            return f"{name} differs"
    expected = set(log.channels) | set(arrays)
    if set(table.column_names[1:]) != expected:
        return f"columns differ: {sorted(expected ^ set(table.column_names[1:]))}"
    return None


def check(replay: str, bridge: str, path: Path, speed: str, work: Path) -> str | None:
    log = corvex.open(path, arrays=True)
    mirror = f"/dev/shm/corvex-live-check-{os.getpid()}"
    reader = Reader(mirror)
    bridge_process = start(["wine", bridge, mirror, "--wait", "120"], work / "bridge.log")
    replay_process: subprocess.Popen[bytes] | None = None
    try:
        reader.start()
        time.sleep(0.5)  # the bridge waits for the mapping; the replay's lead-in covers the rest
        replay_process = start(
            ["wine", replay, str(path), "--speed", speed, "--lead-in", "2"], work / "replay.log"
        )
        replay_process.wait(600)
        bridge_process.wait(60)
        reader.join(60)
    finally:
        for process in (replay_process, bridge_process):
            if process is not None:
                stop(process)
    if replay_process.returncode != 0:
        return f"the replay failed: {(work / 'replay.log').read_text(errors='replace')}"
    if bridge_process.returncode != 0:
        return f"the bridge failed: {(work / 'bridge.log').read_text(errors='replace')}"
    if reader.error is not None:
        return f"the reader failed: {reader.error!r}"
    if reader.mode != 0o600:
        return f"the mirror had mode {oct(reader.mode or 0)}, not 0o600"
    if os.path.exists(mirror):
        return "the bridge left its mirror behind"
    n = log.record_count
    ticks, missed = reader.ticks, sum(reader.missed)
    if ticks != sorted(set(ticks)):
        return "ticks arrived out of order or twice"
    gaps = sum(b - a - 1 for a, b in zip(ticks, ticks[1:]))
    if missed != gaps:
        return f"{missed} ticks counted missed, the gaps between the ticks read hold {gaps}"
    problem = compare(log, reader.batches, ticks)
    if problem:
        return problem
    if speed == "1" and (ticks != list(range(1, n + 1)) or missed):
        return f"{LOST}: read {len(ticks)} of {n} ticks, {missed} counted missed"
    print(
        f"ok: {path.name} at --speed {speed}: {len(ticks)} of {n} ticks read, "
        f"{missed} missed and counted, every record equal to the file's"
    )
    return None


def main() -> int:
    replay, bridge = sys.argv[1], sys.argv[2]
    try:
        os.setpriority(os.PRIO_PROCESS, 0, -10)
    except PermissionError:
        pass
    with tempfile.TemporaryDirectory() as tmp:
        work = Path(tmp)
        minute = work / "minute.ibt"
        minute.write_bytes(keep_records(sample_session(), 3600))
        files = sorted(REAL.glob("*.ibt")) + [minute]
        for path in files:
            for speed in ("1", "max"):
                for attempt in range(3):
                    problem = check(replay, bridge, path, speed, work)
                    if not problem or not problem.startswith(LOST) or attempt == 2:
                        break
                    print(
                        f"again: {path.name} at --speed {speed}: {problem} (load average "
                        f"{os.getloadavg()[0]:.1f}: the machine held the chain up)"
                    )
                if problem:
                    print(f"FAILED: {path.name} at --speed {speed}: {problem}")
                    return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
