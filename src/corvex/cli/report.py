"""`corvex report FILE[:LAP[:SESSION]] [REF[:LAP[:SESSION]]] -o report.html`: one comparison as
one HTML file.

The page of `corvex view` for one lap against one reference, with everything written into
the file (no network, no other file): it opens offline and can be sent as it is. Without LAP
the lap is the latest valid lap other than the fastest and the reference the fastest valid
lap; REF without LAP is REF's fastest valid lap.
"""

from __future__ import annotations

import argparse
from pathlib import Path
from typing import Any

from corvex.cli._common import (
    CliError,
    add_command,
    add_lap_pair,
    add_units_option,
    lap_choice_parts,
    open_log,
    parse_names,
    pick_lap,
    refuse_one_record,
)


def cmd_report(args: argparse.Namespace) -> None:
    from corvex.cli.view import require_bokeh

    require_bokeh("report")
    import threading

    from corvex.view.data import default_pair, session_view
    from corvex.view.report import report_html, write_report

    # Bokeh takes a second to import; the files are read meanwhile, without the interpreter.
    loading = threading.Thread(target=_import_bokeh, daemon=True)
    loading.start()
    path, num, session = lap_choice_parts(args.lap, args)
    log = _open(args, path)
    if args.reference is not None:
        ref_path, ref_num, ref_session = lap_choice_parts(args.reference, args, "--vs-session")
        ref_log = log if ref_path == path else _open(args, ref_path)
    else:
        if args.vs_session is not None:
            raise CliError("--vs-session needs a reference: REF:LAP picks it")
        ref_path, ref_num, ref_session, ref_log = path, None, None, log
    lap_row, ref_row = default_pair(session_view(log, path)["laps"])
    if num is not None:
        chosen = pick_lap(log, num, session, spelled=f"{path}:{num}:SESSION")
        refuse_one_record(chosen, path, "nothing to show")
        lap_row = chosen.row
    if args.reference is not None or num is not None:
        if ref_num is not None:
            chosen = pick_lap(
                ref_log, ref_num, ref_session, "--vs-session", f"{ref_path}:{ref_num}:SESSION"
            )
            refuse_one_record(chosen, ref_path, "nothing to show")
            ref_row = chosen.row
        else:
            fastest = ref_log.fastest_lap
            if fastest is None:
                raise CliError(f"{ref_path} has no valid lap; pick one with {ref_path}:LAP")
            ref_row = ref_log.lap(fastest).row
    if lap_row is None or ref_row is None:
        raise CliError(f"{path} has no lap to show")
    channels = parse_names(args.channels)
    loading.join()
    text = report_html(
        (log, lap_row, Path(path).name),
        (ref_log, ref_row, Path(ref_path).name),
        channels,
        args.color,
        args.units,
    )
    target = write_report(text, args.output)
    size = target.stat().st_size
    print(f"wrote {target} ({size / 1e6:.1f} MB)")


def _import_bokeh() -> None:
    import bokeh.embed  # noqa: F401
    import bokeh.plotting  # noqa: F401


def _open(args: argparse.Namespace, path: str) -> Any:
    if Path(path).suffix.lower() in (".parquet", ".pq"):
        raise CliError(f"{path}: a report needs IBT files (a saved lap has no map or session)")
    return open_log(args, path)


def register(sub: Any) -> None:
    """Add the `report` command to the subparsers `sub`."""
    parser = add_command(
        sub,
        "report",
        cmd_report,
        summary="one lap against a reference as one HTML file, to open offline or send",
        description="Write the viewer's page for one lap against one reference as a single "
        "HTML file that needs no network: the session at a glance, the time slip and the "
        "channels on distance, the track map and the corner table. LAP defaults to the latest "
        "valid lap other than the fastest, the reference to the fastest valid lap. Needs "
        "Bokeh (pip install 'corvex[view]').",
    )
    add_lap_pair(parser, reference_optional=True, saved=False)
    parser.add_argument(
        "--channels",
        metavar="A,B,...",
        help="channels to draw (default: Speed, Throttle, Brake, Gear, SteeringWheelAngle)",
    )
    parser.add_argument(
        "--color",
        "--colour",
        default="Speed",
        metavar="CHANNEL",
        help="channel that colours the lap on the map (default: Speed)",
    )
    add_units_option(parser)
    parser.add_argument("-o", "--output", metavar="OUT.html", required=True, help="HTML file")
