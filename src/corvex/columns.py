"""numpy arrays of Arrow columns, without the detour through pandas.

pyarrow's own ``to_numpy`` imports pandas on first use wherever pandas is installed, which costs
a command like ``corvex map`` a third of its run. The numbers of a channel lie in one buffer of
a known type, so numpy reads them from there; anything else (nulls, other types) still goes
through pyarrow.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np
import pyarrow as pa

if TYPE_CHECKING:
    from numpy.typing import NDArray

__all__ = ["floats", "values"]

_NUMPY = {
    "int8": np.int8,
    "uint8": np.uint8,
    "int16": np.int16,
    "uint16": np.uint16,
    "int32": np.int32,
    "uint32": np.uint32,
    "int64": np.int64,
    "uint64": np.uint64,
    "float": np.float32,
    "double": np.float64,
}


def values(column: pa.Array | pa.ChunkedArray) -> NDArray[Any]:
    """The values of a column as a numpy array (booleans as ``bool``)."""
    if isinstance(column, pa.ChunkedArray):
        parts = [values(chunk) for chunk in column.chunks]
        if len(parts) == 1:
            return parts[0]
        if parts:
            return np.concatenate(parts)
        column = pa.array([], column.type)
    kind = str(column.type)
    if column.null_count == 0 and len(column):
        start, count = column.offset, len(column)
        if kind == "bool":
            bits = np.frombuffer(column.buffers()[1], dtype=np.uint8)
            unpacked = np.unpackbits(bits, bitorder="little")
            return unpacked[start : start + count].astype(bool)
        dtype = _NUMPY.get(kind)
        if dtype is not None:
            data = np.frombuffer(column.buffers()[1], dtype=dtype)
            return data[start : start + count]
    return np.asarray(column.to_numpy(zero_copy_only=False))


def floats(column: pa.Array | pa.ChunkedArray) -> NDArray[np.float64]:
    """The values of a column as float64 (booleans as 0 and 1)."""
    return np.asarray(values(column), dtype=np.float64)
