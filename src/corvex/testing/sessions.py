"""Synthetic sessions for the demo, the tests and the benchmarks.

:func:`sample_session` drives a made-up but plausible session through
:mod:`corvex.testing.writer`; :func:`race_session_info` writes a race-size session info text
with the tree it encodes. Both are deterministic.
"""

from __future__ import annotations

import functools
import math
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any

from corvex.testing.writer import BITFIELD, BOOL, CHAR, DOUBLE, FLOAT, INT, Var, build_ibt

if TYPE_CHECKING:
    from corvex.testing.tracks import TrackShape

__all__ = ["Quoted", "race_session_info", "sample_session", "sample_variables", "write_sample"]


# ----------------------------------------------------------------------------------------------
# A made-up but plausible session: one driver, an out-lap from the pit box, three flying laps and
# an in-lap back onto pit road, on a circuit of 4,115 m with eight corners, recorded at
# 60 Hz. The circuit is laid out by :func:`corvex.testing.tracks.make_track`, so its shape, its
# curvature and the speed the car carries through each corner agree.

_TICK_RATE = 60
_TRACK_CENTRE = (47.2196, 14.7646)  # degrees
_PLAYER_CAR = 3
_FIELD_SIZE = 14
_MAX_CARS = 64
_PIT_LIMIT = 16.6  # m/s (60 km/h)
_PIT_EXIT, _PIT_ENTRY = 0.07, 0.90  # lap fractions where pit road ends and starts
_PIT_BOX = 0.035
_IN_LAP_STOP = 0.965
_SECTOR_STARTS = (0.0, 0.345, 0.712)  # lap fractions where the timing sectors start
_LAP_TIME_DELAY = 4  # ticks between crossing the line and the sim publishing the lap time

# One corner a row: the straight before it (m), the angle it turns (degrees, negative: right),
# the slowest speed through it (m/s) and the width of the lap fraction over which the driver's
# form changes its speed. Its radius is what that speed allows at _GRIP; the straights after
# corners 4 and 6 are lengthened or shortened so that the circuit closes.
_LAYOUT = (
    (240.0, -110.0, 24.0, 0.018),
    (420.0, 45.0, 38.0, 0.025),
    (375.0, -95.0, 30.0, 0.015),
    (340.0, -35.0, 45.0, 0.030),
    (411.0, -80.0, 27.0, 0.012),
    (200.0, 40.0, 41.0, 0.020),
    (370.0, -85.0, 35.0, 0.022),
    (405.0, -40.0, 45.0, 0.016),
)
_LAST_STRAIGHT = 270.0  # from the last corner to the line
_CLOSING = (8, 12)  # the pieces of the layout (straights) that close the loop
_GRIP = 9.0  # m/s^2 of lateral acceleration at each corner's slowest speed
_TOP_SPEED = 78.0
_ACCEL, _BRAKING = 9.0, 16.0  # m/s^2 the driver plans with out of and into a corner
_GEAR_TOP = (0.0, 19.0, 29.0, 39.0, 50.0, 62.0, 80.0)  # m/s at 8000 rpm in gears 1..6
# Fuel burnt: a trickle at idle and the rest with the throttle, about 2.7 l a flying lap.
_FUEL_START = 42.0  # l
_FUEL_IDLE, _FUEL_FULL_THROTTLE = 0.0004, 0.058  # l/s


