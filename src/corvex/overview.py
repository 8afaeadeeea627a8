"""The session at a glance: the facts ``corvex info`` prints, as text, as JSON and as HTML.

:func:`session_facts` gathers them once into plain dicts and lists (JSON as it is); the text of
``corvex info``, ``corvex info --json`` and the notebook views of a :class:`~corvex.LogFile` and
of its :class:`LapReport` are all made from that one dict, so they never disagree.

Array variables (count above 1) and variables of count 0 are not read as channels. The
variable headers still name them, and :func:`left_out_variables` asks the reader for those
headers to say which they are.
"""

from __future__ import annotations

import html
import os
import textwrap
from collections import Counter
from dataclasses import dataclass
from datetime import UTC, datetime
from typing import TYPE_CHECKING, Any

import pyarrow as pa

from corvex.formatting import format_lap_time
from corvex.laps import fastest_row
from corvex.session_info import player_entry, text_or_none

if TYPE_CHECKING:
    from corvex.base import LogFile

__all__ = [
    "LapReport",
    "session_facts",
    "left_out_variables",
    "info_text",
    "lap_lines",
    "logfile_html",
    "LeftOutVariable",
]

_ID_KEYS = (
    ("series_id", "Series ID"),
    ("season_id", "Season ID"),
    ("session_id", "Session ID"),
    ("sub_session_id", "Sub-session ID"),
)


# -- facts ------------------------------------------------------------------------------------


def session_facts(log: LogFile, *, left_out: bool = True) -> dict[str, Any]:
    """What ``corvex info`` shows about ``log``, as JSON-ready dicts, lists, text and numbers.

    Keys: "file"; "track" (dict of "name", "city", "country", "length"); "car" and "driver"
    (the player's, from the session info); "series_id", "season_id", "session_id",
    "sub_session_id" (text, as in the metadata); "started" (ISO 8601, UTC) and
    "session_start_date" (unix seconds); "duration" (s); "records"; "tick_rate" (Hz);
    "channels" ("count" and "by_type"); "left_out" (the variables not read as channels, each
    with "name", "type" and "count"; None when the source is not a file that can be read again,
    or when ``left_out`` is false); "laps" (one dict per lap, times in seconds, the fastest
    full lap marked) and "fastest_lap". A fact the file does not hold is None.
    """
    meta = dict(log.metadata)
    text = log.session_info_text
    if text != meta.get("session_info_yaml"):
        # The reader's weekend fields come from its UTF-8 reading of the text; take them from
        # the text decoded the right way instead (Windows-1252 names), by the same rule.
        from corvex.session_info import weekend_fields

        meta.update(weekend_fields(text))
    player = player_entry(log.session_info)
    summary = log.lap_summary
    best = fastest_row(summary)
    laps = []
    for row, lap in enumerate(summary.to_pylist()):
        entry = {
            "num": lap["num"],
            "session": lap["session"],
            "lap_type": lap["lap_type"],
            "start_time": lap["start_time"] / 1000.0,
            "end_time": lap["end_time"] / 1000.0,
            "lap_time": lap["lap_time"],
        }
        if "sim_lap_time" in lap:
            entry["sim_lap_time"] = lap["sim_lap_time"]
        entry["fastest"] = row == best
        laps.append(entry)
    types = Counter(str(table.schema.field(1).type) for table in log.channels.values())
    stamp = meta.get("session_start_date", 0)
    skipped = left_out_variables(log.source) if left_out else None
    return {
        "file": log.source,
        "track": {
            "name": meta.get("track_display_name") or meta.get("track_name"),
            "city": meta.get("track_city"),
            "country": meta.get("track_country"),
            "length": meta.get("track_length"),
        },
        "car": text_or_none(player.get("CarScreenName")),
        "driver": text_or_none(player.get("UserName")),
        "team": text_or_none(player.get("TeamName")),
        **{key: meta.get(key) for key, _ in _ID_KEYS},
        "started": _iso_date(stamp),
        "session_start_date": stamp,
        "duration": log.duration,
        "records": log.record_count,
        "tick_rate": meta.get("tick_rate"),
        "channels": {"count": len(log.channels), "by_type": dict(types.most_common())},
        "left_out": None
        if skipped is None
        else [{"name": v.name, "type": v.type, "count": v.count} for v in skipped],
        "laps": laps,
        "fastest_lap": None
        if best is None
        else {k: laps[best][k] for k in ("num", "session", "lap_time")},
    }


@dataclass(frozen=True)
class LeftOutVariable:
    """A variable the reader does not turn into a channel, as its header describes it."""

    name: str
    type: str  # the Arrow type of one element, as a channel of it would have: "float", ...
    count: int
    desc: str
    unit: str


