"""`corvex export`: one file to one wide table or a MoTeC log, or many sessions to one dataset.

`corvex export FILE -o OUT.parquet` (or .feather, .csv, ...) writes one wide table, and
`-o OUT.ld` a MoTeC i2 log with its lap markers. With
several sources, a directory or a glob pattern, or with an output that is a directory (an
existing one, or a name without a file extension), the folder form converts every session into
the dataset layout of corvex.dataset.
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path
from typing import TYPE_CHECKING, Any

from corvex.cli._common import (
    CliError,
    add_command,
    add_lap_options,
    add_salvage_option,
    open_log,
    parse_names,
    pick_lap,
    require_lap,
)

if TYPE_CHECKING:
    from corvex.base import LogFile
    from corvex.lap import Lap

EXPORT_FORMATS = {
    ".parquet": "parquet",
    ".pq": "parquet",
    ".feather": "feather",
    ".arrow": "feather",
    ".ipc": "feather",
    ".csv": "csv",
    ".ld": "motec",
}


# Failures listed one per line before the closing error line; the rest are in errors.parquet.
MAX_LISTED_ERRORS = 20


def cmd_export(args: argparse.Namespace) -> None:
    out = Path(args.output)
    kind = EXPORT_FORMATS.get(out.suffix.lower())
    sources: list[str] = args.sources
    if out.is_dir() or (kind is None and not (len(sources) == 1 and out.suffix)):
        export_folder(args)
        return
    folders = [s for s in sources if Path(s).is_dir()]
    if folders and kind is not None:
        raise CliError(
            f"{folders[0]} is a folder: a folder becomes a dataset directory, not one {out.suffix} "
            f"file; give -o a directory name (e.g. -o {out.with_suffix('')})"
        )
    if kind is None:
        known = ", ".join(sorted(EXPORT_FORMATS))
        raise CliError(
            f"cannot tell the format of {out}: use one of {known}, "
            "or a directory (a name without extension) for the dataset of many sessions"
        )
    if len(sources) > 1:
        raise CliError(f"{out} is one file; give a directory to export several sources")
    if args.jobs is not None or args.format is not None:
        raise CliError("--jobs and --format apply when the output is a directory")
    require_lap(args)
    whole = open_log(args, sources[0])
    log: LogFile | Lap = whole if args.lap is None else pick_lap(whole, args.lap, args.session)
    if kind == "motec":
        from corvex.motec import write_motec

        names = parse_names(args.channels)
        ld, ldx = write_motec(log, out, names, source_path=args.source_path)
        chosen = len(log.channels) if names is None else len(dict.fromkeys(names))
        print(f"wrote {log.record_count} records x {chosen} channels to {ld} and {ldx}")
        return
    if args.units == "racer" and kind != "csv":
        raise CliError(
            "--units racer applies to CSV; Parquet and Feather keep the stored units, which "
            "their fields name"
        )
    table = log.to_table(parse_names(args.channels))
    if args.units == "racer":
        table = racer_units(table)
    if kind == "csv" and not args.plain_headers:
        table = table.rename_columns(unit_headers(table))
    write_table(table, out, kind)
    print(f"wrote {table.num_rows} rows x {table.num_columns - 1} channels to {out}")


def unit_headers(table: Any) -> list[str]:
    """Column names with the unit: ``Speed [m/s]``, ``timecodes [ms]``; bare without one. A "%"
    channel stored as a fraction says so, ``Throttle [0-1]``, so that no one reads its 1 as
    1 %; in percent (``--units racer``) it is ``Throttle [%]``."""
    names = []
    for field, column in zip(table.schema, table.columns):
        unit = (field.metadata or {}).get(b"units", b"").decode("utf-8", "replace")
        if field.name == "timecodes":
            unit = "ms"
        elif unit == "%" and _shown(unit, column).scale != 1.0:
            unit = "0-1"
        names.append(f"{field.name} [{unit}]" if unit else field.name)
    return names


def racer_units(table: Any) -> Any:
    """``table`` with speeds in km/h, angles in degrees and "%" channels from 0 to 100 (as
    the plots show them), each field's unit metadata saying the unit written."""
    import pyarrow as pa

    from corvex.columns import floats, from_numpy

    fields, columns = [], []
    for field, column in zip(table.schema, table.columns):
        unit = (field.metadata or {}).get(b"units", b"").decode("utf-8", "replace")
        shown = _shown(unit, column) if field.name != "timecodes" else None
        if shown is None or (shown.scale == 1.0 and shown.offset == 0.0):
            fields.append(field)
            columns.append(column)
            continue
        # A float32 channel stays float32, so that 0.35 reads as 35, not 34.99999940395355.
        kind = pa.float32() if field.type == pa.float32() else pa.float64()
        values = from_numpy(shown.apply(floats(column)), kind)
        meta = {**(field.metadata or {}), b"units": shown.unit.encode()}
        fields.append(pa.field(field.name, kind, field.nullable, meta))
        columns.append(values)
    return pa.Table.from_arrays(columns, schema=pa.schema(fields, table.schema.metadata))