def _sample_variables() -> list[Var]:
    return [
        Var("SessionTime", DOUBLE, desc="Seconds since session start", unit="s"),
        Var("SessionTick", INT, desc="Current update number"),
        Var("SessionNum", INT, desc="Session number"),
        Var("SessionFlags", BITFIELD, desc="Session flags", unit="irsdk_Flags"),
        Var("PlayerCarIdx", INT, desc="Players carIdx"),
        Var("Lat", DOUBLE, desc="Latitude in decimal degrees", unit="deg"),
        Var("Lon", DOUBLE, desc="Longitude in decimal degrees", unit="deg"),
        Var("Lap", INT, desc="Laps started count"),
        Var("LapDist", FLOAT, desc="Meters traveled from S/F this lap", unit="m"),
        Var("LapDistPct", FLOAT, desc="Percentage distance around lap", unit="%"),
        Var("LapLastLapTime", FLOAT, desc="Players last lap time", unit="s"),
        Var("OnPitRoad", BOOL, desc="Is the player car on pit road between the cones"),
        Var("IsOnTrack", BOOL, desc="1=Car on track physics running with player in car"),
        Var("Speed", FLOAT, desc="GPS vehicle speed", unit="m/s"),
        Var("RPM", FLOAT, desc="Engine rpm", unit="revs/min"),
        Var("Gear", INT, desc="-1=reverse  0=neutral  1..n=current gear"),
        Var("Throttle", FLOAT, desc="0=off throttle to 1=full throttle", unit="%"),
        Var("Brake", FLOAT, desc="0=brake released to 1=max pedal force", unit="%"),
        Var("SteeringWheelAngle", FLOAT, desc="Steering wheel angle", unit="rad"),
        Var("LatAccel", FLOAT, desc="Lateral acceleration (including gravity)", unit="m/s^2"),
        Var("LongAccel", FLOAT, desc="Longitudinal acceleration (including gravity)", unit="m/s^2"),
        Var("FuelLevel", FLOAT, desc="Liters of fuel remaining", unit="l"),
        Var(
            "EngineWarnings",
            BITFIELD,
            desc="Bitfield for warning lights",
            unit="irsdk_EngineWarnings",
        ),
        Var("DisplayUnits", CHAR, desc="Default units for the user interface 0=english 1=metric"),
        Var("CarIdxLap", INT, count=_MAX_CARS, desc="Laps started by car index"),
        Var(
            "CarIdxLapDistPct",
            FLOAT,
            count=_MAX_CARS,
            desc="Percentage distance around lap by car index",
            unit="%",
        ),
        Var("CarIdxPosition", INT, count=_MAX_CARS, desc="Cars position in race by car index"),
    ]


def sample_variables(*names: str) -> list[Var]:
    """The sample session's definitions of the variables ``names`` (name, type, description and
    unit as the simulator writes them), in that order: other synthetic files take theirs from
    here. KeyError for a variable the sample does not have."""
    table = {var.name: var for var in _sample_variables()}
    return [table[name] for name in names]


@dataclass(frozen=True)
class _Circuit:
    """The sample session's circuit: its shape and, per corner, where and how fast."""

    shape: TrackShape
    # (lap fraction of the apex, width of the driver's form, slowest speed in m/s) per corner
    corners: tuple[tuple[float, float, float], ...]
    # Target speed (m/s) and signed curvature (1/m) per metre of the lap.
    speed: tuple[float, ...]
    curvature: tuple[float, ...]

    @property
    def length(self) -> float:
        return self.shape.length


@functools.cache
def _circuit() -> _Circuit:
    """Laid out on first use: importing corvex.testing stays quick."""
    import numpy as np

    from corvex.testing.tracks import Straight, Turn, make_track

    pieces: list[Straight | Turn] = []
    for straight, angle, v_min, _ in _LAYOUT:
        pieces += [Straight(straight), Turn(angle, v_min**2 / _GRIP)]
    pieces.append(Straight(_LAST_STRAIGHT))
    shape = make_track("veldstrand gp", pieces, _CLOSING, origin=_TRACK_CENTRE, track_id=412)
    length = shape.length
    corners = tuple(
        (turn.apex / length, width, v_min)
        for turn, (_, _, v_min, width) in zip(shape.turns, _LAYOUT)
    )
    # The speed the driver aims for: each corner's slowest speed from its entry to its exit,
    # braking into it and accelerating out of it at fixed rates, the top speed elsewhere.
    metres = np.arange(math.ceil(length), dtype=np.float64)
    speed = np.full(len(metres), _TOP_SPEED)
    for turn, (_, _, v_min, _) in zip(shape.turns, _LAYOUT):
        for lap in (-length, 0.0, length):  # a corner near the line reaches across it
            before = np.clip(turn.entry + lap - metres, 0.0, None)
            after = np.clip(metres - turn.exit - lap, 0.0, None)
            need = np.where(
                metres < turn.entry + lap,
                np.sqrt(v_min**2 + 2.0 * _BRAKING * before),
                np.sqrt(v_min**2 + 2.0 * _ACCEL * after),
            )
            speed = np.minimum(speed, need)
    step = len(shape.curvature) / length
    curvature = shape.curvature[(metres * step).astype(np.intp) % len(shape.curvature)]
    return _Circuit(shape, corners, tuple(speed.tolist()), tuple(curvature.tolist()))


