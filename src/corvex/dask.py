"""Many sessions on a Dask cluster: :mod:`corvex.dataset.dask` under its short name.

``import corvex.dask`` and ``corvex.dask.read_telemetry(...)`` are the documented spelling; the
code lives with the rest of the dataset export. Needs ``pip install 'corvex[dask]'``.
"""

from __future__ import annotations

from corvex.dataset.dask import SessionProbe, export_dataset, read_telemetry, telemetry_schema

__all__ = ["SessionProbe", "export_dataset", "read_telemetry", "telemetry_schema"]
