"""`corvex info FILE`: the session at a glance, as text or as JSON."""

from __future__ import annotations

import argparse
import json
import shutil
from typing import TYPE_CHECKING, Any

import corvex

if TYPE_CHECKING:
    from corvex.base import LogFile

DESCRIPTION = (
    "Show the track, car, driver, series and session ids, start date, duration, record count, "
    "tick rate, channel count by type, the array variables that are not read as channels, and "
    "the laps with lap times, types and sessions. With --json the same facts are printed as "
    "one JSON object."
)


def cmd_info(args: argparse.Namespace) -> None:
    from corvex.overview import session_facts

    log = corvex.open(args.file)
    if args.json:
        print(json.dumps(session_facts(log), indent=2, ensure_ascii=False, allow_nan=False))
    else:
        print(format_info(log))


def format_info(log: LogFile) -> str:
    """The session at a glance, as printed by ``corvex info``."""
    from corvex.overview import info_text, session_facts

    width = max(shutil.get_terminal_size((100, 24)).columns, 60)
    return info_text(session_facts(log), width)


def register(sub: Any) -> None:
    """Add the `info` command to the subparsers `sub`."""
    parser = sub.add_parser("info", help="the session at a glance", description=DESCRIPTION)
    parser.add_argument("file", metavar="FILE", help="IBT file")
    parser.add_argument(
        "--json",
        action="store_true",
        help="print the facts as one JSON object (times in seconds, dates in ISO 8601)",
    )
    parser.set_defaults(run=cmd_info)
