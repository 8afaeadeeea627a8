"""MoTeC i2 logs: write a session as an ``.ld`` file with its ``.ldx`` lap markers, read them back.

:func:`write_motec` writes every chosen channel of a :class:`~corvex.LogFile`, or of one
:class:`~corvex.Lap`, at the file's tick rate: 32-bit floats stay 32-bit floats, 64-bit floats
become the nearest 32-bit float (the widest float the format is known to hold), Int and BitField
become 32-bit integers (a BitField's bit pattern is kept, so a flag word with the top bit set
reads as a negative number), Char and Bool become 16-bit integers. The scaling fields are set so
that the stored number is the value. The ``.ldx`` beside it holds one beacon per lap start of the
lap table, the lap count and the fastest full lap.

:func:`read_ld` and :func:`read_ldx` read what the writer writes (and the same layout from other
writers), enough to check a file: header texts, channel blocks and data, markers.

The layout is described in docs/motec-ld-format.md, with the public sources it was checked
against; in short: a 1,762-byte header, event, venue and vehicle blocks reached by pointers, a
doubly linked list of 124-byte channel blocks, then each channel's samples back to back.
"""

from __future__ import annotations

import os
import struct
import xml.etree.ElementTree as ET
import zlib
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass, field
from datetime import UTC, datetime
from pathlib import Path
from typing import TYPE_CHECKING, Any

import pyarrow as pa

from corvex.files import replace_together
from corvex.formatting import format_lap_time
from corvex.laps import fastest_row
from corvex.session_info import player_entry
from corvex.version import version

if TYPE_CHECKING:
    import numpy as np

    from corvex.base import LogFile
    from corvex.lap import Lap

__all__ = [
    "NAME_LIMIT",
    "SHORT_NAME_LIMIT",
    "UNIT_LIMIT",
    "LdChannel",
    "LdLog",
    "LdxInfo",
    "ld_names",
    "read_ld",
    "read_ldx",
    "write_motec",
]

# Text fields hold at most size - 1 characters, so a NUL always ends them.
NAME_LIMIT = 31
SHORT_NAME_LIMIT = 7
UNIT_LIMIT = 11

TEXT_ENCODING = "cp1252"

# -- layout --------------------------------------------------------------------------------------

HEADER_SIZE = 0x6E2
EVENT_AT, EVENT_SIZE = 1764, 1154
VENUE_AT, VENUE_SIZE = 2920, 1100
VEHICLE_AT, VEHICLE_SIZE = 4024, 260
CHANNELS_AT = VEHICLE_AT + VEHICLE_SIZE
CHANNEL_SIZE = 124

# (offset, struct code) of each header field; text fields as "<n>s".
_HEADER = {
    "marker": (0x000, "I"),
    "channel_ptr": (0x008, "I"),
    "data_ptr": (0x00C, "I"),
    "event_ptr": (0x024, "I"),
    "unknown": (0x040, "3H"),
    "device_serial": (0x046, "I"),
    "device_type": (0x04A, "8s"),
    "device_version": (0x052, "H"),
    "unknown2": (0x054, "H"),
    "channel_count": (0x056, "I"),
    "date": (0x05E, "16s"),
    "time": (0x07E, "16s"),
    "driver": (0x09E, "64s"),
    "vehicle": (0x0DE, "64s"),
    "venue": (0x15E, "64s"),
    "pro_logging": (0x5DE, "I"),
    "short_comment": (0x624, "64s"),
}
_EVENT = {"event": (0, "64s"), "session": (64, "64s"), "long_comment": (128, "1024s")}
_EVENT_VENUE_PTR = (1152, "H")
_VENUE = {"venue_name": (0, "64s")}
_VENUE_VEHICLE_PTR = (1098, "H")
_VEHICLE = {
    "vehicle_id": (0, "64s"),
    "vehicle_weight": (192, "I"),
    "vehicle_type": (196, "32s"),
    "vehicle_comment": (228, "32s"),
}
# prev, next, data ptr, samples, counter, type class, sample size, rate, shift, mul, scale, dec,
# name, short name, unit; 40 unused bytes follow.
_CHANNEL = struct.Struct("<4I4H4h32s8s12s40x")
assert _CHANNEL.size == CHANNEL_SIZE

FLOAT_CLASS = 0x07
INT_CLASSES = (0x00, 0x03, 0x05)
_INT32_CLASS, _INT16_CLASS = 0x05, 0x03
_COUNTER_BASE = 0x2EE1

