"""How one session's telemetry file is written, by format."""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING

import pyarrow as pa
import pyarrow.parquet as pq

from corvex.dataset.schema import KEY

if TYPE_CHECKING:
    from corvex.dataset.session import SessionData


_ROW_GROUP = 65_536  # records per Parquet row group: bounds the writer's buffers


@dataclass(frozen=True)
class SessionWriter:
    """How one session's telemetry file is written: its file name suffix and the function.

    ``write(data, path)`` writes the file ``path`` (and, for a format of several files, files
    of the same stem beside it) into the session's work folder, which the export puts in place
    whole once the session is complete. ``dataset`` says that the files form the Parquet
    dataset that :func:`open_dataset` reads, whose schemas are unified.
    """

    suffix: str
    write: Callable[[SessionData, Path], None]
    dataset: bool = False


def _write_parquet(data: SessionData, path: Path) -> None:
    # Dictionary encoding pays only for the key: on an hour of telemetry it made the write
    # four times slower and the file larger. Byte stream split lets zstd find the repeated
    # exponent bytes of float channels (faster, and a sixth smaller).
    table = data.table
    floats = [f.name for f in table.schema if pa.types.is_floating(f.type)]
    pq.write_table(
        table,
        path,
        compression="zstd",
        row_group_size=_ROW_GROUP,
        use_dictionary=[KEY],
        use_byte_stream_split=floats or False,
    )


def _write_motec(data: SessionData, path: Path) -> None:
    from corvex.motec import write_motec

    write_motec(data.log, path, channels=data.channels)


# Format name -> writer. Other formats plug in here; the command line's --format takes the keys.
WRITERS: dict[str, SessionWriter] = {
    "parquet": SessionWriter(".parquet", _write_parquet, dataset=True),
    "motec": SessionWriter(".ld", _write_motec),
}