def _corner_speed(fraction: float) -> float:
    """Target speed at a lap fraction, between the metres of the profile by a straight line."""
    profile = _circuit().speed
    at = fraction * _circuit().length
    i = int(at)
    share = at - i
    return (1.0 - share) * profile[i % len(profile)] + share * profile[(i + 1) % len(profile)]


def _curvature(fraction: float) -> float:
    """Signed path curvature (1/m), positive to the left."""
    profile = _circuit().curvature
    return profile[int(fraction * _circuit().length) % len(profile)]


def _lap_form(lap: int, fraction: float) -> float:
    """The driver's form: each lap takes every corner a little faster or slower (within 2 %)."""
    factor = 1.0
    for n, (apex, width, _) in enumerate(_circuit().corners):
        d = min(abs(fraction - apex), 1.0 - abs(fraction - apex))
        if d < 3.0 * width:
            factor += 0.02 * math.sin(1.7 * lap + 2.3 * n) * math.exp(-((d / width) ** 2))
    return factor


def _gear_for(speed: float) -> int:
    for gear in range(1, len(_GEAR_TOP)):
        if speed < _GEAR_TOP[gear] * 0.92:
            return gear
    return len(_GEAR_TOP) - 1


def _positions(fractions: list[float]) -> tuple[list[float], list[float]]:
    """Latitude and longitude (degrees) of the points at these lap fractions of the circuit."""
    import numpy as np

    shape = _circuit().shape
    lat, lon = shape.to_latlon(*shape.at(np.asarray(fractions) * shape.length))
    return lat.tolist(), lon.tolist()


def _drive() -> list[tuple[float, float, bool]]:
    """Integrate the player's run: (total laps travelled, speed, on pit road) per tick."""
    dt = 1.0 / _TICK_RATE
    length = _circuit().length
    travelled = _PIT_BOX  # out-lap starts at the pit box, just past the line
    speed = 0.0
    ticks: list[tuple[float, float, bool]] = []
    end = 4.0 + _IN_LAP_STOP  # stop in the pit box before the line on the fifth lap
    while travelled < end:
        fraction = travelled % 1.0
        pit = travelled < _PIT_EXIT or travelled > 4.0 + _PIT_ENTRY
        target = (
            _PIT_LIMIT if pit else _corner_speed(fraction) * _lap_form(int(travelled), fraction)
        )
        if travelled > end - 0.004:
            target = max(1.0, (end - travelled) * length * 0.8)
        accel = 9.0 if target > speed else -22.0
        speed = min(target, speed + accel * dt) if accel > 0 else max(target, speed + accel * dt)
        ticks.append((travelled, speed, pit))
        travelled += speed * dt / length
    return ticks


def _rival_fractions(n: int, car: int) -> list[float]:
    """Total laps travelled by another car, at a steady pace of its own."""
    lap_time = 72.0 + 1.7 * ((car * 7) % 11)
    start = (car * 0.137) % 1.0
    rate = 1.0 / (lap_time * _TICK_RATE)
    return [start + i * rate for i in range(n)]


def _last_lap_times(time: list[float], travelled: list[float]) -> list[float]:
    """The sim's last lap time per tick: -1 until a flying lap is done, then each lap's time.

    The sim times a lap between the moments the car crossed the line, found between two ticks
    by linear interpolation, and publishes it a few ticks after the crossing. The out-lap,
    begun in the pit box, gets no time.
    """
    crossings: list[tuple[int, float]] = []  # (first tick of the new lap, crossing time)
    for i in range(1, len(travelled)):
        line = math.floor(travelled[i])
        if line > math.floor(travelled[i - 1]):
            share = (line - travelled[i - 1]) / (travelled[i] - travelled[i - 1])
            crossings.append((i, time[i - 1] + share * (time[i] - time[i - 1])))
    out = [-1.0] * len(time)
    for (_, start), (tick, end) in zip(crossings, crossings[1:]):
        first = min(tick + _LAP_TIME_DELAY, len(out))
        out[first:] = [end - start] * (len(out) - first)
    return out