# What the writer stores for each Arrow type: (type class, sample size, numpy type).
_STORED: dict[pa.DataType, tuple[int, int, str]] = {
    pa.float32(): (FLOAT_CLASS, 4, "<f4"),
    pa.float64(): (FLOAT_CLASS, 4, "<f4"),
    pa.float16(): (FLOAT_CLASS, 2, "<f2"),
    pa.int32(): (_INT32_CLASS, 4, "<i4"),
    pa.uint32(): (_INT32_CLASS, 4, "<i4"),
    pa.int16(): (_INT16_CLASS, 2, "<i2"),
    pa.uint8(): (_INT16_CLASS, 2, "<i2"),
    pa.int8(): (_INT16_CLASS, 2, "<i2"),
    pa.bool_(): (_INT16_CLASS, 2, "<i2"),
}
_READ_TYPES = {(FLOAT_CLASS, 2): "<f2", (FLOAT_CLASS, 4): "<f4"}
_READ_TYPES.update({(c, 2): "<i2" for c in INT_CLASSES})
_READ_TYPES.update({(c, 4): "<i4" for c in INT_CLASSES})

_LDX_ATTRS = {"Locale": "English_United States.1252", "DefaultLocale": "C", "Version": "1.6"}
_MARKER_ATTRS = {"Version": "100", "ClassName": "BCN", "Flags": "77"}
_BEACON_GROUP_INDEX = "3"
_U32_LIMIT = 2**32


# -- names ---------------------------------------------------------------------------------------


def ld_names(names: Sequence[str]) -> list[str]:
    """The ``.ld`` channel name of each of ``names``: short enough and unique.

    A name that is plain printable ASCII of at most :data:`NAME_LIMIT` characters is kept as it
    is. Any other name is cleaned (other characters become ``_``) and cut to the limit; when that
    text is already taken (compared without regard to case), its end is replaced by ``~`` and
    four hex digits of a checksum of the full name, and then by a counter if even that is taken.
    The result depends only on ``names`` and their order, so the same channels always get the
    same names.
    """
    kept = [_is_plain(name) and len(name) <= NAME_LIMIT for name in names]
    taken: set[str] = set()
    out: list[str | None] = [None] * len(names)
    for i, name in enumerate(names):  # names that fit take precedence, first one wins
        if kept[i] and name.casefold() not in taken:
            out[i] = name
            taken.add(name.casefold())
    for i, name in enumerate(names):
        if out[i] is None:
            short = _shortened(name, taken)
            out[i] = short
            taken.add(short.casefold())
    return [name for name in out if name is not None]


def _is_plain(text: str) -> bool:
    return text.isascii() and text.isprintable()


def _shortened(name: str, taken: set[str]) -> str:
    clean = "".join(c if _is_plain(c) else "_" for c in name)
    candidate = clean[:NAME_LIMIT]
    if candidate.casefold() not in taken:
        return candidate
    tag = f"~{zlib.crc32(name.encode('utf-8', 'surrogatepass')) & 0xFFFF:04x}"
    candidate = clean[: NAME_LIMIT - len(tag)] + tag
    counter = 1
    while candidate.casefold() in taken:
        tag = f"~{counter}"
        candidate = clean[: NAME_LIMIT - len(tag)] + tag
        counter += 1
    return candidate


def _short_name(name: str) -> str:
    return name[:SHORT_NAME_LIMIT]


# -- writing -------------------------------------------------------------------------------------


