"""The session at a glance: the facts ``corvex info`` prints, as text, as JSON and as HTML.

:func:`session_facts` gathers them once into plain dicts and lists (JSON as it is); the text of
``corvex info``, ``corvex info --json`` and the notebook views of a :class:`~corvex.LogFile` and
of its :class:`LapReport` are all made from that one dict, so they never disagree.

Array variables (count above 1) and variables of count 0 are not read as channels; the
reading lists them (``LogFile.left_out_variables``) and the facts name them.
"""

from __future__ import annotations

import textwrap
from collections import Counter
from collections.abc import Sequence
from dataclasses import dataclass
from datetime import UTC, datetime
from typing import TYPE_CHECKING, Any

import pyarrow as pa

from corvex.formatting import format_lap_time
from corvex.laps import ONE_RECORD, fastest_row, lap_groups
from corvex.session_info import player_entry, text_or_none

if TYPE_CHECKING:
    from corvex.base import LogFile

__all__ = [
    "LapReport",
    "lap_entries",
    "one_record_rows",
    "recorded_sessions",
    "session_facts",
    "info_text",
    "lap_lines",
    "logfile_html",
]

_ID_KEYS = (
    ("series_id", "Series ID"),
    ("season_id", "Season ID"),
    ("session_id", "Session ID"),
    ("sub_session_id", "Sub-session ID"),
)


# -- facts ------------------------------------------------------------------------------------