def left_out_variables(source: str | os.PathLike[str]) -> list[LeftOutVariable] | None:
    """The variable headers of the file at ``source`` whose count is not 1, in file order.

    These are the array variables (and any of count 0), which the reader does not turn into
    channels. The reader reads only the headers, not the records. None when ``source`` is no
    regular file, cannot be read, or the reader refuses its headers.
    """
    from corvex import _corvex_rs

    path = os.fspath(source)
    if not isinstance(path, str):
        return None
    try:
        found = _corvex_rs.probe(path, salvage=True)
    except (OSError, RuntimeError, TypeError):
        return None
    return [
        LeftOutVariable(v["name"], str(v["arrow_type"]), v["count"], v["desc"], v["unit"])
        for v in found["variables"]
        if v["count"] != 1
    ]


def _iso_date(stamp: int) -> str | None:
    if not stamp:
        return None
    try:
        return datetime.fromtimestamp(stamp, tz=UTC).isoformat()
    except (OverflowError, OSError, ValueError):
        return None


# -- text -------------------------------------------------------------------------------------


# Control characters (C0, DEL, C1) as escapes, so that a name cannot move the cursor or send a
# terminal a command; a line break in a name shows as \n.
_CONTROLS = {code: f"\\x{code:02x}" for code in (*range(0x20), *range(0x7F, 0xA0))} | {
    0x09: "\\t",
    0x0A: "\\n",
    0x0D: "\\r",
}


def _shown(text: str) -> str:
    return text.translate(_CONTROLS)


def info_text(facts: dict[str, Any], width: int = 100) -> str:
    """The text of ``corvex info`` made from :func:`session_facts`."""
    rows: list[tuple[str, str]] = [("File", facts["file"])]
    track = facts["track"]
    place = ", ".join(p for p in (track["city"], track["country"]) if p)
    if track["name"] or place:
        rows.append(("Track", (track["name"] or "") + (f" ({place})" if place else "")))
    if track["length"]:
        rows.append(("Track length", track["length"]))
    if facts["car"]:
        rows.append(("Car", facts["car"]))
    if facts["driver"]:
        rows.append(("Driver", facts["driver"]))
    if facts.get("team") and facts["team"] != facts["driver"]:
        rows.append(("Team", facts["team"]))
    rows.extend((label, facts[key]) for key, label in _ID_KEYS if facts[key])
    rows.append(("Started", _start_text(facts["session_start_date"])))
    rows.append(("Duration", format_lap_time(facts["duration"])))
    rows.append(("Records", str(facts["records"])))
    rate = facts["tick_rate"]
    rows.append(("Tick rate", f"{'?' if rate is None else rate} Hz"))
    channels = facts["channels"]
    detail = ", ".join(f"{count} {name}" for name, count in channels["by_type"].items())
    rows.append(("Channels", f"{channels['count']}" + (f" ({detail})" if detail else "")))
    if facts["left_out"]:
        rows.append(("Left out", left_out_text(facts["left_out"])))
    label_width = max(len(label) for label, _ in rows) + 2
    lines = []
    for label, value in rows:
        if label == "Left out":
            lines.extend(
                textwrap.wrap(
                    value,
                    width=max(width, label_width + 20),
                    initial_indent=f"{label:<{label_width}}",
                    subsequent_indent=" " * label_width,
                    break_on_hyphens=False,
                )
            )
        else:
            lines.append(f"{label:<{label_width}}{_shown(value)}")
    lines.append("")
    lines.extend(lap_lines(facts["laps"]))
    return "\n".join(lines)


def left_out_text(left_out: list[dict[str, Any]]) -> str:
    """ "2 array variables, not read as channels: CarIdxLap[64], CarIdxRPM[64]" """
    noun = "array variable" if len(left_out) == 1 else "array variables"
    names = ", ".join(f"{v['name']}[{v['count']}]" for v in left_out)
    return f"{len(left_out)} {noun}, not read as channels: {names}"


def lap_lines(laps: list[dict[str, Any]]) -> list[str]:
    """The lap table of ``corvex info``: number, session, type, start, lap time(s), fastest."""
    if not laps:
        return ["Laps: none"]
    sim = any("sim_lap_time" in lap for lap in laps)
    lines = [
        f"Laps: {len(laps)}",
        "  lap  session  type         start    lap time" + ("   sim time" if sim else ""),
    ]
    for lap in laps:
        line = (
            f"  {lap['num']:>3}  {lap['session']:>7}  {lap['lap_type']:<10}"
            f" {format_lap_time(lap['start_time']):>9}  {format_lap_time(lap['lap_time']):>9}"
        )
        if sim:
            line += f"  {_optional_time(lap.get('sim_lap_time')):>9}"
        lines.append(line + ("  fastest" if lap["fastest"] else ""))
    return lines


