"""`corvex replay FILE.ibt`: publish a recording as the simulator publishes its telemetry."""

from __future__ import annotations

import argparse
import sys
from typing import Any

from corvex.cli._common import CliError, add_command

DESCRIPTION = (
    "Publish an IBT file into the simulator's shared-memory layout, tick by tick at the file's "
    "rate (or faster), with the new-data event signalled, so that dashboards, overlays and "
    "tests run without the simulator. On Windows it creates the simulator's named memory; "
    "elsewhere, and with --path, it writes that file (read it with "
    "corvex.live.connect(path=...)). Ctrl-C stops it; readers then see the status flag clear."
)


def register(sub: Any) -> None:
    parser = add_command(
        sub,
        "replay",
        cmd_replay,
        summary="publish a recording as live telemetry",
        description=DESCRIPTION,
    )
    parser.add_argument("file", metavar="FILE.ibt", help="IBT recording to publish")
    parser.add_argument(
        "--speed",
        default="1",
        help="1 (the file's own rate, default), 2 (twice as fast), any factor, or max",
    )
    parser.add_argument(
        "--path",
        metavar="FILE",
        help="publish into this file instead of the simulator's memory (required off Windows)",
    )


def parse_speed(text: str) -> float | None:
    """``"max"`` -> None (as fast as possible); a positive factor otherwise."""
    if text == "max":
        return None
    try:
        speed = float(text)
    except ValueError:
        speed = 0.0
    if not speed > 0 or speed == float("inf"):
        raise CliError(f"--speed takes 1, 2, any positive factor or max, not {text!r}")
    return speed


def cmd_replay(args: argparse.Namespace) -> None:
    import time

    from corvex.live import replay

    speed = parse_speed(args.speed)
    if args.path is None and sys.platform != "win32":
        raise CliError(
            "the simulator's shared memory exists only on Windows; pass --path FILE "
            "(e.g. --path /dev/shm/corvex-live) and read it with corvex.live.connect(path=...)"
        )
    bar = _bar(args.file)
    last = [time.monotonic()]

    def progress(done: int, total: int) -> None:
        if bar is not None:
            bar.total = total
            bar.n = done
            if time.monotonic() - last[0] > 0.2 or done == total:
                bar.refresh()
                last[0] = time.monotonic()

    try:
        report = replay(args.file, args.path, speed=speed, progress=progress)
    finally:
        if bar is not None:
            bar.close()
    where = args.path or "the simulator's shared memory"
    print(
        f"published {report['published']} of {report['total']} records into {where} "
        f"in {report['seconds']:.1f} s"
    )


def _bar(name: str) -> Any:
    """A tqdm bar over the records, on a terminal only."""
    if not sys.stderr.isatty():
        return None
    from tqdm import tqdm

    return tqdm(desc=f"replaying {name}", unit="rec")
