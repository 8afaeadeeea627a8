"""The ``corvex`` command line: look at an IBT file, list its channels, export and plot them.

Every command that reads a file reports a problem with it (missing, unreadable, not an IBT
file, unknown channel or lap) as one line on standard error and exits with status 1. Each
command lives in a module of this package with a ``register(sub)`` that adds its parser.

Start-up is kept short: the command modules import pyarrow, the reader and everything heavy
inside the functions that run a command, so ``corvex --help`` never loads them.
"""

from __future__ import annotations

import argparse
import os
import sys
import warnings
from collections.abc import Callable, Sequence
from typing import Any, TextIO

import corvex
from corvex.cli import (
    channels,
    compare,
    corners,
    demo,
    export,
    info,
    laps,
    map,
    plot,
    record,
    replay,
    report,
    stints,
    view,
)
from corvex.cli._common import PROG, CliError
from corvex.cli._plotting import PLOT_MARGIN, PLOT_PANEL, PLOT_WIDTH

__all__ = [
    "main",
    "build_parser",
    "CliError",
    "PLOT_MARGIN",
    "PLOT_PANEL",
    "PLOT_WIDTH",
]

COMMANDS = (
    info, channels, laps, stints, export, plot, compare, corners, map, view, report, record,
    replay, demo,
)  # fmt: skip


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Read iRacing IBT telemetry files: inspect, list channels, export, plot.",
    )
    parser.add_argument("--version", action=_VersionAction, help="show the version and exit")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for command in COMMANDS:
        command.register(sub)
    return parser


class _VersionAction(argparse.Action):
    """``--version``: looks the version up only when asked (importlib.metadata is not free)."""

    def __init__(self, option_strings: Sequence[str], dest: str, help: str | None = None) -> None:
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS, help=help)

    def __call__(
        self,
        parser: argparse.ArgumentParser,
        namespace: argparse.Namespace,
        values: Any,
        option_string: str | None = None,
    ) -> None:
        print(f"{parser.prog} {corvex.__version__}")
        parser.exit()


def _show_warning(
    message: Warning | str,
    category: type[Warning],
    filename: str,
    lineno: int,
    file: TextIO | None = None,
    line: str | None = None,
) -> None:
    """corvex's own warnings (records salvaged) as one line on standard error."""
    if issubclass(category, corvex.CorvexWarning):
        from corvex.diagnose import for_command_line

        text = for_command_line(" ".join(str(message).split()))
        print(f"{PROG}: warning: {text}", file=sys.stderr)
        return
    _default_show_warning(message, category, filename, lineno, file, line)


_default_show_warning = warnings.showwarning


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit status."""
    args = build_parser().parse_args(argv)
    run: Callable[[argparse.Namespace], None] = args.run
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("always", corvex.CorvexWarning)
            warnings.showwarning = _show_warning
            run(args)
        sys.stdout.flush()
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    except (SystemExit, GeneratorExit):
        raise
    except BrokenPipeError:
        # The reader of our output went away (e.g. `| head -1`) having read what it wanted:
        # stop quietly, and successfully, as the shell's own tools do.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 0
    except BaseException as exc:  # noqa: BLE001 - includes the extension's PanicException
        print(f"{PROG}: error: {error_text(exc)}", file=sys.stderr)
        return 1
    return 0


def error_text(exc: BaseException) -> str:
    """One line describing ``exc`` for a user."""
    if isinstance(exc, KeyError) and exc.args:
        text = str(exc.args[0])
    else:
        text = str(exc)
    if not isinstance(exc, (CliError, OSError, RuntimeError, ValueError, KeyError, ImportError)):
        text = f"{type(exc).__name__}: {text}" if text else type(exc).__name__
    # corvex.open notes what a file that failed to read really is (a directory, no IBT file),
    # naming the Python call that reads it: here the command line's way is named instead.
    from corvex.diagnose import for_command_line

    notes = [for_command_line(str(note)) for note in getattr(exc, "__notes__", ())]
    if text and notes:
        text += "; " + "; ".join(notes)
    return " ".join(text.split()) or type(exc).__name__
