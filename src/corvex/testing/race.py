"""Race sessions with pit stops, written with :mod:`corvex.testing.writer`, for tests and benches.

:func:`race_session` drives one car round a 4.32 km track: a steady pace on track, a known fuel
burn per lap, and pit stops at chosen laps where the car stands in its stall, is refuelled at
a steady rate and has its tyres read and, when asked, changed. It writes the channels a
recording of the simulator has for these: ``OnPitRoad``, ``PlayerCarInPitStall`` (which drops
for half a second in the middle of each stall visit, as the simulator's does), ``FuelLevel``,
``Lap``, ``LapCompleted``, ``LapDistPct``, ``Speed``, ``SessionNum``, and per corner the
carcass temperatures, the wear and the pressures, which change only in the stall like the
simulator's (the hot pressure wanders by a hundredth of a kPa all the time). The session info
gives the track, the car's tank and the race's length in laps or time.

Everything is deterministic: the same arguments give the same bytes.
"""

from __future__ import annotations

import math
from collections.abc import Collection, Mapping, Sequence
from dataclasses import dataclass
from typing import Any

from corvex.testing.writer import BOOL, FLOAT, INT, Var, build_ibt, lap_variables

__all__ = ["TRACK_METRES", "Race", "Stop", "Tyre", "race_session", "race_session_info"]

TRACK_METRES = 4320.0
PIT_SPEED = 20.0  # m/s
REFUEL_RATE = 5.0  # litres a second
SERVICE_DELAY = 1.0  # s in the stall before the fuel flows
READ_DELAY = 2.0  # s in the stall before the crew reads the tyres
CHANGE_DELAY = 10.0  # s in the stall before new tyres are on
FLICKER = (5.0, 5.5)  # s into a stall visit during which the stall flag drops
CORNERS = ("LF", "RF", "LR", "RR")


@dataclass(frozen=True)
class Tyre:
    """One corner's held values: carcass temperatures (C) and tread left (fraction) of the
    tyre's left, middle and right, as the channels ``..tempCL/CM/CR`` and ``..wearL/M/R`` store
    them, and the hot pressure (kPa)."""

    temps: tuple[float, float, float]
    wear: tuple[float, float, float]
    pressure: float


NEW_TYRE = Tyre((30.0, 30.0, 30.0), (1.0, 1.0, 1.0), 165.0)
COLD_PRESSURE = {"LF": 165.5, "RF": 165.5, "LR": 144.8, "RR": 144.8}


@dataclass(frozen=True)
class Stop:
    """A pit stop: the car turns into pit road on lap ``lap`` (the ``Lap`` counter's value).

    ``stall_seconds`` 0 is a drive-through: down pit road without stopping. ``tyres`` is what
    the crew reads, per corner (None: the values do not change); ``new_tyres`` fits fresh ones
    after the reading.
    """

    lap: int
    fuel_added: float = 0.0
    tyres: Mapping[str, Tyre] | None = None
    new_tyres: bool = False
    stall_seconds: float = 25.0


@dataclass(frozen=True)
class Race:
    """A written race session and what went into it."""

    data: bytes
    tick_rate: int
    lap_seconds: float | Sequence[float]
    burn_per_lap: float
    fuel_start: float
    stops: Sequence[Stop]
    pit: tuple[float, float, float]
    session_laps: int | None
    session_time: float | None
    start_clock: float
    tank: float