def write_motec(
    log: LogFile | Lap,
    path: str | os.PathLike[str],
    channels: Iterable[str] | str | None = None,
    lap: int | None = None,
    progress: Callable[[int, int], Any] | None = None,
    *,
    source_path: bool = False,
) -> list[Path]:
    """Write ``log`` as a MoTeC i2 log: ``path`` (the ``.ld``) and the ``.ldx`` beside it.

    ``log`` is a whole recording or one lap of it (``log.lap(n)``). ``channels`` picks and
    orders the channels (default: all, in file order); ``lap`` keeps only the records of that
    lap of a whole recording (as :meth:`LogFile.lap`). ``progress``, when given, is called as
    ``progress(done, total)`` after each channel's data is written. Returns the two paths
    written, the ``.ld`` first. The log's long comment names the file it was exported from by
    its name; ``source_path=True`` writes its whole path instead (which tells whoever gets the
    log where the file lay on this machine).

    Both files are written under unique temporary names beside ``path`` and renamed into place
    when complete, the ``.ld`` first and its ``.ldx`` after it; when a rename fails, the files
    that were there before are put back, so the two are always of one write (two writers of
    one path never mix). A read-only ``.ld`` or ``.ldx`` is refused with ``PermissionError``.
    Raises ``KeyError`` for an unknown channel or lap, ``ValueError`` for a log the format
    cannot hold (a channel type without an ``.ld`` type, a file over 4 GiB) and ``OSError``
    when a file cannot be written.
    numpy must be installed (``pip install 'corvex[motec]'``).
    """
    np = _numpy()
    ld_path = Path(path)
    if ld_path.suffix.lower() == ".ldx":
        raise ValueError(f"{ld_path}: the .ld path must not end in .ldx")
    ldx_path = ld_path.with_suffix(".ldx")
    if lap is not None:
        pick = getattr(log, "lap", None)  # a LogFile's; a Lap is one lap already
        if pick is None:
            raise TypeError(f"{type(log).__name__} is one lap already: it takes no lap=")
        log = pick(lap)
    table = log.to_table(channels)
    fields = table.schema
    names = fields.names[1:]
    count = table.num_rows
    rate = _sample_rate(log)

    stored = []
    for name in names:
        kind = fields.field(name).type
        if kind not in _STORED:
            raise ValueError(f"channel {name!r} has type {kind}, which an .ld file cannot hold")
        stored.append(_STORED[kind])
    data_at = CHANNELS_AT + CHANNEL_SIZE * len(names)
    ends = data_at + count * sum(size for _, size, _ in stored)
    if ends >= _U32_LIMIT:
        raise ValueError(f"{ld_path}: {ends:,} bytes do not fit the 32-bit offsets of an .ld file")

    texts = _session_texts(log, source_path)
    head = bytearray(data_at)
    _pack_blocks(head, texts, len(names), data_at)
    offset = data_at
    for i, (name, ld_name, (kind, size, _)) in enumerate(zip(names, ld_names(names), stored)):
        field_meta = fields.field(name).metadata or {}
        _CHANNEL.pack_into(
            head,
            CHANNELS_AT + CHANNEL_SIZE * i,
            CHANNELS_AT + CHANNEL_SIZE * (i - 1) if i > 0 else 0,
            CHANNELS_AT + CHANNEL_SIZE * (i + 1) if i + 1 < len(names) else 0,
            offset,
            count,
            (_COUNTER_BASE + i) & 0xFFFF,
            kind,
            size,
            rate,
            0,  # shift
            1,  # multiplier
            1,  # scale
            0,  # decimal places
            _encode(ld_name, 32),
            _encode(_short_name(ld_name), 8),
            _encode(field_meta.get(b"units", b"").decode("utf-8", "replace"), 12),
        )
        offset += count * size

    ldx_text = _ldx_document(log, rate)

    def write(temps: list[Path]) -> None:
        ld_partial, ldx_partial = temps
        with open(ld_partial, "wb") as out:
            out.write(head)
            for i, (name, (_, _, dtype)) in enumerate(zip(names, stored)):
                out.write(_samples(np, table.column(name), dtype))
                if progress is not None:
                    progress(i + 1, len(names))
        ldx_partial.write_bytes(ldx_text)

    # The .ld first, then its .ldx; a failing rename puts back what was there before.
    replace_together([ld_path, ldx_path], write)
    return [ld_path, ldx_path]


def _numpy() -> Any:
    try:
        import numpy
    except ImportError as exc:
        raise ImportError("writing MoTeC files needs numpy: pip install 'corvex[motec]'") from exc
    return numpy


def _samples(np: Any, column: pa.ChunkedArray, dtype: str) -> Any:
    """The column's values as a contiguous numpy array of ``dtype`` (no copy when it already is)."""
    chunks = column.chunks
    if len(chunks) == 1:
        values = chunks[0].to_numpy(zero_copy_only=False)
    elif chunks:
        values = np.concatenate([chunk.to_numpy(zero_copy_only=False) for chunk in chunks])
    else:
        values = np.empty(0, dtype)
    if values.dtype == np.uint32 and dtype == "<i4":
        return np.ascontiguousarray(values).view("<i4")  # BitField: the same 32 bits
    with np.errstate(over="ignore"):  # a double beyond float32's range becomes infinity
        return np.ascontiguousarray(values, dtype=dtype)