def _moving_mean(values: list[float], width: int) -> list[float]:
    """The mean of each value and the `width` values before it (fewer at the start)."""
    out, total = [], 0.0
    for i, value in enumerate(values):
        total += value
        if i >= width + 1:
            total -= values[i - width - 1]
        out.append(total / min(i + 1, width + 1))
    return out


def _sample_columns() -> dict[str, list[Any]]:
    ticks = _drive()
    n = len(ticks)
    t0 = 845.25
    time = [t0 + i / _TICK_RATE for i in range(n)]
    travelled = [t[0] for t in ticks]
    speed = [t[1] for t in ticks]
    pit = [t[2] for t in ticks]
    fraction = [x % 1.0 for x in travelled]
    lap = [int(x) + 1 for x in travelled]
    # The driving model's speed moves in small steps; a quarter-second mean gives pedal traces
    # that look like a driver's rather than chatter between on and off.
    long_accel = _moving_mean(
        [0.0] + [(b - a) * _TICK_RATE for a, b in zip(speed, speed[1:])], _TICK_RATE // 4
    )
    gear = [_gear_for(v) for v in speed]
    rpm = [900.0 + 7100.0 * min(1.0, v / _GEAR_TOP[g]) for v, g in zip(speed, gear)]
    curvature = [_curvature(f) for f in fraction]
    lat, lon = _positions(fraction)
    # Partial throttle holds the speed through a corner; at top speed the pedal is flat.
    throttle = [
        1.0 if a > 0.5 or v >= _TOP_SPEED else (0.35 if a >= -0.5 else 0.0)
        for a, v in zip(long_accel, speed)
    ]
    fuel, level = [], _FUEL_START
    for pedal in throttle:
        fuel.append(level)
        level -= (_FUEL_IDLE + _FUEL_FULL_THROTTLE * pedal) / _TICK_RATE

    cars = {_PLAYER_CAR: travelled}
    for car in range(_FIELD_SIZE):
        if car != _PLAYER_CAR:
            cars[car] = _rival_fractions(n, car)
    car_lap = [[-1] * n for _ in range(_MAX_CARS)]
    car_pct = [[-1.0] * n for _ in range(_MAX_CARS)]
    for car, run in cars.items():
        car_lap[car] = [int(x) + 1 for x in run]
        car_pct[car] = [x % 1.0 for x in run]
    # Positions are by distance travelled, refreshed once a second like the timing screens.
    order_rows = []
    position_row: tuple[int, ...] = ()
    for i in range(n):
        if i % _TICK_RATE == 0:
            ranking = sorted(cars, key=lambda c: -cars[c][i])
            row = [0] * _MAX_CARS
            for place, car in enumerate(ranking, start=1):
                row[car] = place
            position_row = tuple(row)
        order_rows.append(position_row)

    return {
        "SessionTime": time,
        "SessionTick": [4000 + i for i in range(n)],
        "SessionNum": [0] * n,
        "SessionFlags": [0x4] * n,  # green flag
        "PlayerCarIdx": [_PLAYER_CAR] * n,
        "Lat": lat,
        "Lon": lon,
        "Lap": lap,
        "LapDist": [f * _circuit().length for f in fraction],
        "LapDistPct": fraction,
        "LapLastLapTime": _last_lap_times(time, travelled),
        "OnPitRoad": pit,
        "IsOnTrack": [True] * n,
        "Speed": speed,
        "RPM": rpm,
        "Gear": gear,
        "Throttle": throttle,
        "Brake": [min(1.0, -a / 22.0) if a < -0.5 else 0.0 for a in long_accel],
        "SteeringWheelAngle": [max(-3.0, min(3.0, k * 450.0)) for k in curvature],
        "LatAccel": [v * v * k for v, k in zip(speed, curvature)],
        "LongAccel": long_accel,
        "FuelLevel": fuel,
        "EngineWarnings": [0x10 if p else 0 for p in pit],  # pit speed limiter
        "DisplayUnits": [1] * n,
        "CarIdxLap": list(zip(*car_lap)),
        "CarIdxLapDistPct": list(zip(*car_pct)),
        "CarIdxPosition": order_rows,
    }


