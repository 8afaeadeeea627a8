"""`corvex channels FILE`: name, type, unit and description of every channel."""

from __future__ import annotations

import argparse
from typing import Any

import corvex
from corvex.base import LogFile


def cmd_channels(args: argparse.Namespace) -> None:
    log = corvex.open(args.file)
    rows = channel_rows(log, args.grep)
    if not rows:
        print(f"no channel matches {args.grep!r}" if args.grep else "no channels")
        return
    header = ("name", "type", "unit", "description")
    widths = [max(len(r[i]) for r in [header, *rows]) for i in range(3)]
    for row in [header, *rows]:
        print("  ".join(f"{row[i]:<{widths[i]}}" for i in range(3)) + "  " + row[3])


def channel_rows(log: LogFile, grep: str | None = None) -> list[tuple[str, str, str, str]]:
    """(name, type, unit, description) of every channel whose name or description has ``grep``."""
    needle = (grep or "").casefold()
    rows = []
    for name, table in log.channels.items():
        field = table.schema.field(1)
        meta = field.metadata or {}
        unit = meta.get(b"units", b"").decode("utf-8", "replace")
        desc = meta.get(b"desc", b"").decode("utf-8", "replace")
        if needle in name.casefold() or needle in desc.casefold():
            rows.append((name, str(field.type), unit, desc))
    return rows


def register(sub: Any) -> None:
    """Add the `channels` command to the subparsers `sub`."""
    parser = sub.add_parser(
        "channels",
        help="name, type, unit and description of every channel",
        description="List the name, type, unit and description of every channel.",
    )
    parser.add_argument("file", metavar="FILE", help="IBT file")
    parser.add_argument(
        "--grep",
        metavar="TEXT",
        help="only channels whose name or description contains TEXT",
    )
    parser.set_defaults(run=cmd_channels)
