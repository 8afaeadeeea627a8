"""Text for people: lap times, the track line and lines cut to a width.

Shared by the text views of a session (the ``repr`` of a :class:`~corvex.LogFile` and its laps,
``corvex info``, ``corvex laps``, the notebook views), the MoTeC export and the plots, so that
a lap time reads the same everywhere.
"""

from __future__ import annotations

import shutil
from collections.abc import Mapping, Sequence
from typing import Any

__all__ = [
    "channels_line",
    "fit_line",
    "format_lap_time",
    "lap_label",
    "lap_name",
    "repr_block",
    "track_text",
]


def format_lap_time(seconds: float) -> str:
    """``seconds`` as m:ss.mmm (h:mm:ss.mmm from one hour on)."""
    millis = round(seconds * 1000)
    sign = "-" if millis < 0 else ""
    millis = abs(millis)
    hours, rest = divmod(millis, 3_600_000)
    minutes, rest = divmod(rest, 60_000)
    secs, ms = divmod(rest, 1000)
    if hours:
        return f"{sign}{hours}:{minutes:02d}:{secs:02d}.{ms:03d}"
    return f"{sign}{minutes}:{secs:02d}.{ms:03d}"


def lap_name(laps: Any, num: int, session: int) -> str:
    """``"lap 3"``, or ``"lap 3 of session 1"`` when the lap table ``laps`` has laps numbered
    ``num`` in several sessions (as :func:`corvex.laps.lap_groups` lists them)."""
    from corvex.laps import lap_groups

    if len({g.session for g in lap_groups(laps) if g.num == num}) > 1:
        return f"lap {num} of session {session}"
    return f"lap {num}"


def lap_label(lap: Any) -> str:
    """``"lap 3 (1:12.616)"`` for a :class:`~corvex.Lap` (anything with ``num`` and
    ``lap_time``); ``"lap 3 of session 1 (1:12.616)"`` when its recording has laps of that
    number in several sessions."""
    log = getattr(lap, "log", None)
    if log is not None and hasattr(lap, "session"):
        name = lap_name(log.laps, lap.num, lap.session)
    else:
        name = f"lap {lap.num}"
    return f"{name} ({format_lap_time(lap.lap_time)})"


def track_text(meta: Mapping[str, Any]) -> str:
    """``"Veldstrand Ring (Veldstrand, Netherlands), 4.32 km"`` from the reader's metadata."""
    name = meta.get("track_display_name") or meta.get("track_name") or ""
    place = ", ".join(p for p in (meta.get("track_city"), meta.get("track_country")) if p)
    text = name + (f" ({place})" if place else "")
    if meta.get("track_length"):
        text += (", " if text else "") + meta["track_length"]
    return text


def fit_line(line: str, width: int) -> str:
    """``line`` cut to ``width`` characters, with "..." where it was cut."""
    return line if len(line) <= width else line[: width - 3] + "..."


def channels_line(names: Sequence[str]) -> str:
    """``"  channels: 42 (SessionTime, Speed, ...)"``: the count and the first eight names."""
    preview = ", ".join(names[:8]) + (", ..." if len(names) > 8 else "")
    return f"  channels: {len(names)}" + (f" ({preview})" if names else "")


def repr_block(lines: Sequence[str]) -> str:
    """The lines of a ``repr``, each cut to the terminal's width, the last closed with ">"."""
    width = max(shutil.get_terminal_size((80, 24)).columns, 40)
    fitted = [fit_line(line, width) for line in lines[:-1]]
    return "\n".join([*fitted, fit_line(lines[-1], width - 1) + ">"])