_DRIVERS = (
    (0, "Lena Vogt", 4012, "Apex Velocity"),
    (1, "Tomás Ibarra", 2877, "Ibarra Motorsport"),
    (2, 'Sam "Sideways" O\'Neil', 3150, "Loose Nut #42"),
    (3, "Marta Kowalczyk", 3560, "Kowalczyk Racing"),
    (4, "-Rex- Varga", 1985, "Varga Bros."),
    (5, "Kenji Sato", 4431, "Team Kaze"),
    (6, "Amélie Durand", 2690, "Durand Racing"),
    (7, "Oskar Lind", 1720, "Lind Engineering"),
    (8, "Priya Raman", 3004, "Raman Racing"),
    (9, "Jonas Berg #2", 2455, "Berg"),
    (10, "Chiara Rossi", 3888, "Scuderia Rossi"),
    (11, "Daniel O'Connor", 2230, "O'Connor Motorsport"),
    (12, "Yusuf Demir", 2999, "Demir Racing"),
    (13, "Ana Costa", 3333, "Costa Sport"),
)


def _sample_session_info(lap_count: int) -> bytes:
    lines = [
        "---",
        "WeekendInfo:",
        " TrackName: veldstrand gp",
        " TrackID: 412",
        f" TrackLength: {_circuit().length / 1000.0:.2f} km",
        " TrackDisplayName: Veldstrand Ring",
        " TrackDisplayShortName: Veldstrand",
        " TrackConfigName: Grand Prix",
        " TrackCity: Zeltweg Nord",
        " TrackCountry: Austria",
        " TrackAltitude: 677.00 m",
        " TrackLatitude: 47.219600 m",
        " TrackLongitude: 14.764600 m",
        f" TrackNumTurns: {len(_LAYOUT)}",
        " TrackPitSpeedLimit: 60.00 kph",
        " TrackType: road course",
        " SeriesID: 260",
        " SeasonID: 4821",
        " SessionID: 219934512",
        " SubSessionID: 70315588",
        " LeagueID: 0",
        " Official: 0",
        " RaceWeek: 5",
        " EventType: Practice",
        " Category: Road",
        " SimMode: full",
        " WeekendOptions:",
        "  NumStarters: 0",
        "  StartingGrid: 2x2 inline pole on left",
        "  QualifyScoring: best lap",
        "  Unofficial: 0",
        "",
        "SessionInfo:",
        " Sessions:",
        " - SessionNum: 0",
        "   SessionLaps: unlimited",
        "   SessionTime: 5400.0000 sec",
        "   SessionType: Practice",
        "   SessionName: PRACTICE",
        "   ResultsLapsComplete: -1",
        "",
        "DriverInfo:",
        f" DriverCarIdx: {_PLAYER_CAR}",
        " DriverCarFuelMaxLtr: 100.000",
        " DriverCarRedLine: 8000.000",
        " Drivers:",
    ]
    for idx, name, irating, team in _DRIVERS:
        lines += [
            f" - CarIdx: {idx}",
            f"   UserName: {name}",
            f"   UserID: {100000 + 7919 * idx}",
            f"   TeamName: {team}",
            f'   CarNumber: "{idx + 11}"',
            "   CarScreenName: GT4 Coupe",
            f"   IRating: {irating}",
        ]
    lines += ["", "SplitTimeInfo:", " Sectors:"]
    for num, start in enumerate(_SECTOR_STARTS):
        lines += [f" - SectorNum: {num}", f"   SectorStartPct: {start:.6f}"]
    lines += [f" # recorded laps: {lap_count}", "...", ""]
    text = "\n".join(lines).encode("utf-8")
    return text + b"\0" * (256 - len(text) % 256)


def sample_session() -> bytes:
    """A short realistic recording: 60 Hz, an out-lap, three flying laps and an in-lap.

    Deterministic: the same bytes on every call.
    """
    columns = _sample_columns()
    time = columns["SessionTime"]
    lap_count = max(columns["Lap"])
    by_key: dict[str | bytes | int, list[Any]] = {name: values for name, values in columns.items()}
    return build_ibt(
        _sample_variables(),
        by_key,
        session_info=_sample_session_info(lap_count),
        tick_rate=_TICK_RATE,
        lap_count=lap_count,
        session_start_date=1_717_245_600,
        start_time=time[0],
        end_time=time[-1],
    )


