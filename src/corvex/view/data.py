"""What each view of the viewer shows, computed from a recording.

- :func:`session_view`: the session at a glance (track, car, driver, session types, the laps
  with their validity, sectors and stints, the fastest marked) and the channels to pick from;
- :class:`PlacedLap`: one lap on distance from the line (the simulator's own ``LapDist``, the
  axis of the time slip and of the track model's corners), each sample of any channel, the
  360 Hz ``_ST`` ones included, placed at the distance the car was at when it was taken;
- :func:`comparison`: a lap against a reference: the time slip, the track map with both laps'
  paths, the corners and the corner table;
- :func:`traces`: the picked channels of both laps over a window of distance, thinned to the
  chart's width (:mod:`corvex.view.decimate`).

Values are sent in the units a racer reads (km/h, pedals in %, see
:func:`corvex.units.display_unit`), as JSON-ready headers and float32 arrays for
:mod:`corvex.view.payload`.
"""

from __future__ import annotations

import math
import weakref
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np
import pyarrow as pa

from corvex.analysis import forward_records, lap_distance, track_metres
from corvex.columns import floats
from corvex.formatting import format_lap_time
from corvex.view.decimate import min_max

if TYPE_CHECKING:
    from numpy.typing import NDArray

    from corvex.base import LogFile
    from corvex.corner_analysis import DrivenLap
    from corvex.lap import Lap
    from corvex.track import TrackModel

__all__ = [
    "DEFAULT_CHANNELS",
    "PlacedLap",
    "channel_list",
    "comparison",
    "default_pair",
    "placed_lap",
    "saved_lap",
    "session_view",
    "traces",
]

# The channels drawn until the user picks others (those the recording has).
DEFAULT_CHANNELS = ("Speed", "Throttle", "Brake", "Gear", "SteeringWheelAngle")
# The channel the map is coloured by at first.
DEFAULT_COLOR = "Speed"
# The most points of one lap's path on the map: one every few metres of a long track.
MAP_POINTS = 2000
# Step (m) of the time slip's distance grid.
DELTA_STEP = 1.0
# The widest chart a page may ask traces for (pixels).
MAX_PIXELS = 4000


def _number(value: Any) -> float | None:
    """A finite float, or None (JSON has no NaN)."""
    if value is None:
        return None
    value = float(value)
    return value if math.isfinite(value) else None


# -- the session at a glance -----------------------------------------------------------------


class _Kept:
    """What the views keep of one recording: its views and its placed laps."""

    def __init__(self) -> None:
        self.views: dict[str, dict[str, Any]] = {}
        self.placed: dict[tuple[int, str], PlacedLap] = {}


_KEPT: weakref.WeakKeyDictionary[Any, _Kept] = weakref.WeakKeyDictionary()


def _kept(log: LogFile) -> _Kept:
    found = _KEPT.get(log)
    if found is None:
        found = _KEPT[log] = _Kept()
    return found


def session_view(log: LogFile, name: str) -> dict[str, Any]:
    """The session at a glance, JSON-ready: ``file``, ``track``, ``car``, ``driver``,
    ``sessions`` (their types), ``laps`` (one dict per lap as the listings show them, see
    :func:`corvex.overview.lap_entries`: ``row`` (its first row of the lap table), ``num``,
    ``session``, ``type``, ``status``, ``time`` and ``time_text``, ``valid``, ``sectors``,
    ``fastest``, ``stint``), ``one_record_rows`` (how many rows of one record are not
    listed), ``best_sectors``, ``theoretical_best`` and the default pair. Kept with the
    recording: a copy is returned."""
    kept = _kept(log)
    if name not in kept.views:
        kept.views[name] = _session_view(log, name, log.lap_summary)
    return dict(kept.views[name])