def _optional_time(seconds: float | None) -> str:
    return "-" if seconds is None else format_lap_time(seconds)


def _start_text(stamp: int) -> str:
    if not stamp:
        return "not recorded"
    try:
        return datetime.fromtimestamp(stamp, tz=UTC).strftime("%Y-%m-%d %H:%M:%S UTC")
    except (OverflowError, OSError, ValueError):
        return f"invalid ({stamp})"


# -- HTML -------------------------------------------------------------------------------------

_TABLE = '<table style="border-collapse: collapse">'
_CELL = "padding: 1px 8px"


def logfile_html(log: LogFile) -> str:
    """A notebook view of ``log``: track, car, driver, duration, and the laps."""
    facts = session_facts(log, left_out=False)
    track = facts["track"]
    place = ", ".join(p for p in (track["city"], track["country"]) if p)
    track_text = (track["name"] or "") + (f" ({place})" if place else "")
    if track["length"]:
        track_text += (", " if track_text else "") + track["length"]
    rate = facts["tick_rate"]
    rows = [
        ("Track", track_text),
        ("Car", facts["car"]),
        ("Driver", facts["driver"]),
        ("Started", _start_text(facts["session_start_date"])),
        (
            "Duration",
            f"{format_lap_time(facts['duration'])} ({facts['records']} records"
            + (f" at {rate} Hz)" if rate else ")"),
        ),
        ("Channels", str(facts["channels"]["count"])),
    ]
    body = "".join(
        f'<tr><th style="text-align: left; {_CELL}">{label}</th>'
        f'<td style="text-align: left; {_CELL}">{html.escape(value)}</td></tr>'
        for label, value in rows
        if value
    )
    return (
        f"<div><p><strong>corvex.LogFile</strong> <code>{html.escape(log.source)}</code></p>"
        f"{_TABLE}{body}</table>{laps_html(facts['laps'])}</div>"
    )


def laps_html(laps: list[dict[str, Any]]) -> str:
    """The laps of :func:`session_facts` as an HTML table; the fastest full lap in bold."""
    if not laps:
        return "<p>Laps: none</p>"
    sim = any("sim_lap_time" in lap for lap in laps)
    heads = ["lap", "session", "type", "start", "lap time", *(["sim lap time"] if sim else []), ""]
    head = "".join(f'<th style="text-align: right; {_CELL}">{h}</th>' for h in heads)
    rows = []
    for lap in laps:
        cells = [
            str(lap["num"]),
            str(lap["session"]),
            lap["lap_type"],
            format_lap_time(lap["start_time"]),
            format_lap_time(lap["lap_time"]),
            *([_optional_time(lap.get("sim_lap_time"))] if sim else []),
            "fastest" if lap["fastest"] else "",
        ]
        weight = "font-weight: bold; " if lap["fastest"] else ""
        rows.append(
            "<tr>"
            + "".join(
                f'<td style="text-align: right; {weight}{_CELL}">{html.escape(c)}</td>'
                for c in cells
            )
            + "</tr>"
        )
    return f"{_TABLE}<tr>{head}</tr>{''.join(rows)}</table>"


# -- the lap report ---------------------------------------------------------------------------


@dataclass(frozen=True)
class LapReport:
    """The lap summary of a session with its fastest full lap, for reading rather than computing.

    ``table`` is the :attr:`LogFile.lap_summary` table itself and ``fastest`` the row of the
    fastest "full" lap (None when there is none). A report prints like the lap table of
    ``corvex info``, shows as an HTML table in notebooks, and hands ``table`` to any consumer of
    the Arrow PyCapsule stream protocol (``polars.DataFrame(report)``).
    """

    table: pa.Table
    fastest: int | None

    @classmethod
    def of(cls, log: LogFile) -> LapReport:
        summary = log.lap_summary
        return cls(summary, fastest_row(summary))

    def _laps(self) -> list[dict[str, Any]]:
        laps = []
        for row, lap in enumerate(self.table.to_pylist()):
            lap["start_time"] /= 1000.0
            lap["fastest"] = row == self.fastest
            laps.append(lap)
        return laps

    def __repr__(self) -> str:
        return "\n".join(lap_lines(self._laps()))

    def _repr_html_(self) -> str:
        return laps_html(self._laps())

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object:
        return self.table.__arrow_c_stream__(requested_schema)
