"""A short recording with what real recordings hold and made-up ones usually do not.

:func:`quirky_session` writes a practice session on a 1 km circle whose records carry the
simulator's habits that trip up a lap listing:

- the first record is zeroed (lap 0, no distance, off pit road, no speed), as the simulator
  writes it before the car is placed, and the car then sits in its pit box at 98 % of lap 0;
  so the reader's type of lap 0, taken at its first record, is "full", for a lap of a few
  seconds from the pit box to the line;
- three laps on track, the first two of them at 24 s;
- a reset in the middle of lap 4: a single record of lap 0, after which the car is back in its
  pit box at 98 % of lap 4 and drives on;
- lap 5 and lap 6 on track, and the recording stops in the middle of lap 7.

With ``second_session`` the recording goes on into the race (session 1): lap 0 from the pit box
to the line, laps 1 to 3 on track, and it stops at the first record of lap 4, a lap of one
record. Laps 1 to 4 are then in both sessions.

Deterministic: the same bytes on every call. :data:`QUIRKS` holds the facts a test checks.
"""

from __future__ import annotations

import math
from typing import Any

from corvex.testing.sessions import sample_variables
from corvex.testing.writer import build_ibt

__all__ = ["QUIRKS", "quirky_session"]

_RATE = 60
_LENGTH = 1000.0  # m
_BOX = 0.98  # lap fraction of the pit box
_PIT_EXIT = 0.99  # pit road ends here, before the line
_START = 512.5  # s of session time at the first record

# What the session holds, for the tests: lap numbers in the order they are driven, the lap
# times (s) of the laps driven whole on track, and where the reset is.
QUIRKS: dict[str, Any] = {
    "track_length": _LENGTH,
    "timed_laps": {1: 24.0, 2: 24.0, 3: 25.0, 5: 24.5, 6: 24.0},
    "reset_lap": 4,
    "out_lap": 0,
}


def _lap_speeds(second_session: bool) -> list[tuple[int, float, float, float]]:
    """(lap, from fraction, to fraction, speed m/s) of each stretch the car drives."""
    times = QUIRKS["timed_laps"]
    box = (1.0 - _BOX) * _LENGTH
    race = [
        (0, _BOX, 1.0, box / 3.0),
        (1, 0.0, 1.0, _LENGTH / 23.5),
        (2, 0.0, 1.0, _LENGTH / 23.0),
        (3, 0.0, 1.0, _LENGTH / 23.25),
        (4, 0.0, 0.0, _LENGTH / 23.25),  # one record, and the recording stops
    ]
    return [
        (0, _BOX, 1.0, box / 3.5),  # out of the pit box to the line in 3.5 s
        (1, 0.0, 1.0, _LENGTH / times[1]),
        (2, 0.0, 1.0, _LENGTH / times[2]),
        (3, 0.0, 1.0, _LENGTH / times[3]),
        (4, 0.0, 0.5, _LENGTH / 24.0),  # reset halfway round
        (4, _BOX, 1.0, box / 3.5),  # from the pit box again
        (5, 0.0, 1.0, _LENGTH / times[5]),
        (6, 0.0, 1.0, _LENGTH / times[6]),
        (7, 0.0, 0.4, _LENGTH / 24.0),
    ] + (race if second_session else [])


def _columns(second_session: bool) -> dict[str, list[Any]]:
    time: list[float] = [_START]
    lap: list[int] = [0]
    fraction: list[float] = [0.0]
    speed: list[float] = [0.0]
    pit: list[bool] = [False]
    session: list[int] = [0]
    race = False
    t = _START + 1.0 / _RATE
    for number, first, last, v in _lap_speeds(second_session):
        race = race or (number == 0 and len(lap) > 1)
        if number == QUIRKS["reset_lap"] and first == _BOX:  # the reset's one record
            time.append(t)
            lap.append(0)
            fraction.append(0.0)
            speed.append(0.0)
            pit.append(False)
            session.append(0)
            t += 1.0 / _RATE
        # The records of the stretch lie on the 60 Hz clock; the line is crossed between two.
        steps = max(1, math.ceil((last - first) * _LENGTH / v * _RATE - 1e-9))
        for k in range(steps):
            time.append(t)
            lap.append(number)
            fraction.append(first + (last - first) * k / steps)
            speed.append(v)
            # Pit road runs from the box to its exit, before the line.
            pit.append(first == _BOX and fraction[-1] < _PIT_EXIT)
            session.append(1 if race else 0)
            t += 1.0 / _RATE
    angle = [2.0 * math.pi * f for f in fraction]
    radius = _LENGTH / (2.0 * math.pi)
    lat = [47.0 + radius * math.sin(a) / 111_320.0 if s > 0 else 0.0 for a, s in zip(angle, speed)]
    lon = [
        14.0 + radius * math.cos(a) / (111_320.0 * math.cos(math.radians(47.0))) if s > 0 else 0.0
        for a, s in zip(angle, speed)
    ]
    throttle = [0.0 if s == 0 else (0.4 if p else 1.0) for s, p in zip(speed, pit)]
    return {
        "SessionTime": time,
        "SessionNum": session,
        "Lap": lap,
        "LapDistPct": fraction,
        "LapDist": [f * _LENGTH for f in fraction],
        "OnPitRoad": pit,
        "Speed": speed,
        "Lat": lat,
        "Lon": lon,
        "Throttle": throttle,
        "Brake": [0.0] * len(time),
        "Gear": [0 if s == 0 else (2 if p else 4) for s, p in zip(speed, pit)],
        "SteeringWheelAngle": [0.0 if s == 0 else 0.35 for s in speed],
    }


def quirky_session(second_session: bool = False) -> bytes:
    """The recording described in the module's docstring."""
    columns = _columns(second_session)
    variables = sample_variables(
        "SessionTime",
        "SessionNum",
        "Lap",
        "LapDistPct",
        "LapDist",
        "OnPitRoad",
        "Speed",
        "Lat",
        "Lon",
        "Throttle",
        "Brake",
        "Gear",
        "SteeringWheelAngle",
    )
    info = "\n".join(
        [
            "---",
            "WeekendInfo:",
            " TrackName: circle",
            " TrackID: 901",
            f" TrackLength: {_LENGTH / 1000.0:.2f} km",
            " TrackDisplayName: Test Circle",
            " TrackConfigName: Full",
            "SessionInfo:",
            " Sessions:",
            " - SessionNum: 0",
            "   SessionType: Practice",
            "   SessionName: PRACTICE",
            " - SessionNum: 1",
            "   SessionType: Race",
            "   SessionName: RACE",
            "...",
            "",
        ]
    )
    time = columns["SessionTime"]
    return build_ibt(
        variables,
        columns,
        session_info=info,
        tick_rate=_RATE,
        lap_count=max(columns["Lap"]),
        start_time=time[0],
        end_time=time[-1],
    )