def _session_view(log: LogFile, name: str, summary: Any) -> dict[str, Any]:
    from corvex.formatting import track_text
    from corvex.laps import best_sectors, theoretical_best
    from corvex.overview import lap_entries, one_record_rows, recorded_sessions
    from corvex.session_info import player_entry

    player = player_entry(log.session_info)
    sector_names = [c for c in summary.column_names if c.startswith("sector_")]
    stints = _stint_of_laps(log, summary)
    rows = summary.to_pylist()
    laps = []
    for entry in lap_entries(summary):
        first = rows[entry["rows"][0]]
        whole = len(entry["rows"]) == 1  # a lap a reset split has no sectors and never counts
        laps.append(
            {
                "row": entry["rows"][0],
                "num": entry["num"],
                "session": entry["session"],
                "type": entry["lap_type"],
                "status": entry["status"],
                "time": _number(entry["lap_time"]),
                "time_text": format_lap_time(entry["lap_time"]),
                "valid": whole and bool(first["valid"]),
                "sectors": [_number(first[c]) if whole else None for c in sector_names],
                "fastest": entry["fastest"],
                "stint": stints.get((entry["session"], entry["num"])),
            }
        )
    best_table = best_sectors(summary, log.sector_starts) if sector_names else None
    best = best_table.to_pylist() if best_table is not None else []
    lap_row, ref_row = default_pair(laps)
    return {
        "file": name,
        "track": track_text(log.metadata) or None,
        "car": _text(player.get("CarScreenName")),
        "driver": _text(player.get("UserName")),
        "sessions": [s["type"] for s in recorded_sessions(log) if s["type"]],
        "duration": format_lap_time(log.duration),
        "laps": laps,
        "one_record_rows": len(one_record_rows(summary)),
        "best_sectors": [_number(b["time"]) for b in best],
        "theoretical_best": _number(theoretical_best(best_table))
        if best_table is not None
        else None,
        "lap": lap_row,
        "reference": ref_row,
    }


def _text(value: Any) -> str | None:
    return None if value is None or value == "" else str(value)


def _stint_of_laps(log: LogFile, summary: Any) -> dict[tuple[int, int], int]:
    """(session, lap number) -> stint, where the recording tells its stints."""
    from corvex.stints import stint_table

    try:
        stints = stint_table(log.channels, summary, log.lap_record_ranges()).to_pylist()
    except (KeyError, ValueError):
        return {}
    out = {}
    for stint in stints:
        for num in range(stint["first_lap"], stint["last_lap"] + 1):
            out[(stint["session"], num)] = stint["stint"]
    return out


def default_pair(laps: Sequence[dict[str, Any]]) -> tuple[int | None, int | None]:
    """The rows shown first: the fastest valid lap is the reference, the lap is the latest
    other valid lap (the fastest itself when it is the only one); without valid laps the
    longest full lap, or the first lap, against itself."""
    valid = [lap["row"] for lap in laps if lap["valid"]]
    fastest = next((lap["row"] for lap in laps if lap["fastest"]), None)
    if fastest is not None:
        others = [row for row in valid if row != fastest]
        return (others[-1] if others else fastest), fastest
    full = [lap for lap in laps if lap["type"] == "full" and lap["time"] is not None]
    if full:
        row = max(full, key=lambda lap: lap["time"])["row"]
        return row, row
    return (laps[0]["row"], laps[0]["row"]) if laps else (None, None)


def channel_list(log: LogFile, high_rate: Iterable[str] = ()) -> list[dict[str, Any]]:
    """The channels to pick from: ``name``, ``unit`` and ``desc`` of each channel, then of
    each high-rate ``_ST`` variable named in ``high_rate`` (``rate`` says which)."""
    out = []
    for name, table in log.channels.items():
        meta = table.schema.field(1).metadata or {}
        out.append(
            {
                "name": name,
                "unit": meta.get(b"units", b"").decode("utf-8", "replace"),
                "desc": meta.get(b"desc", b"").decode("utf-8", "replace"),
                "rate": "tick",
            }
        )
    out.extend({"name": n, "unit": "", "desc": "", "rate": "high"} for n in high_rate)
    return out


# -- one lap on distance ------------------------------------------------------------------------


@dataclass
class Channel:
    """One channel of one lap on distance, in the units shown."""

    distance: NDArray[np.float64]
    values: NDArray[np.float64]
    label: str
    stepped: bool


