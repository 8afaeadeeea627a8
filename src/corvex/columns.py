"""numpy arrays of Arrow columns and Arrow arrays of numpy values, without pandas.

pyarrow imports pandas, when it is installed, on its first conversion between Arrow and numpy
(``to_numpy``, ``pa.array``); that import takes longer than everything else ``corvex info``,
``corvex stints`` or ``corvex map`` do. The models (laps, pit stops, stints, fuel, tyres, the
track) therefore read and build their columns here, on the buffers themselves. Channel columns
never hold nulls; columns of other origin (a saved lap, a dataset) may, and read as NaN.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np
import pyarrow as pa

if TYPE_CHECKING:
    from numpy.typing import NDArray

__all__ = [
    "bools",
    "column_values",
    "filled",
    "floats",
    "floats_or_nan",
    "from_numpy",
    "numbers",
    "strings",
    "table_from_lists",
    "timecodes",
]


_NUMPY_TYPES = {
    pa.uint8(): np.uint8,
    pa.int8(): np.int8,
    pa.int16(): np.int16,
    pa.uint16(): np.uint16,
    pa.int32(): np.int32,
    pa.uint32(): np.uint32,
    pa.int64(): np.int64,
    pa.uint64(): np.uint64,
    pa.float32(): np.float32,
    pa.float64(): np.float64,
}


def column_values(column: pa.ChunkedArray | pa.Array) -> NDArray[Any]:
    """The values of a column without nulls as a numpy array (booleans as ``np.bool_``); a
    view of the column's own buffer where it is one chunk of numbers."""
    array = _one_array(column)
    count, offset = len(array), array.offset
    if pa.types.is_boolean(array.type):
        data = array.buffers()[1]
        if data is None or count == 0:
            return np.zeros(count, np.bool_)
        bits = np.unpackbits(np.frombuffer(data, np.uint8), count=offset + count, bitorder="little")
        return bits[offset:].view(np.bool_)
    kind = _NUMPY_TYPES.get(array.type)
    if kind is None:  # not a plain number column: pyarrow converts it
        return np.asarray(array.to_numpy(zero_copy_only=False))
    data = array.buffers()[1]
    if data is None or count == 0:
        return np.zeros(count, kind)
    return np.frombuffer(data, kind, count=count, offset=offset * np.dtype(kind).itemsize)


def _one_array(column: pa.ChunkedArray | pa.Array) -> pa.Array:
    if not isinstance(column, pa.ChunkedArray):
        return column
    return column.chunk(0) if column.num_chunks == 1 else column.combine_chunks()


def floats(column: pa.ChunkedArray | pa.Array) -> NDArray[np.float64]:
    """A column's values as float64 (booleans as 0.0 and 1.0, nulls as NaN)."""
    array = _one_array(column)
    if array.null_count:
        return floats_or_nan(array)
    return np.asarray(column_values(array), dtype=np.float64)


def floats_or_nan(column: pa.ChunkedArray | pa.Array) -> NDArray[np.float64]:
    """A number column that may hold nulls as float64, each null as NaN."""
    array = _one_array(column)
    if not array.null_count:
        return floats(array)
    values = np.array(column_values(array), dtype=np.float64)
    values[~column_values(array.is_valid())] = np.nan
    return values


def bools(column: pa.ChunkedArray | pa.Array) -> NDArray[np.bool_]:
    """A column's values as booleans (numbers: true when not 0)."""
    values = column_values(column)
    return values if values.dtype == np.bool_ else values != 0


def timecodes(channels: Mapping[str, pa.Table]) -> NDArray[np.int64]:
    """The time column the channel tables share (ms), empty without channels."""
    for table in channels.values():
        return np.asarray(column_values(table.column(0)), dtype=np.int64)
    return np.zeros(0, np.int64)


def _validity(valid: NDArray[np.bool_] | None) -> tuple[pa.Buffer | None, int]:
    if valid is None or bool(valid.all()):
        return None, 0
    packed = np.packbits(valid.astype(np.uint8), bitorder="little")
    return pa.py_buffer(packed.tobytes()), int(len(valid) - np.count_nonzero(valid))


def from_numpy(
    values: NDArray[Any], kind: pa.DataType, valid: NDArray[np.bool_] | None = None
) -> pa.Array:
    """An Arrow array of ``kind`` from ``values``; ``valid`` false marks a null."""
    if pa.types.is_boolean(kind):
        data = np.packbits(np.asarray(values, dtype=np.uint8), bitorder="little").tobytes()
    else:
        data = np.ascontiguousarray(values, dtype=_NUMPY_TYPES[kind]).tobytes()
    validity, nulls = _validity(valid)
    return pa.Array.from_buffers(
        kind, len(values), [validity, pa.py_buffer(data)], null_count=nulls
    )


def numbers(values: Sequence[float | None], kind: pa.DataType) -> pa.Array:
    """A number array of ``kind`` from Python values; None is a null."""
    valid = np.array([v is not None for v in values], dtype=np.bool_)
    packed = np.array([0 if v is None else v for v in values], dtype=_NUMPY_TYPES[kind])
    return from_numpy(packed, kind, valid)


def table_from_lists(schema: pa.Schema, columns: Mapping[str, Sequence[Any]]) -> pa.Table:
    """A table of ``schema`` from one list of Python values per field (numbers, text or
    booleans; None is a null)."""
    arrays = []
    for field in schema:
        values = columns[field.name]
        valid = np.array([v is not None for v in values], dtype=np.bool_)
        if pa.types.is_floating(field.type):
            measured = np.array([np.nan if v is None else v for v in values], dtype=np.float64)
            arrays.append(from_numpy(measured, field.type, valid))
        elif pa.types.is_string(field.type):
            arrays.append(strings(["" if v is None else v for v in values], valid))
        elif pa.types.is_boolean(field.type):
            arrays.append(from_numpy(np.array([bool(v) for v in values]), field.type, valid))
        else:
            arrays.append(numbers(values, field.type))
    return pa.Table.from_arrays(arrays, schema=schema)


def strings(values: Sequence[str], valid: NDArray[np.bool_] | None = None) -> pa.Array:
    """A string array from Python text; ``valid`` false marks a null."""
    encoded = [value.encode("utf-8") for value in values]
    offsets = np.zeros(len(encoded) + 1, np.int32)
    offsets[1:] = np.cumsum([len(e) for e in encoded], dtype=np.int64)
    validity, nulls = _validity(valid)
    return pa.Array.from_buffers(
        pa.string(),
        len(encoded),
        [validity, pa.py_buffer(offsets.tobytes()), pa.py_buffer(b"".join(encoded))],
        null_count=nulls,
    )


def filled(values: NDArray[Any]) -> NDArray[Any]:
    """``values`` with each NaN replaced by the nearest finite value before it (after it, for
    those at the start), so that a gap in a channel neither adds nor loses anything."""
    finite = np.isfinite(values)
    if finite.all() or not finite.any():
        return values if finite.all() else np.zeros_like(values)
    index = np.where(finite, np.arange(len(values)), 0)
    index[: int(np.argmax(finite))] = int(np.argmax(finite))
    np.maximum.accumulate(index, out=index)
    return values[index]
