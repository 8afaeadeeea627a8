"""`corvex demo`: write the bundled sample session and show its info."""

from __future__ import annotations

import argparse
import tempfile
from pathlib import Path
from typing import Any

import corvex
from corvex.cli._common import add_command
from corvex.cli.info import format_info


def cmd_demo(args: argparse.Namespace) -> None:
    from corvex.testing import write_sample

    path = Path(args.output) if args.output else Path(tempfile.gettempdir()) / "corvex-sample.ibt"
    write_sample(path)
    print(f"Wrote the bundled sample session to {path}\n")
    print(format_info(corvex.open(str(path))))
    print(
        f"\nNext: corvex channels {path} --grep speed\n"
        f"      corvex laps {path}\n"
        f"      corvex compare {path}:3 {path}:2 -o compare.png\n"
        f"      corvex export {path} -o sample.parquet --lap 2\n"
        f"      corvex plot {path} --channels Speed,Throttle,Brake --lap 2 --vs-lap 3 -o laps.png"
    )


def register(sub: Any) -> None:
    """Add the `demo` command to the subparsers `sub`."""
    parser = add_command(
        sub,
        "demo",
        cmd_demo,
        summary="write the bundled sample session and show its info",
        description="Write the bundled sample session (a short made-up recording) and run "
        "`corvex info` on it.",
    )
    parser.add_argument(
        "-o",
        "--output",
        metavar="PATH",
        help="where to write the sample (default: corvex-sample.ibt in the temp directory)",
    )
