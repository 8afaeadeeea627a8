"""What the command modules share: the one-line error type, the options several commands take,
opening the file, channel lists and lap choice."""

from __future__ import annotations

import argparse
import os
from collections.abc import Callable
from pathlib import Path
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from corvex.base import LogFile
    from corvex.lap import Lap

PROG = "corvex"
_PARQUET = (".parquet", ".pq")


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


def add_lap_pair(
    parser: argparse.ArgumentParser, reference_optional: bool = False, saved: bool = True
) -> None:
    """The positional ``FILE[:LAP[:SESSION]]`` and ``REF[:LAP[:SESSION]]`` of the commands that
    compare two laps, ``--session`` and ``--vs-session`` (the same sessions as options), and
    ``--salvage``; ``saved``: REF may be a lap saved as Parquet."""
    parser.add_argument(
        "lap",
        metavar="FILE[:LAP[:SESSION]]",
        help="IBT file, lap number and, when the number occurs in several sessions, the session",
    )
    parser.add_argument(
        "reference",
        metavar="REF[:LAP[:SESSION]]",
        nargs="?" if reference_optional else None,
        help="reference IBT file (lap and session as for FILE)" + (" or .parquet" if saved else ""),
    )
    parser.add_argument(
        "--session", metavar="S", type=int, help="the session of FILE's lap (as FILE:LAP:S)"
    )
    parser.add_argument(
        "--vs-session", metavar="S", type=int, help="the session of REF's lap (as REF:LAP:S)"
    )
    add_salvage_option(parser)


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
        help="the lap N of session S, when N occurs in more than one session (a new session "
        "starts where the lap counter goes back to 0; corvex laps shows the sessions)",
    )


def require_lap(args: argparse.Namespace) -> None:
    """--session picks among laps numbered N: it needs --lap N."""
    if args.session is not None and args.lap is None:
        raise CliError("--session needs --lap: it picks which lap N to take")


def pick_lap(
    log: LogFile, num: int, session: int | None, option: str = "--session", spelled: str = ""
) -> Lap:
    """``log.lap(num, session)``, with the choice of session named as on the command line: the
    option ``option`` and, when given, the form ``spelled`` (e.g. ``"f.ibt:8:SESSION"``)."""
    try:
        return log.lap(num, session)
    except ValueError as exc:
        from corvex.laps import lap_groups

        sessions = sorted({g.session for g in lap_groups(log.laps) if g.num == num})
        if session is None and len(sessions) > 1:
            choices = ", ".join(map(str, sessions))
            example = spelled.replace("SESSION", str(sessions[-1]))
            ways = f"{spelled} or {option}" if spelled else option
            raise CliError(
                f"lap {num} occurs in sessions {choices}; pick one with {ways} "
                f"(e.g. {example or f'{option} {sessions[-1]}'})"
            ) from None
        raise CliError(str(exc)) from None
    except KeyError as exc:
        raise CliError(str(exc.args[0]) if exc.args else str(exc)) from None


def refuse_one_record(lap: Lap, path: str, nothing: str = "nothing to plot") -> None:
    """Raise when ``lap`` holds fewer than two records: a row of the lap table that is no lap
    (see :func:`corvex.laps.lap_groups`) has no line to draw or compare."""
    count = lap.record_count
    if count >= 2:
        return
    from corvex.formatting import lap_label

    raise CliError(
        f"{lap_label(lap).split(' (')[0]} holds {count} record{'' if count == 1 else 's'} (a row "
        "of the lap table that is no lap: a file's zeroed first record, the trace of a reset, "
        f"the record where the recording stops): {nothing}; corvex laps {path} lists the laps"
    )


def split_lap_choice(text: str) -> tuple[str, int | None, int | None]:
    """``"a.ibt:3"`` -> ``("a.ibt", 3, None)``, ``"a.ibt:3:1"`` -> ``("a.ibt", 3, 1)``; a
    path that exists, or has no ``:N`` tail, as is."""
    if os.path.exists(text) or ":" not in text:
        return text, None, None
    head, _, tail = text.rpartition(":")
    try:
        last = int(tail)
    except ValueError:
        return text, None, None
    if ":" in head and not os.path.exists(head):
        path, _, middle = head.rpartition(":")
        try:
            return path, int(middle), last
        except ValueError:
            pass
    return head, last, None


def lap_choice_parts(
    choice: str, args: argparse.Namespace, option: str = "--session"
) -> tuple[str, int | None, int | None]:
    """File, lap and session of ``FILE[:LAP[:SESSION]]``, the session also taken from the
    option ``option`` (``--session`` or ``--vs-session``), which needs a lap and must agree."""
    path, num, session = split_lap_choice(choice)
    given = getattr(args, option.lstrip("-").replace("-", "_"), None)
    if given is not None:
        if session is not None and session != given:
            raise CliError(f"{choice} names session {session} and {option} {given}")
        if num is None:
            raise CliError(f"{option} needs a lap: {path}:LAP picks it")
        session = given
    return path, num, session


class LapChoice:
    """A lap named on the command line (``FILE[:LAP[:SESSION]]``, or a lap saved as Parquet):
    its lap as a :class:`~corvex.Lap` (``log`` is then the whole file's) or a saved table, and
    its label. Without ``:LAP`` the file's fastest valid lap. ``option`` names the option that
    also gives the session (``--session`` for the lap, ``--vs-session`` for the reference)."""

    def __init__(
        self,
        choice: str,
        opened: dict[str, Any],
        args: argparse.Namespace,
        option: str = "--session",
    ) -> None:
        path, num, session = lap_choice_parts(choice, args, option)
        self.path = path
        self.log: Any = None
        if Path(path).suffix.lower() in _PARQUET:
            if num is not None:
                raise CliError(f"{path} is a saved lap: it takes no :LAP")
            import pyarrow.parquet as pq

            try:
                self.source: Any = pq.read_table(path)
            except OSError as exc:
                raise CliError(f"{path}: {exc}") from None
            self.label = _saved_label(self.source)
            return
        if path not in opened:
            opened[path] = open_log(args, path)
        self.log = opened[path]
        if num is None:
            fastest = self.log.fastest_lap
            if fastest is None:
                raise CliError(f"{path} has no valid lap; pick one with {path}:LAP")
            self.source = self.log.lap(fastest)
        else:
            self.source = pick_lap(self.log, num, session, option, f"{path}:{num}:SESSION")
            refuse_one_record(self.source, path, "nothing to draw or compare")
        from corvex.formatting import lap_label

        self.label = lap_label(self.source)

    def names(self) -> set[str]:
        if self.log is not None:
            return set(self.log.channel_names)
        return set(self.source.column_names)

    def on_distance(self, step: float, names: list[str]) -> Any:
        from corvex.analysis import on_distance

        if self.log is not None:
            return self.source.on_distance(step, names)
        return on_distance(self.source, step, names)

    def field(self, name: str) -> Any:
        if self.log is not None:
            return self.log[name].schema.field(1)
        return self.source.schema.field(name)


def _saved_label(table: Any) -> str:
    from corvex.analysis import META
    from corvex.formatting import format_lap_time

    meta = table.schema.metadata or {}
    num = meta.get(META["lap"])
    lap_time = meta.get(META["lap_time"])
    text = f"lap {num.decode()}" if num is not None else "saved lap"
    if lap_time is not None:
        text += f" ({format_lap_time(float(lap_time))})"
    return text