def write_sample(path: str | Path) -> Path:
    """Write :func:`sample_session` to ``path`` and return it as a Path."""
    path = Path(path)
    path.write_bytes(sample_session())
    return path


# ----------------------------------------------------------------------------------------------
# A race-size session info text: 60 cars, practice, qualifying and race results, the radio, the
# cameras and a car setup, laid out the way the simulator writes it. Returned with the tree it
# encodes, so that a parser's result can be checked key by key.


class Quoted(str):
    """A text value that the simulator writes in double quotes (car numbers, radio names)."""


def race_session_info(
    names: Sequence[tuple[str, str]] | None = None,
    *,
    cars: int = 60,
    setup_name: str = "race_v3.sto",
    seed: int = 7,
) -> tuple[str, dict[str, Any]]:
    """The session info text of a ``cars``-car race and the tree it encodes.

    ``names`` gives (user name, team name) per car; cars without an entry get made-up names.
    Every value is written as it is, unquoted, except :class:`Quoted` ones, the way the simulator
    writes its text; so names with quotes, ``#``, ``: `` or control characters stay in the text
    as they are. Text values hold no line break that would end their line early: a name with a
    newline is written with it, as the simulator would, and the tree holds the name unchanged.
    Floats are written with ``repr`` (a decimal point, no exponent), so the tree holds exactly
    what the text says. The result is deterministic for a given ``seed``.
    """
    import random

    rng = random.Random(seed)
    given = list(names or [])
    roster = [
        given[idx] if idx < len(given) else (f"Driver {idx:02d} Name", f"Team {idx % 20:02d}")
        for idx in range(cars)
    ]
    tree: dict[str, Any] = {
        "WeekendInfo": _race_weekend(cars),
        "SessionInfo": {
            "Sessions": [
                _race_session(num, kind, cars, rng)
                for num, kind in enumerate(("Practice", "Qualify", "Race"))
            ]
        },
        "QualifyResultsInfo": {
            "Results": [
                {
                    "Position": pos,
                    "ClassPosition": pos,
                    "CarIdx": (pos * 7) % cars,
                    "FastestLap": rng.randint(2, 5),
                    "FastestTime": round(rng.uniform(85.0, 88.0), 4),
                }
                for pos in range(cars)
            ]
        },
        "CameraInfo": {
            "Groups": [
                {
                    "GroupNum": num,
                    "GroupName": group,
                    "Cameras": [
                        {"CameraNum": cam, "CameraName": f"Cam{group.replace(' ', '')}{cam}"}
                        for cam in range(1, 4)
                    ],
                }
                for num, group in enumerate(
                    ("Nose", "Gearbox", "Roll Bar", "LF Susp", "Gyro", "Cockpit", "Blimp", "TV1"),
                    start=1,
                )
            ]
        },
        "RadioInfo": {
            "SelectedRadioNum": 0,
            "Radios": [
                {
                    "RadioNum": 0,
                    "HopCount": 2,
                    "NumFrequencies": 4,
                    "TunedToFrequencyNum": 0,
                    "ScanningIsOn": 1,
                    "Frequencies": [
                        {
                            "FrequencyNum": num,
                            "FrequencyName": Quoted(name),
                            "Priority": priority,
                            "CarIdx": -1,
                            "EntryIdx": -1,
                            "ClubID": 0,
                            "CanScan": 1,
                            "CanSquawk": 1,
                            "Muted": 0,
                            "IsMutable": 1,
                            "IsDeletable": 0,
                        }
                        for num, (name, priority) in enumerate(
                            (("@ALLTEAMS", 12), ("@DRIVERS", 15), ("@CLUB", 20), ("@ADMIN", 90))
                        )
                    ],
                }
            ],
        },
        "DriverInfo": _race_drivers(roster, setup_name, rng),
        "SplitTimeInfo": {
            "Sectors": [
                {"SectorNum": num, "SectorStartPct": pct}
                for num, pct in enumerate((0.0, 0.271918, 0.668198))
            ]
        },
        "CarSetup": _race_setup(),
    }
    lines = ["---"]
    for section, body in tree.items():
        lines.append(f"{section}:")
        _emit(body, 1, lines)
        lines.append("")
    lines += ["...", ""]
    return "\n".join(lines), _unmarked(tree)


