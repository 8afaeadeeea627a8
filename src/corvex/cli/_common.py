"""What the command modules share: the one-line error type, the options several commands take,
opening the file, channel lists and lap choice."""

from __future__ import annotations

import argparse
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from corvex.base import LogFile
    from corvex.lap import Lap

PROG = "corvex"


class CliError(Exception):
    """A problem to report on one line, without a traceback."""


def add_command(
    sub: Any,
    name: str,
    run: Callable[[argparse.Namespace], None],
    *,
    summary: str,
    description: str,
) -> argparse.ArgumentParser:
    """The parser of the command ``name`` (``summary`` in the list of commands) in the
    subparsers ``sub``; the command runs ``run(args)``."""
    parser: argparse.ArgumentParser = sub.add_parser(name, help=summary, description=description)
    parser.set_defaults(run=run)
    return parser


def add_file_argument(parser: argparse.ArgumentParser) -> None:
    """The positional ``FILE`` (one IBT file) and ``--salvage``, which says how to read it."""
    parser.add_argument("file", metavar="FILE", help="IBT file")
    add_salvage_option(parser)


def open_log(args: argparse.Namespace, path: str | None = None) -> LogFile:
    """``corvex.open`` of ``path`` (default: the ``FILE`` argument), salvaged with --salvage."""
    import corvex

    return corvex.open(args.file if path is None else path, salvage=args.salvage)


def add_units_option(parser: argparse.ArgumentParser, note: str = "") -> None:
    """``--units``: the display units of speeds on a plot; ``note`` is added to its help."""
    parser.add_argument(
        "--units",
        choices=("metric", "imperial", "si"),
        default="metric",
        help="speed in km/h (metric, default), mph (imperial) or m/s (si)" + note,
    )


def add_image_output(parser: argparse.ArgumentParser) -> None:
    """``-o/--output OUT.png``, the image file a plotting command writes."""
    parser.add_argument("-o", "--output", metavar="OUT.png", required=True, help="image file")


def add_salvage_option(parser: argparse.ArgumentParser) -> None:
    """``--salvage``: read the whole records of a recording that was cut or never closed."""
    parser.add_argument(
        "--salvage",
        action="store_true",
        help="read the whole records of a recording that was cut or never closed (its header "
        "counts more records than the file holds, or none); a warning says how many",
    )


def parse_names(text: str | None) -> list[str] | None:
    """``"A, B,C"`` -> ``["A", "B", "C"]``; None when the option was not given."""
    if text is None:
        return None
    names = [name.strip() for name in text.split(",") if name.strip()]
    if not names:
        raise CliError("--channels names no channel")
    return names


def add_lap_options(
    parser: argparse.ArgumentParser, what: str = "only the records of lap N"
) -> None:
    """``--lap N`` and ``--session S``, which picks among laps that share a number."""
    parser.add_argument("--lap", metavar="N", type=int, help=what)
    parser.add_argument(
        "--session",
        metavar="S",
        type=int,
        help="the lap N of session S, when N occurs in more than one session of the lap table "
        "(a new session starts where the lap counter goes back to 0)",
    )


def require_lap(args: argparse.Namespace) -> None:
    """--session picks among laps numbered N: it needs --lap N."""
    if args.session is not None and args.lap is None:
        raise CliError("--session needs --lap: it picks which lap N to take")


def pick_lap(log: LogFile, num: int, session: int | None, option: str = "--session") -> Lap:
    """``log.lap(num, session)``, with the choice of session named as the option ``option``."""
    try:
        return log.lap(num, session)
    except ValueError as exc:
        sessions = _sessions_of(log, num)
        if session is None and len(sessions) > 1:
            choices = ", ".join(map(str, sessions))
            raise CliError(
                f"lap {num} occurs in sessions {choices}; pick one with {option} "
                f"(e.g. {option} {sessions[-1]})"
            ) from None
        raise CliError(str(exc)) from None


def _sessions_of(log: LogFile, num: int) -> list[int]:
    nums = log.laps.column("num").to_pylist()
    sessions = log.laps.column("session").to_pylist()
    return sorted({s for n, s in zip(nums, sessions) if n == num})