def _shown(unit: str, column: Any) -> Any:
    """How a racer reads a column stored in ``unit`` (see corvex.cli._plotting)."""
    from corvex.units import display_unit

    largest = None
    if unit == "%":
        import numpy as np

        from corvex.columns import floats

        values = np.abs(floats(column))
        values = values[np.isfinite(values)]
        largest = float(values.max()) if len(values) else None
    return display_unit(unit, "metric", largest)


def write_table(table: Any, out: Path, kind: str) -> None:
    """Write ``table`` as Parquet, Feather or CSV; field metadata survives the first two.

    The file is written under a temporary name beside ``out`` and renamed into place when
    complete: a failure (a full disk, an interrupt) leaves the previous file as it was.
    """
    from corvex.files import write_whole

    if kind == "parquet":
        import pyarrow.parquet as pq

        write_whole(out, lambda tmp: pq.write_table(table, tmp))
    elif kind == "feather":
        import pyarrow.feather as feather

        write_whole(out, lambda tmp: feather.write_feather(table, tmp))
    else:
        import pyarrow.csv as csv

        write_whole(out, lambda tmp: csv.write_csv(table, tmp))


def export_folder(args: argparse.Namespace) -> None:
    """The folder form: every session of the sources into the dataset in directory OUT."""
    if args.lap is not None:
        raise CliError("--lap applies to one file exported to one table")
    if args.jobs is not None and args.jobs < 1:
        raise CliError(f"--jobs must be at least 1, got {args.jobs}")
    from corvex.dataset import WRITERS, export_dataset

    fmt = args.format or "parquet"
    if fmt not in WRITERS:
        raise CliError(f"unknown --format {fmt!r} (known: {', '.join(sorted(WRITERS))})")
    summary = export_dataset(
        args.sources,
        args.output,
        channels=parse_names(args.channels),
        jobs=args.jobs,
        progress=not args.quiet,
        format=fmt,
        salvage=args.salvage,
    )
    print(summary)
    for path, error_class, reason, hint in summary.errors[:MAX_LISTED_ERRORS]:
        line = f"corvex: {path}: {error_class}: {reason}" + (f"; {hint}" if hint else "")
        print(line, file=sys.stderr)
    if summary.failed:
        more = summary.failed - min(summary.failed, MAX_LISTED_ERRORS)
        raise CliError(
            f"{summary.failed} of {summary.files} files could not be read"
            + (f" ({more} not listed above)" if more else "")
            + f"; see {Path(args.output) / 'errors.parquet'}"
        )


def register(sub: Any) -> None:
    """Add the `export` command to the subparsers `sub`."""
    parser = add_command(
        sub,
        "export",
        cmd_export,
        summary="write channels as one table or MoTeC log, or many sessions as one dataset",
        description="With one FILE and OUT ending in .parquet/.pq, .feather/.arrow/.ipc or "
        ".csv: write one wide table (timecodes and one column per channel); Parquet and "
        "Feather keep each channel's unit and description in the field metadata, and the track "
        "and lap in the schema metadata (a lap written so is a reference for corvex compare); "
        "CSV headers carry the unit, e.g. 'Speed [m/s]' ('--units racer': km/h, degrees and "
        "percent). OUT.ld writes a MoTeC i2 log with its "
        "lap markers in OUT.ldx beside it. With several "
        "sources, directories (searched for *.ibt) or glob patterns, or when OUT is a directory: "
        "write OUT/sessions.parquet, OUT/laps.parquet, OUT/stints.parquet, OUT/errors.parquet, "
        "OUT/tracks.parquet with a track model per layout in OUT/tracks/, and the "
        "Hive-partitioned OUT/telemetry/ (track=/car=), skipping sessions already there.",
    )
    parser.add_argument("sources", metavar="SRC", nargs="+", help="IBT files, directories, globs")
    parser.add_argument(
        "-o", "--output", metavar="OUT", required=True, help="output file or directory"
    )
    add_salvage_option(parser)
    parser.add_argument("--channels", metavar="A,B,...", help="channels to write (default: all)")
    add_lap_options(parser)
    parser.add_argument(
        "--source-path",
        action="store_true",
        help="MoTeC: name the source file by its whole path in the log's comment (default: "
        "its file name)",
    )
    parser.add_argument(
        "--plain-headers",
        action="store_true",
        help="CSV: name the columns without their unit (default: 'Speed [m/s]', 'Throttle [0-1]')",
    )
    parser.add_argument(
        "--units",
        choices=("stored", "racer"),
        default="stored",
        help="CSV: the values as the file stores them (default: SI units, pedals and other "
        "'%%' channels from 0 to 1) or as a racer reads them (km/h, degrees, 0-100 %%); the "
        "column headers name the unit",
    )
    parser.add_argument(
        "-j", "--jobs", metavar="N", type=int, help="files at once (default: one per core)"
    )
    parser.add_argument(
        "--format", metavar="NAME", help="per-session file format of the folder form (parquet)"
    )
    parser.add_argument("-q", "--quiet", action="store_true", help="no progress bar")