class PlacedLap:
    """One lap on distance from the line: a lap of a recording (a :class:`~corvex.Lap`), or a
    saved lap (a wide table of one lap's records, ``timecodes`` first, as a dataset keeps
    them; see :func:`saved_lap`).

    The lap's records that reach new distance give distance against time; any sample taken
    during the lap is placed by its time between them. Raises ``ValueError`` for a lap with
    no distance channel or fewer than two records that move.
    """

    def __init__(
        self,
        source: Lap | pa.Table,
        units: str = "metric",
        *,
        label: str,
        lap_time: float,
        valid: bool,
        num: int,
        row: int | None = None,
        log: LogFile | None = None,
        track_length: float | None = None,
    ) -> None:
        self.source = source
        self.units = units
        self.label = label
        self.lap_time = float(lap_time)
        self.valid = valid
        self.num = num
        self.row = row
        self.log = log
        names = [n for n in ("LapDist", "LapDistPct") if self.has(n)]
        if not names:
            raise ValueError(
                f"lap {num} has no LapDist or LapDistPct channel: it cannot be drawn on distance"
            )
        table = self.table(names)
        from corvex.track import lap_length

        period = lap_length(table) or track_length
        if "LapDist" in names:
            raw, scale = floats(table.column("LapDist")), 1.0
        else:
            if period is None:
                raise ValueError(
                    f"lap {num} has LapDistPct but the track length is unknown: it cannot "
                    "be drawn on distance"
                )
            raw, scale, period = floats(table.column("LapDistPct")), period, 1.0
        distance = lap_distance(raw, period) * scale
        time = floats(table.column("timecodes"))
        ahead = forward_records(distance)
        if len(ahead) < 2:
            raise ValueError(f"lap {num} does not move: nothing to draw on distance")
        self.time = time[ahead]  # ms of session time
        self.distance = distance[ahead]  # m from the line
        self._channels: dict[str, Channel] = {}
        self._driven: tuple[TrackModel, DrivenLap] | None = None

    @classmethod
    def of_row(cls, log: LogFile, row: int, units: str = "metric") -> PlacedLap:
        """The lap that starts in row ``row`` of the recording's lap table, as the listings
        show it: with the rows after it that a reset split off (see
        :func:`corvex.laps.lap_groups`)."""
        from corvex.formatting import lap_label
        from corvex.lap import Lap
        from corvex.laps import lap_groups

        group = next((g for g in lap_groups(log.laps) if g.first == row), None)
        stop = row + 1 if group is None else group.stop
        lap = Lap(log, row, stop)
        return cls(
            lap,
            units,
            label=lap_label(lap),
            lap_time=lap.lap_time,
            valid=stop == row + 1 and bool(log.lap_summary.column("valid")[row].as_py()),
            num=int(lap.num),
            row=row,
            log=log,
            track_length=track_metres(log.metadata.get("track_length")),
        )

    # -- what the lap holds ---------------------------------------------------------------------

    def has(self, name: str) -> bool:
        if isinstance(self.source, pa.Table):
            return name in self.source.column_names and name != "timecodes"
        return name in self.source.channels

    def table(self, names: Sequence[str]) -> pa.Table:
        """The wide table of ``timecodes`` and the channels ``names``."""
        if isinstance(self.source, pa.Table):
            return self.source.select(["timecodes", *names])
        return self.source.to_table(list(names))

    def _samples(self, name: str) -> pa.Table:
        """``timecodes`` and the values of channel ``name``, or of an ``_ST`` variable at its
        own rate (a lap of a recording only)."""
        if self.has(name):
            return self.table([name])
        if name.endswith("_ST") and not isinstance(self.source, pa.Table):
            try:
                return self.source.high_rate(name)
            except (KeyError, ValueError):
                pass
        raise KeyError(f"lap {self.num} has no channel {name!r}")

    def channel(self, name: str) -> Channel:
        """Channel ``name`` (a channel, or an ``_ST`` variable at its own rate) on distance."""
        found = self._channels.get(name)
        if found is not None:
            return found
        table = self._samples(name)
        field = table.schema.field(1)
        times = floats(table.column(0))
        values = floats(table.column(1))
        inside = (times >= self.time[0]) & (times <= self.time[-1]) & np.isfinite(times)
        distance = np.interp(times[inside], self.time, self.distance)
        values = values[inside]
        meta = field.metadata or {}
        unit = meta.get(b"units", b"").decode("utf-8", "replace")
        from corvex.units import display_unit

        finite = np.abs(values[np.isfinite(values)])
        display = display_unit(unit, self.units, float(finite.max()) if len(finite) else None)
        found = Channel(
            distance,
            np.asarray(display.apply(values), dtype=np.float64),
            display.label(name),
            meta.get(b"interpolate") != b"True",
        )
        self._channels[name] = found
        return found

    def describe(self, file: str) -> dict[str, Any]:
        return {
            "file": file,
            "row": self.row,
            "num": self.num,
            "label": self.label,
            "lap_time": _number(self.lap_time),
            "valid": self.valid,
        }

    def driven(self, track: TrackModel) -> DrivenLap:
        """The lap's records on ``track``'s line, for the corner table (kept)."""
        if self._driven is None or self._driven[0] is not track:
            from corvex.corner_analysis import DrivenLap, lap_table

            self._driven = (track, DrivenLap.of(lap_table(self.source), track))
        return self._driven[1]


