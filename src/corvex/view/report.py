"""``corvex report``: one comparison written as one HTML file that opens anywhere, offline.

The file holds the page of the viewer with everything it needs written into it: BokehJS (from
the Bokeh package), the viewer's script and style, and the data of one lap against one
reference (the session at a glance, the time slip, the map, the corner table and the channels
picked, each trace thinned to what a wide screen shows). It names no address outside itself,
so it opens without a network and can be sent as it is.
"""

from __future__ import annotations

import base64
import os
import tempfile
from collections.abc import Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from corvex.base import LogFile

__all__ = ["REPORT_PIXELS", "report_html", "write_report"]

# The width (pixels) a report's traces are thinned for: a wide screen, zoomed in a little.
REPORT_PIXELS = 2400


def report_html(
    lap: tuple[LogFile, int, str],
    reference: tuple[LogFile, int, str],
    channels: Sequence[str] | None = None,
    color: str = "Speed",
    units: str = "metric",
) -> str:
    """The report of the lap in row ``lap[1]`` of ``lap[0]`` (named ``lap[2]``) against
    ``reference`` (the same three), with ``channels`` (default: the usual ones the recording
    has) and the map coloured by ``color``."""
    from corvex.view.data import (
        DEFAULT_CHANNELS,
        channel_list,
        comparison,
        placed_lap,
        session_view,
        traces,
    )
    from corvex.view.page import bokeh_script, chart_item, map_item, page_html
    from corvex.view.payload import encode

    log, row, name = lap
    ref_log, ref_row, ref_name = reference
    if channels is None:
        channels = [n for n in DEFAULT_CHANNELS if n in log.channels or n in ref_log.channels]
    missing = [n for n in channels if n not in log.channels and n not in ref_log.channels]
    if missing:
        log.to_table(missing)  # raises KeyError naming the close matches
    ours = placed_lap(log, row, units)
    theirs = placed_lap(ref_log, ref_row, units)
    header, arrays = comparison(ours, theirs, color, (name, ref_name))
    low, high = header["extent"]
    trace_header, trace_arrays = traces(ours, theirs, channels, low, high, REPORT_PIXELS)
    shown = [{"name": c["name"], "stepped": c["stepped"]} for c in trace_header["channels"]]
    session = session_view(log, name)
    session["channels"] = channel_list(log)
    session["default_channels"] = list(channels)
    ref_session = None
    if ref_log is not log:
        ref_session = session_view(ref_log, ref_name)
    boot: dict[str, Any] = {
        "mode": "report",
        "file": name,
        "files": [name] + ([ref_name] if ref_name != name else []),
        "lap": {"file": name, "row": row},
        "reference": {"file": ref_name, "row": ref_row},
        "channels": list(channels),
        "color": color,
        "report": {
            "session": session,
            "ref_session": ref_session,
            "layout": {"item": chart_item(shown), "channels": shown},
            "map_layout": map_item(),
            "compare": _base64(encode(header, arrays)),
            "traces": _base64(encode(trace_header, trace_arrays)),
        },
    }
    title = f"corvex report: {ours.label} against {theirs.label}"
    return page_html(title, boot, bokeh=bokeh_script(), inline=True)


def _base64(data: bytes) -> str:
    return base64.b64encode(data).decode("ascii")


def write_report(text: str, path: str | os.PathLike[str]) -> Path:
    """Write the report whole: under a unique temporary name beside ``path``, then renamed."""
    target = Path(path)
    handle, name = tempfile.mkstemp(prefix=f".{target.name}.", suffix=".tmp", dir=target.parent)
    tmp = Path(name)
    try:
        with os.fdopen(handle, "w", encoding="utf-8") as out:
            out.write(text)
        os.replace(tmp, target)
    except BaseException:
        tmp.unlink(missing_ok=True)
        raise
    return target