def _unmarked(node: Any) -> Any:
    """The tree as a reader gives it back: Quoted values as plain text."""
    if isinstance(node, dict):
        return {key: _unmarked(value) for key, value in node.items()}
    if isinstance(node, list):
        return [_unmarked(value) for value in node]
    return str(node) if isinstance(node, Quoted) else node


def _race_weekend(cars: int) -> dict[str, Any]:
    return {
        "TrackName": "veldstrand gp",
        "TrackID": 412,
        "TrackLength": "4.32 km",
        "TrackDisplayName": "Veldstrand Ring",
        "TrackCity": "Zeltweg Nord",
        "TrackCountry": "Austria",
        "TrackAltitude": "677.00 m",
        "TrackNumTurns": 10,
        "TrackPitSpeedLimit": "60.00 kph",
        "TrackType": "road course",
        "TrackSurfaceTemp": "38.89 C",
        "TrackRelativeHumidity": "55 %",
        "TrackVersion": "2026.05.22.01",
        "SeriesID": 260,
        "SeasonID": 4821,
        "SessionID": 219934512,
        "SubSessionID": 70315588,
        "LeagueID": 0,
        "Official": 1,
        "RaceWeek": 5,
        "EventType": "Race",
        "Category": "Road",
        "SimMode": "full",
        "TeamRacing": 0,
        "DCRuleSet": "None",
        "NumCarClasses": 1,
        "BuildVersion": "2026.06.10.01",
        "WeekendOptions": {
            "NumStarters": cars,
            "StartingGrid": "2x2 inline pole on left",
            "QualifyScoring": "best lap",
            "CourseCautions": "off",
            "StandingStart": 0,
            "Restarts": "double file back",
            "WindSpeed": "14.48 km/h",
            "TimeOfDay": "12:00 pm",
            "Date": "2026-04-01",
            "Unofficial": 0,
            "IncidentLimit": "unlimited",
        },
        "TelemetryOptions": {"TelemetryDiskFile": Quoted("")},
    }


def _race_session(num: int, kind: str, cars: int, rng: Any) -> dict[str, Any]:
    positions = []
    for pos in range(1, cars + 1):
        positions.append(
            {
                "Position": pos,
                "ClassPosition": pos - 1,
                "CarIdx": (pos * 13) % cars,
                "Lap": rng.randint(10, 30),
                "Time": round(rng.uniform(80.0, 3600.0), 4),
                "FastestLap": rng.randint(2, 30),
                "FastestTime": round(rng.uniform(85.0, 88.0), 4),
                "LastTime": round(rng.uniform(85.0, 95.0), 4),
                "LapsLed": rng.randint(0, 3),
                "LapsComplete": rng.randint(10, 30),
                "JokerLapsComplete": 0,
                "LapsDriven": round(rng.uniform(10.0, 30.0), 3),
                "Incidents": rng.randint(0, 8),
                "ReasonOutId": 0,
                "ReasonOutStr": "Running",
            }
        )
    return {
        "SessionNum": num,
        "SessionLaps": "unlimited" if kind != "Race" else 30,
        "SessionTime": "3600.0000 sec",
        "SessionNumLapsToAvg": 0,
        "SessionType": kind,
        "SessionTrackRubberState": "moderate usage",
        "SessionName": kind.upper(),
        "SessionSubType": None,
        "SessionSkipped": 0,
        "ResultsPositions": positions,
        "ResultsFastestLap": [{"CarIdx": 4, "FastestLap": 7, "FastestTime": 86.1234}],
        "ResultsAverageLapTime": 87.5021,
        "ResultsNumCautionFlags": 0,
        "ResultsLapsComplete": 30 if kind == "Race" else -1,
        "ResultsOfficial": 1,
    }