def race_session(
    *,
    laps: float = 12.5,
    lap_seconds: float | Sequence[float] = 60.0,
    tick_rate: int = 10,
    burn_per_lap: float = 2.5,
    fuel_start: float = 40.0,
    stops: Sequence[Stop] = (),
    pit: tuple[float, float, float] = (0.92, 0.03, 0.08),
    start_in_pits: bool = False,
    start_seconds: float = 8.0,
    session_laps: int | None = 30,
    session_time: float | None = None,
    session_num: int = 2,
    start_clock: float = 100.0,
    tank: float = 100.0,
    tyres: Mapping[str, Tyre] | None = None,
    leave_out: Collection[str] = (),
) -> Race:
    """Write a race session; see the module.

    The car drives ``laps`` laps (a fraction ends the recording inside a lap) at
    ``lap_seconds`` a lap on track (a sequence: the pace of laps 1, 2, ..., its last for the laps
    after), burning ``burn_per_lap`` litres a lap in proportion to the
    distance, from ``fuel_start`` litres. ``pit`` gives the lap fractions where pit road starts,
    where the stall is and where pit road ends; a stall at a smaller fraction than the entry
    lies past the line. ``start_in_pits`` starts the car standing in its stall for
    ``start_seconds``. The session info lists a practice (session 0) and the race
    (``session_num``) of ``session_laps`` laps and ``session_time`` seconds (None: unlimited),
    and ``SessionNum`` holds ``session_num``. ``tyres`` are the held values at the start
    (default: new tyres). Channels named in ``leave_out`` are not written.
    """
    entry, stall_at, exit_at = pit
    dt = 1.0 / tick_rate
    paces = [lap_seconds] if isinstance(lap_seconds, (int, float)) else list(lap_seconds)

    def track_speed(position: float) -> float:
        return TRACK_METRES / paces[min(math.floor(position), len(paces) - 1)]

    held = {c: (tyres or {}).get(c, NEW_TYRE) for c in CORNERS}

    def after(position: float, fraction: float) -> float:
        """The first point past ``position`` at the lap fraction ``fraction``."""
        base = math.floor(position)
        point = base + fraction
        return point if point > position else point + 1.0

    plans = []
    for stop in stops:
        pit_in = (stop.lap - 1) + entry
        stall = after(pit_in, stall_at)
        plans.append((stop, pit_in, stall, after(stall, exit_at)))

    start = stall_at if start_in_pits else 0.0
    x = start
    added_total = 0.0
    on_pit_road = start_in_pits
    pit_exit = after(start, exit_at) if start_in_pits else math.inf
    stall_clock: float | None = 0.0 if start_in_pits else None
    stall_length = start_seconds if start_in_pits else 0.0
    current: Stop | None = None
    served = False  # the current stop's stall has been reached
    added_here = 0.0  # fuel added at the current stop
    next_stop = 0
    end = laps
    rows: dict[str, list[Any]] = {name: [] for name in _names()}
    tick = 0
    while x < end:
        in_stall = stall_clock is not None
        flag = in_stall and not (FLICKER[0] <= (stall_clock or 0.0) < FLICKER[1])
        if in_stall:
            speed = 1e-5
        else:
            speed = PIT_SPEED if on_pit_road else track_speed(x)
        _record(rows, tick, start_clock + tick * dt, session_num, x, on_pit_road, flag, speed)
        rows["FuelLevel"].append(fuel_start - burn_per_lap * (x - start) + added_total)
        wander = 0.01 * math.sin(2.0 * math.pi * tick * dt / 7.0)
        for corner in CORNERS:
            tyre = held[corner]
            for letter, temp, wear in zip("LMR", tyre.temps, tyre.wear):
                rows[f"{corner}tempC{letter}"].append(temp)
                rows[f"{corner}wear{letter}"].append(wear)
            rows[f"{corner}pressure"].append(tyre.pressure + wander)
            rows[f"{corner}coldPressure"].append(COLD_PRESSURE[corner])
        tick += 1

        if stall_clock is not None:  # standing in the stall
            before = stall_clock
            stall_clock += dt
            if current is not None:
                flowing = max(0.0, stall_clock - max(before, SERVICE_DELAY))
                step = min(current.fuel_added - added_here, REFUEL_RATE * flowing)
                added_here += step
                added_total += step
                if before < READ_DELAY <= stall_clock and current.tyres is not None:
                    held.update(current.tyres)
                if before < CHANGE_DELAY <= stall_clock and current.new_tyres:
                    held = {c: Tyre(NEW_TYRE.temps, NEW_TYRE.wear, NEW_TYRE.pressure) for c in held}
            if stall_clock >= stall_length:
                stall_clock = None
            continue
        x += speed * dt / TRACK_METRES
        if next_stop < len(plans):
            stop, pit_in, stall, pit_out = plans[next_stop]
            if not on_pit_road and x >= pit_in:
                on_pit_road, current, pit_exit = True, stop, pit_out
                served, added_here = False, 0.0
            if current is stop and not served and x >= stall:
                served = True
                if stop.stall_seconds > 0:
                    x, stall_clock, stall_length = stall, 0.0, stop.stall_seconds
        if on_pit_road and x >= pit_exit:
            on_pit_road, pit_exit = False, math.inf
            if current is not None:
                current, next_stop = None, next_stop + 1

    variables = [v for v in _variables() if v.name not in leave_out]
    columns: dict[str | bytes | int, list[Any]] = {
        v.name: rows[v.name] for v in variables if isinstance(v.name, str)
    }
    info = race_session_info(
        session_laps=session_laps, session_time=session_time, session_num=session_num, tank=tank
    )
    data = build_ibt(
        variables,
        columns,
        session_info=info,
        tick_rate=tick_rate,
        start_time=start_clock,
        end_time=start_clock + (tick - 1) * dt,
    )
    return Race(
        data=data,
        tick_rate=tick_rate,
        lap_seconds=lap_seconds,
        burn_per_lap=burn_per_lap,
        fuel_start=fuel_start,
        stops=list(stops),
        pit=pit,
        session_laps=session_laps,
        session_time=session_time,
        start_clock=start_clock,
        tank=tank,
    )


