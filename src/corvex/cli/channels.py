"""`corvex channels FILE`: name, type, unit and description of every channel."""

from __future__ import annotations

import argparse
import shutil
import textwrap
from typing import TYPE_CHECKING, Any

from corvex.cli._common import add_command, add_file_argument, open_log

if TYPE_CHECKING:
    from corvex.base import LogFile


def cmd_channels(args: argparse.Namespace) -> None:
    from corvex.overview import left_out_text

    log = open_log(args)
    rows = channel_rows(log, args.grep)
    if not rows:
        print(f"no channel matches {args.grep!r}" if args.grep else "no channels")
    else:
        header = ("name", "type", "unit", "description")
        widths = [max(len(r[i]) for r in [header, *rows]) for i in range(3)]
        for row in [header, *rows]:
            print("  ".join(f"{row[i]:<{widths[i]}}" for i in range(3)) + "  " + row[3])
    needle = (args.grep or "").casefold()
    left_out = [
        {"name": var.name, "count": var.count}
        for var in log.left_out_variables or []
        if needle in var.name.casefold() or needle in var.desc.casefold()
    ]
    if left_out:
        width = max(shutil.get_terminal_size((100, 24)).columns, 60)
        print()
        print(textwrap.fill(left_out_text(left_out), width=width, break_on_hyphens=False))


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
    parser = add_command(
        sub,
        "channels",
        cmd_channels,
        summary="name, type, unit and description of every channel",
        description="List the name, type, unit and description of every channel, then the "
        "array variables of the file, which are not read as channels.",
    )
    add_file_argument(parser)
    parser.add_argument(
        "--grep",
        metavar="TEXT",
        help="only channels (and array variables) whose name or description contains TEXT",
    )
