"""What the command modules share: the one-line error type, channel lists and lap choice."""

from __future__ import annotations

import argparse
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from corvex.base import LogFile

PROG = "corvex"


class CliError(Exception):
    """A problem to report on one line, without a traceback."""


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


def pick_lap(log: LogFile, num: int, session: int | None, option: str = "--session") -> LogFile:
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
