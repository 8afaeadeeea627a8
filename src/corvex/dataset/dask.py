"""Many sessions on a Dask cluster: one partition per session, or the export on the workers.

Needs the optional dependency ``corvex[dask]`` (dask with its dataframe and distributed parts).
``Client("tcp://scheduler:8786")`` connects to a cluster; here one in this process stands in:

>>> from dask.distributed import Client
>>> import corvex.dask
>>> client = Client(processes=False, dashboard_address=None)
>>> frame = corvex.dask.read_telemetry("*.ibt", channels=["Speed", "Throttle"])
>>> round(float(frame.groupby("track").Speed.max().compute()["veldstrand gp"]), 1)
78.0
>>> print(corvex.dask.export_dataset(".", "dataset/", client=client, progress=False))
converted 1 of 1 files ...; 0 failed; 1 sessions in ...dataset
>>> client.close()

The workers read the files by their paths and :func:`export_dataset` writes into ``out`` from
the workers, so sources and output must be on a file system that every worker sees.
"""

from __future__ import annotations

import os
import warnings
from collections.abc import Iterable, Sequence
from dataclasses import dataclass

import pyarrow as pa

from corvex import dataset as _dataset
from corvex.dataset import LAP_NUM, LAP_SESSION, PARTITIONS, RESERVED, TIME, ExportSummary
from corvex.dataset.errors import reason_of
from corvex.dataset.schema import KEY_FIELD, conform
from corvex.dataset.session import driver_and_car
from corvex.dataset.sources import probe_key
from corvex.session_info import decode_session_info, parse_session_info, text_or_none

try:
    import dask.dataframe as dd
    import distributed
    import pandas as pd
except ImportError as exc:  # pragma: no cover - depends on the installation
    raise ImportError(
        f"corvex.dask needs dask, distributed and pandas ({exc}): pip install 'corvex[dask]'"
    ) from exc

__all__ = ["read_telemetry", "export_dataset", "telemetry_schema"]


@dataclass(frozen=True)
class SessionProbe:
    """What the headers of one file tell before it is read: its key, partition, schema."""

    path: str
    key: str
    track: str | None
    car: str | None
    schema: pa.Schema


def _probe(path: str, channels: Sequence[str] | None) -> SessionProbe:
    """Read the headers of ``path``; raises ValueError with the error class when they are bad."""
    from corvex._corvex_rs import probe

    try:
        found = probe(path)
    except (OSError, RuntimeError) as exc:
        error_class = _dataset.classify_error(exc)
        raise ValueError(f"{path}: {error_class}: {reason_of(exc, path)}") from None
    info = parse_session_info(decode_session_info(found["session_info_bytes"]))
    weekend = info.get("WeekendInfo")
    track = text_or_none(weekend.get("TrackName")) if isinstance(weekend, dict) else None
    _, car = driver_and_car(info)
    fields = {f.name: f for f in found["channels"] if f.name.casefold() not in RESERVED}
    names = list(fields) if channels is None else [n for n in channels if n in fields]
    schema = pa.schema(
        [
            KEY_FIELD,
            pa.field(TIME, pa.int64(), nullable=False),
            pa.field(LAP_NUM, pa.int32()),
            pa.field(LAP_SESSION, pa.int32()),
            *(fields[n] for n in names),
        ]
    )
    return SessionProbe(path, probe_key(found), track, car, schema)


def telemetry_schema(
    sources: Iterable[str | os.PathLike[str]] | str | os.PathLike[str],
    channels: Sequence[str] | None = None,
    errors: str = "raise",
) -> tuple[pa.Schema, list[SessionProbe]]:
    """The unified telemetry schema of ``sources`` from their headers, and one probe per file.

    Reads only the headers. ``errors`` "raise" (default) raises ``ValueError`` naming every
    file whose headers show that it cannot be read; "skip" leaves those out with a warning.
    """
    if errors not in ("raise", "skip"):
        raise ValueError(f"errors must be 'raise' or 'skip', not {errors!r}")
    if isinstance(sources, (str, os.PathLike)):
        sources = [sources]
    files, notes = _dataset.find_sources(sources)
    probes, problems = [], []
    for path in files:
        try:
            probes.append(_probe(str(path), channels))
        except ValueError as exc:
            problems.append(str(exc))
    if problems and errors == "raise":
        raise ValueError(f"{len(problems)} files cannot be read: " + "; ".join(problems))
    for text in problems + notes:
        warnings.warn(text, stacklevel=3)
    if not probes:
        raise ValueError("no readable IBT file in the sources")
    schema, conflicts = _dataset.unify_schemas(p.schema for p in probes)
    for name, kinds in conflicts.items():
        warnings.warn(
            f"channel {name!r} has types {', '.join(kinds)} that do not widen to one; left out",
            stacklevel=3,
        )
    return schema, probes


