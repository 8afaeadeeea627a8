"""`corvex record -o session.parquet`: record the running simulator's telemetry."""

from __future__ import annotations

import argparse
import sys
from pathlib import Path
from typing import Any

from corvex.cli._common import CliError, add_command

DESCRIPTION = (
    "Record live telemetry while the simulator runs, into one Parquet file: timecodes and every "
    "variable, as corvex.live reads them, with the session info and the lap table in its "
    "metadata. It records until the simulator stops (its status flag clear for two seconds), "
    "--duration passes, or Ctrl-C. Records are written every few seconds, each part a complete "
    "Parquet file in a hidden directory beside the target, so a recording cut by a crash or a "
    "kill keeps all but the last seconds: finish it with --recover DIR."
)


def register(sub: Any) -> None:
    parser = add_command(
        sub,
        "record",
        cmd_record,
        summary="record live telemetry to Parquet",
        description=DESCRIPTION,
    )
    parser.add_argument("-o", "--output", metavar="OUT.parquet", help="file to record into")
    parser.add_argument(
        "--path",
        metavar="FILE",
        help="read this live telemetry file (a replay's, the bridge's) instead of the "
        "simulator's shared memory (required off Windows)",
    )
    parser.add_argument(
        "--timeout",
        type=float,
        default=None,
        metavar="S",
        help="give up when no simulator is connected after S seconds (default: wait)",
    )
    parser.add_argument(
        "--duration", type=float, default=None, metavar="S", help="stop after S seconds"
    )
    parser.add_argument(
        "--flush-every",
        type=float,
        default=5.0,
        metavar="S",
        help="write a part every S seconds of records (default 5): a crash loses at most that",
    )
    parser.add_argument(
        "--recover",
        metavar="DIR",
        help="combine the parts of a recording that did not finish (its .NAME.partial-* "
        "directory) into its file, or into -o",
    )


def cmd_record(args: argparse.Namespace) -> None:
    from corvex import recording

    tty = sys.stderr.isatty()
    if args.recover is not None:
        out = recording.recover(args.recover, args.output, progress=tty)
        print(f"recovered {out}")
        return
    if args.output is None:
        raise CliError("name the file to record into with -o OUT.parquet")
    if args.path is None and sys.platform != "win32":
        raise CliError(
            "the simulator's shared memory exists only on Windows; pass --path FILE (the "
            "bridge's file under /dev/shm, or a replay's)"
        )
    if not args.flush_every > 0:
        raise CliError("--flush-every must be positive")
    import corvex.live

    _status("waiting for the simulator ...")
    live = corvex.live.connect(args.path, timeout=args.timeout)
    recorder = recording.Recorder(args.output)
    _status(f"recording into {args.output} (parts in {recorder.directory}); Ctrl-C ends it")
    interrupted = False
    try:
        recording.record(live, recorder, flush_seconds=args.flush_every, stop_after=args.duration)
    except KeyboardInterrupt:
        interrupted = True
    out = recorder.finish(progress=tty)
    missed = f", {recorder.missed} ticks missed" if recorder.missed else ""
    how = " (Ctrl-C)" if interrupted else ""
    print(f"recorded {recorder.rows} records into {Path(out)}{missed}{how}")


def _status(text: str) -> None:
    print(f"corvex: {text}", file=sys.stderr)
