"""The binary payload the page reads its arrays from.

One response holds a JSON header and float32 arrays: four bytes (little-endian unsigned) giving
the header's length, the header in UTF-8 padded with spaces to a multiple of four bytes, then
the arrays one after another. The header's ``"arrays"`` lists each as ``[name, offset,
length]``, the offset counted in bytes from the end of the header. The browser reads each as a
``Float32Array`` over the response's buffer, without parsing or copying a number: a lap of five
channels against a reference is a few tens of kilobytes instead of the megabyte of JSON text.
"""

from __future__ import annotations

import json
import struct
from collections.abc import Mapping
from typing import Any

import numpy as np

__all__ = ["decode", "encode"]


def encode(header: Mapping[str, Any], arrays: Mapping[str, Any]) -> bytes:
    """The payload of ``header`` (JSON-ready) and ``arrays`` (name -> numbers, sent as
    float32; NaN stays NaN)."""
    parts: list[bytes] = []
    table: list[list[Any]] = []
    offset = 0
    for name, values in arrays.items():
        data = np.ascontiguousarray(values, dtype="<f4").tobytes()
        table.append([name, offset, len(data) // 4])
        parts.append(data)
        offset += len(data)
    text = json.dumps({**header, "arrays": table}, separators=(",", ":"), allow_nan=False)
    raw = text.encode("utf-8")
    raw += b" " * (-len(raw) % 4)
    return struct.pack("<I", len(raw)) + raw + b"".join(parts)


def decode(data: bytes) -> tuple[dict[str, Any], dict[str, np.ndarray[Any, Any]]]:
    """The header and the arrays of a payload (what the page does, for tests and tools)."""
    if len(data) < 4:
        raise ValueError("a payload starts with its header's length: too short")
    (size,) = struct.unpack_from("<I", data)
    if size > len(data) - 4:
        raise ValueError(f"the header claims {size} bytes; the payload has {len(data) - 4}")
    header = json.loads(data[4 : 4 + size])
    body = memoryview(data)[4 + size :]
    arrays = {}
    for name, offset, length in header.pop("arrays"):
        if offset < 0 or length < 0 or offset + 4 * length > len(body):
            raise ValueError(f"array {name!r} lies outside the payload")
        arrays[name] = np.frombuffer(body, dtype="<f4", count=length, offset=offset)
    return header, arrays
