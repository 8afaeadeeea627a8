"""corvex: fast, exact reader for iRacing IBT telemetry files.

``corvex.open(path)`` reads a whole file and returns a :class:`LogFile` whose channels are
pyarrow tables (``session.ibt`` is the sample session that ``corvex demo`` writes):

>>> import corvex
>>> log = corvex.open("session.ibt")
>>> log.laps.num_rows                        # one row per lap
5
>>> log["Speed"].column_names
['timecodes', 'Speed']
>>> log.to_pandas(["Speed", "Throttle"]).shape
(27692, 3)
>>> slip = corvex.delta(log.lap(3), log.lap(log.fastest_lap))   # time lost along lap 3
>>> round(slip["delta"][-1].as_py(), 3)
0.136

Importing the package is cheap: pyarrow, ``LogFile``, ``export_dataset`` and ``open_dataset``
(those of :mod:`corvex.dataset`) and the version number are loaded on first use, so that
``corvex --help`` answers at once.
"""

from __future__ import annotations

import os
from typing import TYPE_CHECKING, Any

from corvex.errors import CorvexWarning
from corvex.reading import Source as Source
from corvex.reading import open, open_snapshot

if TYPE_CHECKING:
    import pyarrow as pa

    from corvex.base import Lap, LapNumber, LogFile
    from corvex.dataset import export_dataset, open_dataset

__all__ = [
    "CorvexWarning",
    "Lap",
    "LapNumber",
    "LogFile",
    "delta",
    "open",
    "open_snapshot",
    "export_dataset",
    "open_dataset",
    "__version__",
]


def delta(
    lap: Lap | pa.Table | str | os.PathLike[str],
    reference: Lap | pa.Table | str | os.PathLike[str],
    step: float = 1.0,
) -> pa.Table:
    """Time gained or lost along ``lap`` against ``reference``, on a grid of ``step`` metres.

    Each lap is a :class:`Lap` (``log.lap(n)``), its ``to_table()``, or the path of that
    table saved as Parquet. Columns: ``distance``, ``delta`` (s, positive = slower than the
    reference), ``time``, ``reference_time``, ``speed``, ``reference_speed``. Laps of
    different tracks raise ``ValueError``. See :func:`corvex.analysis.delta`.
    """
    from corvex.lap import delta as _delta

    return _delta(lap, reference, step)


def __getattr__(name: str) -> Any:
    # LogFile (and Lap and LapNumber beside it) pulls in pyarrow, and the version number
    # importlib.metadata: both are loaded on first use and then kept as module attributes.
    if name in ("LogFile", "Lap", "LapNumber"):
        from corvex import base

        globals()["LogFile"] = base.LogFile
        globals()["Lap"] = base.Lap
        globals()["LapNumber"] = base.LapNumber
        return globals()[name]
    if name in ("export_dataset", "open_dataset"):  # corvex.dataset's own, with their docs
        from corvex import dataset

        globals()["export_dataset"] = dataset.export_dataset
        globals()["open_dataset"] = dataset.open_dataset
        return globals()[name]
    if name == "__version__":
        from corvex.version import version

        globals()["__version__"] = version()
        return globals()[name]
    raise AttributeError(f"module 'corvex' has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted({*globals(), *__all__})