def _sample_rate(log: LogFile | Lap) -> int:
    """The tick rate of the log, or one estimated from its timecodes when the header has none."""
    rate = log.metadata.get("tick_rate")
    if isinstance(rate, int) and 0 < rate <= 0xFFFF:
        return rate
    time = log.timecodes
    if len(time) > 1:
        import pyarrow.compute as pc

        steps = pc.subtract(time.slice(1), time.slice(0, len(time) - 1))
        positive = pc.filter(steps, pc.greater(steps, 0))
        if len(positive):
            step = float(pc.approximate_median(positive).as_py())
            return max(1, min(0xFFFF, round(1000 / step)))
    return 1


def _encode(text: str, size: int) -> bytes:
    """``text`` for a NUL-padded field of ``size`` bytes, cut so that one NUL always remains."""
    return text.encode(TEXT_ENCODING, "replace")[: size - 1]


def _pack_blocks(head: bytearray, texts: dict[str, Any], channels: int, data_at: int) -> None:
    values = {
        "marker": 0x40,
        "channel_ptr": CHANNELS_AT if channels else 0,
        "data_ptr": data_at,
        "event_ptr": EVENT_AT,
        "unknown": (1, 0x4240, 0x0F),
        "device_serial": 0x1F44,
        "device_type": b"ADL",
        "device_version": 420,
        "unknown2": 0xADB0,
        "channel_count": channels,
        "pro_logging": 0xC81A4,
        **texts,
    }
    for block, at in ((_HEADER, 0), (_EVENT, EVENT_AT), (_VENUE, VENUE_AT), (_VEHICLE, VEHICLE_AT)):
        for name, (offset, code) in block.items():
            value = values[name]
            if isinstance(value, str):
                value = _encode(value, struct.calcsize(code))
            if isinstance(value, tuple):
                struct.pack_into("<" + code, head, at + offset, *value)
            else:
                struct.pack_into("<" + code, head, at + offset, value)
    struct.pack_into("<H", head, EVENT_AT + _EVENT_VENUE_PTR[0], VENUE_AT)
    struct.pack_into("<H", head, VENUE_AT + _VENUE_VEHICLE_PTR[0], VEHICLE_AT)


def _session_texts(log: LogFile | Lap, source_path: bool = False) -> dict[str, Any]:
    """The header, event, venue and vehicle texts of ``log``, from its session info."""
    info = log.session_info
    meta = log.metadata
    weekend = _as_dict(info.get("WeekendInfo"))
    me = player_entry(info)
    venue = str(meta.get("track_display_name") or meta.get("track_name") or "")
    config = weekend.get("TrackConfigName")
    if config and venue:
        venue = f"{venue} - {config}"
    start = meta.get("session_start_date")
    when = (
        datetime.fromtimestamp(start, UTC)
        if isinstance(start, int) and 0 <= start < 253402300800  # before year 10000
        else datetime.fromtimestamp(0, UTC)
    )
    source = str(log.source)
    vehicle = _text(me.get("CarScreenName") or me.get("CarPath"))
    number = _text(me.get("CarNumber"))
    return {
        "date": when.strftime("%d/%m/%Y"),
        "time": when.strftime("%H:%M:%S"),
        "driver": _text(me.get("UserName")),
        "vehicle": vehicle,
        "venue": venue,
        "short_comment": os.path.basename(source) or source,
        "event": _text(weekend.get("EventType")),
        "session": _session_name(log, info),
        "long_comment": f"Exported by corvex {version()} from "
        + (source if source_path else os.path.basename(source) or source),
        "venue_name": venue,
        "vehicle_id": vehicle,
        "vehicle_weight": 0,
        "vehicle_type": _text(me.get("CarClassShortName") or me.get("CarScreenNameShort")),
        "vehicle_comment": f"#{number}" if number else "",
    }


def _as_dict(value: Any) -> dict[str, Any]:
    return value if isinstance(value, dict) else {}


def _text(value: Any) -> str:
    return "" if value is None else str(value)


