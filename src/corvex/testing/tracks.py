"""Synthetic tracks and laps driven on them, for tests, demos and benchmarks.

A track is laid out from straights and turns the way a road engineer would: each turn is an arc
of constant radius entered and left through transitions whose curvature changes linearly with
distance, so heading and position are the integral of one curvature profile. Two straights are
lengthened or shortened so that the line closes on itself exactly.

A lap is driven on it by a point-mass car: the speed through a turn is what a fixed lateral grip
allows on its curvature, and between the turns the car accelerates (less as drag grows) and
brakes at a fixed rate; pedals follow from the speed trace. The recording is what the
simulator writes at 60 Hz, positions included: the positions are turned into latitude and
longitude with the local scale of the earth's ellipsoid at the track's centre, a computation
of its own that shares nothing with the projection of :mod:`corvex.track`.

Each lap can be driven differently (:class:`LapPlan`): brake earlier into a turn, carry less
speed through it, drive a little off the centre line, or be towed back to the pits.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np
from numpy.typing import NDArray

__all__ = [
    "Turn",
    "Straight",
    "TrackShape",
    "LapPlan",
    "Drive",
    "make_track",
    "road_course",
    "oval",
    "figure_eight",
    "drive",
    "session_file",
    "WGS84_A",
    "WGS84_F",
]

# The ellipsoid of the positions the simulator writes.
WGS84_A = 6_378_137.0
WGS84_F = 1.0 / 298.257223563

_STEP = 0.25  # metres between the points of a track's curvature profile
_TICK_RATE = 60


@dataclass(frozen=True)
class Straight:
    """A straight piece of ``length`` metres."""

    length: float


@dataclass(frozen=True)
class Turn:
    """A turn through ``angle`` degrees (positive: left) on an arc of ``radius`` metres.

    ``transition`` metres of changing curvature lead into the arc and out of it (half of the
    turn's heading change per transition length is made there).
    """

    angle: float
    radius: float
    transition: float = 15.0


@dataclass(frozen=True)
class TurnInfo:
    """Where a turn lies on the lap (metres from the line) and which way it goes."""

    entry: float
    apex: float
    exit: float
    direction: str  # "left" or "right"
    radius: float


@dataclass(frozen=True)
class TrackShape:
    """A closed line: points every ``_STEP`` metres from the start/finish line."""

    name: str
    distance: NDArray[np.float64]
    x: NDArray[np.float64]  # metres east of the origin
    y: NDArray[np.float64]  # metres north of the origin
    heading: NDArray[np.float64]  # radians, counterclockwise from east
    curvature: NDArray[np.float64]  # 1/m, positive to the left
    length: float
    turns: tuple[TurnInfo, ...]
    origin: tuple[float, float] = (47.2196, 14.7646)
    track_id: int = 900
    config: str = "Grand Prix"

    def at(self, s: NDArray[np.float64]) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
        """x, y (m) at lap distances ``s`` (any real number: taken modulo the length)."""
        s = np.mod(s, self.length)
        xs = np.append(self.x, self.x[0])
        ys = np.append(self.y, self.y[0])
        grid = np.append(self.distance, self.length)
        return np.interp(s, grid, xs), np.interp(s, grid, ys)

    def normal(self, s: NDArray[np.float64]) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
        """The unit vector to the left of the direction of travel at ``s``."""
        i = (np.mod(s, self.length) / _STEP).astype(np.intp) % len(self.heading)
        return -np.sin(self.heading[i]), np.cos(self.heading[i])

    def to_latlon(
        self, x: NDArray[np.float64], y: NDArray[np.float64]
    ) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
        """Degrees latitude and longitude of points ``x`` east and ``y`` north of the origin.

        The local scale of the ellipsoid at the origin: the meridian's radius of curvature for
        north, the prime vertical's times cos(latitude) for east. Within 3 km of the origin it is
        right to 2 parts in 10,000 of the distance (the scale drifts with latitude).
        """
        lat0 = math.radians(self.origin[0])
        e2 = WGS84_F * (2.0 - WGS84_F)
        w = math.sqrt(1.0 - e2 * math.sin(lat0) ** 2)
        meridian = WGS84_A * (1.0 - e2) / w**3
        prime = WGS84_A / w
        lat = self.origin[0] + np.degrees(y / meridian)
        lon = self.origin[1] + np.degrees(x / (prime * math.cos(lat0)))
        return lat, lon


def _turn_profile(turn: Turn) -> NDArray[np.float64]:
    """Curvature at each step of a turn: ramp in, arc, ramp out."""
    kappa = math.copysign(1.0 / turn.radius, turn.angle)
    arc = abs(math.radians(turn.angle)) * turn.radius - turn.transition
    if arc < 0:
        raise ValueError(f"{turn}: the transitions alone turn further than the angle")
    ramp = max(1, round(turn.transition / _STEP))
    body = round(arc / _STEP)
    up = (np.arange(ramp) + 0.5) / ramp * kappa
    # The body takes what the rounding of the step count left over, so the angle is exact.
    want = math.radians(turn.angle) / _STEP - 2.0 * float(up.sum())
    middle = np.full(body, want / body) if body else np.zeros(0)
    return np.concatenate((up, middle, up[::-1]))


def _integrate(kappa: NDArray[np.float64], heading0: float) -> tuple[NDArray[np.float64], ...]:
    """Heading and position along a curvature profile (midpoint rule, exact on arcs' steps)."""
    turned = np.cumsum(kappa) * _STEP
    heading_after = heading0 + turned
    heading_mid = heading_after - kappa * _STEP / 2.0
    dx = np.cos(heading_mid) * _STEP
    dy = np.sin(heading_mid) * _STEP
    return heading_after, dx, dy


def make_track(
    name: str,
    pieces: Sequence[Straight | Turn],
    close_with: tuple[int, int] | None,
    **extra: object,
) -> TrackShape:
    """Lay out ``pieces`` from the line heading east, and close the loop exactly.

    The turns must add up to +360 or -360 degrees. The straights at the indices ``close_with``
    are given the lengths that bring the end of the line back to its start; they must not be
    parallel. Raises ValueError when the closing lengths come out shorter than 10 m. Without
    ``close_with`` the pieces must close by themselves (a symmetric layout).
    """
    total = sum(p.angle for p in pieces if isinstance(p, Turn))
    if abs(abs(total) - 360.0) > 1e-9 and abs(total) > 1e-9:
        raise ValueError(f"the turns add up to {total} degrees, not a closed loop")
    # Displacement of everything but the two closing straights, and their unit directions.
    heading = 0.0
    fixed = np.zeros(2)
    units: dict[int, NDArray[np.float64]] = {}
    for i, piece in enumerate(pieces):
        if isinstance(piece, Straight):
            unit = np.array([math.cos(heading), math.sin(heading)])
            if close_with is not None and i in close_with:
                units[i] = unit
            else:
                fixed += unit * piece.length
        else:
            kappa = _turn_profile(piece)
            after, dx, dy = _integrate(kappa, heading)
            fixed += (dx.sum(), dy.sum())
            heading = float(after[-1])
    if close_with is None:
        if np.hypot(*fixed) > 1.0:
            raise ValueError(f"{name}: the pieces end {np.hypot(*fixed):.1f} m from the start")
        close_with = (-1, -1)
    a, b = close_with
    steps: dict[int, int] = {}
    if a >= 0:
        steps = _closing_steps(name, units, fixed, a, b)
    kappas = []
    for i, piece in enumerate(pieces):
        if isinstance(piece, Straight):
            count = steps.get(i, round(piece.length / _STEP))
            kappas.append(np.zeros(count))
        else:
            kappas.append(_turn_profile(piece))
    kappa = np.concatenate(kappas)
    after, dx, dy = _integrate(kappa, 0.0)
    x = np.concatenate(([0.0], np.cumsum(dx)))
    y = np.concatenate(([0.0], np.cumsum(dy)))
    # The step counts are whole numbers: what that leaves open (under a step) is spread evenly.
    n = len(kappa)
    x = x[:-1] - x[-1] * np.arange(n) / n
    y = y[:-1] - y[-1] * np.arange(n) / n
    heading_mid = np.concatenate(([0.0], after[:-1])) + kappa * _STEP / 2
    turns = _turn_places(pieces, kappas)
    return TrackShape(
        name=name,
        distance=np.arange(n, dtype=np.float64) * _STEP,
        x=x,
        y=y,
        heading=heading_mid,
        curvature=kappa,
        length=n * _STEP,
        turns=turns,
        **extra,  # type: ignore[arg-type]
    )


def _closing_steps(
    name: str, units: dict[int, NDArray[np.float64]], fixed: NDArray[np.float64], a: int, b: int
) -> dict[int, int]:
    """Step counts of the straights ``a`` and ``b`` that close the loop."""
    pair = np.column_stack((units[a], units[b]))
    if abs(np.linalg.det(pair)) < 0.1:
        raise ValueError(f"{name}: the closing straights {a} and {b} are (nearly) parallel")
    lengths = np.linalg.solve(pair, -fixed)
    if np.min(lengths) < 10.0:
        raise ValueError(f"{name}: the closing straights would be {lengths} m long")
    return {a: round(lengths[0] / _STEP), b: round(lengths[1] / _STEP)}


def _turn_places(
    pieces: Sequence[Straight | Turn], kappas: Sequence[NDArray[np.float64]]
) -> tuple[TurnInfo, ...]:
    out = []
    start = 0.0
    for piece, kappa in zip(pieces, kappas):
        end = start + len(kappa) * _STEP
        if isinstance(piece, Turn):
            out.append(
                TurnInfo(
                    entry=start,
                    apex=(start + end) / 2.0,
                    exit=end,
                    direction="left" if piece.angle > 0 else "right",
                    radius=piece.radius,
                )
            )
        start = end
    return tuple(out)


def road_course() -> TrackShape:
    """A clockwise road course of about 3.2 km with eight turns.

    Turn 1 a 90-degree right, turn 2 a fast left kink, turn 3 a 160-degree hairpin, turns 4 and
    5 a left-right chicane, then three rights, the middle one fast, back onto the main straight.
    """
    pieces: list[Straight | Turn] = [
        Straight(300.0),  # the main straight: the line, then this, turn 1
        Turn(-90.0, 50.0),
        Straight(200.0),
        Turn(60.0, 120.0, 20.0),
        Straight(300.0),
        Turn(-160.0, 25.0, 12.0),
        Straight(350.0),
        Turn(40.0, 40.0, 10.0),
        Straight(30.0),
        Turn(-40.0, 40.0, 10.0),
        Straight(250.0),
        Turn(-60.0, 80.0),
        Straight(300.0),
        Turn(-40.0, 200.0, 30.0),
        Straight(200.0),
        Turn(-70.0, 70.0),
        Straight(150.0),  # onto the main straight, up to the line
    ]
    return make_track("road course", pieces, close_with=(2, 10))


def oval() -> TrackShape:
    """An oval driven anticlockwise: two straights, two 180-degree left turns."""
    pieces: list[Straight | Turn] = [
        Straight(300.0),
        Turn(180.0, 180.0, 60.0),
        Straight(600.0),
        Turn(180.0, 180.0, 60.0),
        Straight(300.0),
    ]
    return make_track("oval", pieces, close_with=None, config="Oval", track_id=901)


def figure_eight() -> TrackShape:
    """A figure eight: a 270-degree right loop and a 270-degree left loop through a crossing."""
    radius = 90.0
    pieces: list[Straight | Turn] = [
        Straight(radius),
        Turn(-270.0, radius, 20.0),
        Straight(2 * radius),
        Turn(270.0, radius, 20.0),
        Straight(radius),
    ]
    # Laid out from heading east: the loops come out tilted, which changes nothing.
    return make_track("figure eight", pieces, close_with=(0, 2), config="Eight", track_id=902)


# ----------------------------------------------------------------------------------------------
# Driving


@dataclass(frozen=True)
class LapPlan:
    """How one lap is driven.

    ``brake_earlier``: {turn index: metres} the driver starts braking that much earlier;
    ``slower``: {turn index: m/s} less speed through the turn; ``offset``: metres off the
    centre line at most (a slow weave, different for each lap by ``seed``); ``tow_at``: the
    lap fraction where the car is towed back to the pit box, which ends the lap there;
    ``pit_until``: the lap starts in the pit lane (25 m right of the line, at the pit speed
    limit, on pit road) and joins the track at this lap distance (m).
    """

    brake_earlier: dict[int, float] = field(default_factory=dict)
    slower: dict[int, float] = field(default_factory=dict)
    offset: float = 0.0
    seed: int = 0
    tow_at: float | None = None
    pit_until: float | None = None


@dataclass
class Drive:
    """A driven session: one value per record, as the simulator would record it."""

    track: TrackShape
    columns: dict[str, list[Any]]
    # Session time (s) at which the car crossed the start/finish line, lap by lap.
    crossings: list[float]
    # Lap number -> {turn index: distance where the brake (or lift) began}.
    braking: dict[int, dict[int, float]]


_GRIP = 14.0  # m/s^2 of lateral acceleration the car has
_BRAKING = 13.0  # m/s^2 of deceleration at full brake
_POWER = 8.0  # m/s^2 of acceleration from rest (falls with speed)
_TOP = 78.0  # m/s the car's drag allows at most
_HOLD_THROTTLE = 0.3  # throttle that holds speed in a turn
_PIT_SPEED = 22.0  # m/s, the pit lane's limit
_PIT_LANE = -25.0  # m left of the line (so 25 m to the right)


def _speed_limit(track: TrackShape, plan: LapPlan) -> NDArray[np.float64]:
    """The speed the grip allows at each point of the lap, with the plan's slower turns."""
    limit = np.minimum(_TOP, np.sqrt(_GRIP / np.maximum(np.abs(track.curvature), 1e-9)))
    for index, less in plan.slower.items():
        turn = track.turns[index]
        inside = (track.distance >= turn.entry) & (track.distance < turn.exit) & (limit < _TOP)
        limit[inside] -= less
    if plan.pit_until is not None:
        limit[track.distance < plan.pit_until] = _PIT_SPEED
    return limit


def _profile(limits: NDArray[np.float64], v0: float) -> NDArray[np.float64]:
    """Speeds along a run of points ``_STEP`` apart: accelerate, brake, keep under the limits."""
    n = len(limits)
    v = np.empty(n)
    v[0] = min(v0, limits[0])
    for i in range(1, n):  # accelerate while drag allows
        a = _POWER * (1.0 - (v[i - 1] / _TOP) ** 2)
        v[i] = min(limits[i], math.sqrt(v[i - 1] ** 2 + 2.0 * a * _STEP))
    for i in range(n - 2, -1, -1):  # brake in time for what comes
        v[i] = min(v[i], math.sqrt(v[i + 1] ** 2 + 2.0 * _BRAKING * _STEP))
    return v


def _brake_earlier(
    track: TrackShape, v: NDArray[np.float64], offset: int, turn: TurnInfo, metres: float
) -> NDArray[np.float64]:
    """The speeds with braking for ``turn`` begun ``metres`` earlier.

    The driver brakes as hard as before from that point on, reaches the turn's slowest speed
    early and holds it until the point where the lap was slowest.
    """
    low, start = _braking_zone(track, v, offset, turn)
    begin = start - round(metres / _STEP)
    out = v.copy()
    steps = np.arange(low + 1 - begin)
    braked = np.sqrt(np.maximum(v[begin] ** 2 - 2.0 * _BRAKING * _STEP * steps, 0.0))
    out[begin : low + 1] = np.maximum(braked, v[low])
    return np.minimum(out, v)


def _braking_zone(
    track: TrackShape, v: NDArray[np.float64], offset: int, turn: TurnInfo
) -> tuple[int, int]:
    """Indices of the slowest point of ``turn`` and of the start of the braking before it."""
    first = offset + int(turn.entry / _STEP)
    low = first + int(np.argmin(v[first : offset + int(turn.exit / _STEP)]))
    start = low
    # Back through the braking and any stretch held at the slowest speed before the turn.
    while start > 0 and (
        v[start - 1] > v[start] + 1e-9 or (v[start - 1] >= v[start] - 1e-9 >= v[low] - 2e-9)
    ):
        start -= 1
    return low, start


def drive(
    track: TrackShape,
    plans: Sequence[LapPlan],
    *,
    start_time: float = 300.0,
    lead_in: float = 40.0,
    zero_first_record: bool = False,
) -> Drive:
    """Drive the laps of ``plans`` one after another, flying, and record them at 60 Hz.

    The recording starts ``lead_in`` metres before the line (lap 0) and ends with the first
    record past the line after the last lap (lap numbers 1.. for the planned laps). With
    ``zero_first_record`` the first record is what the simulator writes before the car is
    placed: lap 0, no distance, no position, no speed.
    """
    n_step = len(track.distance)
    laps = len(plans)
    limits = [_speed_limit(track, plan) for plan in plans]
    # A lap before and one after, so that the line is crossed at speed on both ends (in the
    # pit lane when the first lap starts there).
    before = limits[0] if plans[0].pit_until is not None else _speed_limit(track, LapPlan())
    whole = np.concatenate([before, *limits, _speed_limit(track, LapPlan())])
    v = _profile(whole, _TOP)
    for _ in range(2):  # settle the speed at the start to that of the lap's end
        v = _profile(whole, float(v[n_step]))
    for lap, plan in enumerate(plans, start=1):
        for index, metres in plan.brake_earlier.items():
            v = _brake_earlier(track, v, lap * n_step, track.turns[index], metres)
    s = (np.arange(len(v), dtype=np.float64) - n_step) * _STEP  # from the first crossing
    dt = 2.0 * _STEP / (v[1:] + v[:-1])
    t = np.concatenate(([0.0], np.cumsum(dt)))
    accel = np.gradient(v**2 / 2.0, _STEP)

    begin = float(np.interp(-lead_in, s, t))
    end = float(np.interp(laps * track.length + 1.0, s, t))
    ticks = np.arange(math.ceil(begin * _TICK_RATE), math.floor(end * _TICK_RATE) + 2)
    tick_time = ticks / _TICK_RATE
    pos = np.interp(tick_time, t, s)
    speed = np.interp(tick_time, t, v)
    a = np.interp(tick_time, t, accel)
    lap_no = np.floor(pos / track.length).astype(int) + 1
    lap_no = np.clip(lap_no, 0, laps + 1)
    frac = np.mod(pos, track.length) / track.length

    weave = np.zeros_like(pos)
    for lap, plan in enumerate(plans, start=1):
        if plan.offset:
            mine = lap_no == lap
            phase = 1.3 * plan.seed + 0.4 * lap
            weave[mine] = plan.offset * np.sin(2 * np.pi * pos[mine] / 700.0 + phase)
    on_pit = np.zeros(len(pos), dtype=bool)
    first = plans[0].pit_until
    if first is not None:
        # The pit lane runs beside the main straight and joins the track over 60 m.
        join = np.clip((first - pos) / 60.0, 0.0, 1.0)
        weave += _PIT_LANE * join
        on_pit = pos < first - 30.0
    x, y = track.at(pos)
    nx, ny = track.normal(pos)
    x, y = x + weave * nx, y + weave * ny

    brake = np.clip(-a / _BRAKING, 0.0, 1.0)
    brake[brake < 0.02] = 0.0
    power = _POWER * (1.0 - (speed / _TOP) ** 2)
    throttle = np.where(
        a > 0.05, np.clip(a / power, 0.0, 1.0), np.where(brake > 0, 0.0, _HOLD_THROTTLE)
    )
    throttle = np.where(speed >= _TOP - 0.05, 1.0, throttle)

    for lap, plan in enumerate(plans, start=1):
        if plan.tow_at is None:
            continue
        cut = (lap_no == lap) & (frac >= plan.tow_at)
        later = lap_no > lap
        towed = cut | later
        # Towed: the car sits in the pit box beside the main straight for the rest of the run.
        box_x, box_y = track.at(np.array([30.0]))
        bnx, bny = track.normal(np.array([30.0]))
        x[towed] = box_x[0] - 25.0 * bnx[0]
        y[towed] = box_y[0] - 25.0 * bny[0]
        speed[towed] = 0.0
        throttle[towed] = 0.0
        brake[towed] = 1.0
        on_pit[towed] = True
        frac[towed] = 30.0 / track.length
        lap_no[towed] = lap + 1
        break

    lat, lon = track.to_latlon(x, y)
    session_time = start_time + tick_time - begin
    columns: dict[str, list[Any]] = {
        "SessionTime": session_time.tolist(),
        "Lap": lap_no.tolist(),
        "LapDistPct": frac.tolist(),
        "OnPitRoad": on_pit.tolist(),
        "LapDist": (frac * track.length).tolist(),
        "Lat": lat.tolist(),
        "Lon": lon.tolist(),
        "Speed": speed.tolist(),
        "Throttle": throttle.tolist(),
        "Brake": brake.tolist(),
        "Gear": [_gear(value) for value in speed],
        "YawNorth": np.mod(
            np.pi / 2
            - np.interp(np.mod(pos, track.length), track.distance, np.unwrap(track.heading)),
            2 * np.pi,
        ).tolist(),
    }
    if zero_first_record:
        for name in ("Lap", "LapDistPct", "LapDist", "Lat", "Lon", "Speed", "Gear", "YawNorth"):
            columns[name][0] = 0
    crossings = [
        start_time + float(np.interp(k * track.length, s, t)) - begin for k in range(laps + 1)
    ]
    braking = {lap: _braking_points(track, v, lap * n_step, s) for lap in range(1, laps + 1)}
    return Drive(track, columns, crossings, braking)


def _braking_points(
    track: TrackShape, v: NDArray[np.float64], offset: int, s: NDArray[np.float64]
) -> dict[int, float]:
    """Lap distance where the speed starts to fall towards each turn's slowest point."""
    out = {}
    for index, turn in enumerate(track.turns):
        low, start = _braking_zone(track, v, offset, turn)
        if start < low:
            out[index] = float(s[start]) - (offset // len(track.distance) - 1) * track.length
    return out


def _gear(speed: float) -> int:
    for gear, top in enumerate((22.0, 32.0, 42.0, 53.0, 65.0), start=1):
        if speed < top:
            return gear
    return 6


def session_file(
    drive_: Drive,
    *,
    version: int = 2,
    yaw_north: bool = True,
    sectors: Sequence[float] = (0.0, 0.33, 0.66),
    track_length_text: str | None = None,
) -> bytes:
    """The IBT file of a driven session, written with :mod:`corvex.testing.writer`.

    ``version`` 1 and ``yaw_north`` False give a file like the oldest recordings. The session
    info names the track (id, configuration, length rounded to 10 m as the simulator writes it)
    and its timing sectors.
    """
    from corvex.testing.writer import BOOL, DOUBLE, FLOAT, INT, Var, build_ibt

    variables = [
        Var("SessionTime", DOUBLE, unit="s"),
        Var("Lap", INT),
        Var("LapDistPct", FLOAT, unit="%"),
        Var("OnPitRoad", BOOL),
        Var("LapDist", FLOAT, unit="m"),
        Var("Lat", DOUBLE, unit="deg"),
        Var("Lon", DOUBLE, unit="deg"),
        Var("Speed", FLOAT, unit="m/s"),
        Var("Throttle", FLOAT, unit="%"),
        Var("Brake", FLOAT, unit="%"),
        Var("Gear", INT),
    ]
    if yaw_north:
        variables.append(Var("YawNorth", FLOAT, unit="rad"))
    columns = {str(v.name): drive_.columns[str(v.name)] for v in variables}
    track = drive_.track
    length = track_length_text or f"{track.length / 1000.0:.2f} km"
    lines = [
        "---",
        "WeekendInfo:",
        f" TrackName: {track.name.replace(' ', '')}",
        f" TrackID: {track.track_id}",
        f" TrackLength: {length}",
        f" TrackDisplayName: {track.name.title()}",
        f" TrackConfigName: {track.config}",
        " TrackCity: Nowhere",
        " TrackCountry: Testland",
        "SessionInfo:",
        " Sessions:",
        " - SessionNum: 0",
        "   SessionType: Practice",
        "SplitTimeInfo:",
        " Sectors:",
    ]
    for num, start in enumerate(sectors):
        lines += [f" - SectorNum: {num}", f"   SectorStartPct: {start:.6f}"]
    lines += ["...", ""]
    time = drive_.columns["SessionTime"]
    return build_ibt(
        variables,
        columns,
        session_info="\n".join(lines),
        version=version,
        tick_rate=_TICK_RATE,
        lap_count=max(drive_.columns["Lap"]),
        start_time=time[0],
        end_time=time[-1],
    )