def saved_lap(
    table: pa.Table, label: str, lap_time: float, num: int, units: str = "metric"
) -> PlacedLap:
    """A lap kept as a wide table (``timecodes`` and channels, one lap's records in order of
    time), as a dataset written by ``corvex export`` keeps its telemetry."""
    return PlacedLap(table, units, label=label, lap_time=lap_time, valid=True, num=num)


def placed_lap(log: LogFile, row: int, units: str = "metric") -> PlacedLap:
    """The :class:`PlacedLap` of row ``row``, kept with its recording for the next request."""
    if not 0 <= row < log.laps.num_rows:
        raise IndexError(f"no lap in row {row}: the recording has {log.laps.num_rows} laps")
    kept = _kept(log).placed
    found = kept.get((row, units))
    if found is None:
        found = kept[(row, units)] = PlacedLap.of_row(log, row, units)
    return found


# -- a lap against a reference -----------------------------------------------------------------


def traces(
    lap: PlacedLap,
    reference: PlacedLap,
    names: Sequence[str],
    low: float,
    high: float,
    px: int,
) -> tuple[dict[str, Any], dict[str, NDArray[Any]]]:
    """Channels ``names`` of both laps over ``[low, high]`` m, thinned to ``px`` columns.

    The header lists each channel's ``name``, ``label`` (with the unit shown) and whether it
    is ``stepped``; the arrays are ``NAME|lap_x``, ``NAME|lap_y``, ``NAME|ref_x``,
    ``NAME|ref_y`` (a side without the channel sends empty arrays)."""
    px = max(1, min(int(px), MAX_PIXELS))
    header: list[dict[str, Any]] = []
    arrays: dict[str, NDArray[Any]] = {}
    for name in names:
        label, stepped = name, False
        for side, placed in (("lap", lap), ("ref", reference)):
            try:
                channel = placed.channel(name)
            except KeyError:
                arrays[f"{name}|{side}_x"] = arrays[f"{name}|{side}_y"] = np.zeros(0)
                continue
            label, stepped = channel.label, channel.stepped
            keep = min_max(channel.distance, channel.values, low, high, px)
            arrays[f"{name}|{side}_x"] = channel.distance[keep]
            arrays[f"{name}|{side}_y"] = channel.values[keep]
        if not (len(arrays[f"{name}|lap_x"]) or len(arrays[f"{name}|ref_x"])):
            if not lap.has(name) and not reference.has(name):
                raise KeyError(f"no channel {name!r} in either lap")
        header.append({"name": name, "label": label, "stepped": stepped})
    return {"channels": header, "window": [low, high], "px": px}, arrays


def comparison(
    lap: PlacedLap,
    reference: PlacedLap,
    color: str,
    files: tuple[str, str],
) -> tuple[dict[str, Any], dict[str, NDArray[Any]]]:
    """The lap against the reference: header and arrays of the time slip (``delta_x``,
    ``delta_y``), the track (``track_x``, ``track_y``), both laps' paths on it
    (``lap_map_x``, ``lap_map_y``, ``lap_map_d``, ``lap_map_c`` coloured by ``color``;
    ``ref_map_x`` ...), and in the header the corners and the corner table.

    What cannot be had (no positions for a map, laps of different tracks for the slip) is
    left out and said in the header's ``notes``."""
    notes: list[str] = []
    arrays: dict[str, NDArray[Any]] = {}
    header: dict[str, Any] = {
        "lap": lap.describe(files[0]),
        "reference": reference.describe(files[1]),
        "gap": _number(lap.lap_time - reference.lap_time),
        "gap_text": _signed_seconds(lap.lap_time - reference.lap_time),
        "speed_unit": _speed_unit(lap.units),
    }
    from corvex.lap import delta

    try:
        slip = delta(lap.source, reference.source, DELTA_STEP)
        arrays["delta_x"] = floats(slip.column("distance"))
        arrays["delta_y"] = floats(slip.column("delta"))
    except (ValueError, KeyError) as exc:
        notes.append(f"no time slip: {exc}")
        arrays["delta_x"] = arrays["delta_y"] = np.zeros(0)
    extent = [float(lap.distance[0]), float(lap.distance[-1])]
    track = None
    try:
        if lap.log is None:
            raise ValueError("the lap is not of a recording")
        track = lap.log.track
    except ValueError as exc:
        notes.append(f"no track map or corners: {exc}")
    header["length"] = float(track.length) if track is not None else _number(extent[1])
    header["extent"] = [max(extent[0], 0.0), extent[1]]
    header["sectors"] = [float(s) for s in track.sectors] if track is not None else []
    header["corners"] = []
    header["zones"] = []
    header["color"] = None
    if track is not None:
        header["corners"] = [
            {k: c[k] for k in ("corner", "direction", "entry", "apex", "exit")}
            | {"x": float(x), "y": float(y)}
            for c, x, y in zip(track.corners.to_pylist(), *_apex_places(track))
        ]
        arrays["track_x"], arrays["track_y"] = track.x, track.y
        header["color"] = _map_paths(lap, reference, track, color, arrays, notes)
        try:
            header["zones"] = _zones(lap, reference, track)
        except (ValueError, KeyError) as exc:
            notes.append(f"no corner table: {exc}")
    header["notes"] = notes
    return header, arrays