def _session_name(log: LogFile | Lap, info: dict[str, Any]) -> str:
    """The name of the session the log starts in, found by the SessionNum channel."""
    sessions = _as_dict(info.get("SessionInfo")).get("Sessions")
    if not isinstance(sessions, list) or not sessions:
        return ""
    number = None
    table = log.channels.get("SessionNum")
    if table is not None and table.num_rows:
        number = table.column(1)[0].as_py()
    chosen = next(
        (s for s in sessions if isinstance(s, dict) and s.get("SessionNum") == number),
        sessions[0],
    )
    if not isinstance(chosen, dict):
        return ""
    return _text(chosen.get("SessionName") or chosen.get("SessionType"))


def _lap_start_records(log: LogFile | Lap) -> list[int]:
    """The first record of each row of the lap table, found as :meth:`LogFile.lap` finds it."""
    return [first for first, _ in log.lap_record_ranges()]


def _ldx_document(log: LogFile | Lap, rate: int) -> bytes:
    starts = _lap_start_records(log)
    beacons = sorted({first for first in starts if first > 0})
    root = ET.Element("LDXFile", _LDX_ATTRS)
    layers = ET.SubElement(root, "Layers")
    layer = ET.SubElement(layers, "Layer")
    group = ET.SubElement(
        ET.SubElement(layer, "MarkerBlock"),
        "MarkerGroup",
        {"Name": "Beacons", "Index": _BEACON_GROUP_INDEX},
    )
    for number, record in enumerate(beacons, 1):
        micros = record * 1_000_000 / rate
        attrs = {**_MARKER_ATTRS, "Name": f"Manual.{number}", "Time": f"{micros:.17e}"}
        ET.SubElement(group, "Marker", attrs)
    ET.SubElement(layer, "RangeBlock")
    details = ET.SubElement(layers, "Details")
    ET.SubElement(details, "String", {"Id": "Total Laps", "Value": str(log.laps.num_rows)})
    summary = log.lap_summary
    best = fastest_row(summary)
    if best is not None:
        seconds = summary.column("lap_time")[best].as_py()
        position = 1 + sum(1 for record in beacons if record <= starts[best])
        ET.SubElement(details, "String", {"Id": "Fastest Time", "Value": format_lap_time(seconds)})
        ET.SubElement(details, "String", {"Id": "Fastest Lap", "Value": str(position)})
    ET.indent(root, " ")
    body: bytes = ET.tostring(root, encoding="utf-8")
    return b'<?xml version="1.0"?>\n' + body + b"\n"


# -- reading -------------------------------------------------------------------------------------


@dataclass
class LdChannel:
    """One channel of an ``.ld`` file: its block and its stored samples."""

    name: str
    short_name: str
    unit: str
    rate: int
    type_class: int
    sample_size: int
    shift: int
    multiplier: int
    scale: int
    decimals: int
    data: np.ndarray[Any, Any] = field(repr=False)

    @property
    def values(self) -> np.ndarray[Any, Any]:
        """The samples with the scaling applied; the stored samples when it changes nothing."""
        if (self.shift, self.multiplier, self.scale, self.decimals) == (0, 1, 1, 0):
            return self.data
        scale = self.scale or 1
        result: np.ndarray[Any, Any] = (
            self.data / scale * 10.0 ** (-self.decimals) + self.shift
        ) * self.multiplier
        return result


@dataclass
class LdLog:
    """The header texts and channels of an ``.ld`` file."""

    date: str
    time: str
    driver: str
    vehicle: str
    venue: str
    short_comment: str
    event: str = ""
    session: str = ""
    long_comment: str = ""
    venue_name: str = ""
    vehicle_id: str = ""
    vehicle_weight: int = 0
    vehicle_type: str = ""
    vehicle_comment: str = ""
    channel_count: int = 0
    channels: list[LdChannel] = field(default_factory=list)

    @property
    def start(self) -> datetime | None:
        """Date and time of the header, or None when they do not parse."""
        for form in ("%d/%m/%Y %H:%M:%S", "%d/%m/%Y %H:%M"):
            try:
                return datetime.strptime(f"{self.date} {self.time}", form)
            except ValueError:
                continue
        return None

    def __getitem__(self, name: str) -> LdChannel:
        for channel in self.channels:
            if channel.name == name:
                return channel
        raise KeyError(f"no channel {name!r}")


