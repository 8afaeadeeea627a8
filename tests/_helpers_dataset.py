"""Small sessions from the project's writer for the dataset and Dask tests.

Each session is recorded at 8 Hz, so that every SessionTime (a multiple of 0.125 s) and every
lap time is exact in binary and in milliseconds. The first lap starts on pit road (an out-lap),
the last one ends on it (an in-lap); the laps between run LapDistPct from 0 to nearly 1, so
they are full laps (first fraction 0, last 1) whose time is their record count / 8.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from pathlib import Path

from corvex.testing import BOOL, DOUBLE, FLOAT, INT, Var, build_ibt, layout

TICK_RATE = 8


@dataclass
class Plan:
    """What one writer-made session holds; the tests compare the dataset against it."""

    name: str
    track: str
    car: str
    driver: str
    laps: list[int]  # records per lap; the first is the out-lap, the last the in-lap
    sub_session_id: int
    start_date: int = 1_717_245_600
    types: dict[str, int] = field(default_factory=dict)  # channel -> writer type code
    extra: dict[str, int] = field(default_factory=dict)  # more channels -> type code

    @property
    def records(self) -> int:
        return sum(self.laps)

    def channel_types(self) -> dict[str, int]:
        base = {
            "SessionTime": DOUBLE,
            "Lap": INT,
            "LapDistPct": FLOAT,
            "OnPitRoad": BOOL,
            "Speed": FLOAT,
            "Gear": INT,
        }
        base.update(self.types)
        base.update(self.extra)
        return base

    def full_lap_times(self) -> dict[int, float]:
        """Lap number -> lap time in seconds of every full lap."""
        return {
            num: n / TICK_RATE for num, n in enumerate(self.laps) if 0 < num < len(self.laps) - 1
        }

    def columns(self) -> dict[str, list[object]]:
        lap, pct, pit = [], [], []
        for num, count in enumerate(self.laps):
            for i in range(count):
                lap.append(num)
                pct.append(i / max(count - 1, 1))
                pit.append(int((num == 0 and i < count // 2) or
                               (num == len(self.laps) - 1 and i >= count // 2)))  # fmt: skip
        n = len(lap)
        cols: dict[str, list[object]] = {
            "SessionTime": [i / TICK_RATE for i in range(n)],
            "Lap": lap,
            "LapDistPct": pct,
            "OnPitRoad": pit,
        }
        # A steady speed that covers the 3.5 km track in each lap's time, so that full laps are
        # laps a racer would count (in 1/64 m/s, which single precision holds exactly).
        cols["Speed"] = [round(3500.0 * TICK_RATE / self.laps[num] * 64) / 64 for num in lap]
        for name, kind in self.channel_types().items():
            if name in cols:
                continue
            if kind == BOOL:
                cols[name] = [i % 3 == 0 for i in range(n)]
            elif kind == INT:
                cols[name] = [1 + i % 6 for i in range(n)]
            else:
                cols[name] = [float(10 + (i * 7) % 50) for i in range(n)]
        return cols

    def session_info(self) -> str:
        return (
            "---\nWeekendInfo:\n"
            f" TrackName: {self.track}\n TrackDisplayName: {self.track.title()}\n"
            " TrackLength: 3.50 km\n SeriesID: 42\n SeasonID: 7\n SessionID: 1001\n"
            f" SubSessionID: {self.sub_session_id}\n"
            "DriverInfo:\n DriverCarIdx: 1\n Drivers:\n"
            " - CarIdx: 0\n   UserName: Pace Car\n   CarScreenName: Safety Car\n"
            f" - CarIdx: 1\n   UserName: {self.driver}\n   CarScreenName: {self.car}\n"
            "...\n"
        )

    def build(self) -> bytes:
        variables = [
            Var(name, kind, unit="m/s" if name == "Speed" else "", desc=f"{name} of the car")
            for name, kind in self.channel_types().items()
        ]
        cols = self.columns()
        return build_ibt(
            variables,
            cols,
            session_info=self.session_info(),
            tick_rate=TICK_RATE,
            lap_count=len(self.laps),
            session_start_date=self.start_date,
            start_time=0.0,
            end_time=(self.records - 1) / TICK_RATE,
        )


PLANS = [
    Plan("a1", "alpha ring", "GT4 Coupe", "Ann Aalto", [12, 40, 37, 42, 10], 501,
         extra={"Flag": FLOAT}),
    Plan("a2", "alpha ring", "LMP Proto", "Bob Berg", [9, 33, 35, 8], 502,
         extra={"BrakeTemp": FLOAT}),
    Plan("b1", "beta park", "GT4 Coupe", "Ann Aalto", [10, 50, 44, 11], 503,
         types={"Gear": FLOAT}),
    Plan("b2", "beta park", "LMP Proto", "Cid Costa/Jr", [11, 45, 46, 47, 12], 504,
         extra={"Flag": BOOL}),
]  # fmt: skip


def snapshot_bytes(good: bytes) -> bytes:
    """A writer-made file dressed as a live memory snapshot: three buffers in use, no record
    count in the disk sub-header."""
    data = bytearray(good)
    layout.patch_field(data, "num_buf", 3)
    buf_len = layout.read_field(data, "buf_len")
    first = layout.read_field(data, "buf_offset")
    for i in range(3):
        layout.patch_buffer_descriptor(data, i, 1000 + i, first + i * buf_len)
    layout.patch_field(data, "session_record_count", 0x5A5A5A5A)
    return bytes(data)


def write_archive(folder: Path) -> dict[str, Path]:
    """The good sessions (nested one level), and the bad ones; name -> path."""
    paths: dict[str, Path] = {}
    for plan in PLANS:
        path = folder / plan.track.replace(" ", "_") / f"{plan.name}.IBT"
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(plan.build())
        paths[plan.name] = path
    good = PLANS[0].build()
    bad = folder / "bad"
    bad.mkdir()
    paths["truncated"] = bad / "truncated.ibt"
    paths["truncated"].write_bytes(good[: len(good) - 100])
    paths["notes"] = bad / "notes.ibt"
    paths["notes"].write_text("lap times, written by hand\n" * 10)
    paths["snapshot"] = bad / "snapshot.ibt"
    paths["snapshot"].write_bytes(snapshot_bytes(good))
    return paths
