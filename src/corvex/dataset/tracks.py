"""One track model per track layout, shared by the laps of every session on it.

At conversion each session keeps in its folder the positions of the laps its track line is
built from (:data:`TRACK_INPUTS_FILE`, made by :func:`corvex.track.layout_inputs`: its valid
laps, the fastest :data:`MAX_LAPS` of them). At each commit the sessions are grouped by layout
(TrackID and configuration; the track's name too when a recording gives no TrackID, see
:func:`corvex.track.same_layout`) and each layout's model is built from what its sessions kept,
never from the sources, and committed with the rest of the snapshot::

    tracks.parquet                         one row per layout (see TRACKS_SCHEMA)
    tracks/track_403_grand-prix.parquet    its model: corvex.track.TrackModel.load(...)

A session whose laps have no positions keeps nothing and adds nothing.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any

import pyarrow as pa
import pyarrow.parquet as pq

from corvex.track import INPUT_LAP, inputs_facts, inputs_track, layout_inputs, same_layout

if TYPE_CHECKING:
    from corvex.base import LogFile
    from corvex.track import TrackModel

__all__ = [
    "MAX_LAPS",
    "TRACKS_DIR",
    "TRACKS_FILE",
    "TRACKS_SCHEMA",
    "TRACK_INPUTS_FILE",
    "LayoutTracks",
    "layout_tracks",
    "session_track_inputs",
]

TRACK_INPUTS_FILE = "track_laps.parquet"
TRACKS_FILE = "tracks.parquet"
TRACKS_DIR = "tracks"
# A layout's line is the median of its fastest laps: this many are plenty for it, and keep a
# commit's work and memory bounded however many sessions the dataset holds.
MAX_LAPS = 32

TRACKS_SCHEMA = pa.schema(
    [
        ("track_id", pa.int64()),
        ("track_config", pa.string()),
        ("track", pa.string()),  # TrackName, as the sessions table's track
        ("length", pa.float64()),  # m: the distance axis's lap, the simulator's LapDist wrap
        ("line_length", pa.float64()),  # m: the length the line itself measures
        ("corners", pa.int32()),
        ("laps", pa.int32()),  # the laps the line was built from
        ("sessions", pa.list_(pa.string())),  # the session keys of the layout
        ("model", pa.string()),  # the model's file, relative to the dataset directory
    ]
)


def session_track_inputs(log: LogFile) -> pa.Table | None:
    """What one session keeps for its layout's model (see the module), or None when its laps
    have no positions."""
    inputs = layout_inputs(log, MAX_LAPS)
    return inputs if inputs.num_rows else None


@dataclass
class LayoutTracks:
    """The layouts of a commit: the tracks table, each model by its path in the snapshot, and
    notes on the layouts that have none."""

    table: pa.Table
    models: dict[str, TrackModel] = field(default_factory=dict)
    notes: list[str] = field(default_factory=list)


@dataclass
class _Kept:
    key: str
    path: Path
    facts: dict[str, Any]


def layout_tracks(sessions: Sequence[tuple[str, Path]]) -> LayoutTracks:
    """The model of each layout of the sessions ``(key, folder)``, from what their folders
    keep (:data:`TRACK_INPUTS_FILE`): the fastest :data:`MAX_LAPS` laps of the layout."""
    groups: dict[tuple[Any, ...], list[_Kept]] = {}
    for key, folder in sessions:
        path = folder / TRACK_INPUTS_FILE
        if not path.is_file():
            continue
        try:
            facts = inputs_facts(pq.read_schema(path))
        except (OSError, ValueError, pa.ArrowException):
            continue  # a damaged folder is read again from its source by the next run
        groups.setdefault(same_layout(facts["layout"]), []).append(_Kept(key, path, facts))
    rows: list[dict[str, Any]] = []
    found = LayoutTracks(TRACKS_SCHEMA.empty_table())
    for members in sorted(groups.values(), key=lambda m: str(m[0].facts["layout"])):
        track_id, config, name = members[0].facts["layout"]
        shown = " ".join(str(p) for p in (name or track_id or "unnamed track", config) if p)
        try:
            model = inputs_track(_fastest_laps(members), MAX_LAPS)
        except (OSError, ValueError, pa.ArrowException) as exc:
            found.notes.append(f"no track model of {shown}: {exc}")
            continue
        where = _unique(f"{TRACKS_DIR}/{model.file_name()}", found.models)
        found.models[where] = model
        rows.append(
            {
                "track_id": track_id,
                "track_config": config,
                "track": name,
                "length": model.length,
                "line_length": model.line_length,
                "corners": model.corners.num_rows,
                "laps": model.laps,
                "sessions": sorted(m.key for m in members),
                "model": where,
            }
        )
    found.table = pa.Table.from_pylist(rows, schema=TRACKS_SCHEMA)
    return found


def _fastest_laps(members: list[_Kept]) -> list[pa.Table]:
    """Each member's kept laps among the layout's fastest MAX_LAPS, read alone."""
    laps = [
        (seconds, n, number)
        for n, member in enumerate(members)
        for number, seconds in enumerate(member.facts["lap_times"])
        if seconds is not None
    ]
    chosen: dict[int, list[int]] = {}
    for _, n, number in sorted(laps)[:MAX_LAPS]:
        chosen.setdefault(n, []).append(number)
    return [
        pq.read_table(members[n].path, filters=[(INPUT_LAP, "in", sorted(numbers))])
        for n, numbers in sorted(chosen.items())
    ]


def _unique(path: str, taken: dict[str, Any]) -> str:
    """``path``, or with ``-2``, ``-3``... before its suffix when another layout has it."""
    stem, dot, suffix = path.rpartition(".")
    count = 1
    while path in taken:
        count += 1
        path = f"{stem}-{count}{dot}{suffix}"
    return path