def _speed_unit(units: str) -> str:
    from corvex.units import display_unit

    return display_unit("m/s", units).unit


def _signed_seconds(value: float) -> str:
    return f"{value:+.3f} s"


def _apex_places(track: TrackModel) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """x, y of each corner's number: beside its apex, on the outside of the bend."""
    apex = np.asarray(track.corners.column("apex").to_pylist(), dtype=np.float64)
    if not len(apex):
        return np.zeros(0), np.zeros(0)
    x, y, heading = track.at(apex)
    left = np.array([d == "left" for d in track.corners.column("direction").to_pylist()])
    side = np.where(left, -1.0, 1.0)  # the outside of a left bend lies to the right
    span = max(np.ptp(track.x), np.ptp(track.y))
    away = 0.035 * span
    return x - side * away * np.sin(heading), y + side * away * np.cos(heading)


def _map_paths(
    lap: PlacedLap,
    reference: PlacedLap,
    track: TrackModel,
    color: str,
    arrays: dict[str, NDArray[Any]],
    notes: list[str],
) -> dict[str, Any] | None:
    """Both laps' positions on the track's plane; the lap's coloured by ``color``."""
    from corvex.track import set_positions

    picked = None
    for side, placed in (("lap", lap), ("ref", reference)):
        if not placed.has("Lat") or not placed.has("Lon"):
            notes.append(f"{placed.label} has no positions (Lat/Lon) to place it on the map")
            for key in ("x", "y", "d", "c"):
                arrays[f"{side}_map_{key}"] = np.zeros(0)
            continue
        table = placed.table(["Lat", "Lon"])
        lat, lon = floats(table.column("Lat")), floats(table.column("Lon"))
        time = floats(table.column("timecodes"))
        ok = set_positions(lat, lon) & (time >= placed.time[0]) & (time <= placed.time[-1])
        rows = np.flatnonzero(ok)
        rows = rows[:: max(1, math.ceil(len(rows) / MAP_POINTS))]
        x, y = track.to_plane(lat[rows], lon[rows])
        arrays[f"{side}_map_x"], arrays[f"{side}_map_y"] = x, y
        arrays[f"{side}_map_d"] = np.interp(time[rows], placed.time, placed.distance)
        values = np.zeros(0)
        if side == "lap":
            try:
                channel = placed.channel(color)
            except KeyError:
                channel = None
                notes.append(f"no channel {color!r} to colour the map by")
            if channel is not None:
                values = np.interp(arrays["lap_map_d"], channel.distance, channel.values)
                finite = values[np.isfinite(values)]
                picked = {
                    "name": color,
                    "label": channel.label,
                    "low": _number(finite.min()) if len(finite) else None,
                    "high": _number(finite.max()) if len(finite) else None,
                }
        arrays[f"{side}_map_c"] = values
    return picked


# The corner table's columns sent to the page; speeds in the units shown.
_ZONE_COLUMNS = (
    "name",
    "kind",
    "corner",
    "start",
    "end",
    "time",
    "reference_time",
    "delta",
    "braking_point",
    "reference_braking_point",
    "min_speed",
    "reference_min_speed",
    "exit_speed",
    "reference_exit_speed",
)


def _zones(lap: PlacedLap, reference: PlacedLap, track: TrackModel) -> list[dict[str, Any]]:
    from corvex.corner_analysis import corner_table
    from corvex.units import display_unit

    table = corner_table(lap.driven(track), reference.driven(track), track)
    speed = display_unit("m/s", lap.units)
    rows = []
    for zone in table.select(list(_ZONE_COLUMNS)).to_pylist():
        for key in ("min_speed", "reference_min_speed", "exit_speed", "reference_exit_speed"):
            if zone[key] is not None:
                zone[key] = float(speed.apply(zone[key]))
        rows.append({k: (_number(v) if isinstance(v, float) else v) for k, v in zone.items()})
    return rows