def session_facts(log: LogFile) -> dict[str, Any]:
    """What ``corvex info`` shows about ``log``, as JSON-ready dicts, lists, text and numbers.

    Keys: "file"; "track" (dict of "name", "city", "country", "length"); "car" and "driver"
    (the player's, from the session info); "series_id", "season_id", "session_id",
    "sub_session_id" (text, as in the metadata); "started" (ISO 8601, UTC) and
    "session_start_date" (unix seconds); "duration" (s); "records"; "tick_rate" (Hz);
    "channels" ("count" and "by_type"); "left_out" (the variables not read as channels, each
    with "name", "type" and "count", from ``log.left_out_variables``: None when the
    ``LogFile`` was not made by :func:`corvex.open`); "sessions" (the sessions of the session
    info the records belong to, see :func:`recorded_sessions`); "laps" (one dict per lap, see
    :func:`lap_entries`), "one_record_rows" (the rows of one record the listing leaves out,
    each with "row", "num" and "time") and "fastest_lap". A fact the file does not hold is
    None.
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
    laps = lap_entries(summary)
    best = next((n for n, lap in enumerate(laps) if lap["fastest"]), None)
    types = Counter(str(table.schema.field(1).type) for table in log.channels.values())
    stamp = meta.get("session_start_date", 0)
    skipped = log.left_out_variables
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
        "sessions": recorded_sessions(log),
        "laps": laps,
        "one_record_rows": one_record_rows(summary),
        "fastest_lap": None
        if best is None
        else {k: laps[best][k] for k in ("num", "session", "lap_time")},
    }


def lap_entries(summary: pa.Table) -> list[dict[str, Any]]:
    """The laps of a lap summary as the listings show them, one dict per lap of
    :func:`corvex.laps.lap_groups` (rows of one record are no lap of their own, and the rows a
    reset split are one lap), times in seconds, the fastest valid lap marked.

    Keys: "num", "session", "lap_type" (the reader's, of its first row), "status" ("timed"
    when it counts, else why not), "start_time", "end_time", "lap_time", "sim_lap_time" (when
    the file records it), "fastest" and "rows" (its rows of the lap table).
    """
    best = fastest_row(summary)
    rows = summary.to_pylist()
    laps = []
    for group in lap_groups(summary):
        first, last = rows[group.first], rows[group.stop - 1]
        entry = {
            "num": group.num,
            "session": group.session,
            "lap_type": first["lap_type"],
            "status": "reset" if group.split else first["status"],
            "start_time": first["start_time"] / 1000.0,
            "end_time": last["end_time"] / 1000.0,
            "lap_time": (last["end_time"] - first["start_time"]) / 1000.0,
        }
        if "sim_lap_time" in first:
            entry["sim_lap_time"] = None if group.split else first["sim_lap_time"]
        entry["fastest"] = best is not None and group.first <= best < group.stop
        entry["rows"] = list(range(group.first, group.stop))
        laps.append(entry)
    return laps


def one_record_rows(summary: pa.Table) -> list[dict[str, Any]]:
    """The rows of one record, which the lap listings fold into their neighbours."""
    return [
        {"row": row, "num": lap["num"], "time": lap["start_time"] / 1000.0}
        for row, lap in enumerate(summary.select(["num", "start_time", "lap_type"]).to_pylist())
        if lap["lap_type"] == ONE_RECORD
    ]


def recorded_sessions(log: LogFile) -> list[dict[str, Any]]:
    """The sessions of the session info that the recording holds, in the order it holds them:
    one dict each with "num" and "type" (``SessionType``: "Practice", "Qualify", "Race", ...)
    and "name" (``SessionName``).

    The ``SessionNum`` channel says which entries of ``SessionInfo: Sessions`` the records
    belong to; a value held by a single record (the zeroed first record of a file) does not
    count. Without the channel, a session info that lists one session names it; else none.
    """
    info = log.session_info.get("SessionInfo")
    listed = info.get("Sessions") if isinstance(info, dict) else None
    entries = [e for e in listed if isinstance(e, dict)] if isinstance(listed, list) else []
    if not entries:
        return []
    table = log.channels.get("SessionNum")
    if table is None:
        chosen = entries if len(entries) == 1 else []
    else:
        import numpy as np

        from corvex.columns import column_values

        values = np.asarray(column_values(table.column(1)))
        order: dict[int, int] = {}
        if len(values):
            starts = np.flatnonzero(np.diff(values, prepend=values[0] - 1))
            lengths = np.diff(np.append(starts, len(values)))
            for start, length in zip(starts.tolist(), lengths.tolist()):
                if length > 1:
                    order.setdefault(int(values[start]), start)
        by_num = {e.get("SessionNum"): e for e in entries}
        chosen = [by_num[n] for n in order if n in by_num]
    return [
        {
            "num": e.get("SessionNum"),
            "type": text_or_none(e.get("SessionType")),
            "name": text_or_none(e.get("SessionName")),
        }
        for e in chosen
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
    kinds = session_kinds(facts.get("sessions") or [])
    if kinds:
        rows.append(("Session", kinds))
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
    lines.extend(lap_lines(facts["laps"], facts.get("one_record_rows") or []))
    return "\n".join(lines)


def session_kinds(sessions: list[dict[str, Any]]) -> str:
    """ "Practice", or "Practice, Qualify, Race" for a recording of several sessions."""
    return ", ".join(s["type"] or s["name"] or f"session {s['num']}" for s in sessions)


def left_out_text(left_out: list[dict[str, Any]]) -> str:
    """ "2 array variables, not read as channels: CarIdxLap[64], CarIdxRPM[64]" """
    noun = "array variable" if len(left_out) == 1 else "array variables"
    names = ", ".join(f"{v['name']}[{v['count']}]" for v in left_out)
    return f"{len(left_out)} {noun}, not read as channels: {names}"


def lap_lines(laps: list[dict[str, Any]], one_record: Sequence[dict[str, Any]] = ()) -> list[str]:
    """The lap table of ``corvex info``: number, session, the reader's type, the status (why a
    lap does not count), start, lap time(s), fastest; a line on the rows of one record left
    out."""
    lines = _lap_table_lines(laps)
    if one_record:
        noun = "row" if len(one_record) == 1 else "rows"
        at = ", ".join(f"lap {r['num']} at {format_lap_time(r['time'])}" for r in one_record[:4])
        more = ", ..." if len(one_record) > 4 else ""
        lines.append(
            f"  ({len(one_record)} {noun} of one record not listed: {at}{more}; see log.laps)"
        )
    return lines


def _lap_table_lines(laps: list[dict[str, Any]]) -> list[str]:
    if not laps:
        return ["Laps: none"]
    sim = any("sim_lap_time" in lap for lap in laps)
    head = (
        f"  {'lap':>3}  {'session':>7}  {'type':<10}  {'status':<10} {'start':>9}  {'lap time':>9}"
    )
    lines = [f"Laps: {len(laps)}", head + (f"  {'sim time':>9}" if sim else "")]
    for lap in laps:
        line = (
            f"  {lap['num']:>3}  {lap['session']:>7}  {lap['lap_type']:<10}"
            f"  {lap['status']:<10} {format_lap_time(lap['start_time']):>9}"
            f"  {format_lap_time(lap['lap_time']):>9}"
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
    import html

    facts = session_facts(log)
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
        ("Session", session_kinds(facts["sessions"])),
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
    """The laps of :func:`session_facts` as an HTML table; the fastest valid lap in bold."""
    import html

    if not laps:
        return "<p>Laps: none</p>"
    sim = any("sim_lap_time" in lap for lap in laps)
    heads = [
        "lap",
        "session",
        "type",
        "status",
        "start",
        "lap time",
        *(["sim lap time"] if sim else []),
        "",
    ]
    head = "".join(f'<th style="text-align: right; {_CELL}">{h}</th>' for h in heads)
    rows = []
    for lap in laps:
        cells = [
            str(lap["num"]),
            str(lap["session"]),
            lap["lap_type"],
            lap["status"],
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
    """The lap summary of a session with its fastest valid lap, for reading rather than
    computing.

    ``table`` is the :attr:`LogFile.lap_summary` table itself and ``fastest`` the row of the
    fastest valid lap (None when there is none). A report prints like the lap table of
    ``corvex info`` (the laps of :func:`lap_entries`: rows of one record folded into their
    neighbours), shows as an HTML table in notebooks, and hands ``table``, every row, to any
    consumer of the Arrow PyCapsule stream protocol (``polars.DataFrame(report)``).
    """

    table: pa.Table
    fastest: int | None

    @classmethod
    def of(cls, log: LogFile) -> LapReport:
        summary = log.lap_summary
        return cls(summary, fastest_row(summary))

    def _laps(self) -> list[dict[str, Any]]:
        return lap_entries(self.table)

    def __repr__(self) -> str:
        return "\n".join(lap_lines(self._laps(), one_record_rows(self.table)))

    def _repr_html_(self) -> str:
        return laps_html(self._laps())

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object:
        return self.table.__arrow_c_stream__(requested_schema)