class _ReadSession:
    """The partition function: one file's telemetry in the unified schema, as pandas.

    The headers were checked when the graph was made; the records are read only now, and a file
    whose reading fails (a variable past the end of its record, a file changed meanwhile) fails
    the computation with ``errors="raise"``, and is an empty partition and a warning with
    ``errors="skip"``.
    """

    def __init__(self, schema: pa.Schema, errors: str = "raise") -> None:
        self.schema = schema
        self.errors = errors

    def __call__(self, probe: SessionProbe) -> pd.DataFrame:
        from corvex.reading import open as open_ibt

        try:
            log = open_ibt(probe.path)
        except (OSError, RuntimeError) as exc:
            if self.errors != "skip":
                raise
            error_class = _dataset.classify_error(exc)
            warnings.warn(
                f"{probe.path}: {error_class}: {reason_of(exc, probe.path)}; left out",
                stacklevel=2,
            )
            empty: pd.DataFrame = self.schema.empty_table().to_pandas(types_mapper=pd.ArrowDtype)
            return empty
        names = [n for n in self.schema.names[4:] if n in log.channels and n not in PARTITIONS]
        table = _dataset.telemetry_table(log, probe.key, names)
        count = table.num_rows
        table = table.append_column("track", pa.repeat(pa.scalar(probe.track, pa.string()), count))
        table = table.append_column("car", pa.repeat(pa.scalar(probe.car, pa.string()), count))
        frame: pd.DataFrame = conform(table, self.schema).to_pandas(types_mapper=pd.ArrowDtype)
        return frame


def read_telemetry(
    sources: Iterable[str | os.PathLike[str]] | str | os.PathLike[str],
    channels: Sequence[str] | None = None,
    errors: str = "raise",
) -> dd.DataFrame:
    """The telemetry of every session in ``sources`` as a Dask DataFrame, one partition each.

    The columns are those of the exported dataset: ``session_key``, ``timecodes``,
    ``lap_num``, ``lap_session``, the channels (all, or ``channels``) in the unified schema,
    and ``track`` and ``car``; the columns hold pandas' Arrow-backed types. The schema comes
    from the files' headers, so it is known before anything is computed; each partition reads
    its whole file when it is computed. ``errors`` is as in :func:`telemetry_schema`; with
    "skip", a file whose records fail to read when its partition is computed is an empty
    partition and a warning instead of the computation's failure.
    """
    schema, probes = telemetry_schema(sources, channels, errors)
    meta = schema.empty_table().to_pandas(types_mapper=pd.ArrowDtype)
    frame: dd.DataFrame = dd.from_map(  # type: ignore[no-untyped-call]
        _ReadSession(schema, errors), probes, meta=meta, label="corvex-telemetry"
    )
    return frame


def export_dataset(
    sources: Iterable[str | os.PathLike[str]] | str | os.PathLike[str],
    out: str | os.PathLike[str],
    client: distributed.Client | None = None,
    channels: Sequence[str] | None = None,
    progress: bool = True,
    format: str = "parquet",  # noqa: A002 - the name of the command line option
    salvage: bool = False,
) -> ExportSummary:
    """:func:`corvex.dataset.export_dataset` with each file converted by a Dask task.

    ``client`` is the cluster's client (default: the current one, or a local cluster started
    for this call). Each task converts one file on a worker into its session folder and returns
    its sessions row and schema; this process puts each folder in place and commits the
    snapshot at the end, as :func:`corvex.dataset.export_dataset` does.
    """
    own: distributed.Client | None = None
    if client is None:
        try:
            client = distributed.get_client()
        except ValueError:
            own = client = distributed.Client()  # type: ignore[no-untyped-call]
    try:
        with _dataset.Export(sources, out, channels, format, progress, salvage) as job:
            futures = {
                client.submit(_dataset.convert_session, task, pure=False): task
                for task in job.tasks
            }
            for future in distributed.as_completed(list(futures)):  # type: ignore[no-untyped-call]
                task = futures[future]
                try:
                    outcome = future.result()
                except Exception as exc:  # noqa: BLE001 - a lost worker fails its file only
                    outcome = _dataset.Outcome(
                        task, error_class="internal", reason=f"task failed: {exc}"
                    )
                job.record(outcome)
                future.release()
            return job.finish()
    finally:
        if own is not None:
            own.close()  # type: ignore[no-untyped-call]