def read_ld(path: str | os.PathLike[str]) -> LdLog:
    """Read an ``.ld`` file: header, event, venue and vehicle texts, and every channel.

    Every offset and length taken from the file is checked against the file's size before it is
    used, and a loop in the channel list is caught; a file that fails a check raises
    ``ValueError`` naming the file and the numbers. numpy must be installed.
    """
    np = _numpy()
    where = Path(path)
    data = where.read_bytes()

    def need(at: int, size: int, what: str) -> None:
        if at < 0 or at + size > len(data):
            raise ValueError(
                f"{where}: {what} at {at} ({size} bytes) lies outside the file ({len(data)} bytes)"
            )

    need(0, HEADER_SIZE, "header")
    texts = _unpack_block(data, 0, _HEADER)
    event_ptr = texts["event_ptr"]
    if event_ptr:
        need(event_ptr, EVENT_SIZE, "event block")
        texts.update(_unpack_block(data, event_ptr, _EVENT))
        venue_ptr = struct.unpack_from("<H", data, event_ptr + _EVENT_VENUE_PTR[0])[0]
        if venue_ptr:
            need(venue_ptr, VENUE_SIZE, "venue block")
            texts.update(_unpack_block(data, venue_ptr, _VENUE))
            vehicle_ptr = struct.unpack_from("<H", data, venue_ptr + _VENUE_VEHICLE_PTR[0])[0]
            if vehicle_ptr:
                need(vehicle_ptr, VEHICLE_SIZE, "vehicle block")
                texts.update(_unpack_block(data, vehicle_ptr, _VEHICLE))

    channels: list[LdChannel] = []
    seen: set[int] = set()
    at = texts["channel_ptr"]
    while at:
        if at in seen:
            raise ValueError(f"{where}: the channel list loops back to the block at {at}")
        seen.add(at)
        need(at, CHANNEL_SIZE, f"channel block {len(channels)}")
        (_, following, data_ptr, count, _, kind, size, rate, shift, mul, scale, dec, *text) = (
            _CHANNEL.unpack_from(data, at)
        )
        dtype = _READ_TYPES.get((kind, size))
        name = _decode(text[0])
        if dtype is None:
            raise ValueError(f"{where}: channel {name!r} has unknown type ({kind:#x}, {size})")
        need(data_ptr, count * size, f"data of channel {name!r}")
        samples = np.frombuffer(data, dtype=dtype, count=count, offset=data_ptr)
        channels.append(
            LdChannel(
                name,
                _decode(text[1]),
                _decode(text[2]),
                rate,
                kind,
                size,
                shift,
                mul,
                scale,
                dec,
                samples,
            )  # fmt: skip
        )
        at = following

    keep = {name for name in LdLog.__dataclass_fields__ if name != "channels"}
    return LdLog(**{k: v for k, v in texts.items() if k in keep}, channels=channels)


def _unpack_block(data: bytes, at: int, block: dict[str, tuple[int, str]]) -> dict[str, Any]:
    values: dict[str, Any] = {}
    for name, (offset, code) in block.items():
        unpacked = struct.unpack_from("<" + code, data, at + offset)
        value = unpacked[0] if len(unpacked) == 1 else unpacked
        values[name] = _decode(value) if isinstance(value, bytes) else value
    return values


def _decode(raw: bytes) -> str:
    return raw.split(b"\0", 1)[0].decode(TEXT_ENCODING, "replace")


@dataclass
class LdxInfo:
    """What an ``.ldx`` file says about the laps: beacon times and the details strings."""

    beacons_us: list[float]
    details: dict[str, str]

    @property
    def total_laps(self) -> int | None:
        value = self.details.get("Total Laps")
        return int(value) if value not in (None, "") else None


def read_ldx(path: str | os.PathLike[str]) -> LdxInfo:
    """Read the beacon times (microseconds from the first sample) and details of an ``.ldx``.

    Raises ``ValueError`` when the file is not XML or a marker time is not a number.
    """
    where = Path(path)
    try:
        root = ET.fromstring(where.read_bytes())
    except ET.ParseError as exc:
        raise ValueError(f"{where}: not an .ldx file: {exc}") from None
    beacons: list[float] = []
    for group in root.iter("MarkerGroup"):
        if group.get("Name") != "Beacons":
            continue
        for marker in group.iter("Marker"):
            try:
                beacons.append(float(marker.get("Time", "")))
            except ValueError:
                raise ValueError(f"{where}: marker time {marker.get('Time')!r}") from None
    details = {
        item.get("Id", ""): item.get("Value", "")
        for block in root.iter("Details")
        for item in block.iter("String")
    }
    return LdxInfo(beacons, details)
