"""What the command modules share: the one-line error type and channel-list parsing."""

from __future__ import annotations

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