def _race_drivers(roster: list[tuple[str, str]], setup_name: str, rng: Any) -> dict[str, Any]:
    drivers = []
    for idx, (user, team) in enumerate(roster):
        colour = f"{rng.randrange(1 << 24):06x}"
        drivers.append(
            {
                "CarIdx": idx,
                "UserName": user,
                "AbbrevName": None,
                "Initials": None,
                "UserID": 100000 + 7919 * idx,
                "TeamID": 0,
                "TeamName": team,
                "CarNumber": Quoted(str(idx + 1)),
                "CarNumberRaw": idx + 1,
                "CarPath": "gt4coupe",
                "CarClassID": 0,
                "CarID": 161,
                "CarIsPaceCar": 0,
                "CarIsAI": 0,
                "CarScreenName": "GT4 Coupe",
                "CarScreenNameShort": "GT4",
                "CarClassShortName": None,
                "CarClassRelSpeed": 0,
                "CarClassMaxFuelPct": "1.000 %",
                "CarClassWeightPenalty": "0.000 kg",
                "CarClassColor": 0xFFFFFF,
                "CarClassEstLapTime": 86.9118,
                "IRating": rng.randint(800, 6000),
                "LicLevel": rng.randint(1, 20),
                "LicSubLevel": rng.randint(1, 499),
                "LicString": f"A {rng.randint(100, 499) / 100:.2f}",
                "LicColor": "0xundefined",
                "IsSpectator": 0,
                "CarDesignStr": f"10,{colour},ff00bf,00d1ff",
                "HelmetDesignStr": f"53,00d1ff,{colour},00d1ff",
                "SuitDesignStr": "17,00d1ff,00d1ff,00d1ff",
                "CarNumberDesignStr": "0,0,ffffff,777777,000000",
                "CarSponsor_1": rng.randint(0, 300),
                "CarSponsor_2": rng.randint(0, 300),
                "ClubName": "DACH",
                "DivisionName": f"Division {rng.randint(1, 10)}",
                "CurDriverIncidentCount": rng.randint(0, 12),
                "TeamIncidentCount": rng.randint(0, 12),
            }
        )
    return {
        "DriverCarIdx": 3,
        "DriverUserID": 123757,
        "PaceCarIdx": -1,
        "DriverCarIdleRPM": 900.0,
        "DriverCarRedLine": 8000.0,
        "DriverCarFuelMaxLtr": 100.0,
        "DriverCarVersion": "2026.05.28.02",
        "DriverCarEstLapTime": 86.9118,
        "DriverSetupName": setup_name,
        "DriverSetupIsModified": 0,
        "DriverSetupLoadTypeName": "user",
        "DriverIncidentCount": 2,
        "Drivers": drivers,
    }


def _race_setup() -> dict[str, Any]:
    tyres = {
        corner: {
            "StartingPressure": "165.5 kPa",
            "LastHotPressure": "24.1 psi",
            "LastTempsOMI": "89C, 96C, 101C",
            "TreadRemaining": "99%, 98%, 98%",
        }
        for corner in ("LeftFrontTire", "LeftRearTire", "RightFrontTire", "RightRearTire")
    }
    chassis = {
        corner: {"CornerWeight": "1902 N", "Camber": "-3.15 deg", "ToeIn": "+0.05 deg"}
        for corner in ("LeftFront", "LeftRear", "RightFront", "RightRear")
    }
    return {
        "UpdateCount": 11,
        "TiresAero": {**tyres, "AeroCalculator": {"AeroBalance": "48.14%", "DtoD": "4.501:1"}},
        "Chassis": chassis,
        "BrakesDriveUnit": {
            "BrakeSpec": {"BaseBrakeBias": "52.5% (BBAL)", "FineBrakeBias": "-1.0 (BB+/BB-)"},
            "Differential": {"Preload": "0 Nm", "Entry": "1 (ENTRY)"},
        },
    }


def _emit(node: dict[str, Any], indent: int, out: list[str]) -> None:
    """Write a mapping the simulator's way: one blank per level, list dashes at the key's column."""
    pad = " " * indent
    for key, value in node.items():
        if isinstance(value, dict):
            out.append(f"{pad}{key}:")
            _emit(value, indent + 1, out)
        elif isinstance(value, list):
            out.append(f"{pad}{key}:")
            for item in value:
                lines: list[str] = []
                _emit(item, indent + 2, lines)
                lines[0] = f"{pad}- {lines[0][indent + 2 :]}"
                out.extend(lines)
        else:
            out.append(f"{pad}{key}: {_scalar_text(value)}")


def _scalar_text(value: Any) -> str:
    if value is None:
        return ""
    if isinstance(value, Quoted):
        return f'"{value}"'
    if isinstance(value, float):
        return repr(value)
    return str(value)
