"""`corvex export FILE -o OUT`: one wide table as Parquet, Feather or CSV, or a MoTeC i2 log."""

from __future__ import annotations

import argparse
from pathlib import Path
from typing import Any

import corvex
from corvex.cli._common import CliError, add_lap_options, parse_names, pick_lap

EXPORT_FORMATS = {
    ".parquet": "parquet",
    ".pq": "parquet",
    ".feather": "feather",
    ".arrow": "feather",
    ".ipc": "feather",
    ".csv": "csv",
    ".ld": "motec",
}


def cmd_export(args: argparse.Namespace) -> None:
    out = Path(args.output)
    kind = EXPORT_FORMATS.get(out.suffix.lower())
    if kind is None:
        known = ", ".join(sorted(EXPORT_FORMATS))
        raise CliError(f"cannot tell the format of {out}: use one of {known}")
    if args.session is not None and args.lap is None:
        raise CliError("--session needs --lap: it picks which lap N to take")
    log = corvex.open(args.file)
    if args.lap is not None:
        log = pick_lap(log, args.lap, args.session)
    if kind == "motec":
        from corvex.motec import write_motec

        names = parse_names(args.channels)
        ld, ldx = write_motec(log, out, names)
        chosen = len(log.channels) if names is None else len(dict.fromkeys(names))
        print(f"wrote {log.record_count} records x {chosen} channels to {ld} and {ldx}")
        return
    table = log.to_table(parse_names(args.channels))
    if kind == "csv" and not args.plain_headers:
        table = table.rename_columns(unit_headers(table))
    write_table(table, out, kind)
    print(f"wrote {table.num_rows} rows x {table.num_columns - 1} channels to {out}")


def unit_headers(table: Any) -> list[str]:
    """Column names with the unit: ``Speed [m/s]``, ``timecodes [ms]``; bare without one."""
    names = []
    for field in table.schema:
        unit = (field.metadata or {}).get(b"units", b"").decode("utf-8", "replace")
        if field.name == "timecodes":
            unit = "ms"
        names.append(f"{field.name} [{unit}]" if unit else field.name)
    return names


def write_table(table: Any, out: Path, kind: str) -> None:
    """Write ``table`` as Parquet, Feather or CSV; field metadata survives the first two."""
    if kind == "parquet":
        import pyarrow.parquet as pq

        pq.write_table(table, out)
    elif kind == "feather":
        import pyarrow.feather as feather

        feather.write_feather(table, out)
    else:
        import pyarrow.csv as csv

        csv.write_csv(table, out)


def register(sub: Any) -> None:
    """Add the `export` command to the subparsers `sub`."""
    parser = sub.add_parser(
        "export",
        help="write channels as one Parquet, Feather or CSV table, or a MoTeC i2 log",
        description="Write one wide table (timecodes and one column per channel). The format "
        "follows the extension of OUT: .parquet/.pq, .feather/.arrow/.ipc or .csv. Parquet and "
        "Feather keep each channel's unit and description in the field metadata, and the track "
        "and lap in the schema metadata (a lap written so is a reference for corvex compare); "
        "CSV headers carry the unit, e.g. 'Speed [m/s]'. OUT.ld writes a MoTeC i2 log with its "
        "lap markers in OUT.ldx beside it.",
    )
    parser.add_argument("file", metavar="FILE", help="IBT file")
    parser.add_argument("-o", "--output", metavar="OUT", required=True, help="output file")
    parser.add_argument("--channels", metavar="A,B,...", help="channels to write (default: all)")
    add_lap_options(parser)
    parser.add_argument(
        "--plain-headers",
        action="store_true",
        help="CSV: name the columns without their unit (default: 'Speed [m/s]')",
    )
    parser.set_defaults(run=cmd_export)