def _record(
    rows: dict[str, list[Any]],
    tick: int,
    clock: float,
    session_num: int,
    x: float,
    on_pit_road: bool,
    in_stall: bool,
    speed: float,
) -> None:
    fraction = x - math.floor(x)
    rows["SessionTime"].append(clock)
    rows["SessionNum"].append(session_num)
    rows["Lap"].append(math.floor(x) + 1)
    rows["LapCompleted"].append(math.floor(x))
    rows["LapDistPct"].append(fraction)
    rows["LapDist"].append(fraction * TRACK_METRES)
    rows["OnPitRoad"].append(on_pit_road)
    rows["PlayerCarInPitStall"].append(in_stall)
    rows["Speed"].append(speed)


def _variables() -> list[Var]:
    tyre = []
    for corner in CORNERS:
        for letter in "LMR":
            tyre.append(Var(f"{corner}tempC{letter}", FLOAT, unit="C"))
        for letter in "LMR":
            tyre.append(Var(f"{corner}wear{letter}", FLOAT, unit="%"))
        tyre.append(Var(f"{corner}pressure", FLOAT, unit="kPa"))
        tyre.append(Var(f"{corner}coldPressure", FLOAT, unit="kPa"))
    return [
        *lap_variables(),
        Var("SessionNum", INT),
        Var("LapCompleted", INT),
        Var("LapDist", FLOAT, unit="m"),
        Var("PlayerCarInPitStall", BOOL),
        Var("Speed", FLOAT, unit="m/s"),
        Var("FuelLevel", FLOAT, unit="l"),
        *tyre,
    ]


def _names() -> list[str]:
    return [str(v.name) for v in _variables()]


def race_session_info(
    *,
    session_laps: int | None = 30,
    session_time: float | None = None,
    session_num: int = 2,
    tank: float = 100.0,
) -> str:
    """The session info of :func:`race_session`: track, car, a practice and the race."""
    laps_text = "unlimited" if session_laps is None else str(session_laps)
    time_text = "unlimited" if session_time is None else f"{session_time:.4f} sec"
    return "\n".join(
        [
            "---",
            "WeekendInfo:",
            " TrackName: veldstrand gp",
            " TrackLength: 4.32 km",
            " TrackDisplayName: Veldstrand Ring",
            " TrackCity: Zeltweg Nord",
            " TrackCountry: Austria",
            "",
            "SessionInfo:",
            " Sessions:",
            " - SessionNum: 0",
            "   SessionLaps: unlimited",
            "   SessionTime: 5400.0000 sec",
            "   SessionType: Practice",
            "   SessionName: PRACTICE",
            f" - SessionNum: {session_num}",
            f"   SessionLaps: {laps_text}",
            f"   SessionTime: {time_text}",
            "   SessionType: Race",
            "   SessionName: RACE",
            "",
            "DriverInfo:",
            " DriverCarIdx: 0",
            f" DriverCarFuelMaxLtr: {tank:.3f}",
            " DriverCarMaxFuelPct: 1.000",
            " Drivers:",
            " - CarIdx: 0",
            "   UserName: Race Driver",
            "   CarScreenName: GT4 Coupe",
            "",
            "...",
            "",
        ]
    )
