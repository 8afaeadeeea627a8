"""Generate the benchmark's one-hour IBT session.

The file looks like a real recording of one hour at 60 Hz: 216,000 sample records of 1,072
bytes (about 230 MB), 275 scalar variables (190 Float, 53 Int, 24 Bool, 5 Double, 3 BitField)
packed in declaration order like the simulator packs them, so most values sit at unaligned
offsets, plus two Float array variables. "Lap" changes every 90 s, "LapDistPct" runs from 0 to
1 within each lap, "Lat"/"Lon" go round a closed track at that fraction, and the car is on pit
road at the start and at the end of the session.

The project's writer (:mod:`corvex.testing.writer`) writes the headers; the data region is
built with numpy as one structured array, because packing 59 million values one by one in
Python would take minutes. The file is written to ``bench/data/`` and reused while it exists::

    python bench/make_session.py              # the full hour
    python bench/make_session.py --records 21600
"""

from __future__ import annotations

import argparse
import os
from pathlib import Path
from typing import Any

import numpy as np

from corvex.testing import BITFIELD, BOOL, DOUBLE, FLOAT, INT, WIDTH, Var, build_ibt
from corvex.testing.tracks import road_course

# Bump when the generated content changes, so that a cached file of an older layout is not reused.
# 2: Lat/Lon follow a closed track (corvex.testing.tracks.road_course) at the lap fraction.
GENERATOR_VERSION = 2

DATA_DIR = Path(__file__).resolve().parent / "data"
HOUR_RECORDS = 216_000
TICK_RATE = 60
LAP_SECONDS = 90
PIT_SECONDS = (30, 40)  # on pit road for the first 30 s and the last 40 s
START_TIME = 1234.5  # SessionTime of the first record, in seconds
SESSION_START_DATE = 1_717_245_600

# The layout: every name unique, types by count as in a real recording.
_DOUBLES = ["SessionTime", "SessionTimeRemain", "Lat", "Lon", "ReplaySessionTime"]
_BITFIELDS = ["SessionFlags", "EngineWarnings", "CamCameraState"]
_BOOLS = [
    "OnPitRoad", "IsOnTrack", "IsInGarage", "IsReplayPlaying", "IsOnTrackCar", "DriverMarker",
    "PushToPass", "PlayerCarInPitStall", "BrakeABSactive", "PitstopActive",
    "IsDiskLoggingEnabled", "IsDiskLoggingActive", "LapDeltaToBestLap_OK",
    "LapDeltaToOptimalLap_OK", "LapDeltaToSessionBestLap_OK", "LapDeltaToSessionOptimalLap_OK",
    "LapDeltaToSessionLastlLap_OK", "WeatherDeclaredWet", "OkToReloadTextures",
    "dcPitSpeedLimiterToggle", "dcStarter", "dcTractionControlToggle", "dcHeadlightFlash",
    "dcABSToggle",
]  # fmt: skip
_INTS = [
    "SessionTick", "SessionNum", "SessionState", "SessionUniqueID", "SessionLapsRemain",
    "SessionLapsRemainEx", "SessionLapsTotal", "RadioTransmitCarIdx", "RadioTransmitRadioIdx",
    "RadioTransmitFrequencyIdx", "DisplayUnits", "PlayerCarPosition", "PlayerCarClassPosition",
    "PlayerCarClass", "PlayerTrackSurface", "PlayerTrackSurfaceMaterial", "PlayerCarIdx",
    "PlayerCarTeamIncidentCount", "PlayerCarMyIncidentCount", "PlayerCarDriverIncidentCount",
    "PlayerCarWeightPenalty", "PlayerCarDryTireSetLimit", "Lap", "LapCompleted", "RaceLaps",
    "LapBestLap", "LapLasNLapSeq", "LapBestNLapLap", "Gear", "CamCarIdx", "CamCameraNumber",
    "CamGroupNumber", "ReplayFrameNum", "ReplayFrameNumEnd", "ReplayPlaySpeed",
    "ReplaySessionNum", "PitSvFlags", "FastRepairUsed", "FastRepairAvailable", "LFTiresUsed",
    "RFTiresUsed", "LRTiresUsed", "RRTiresUsed", "LeftTireSetsUsed", "RightTireSetsUsed",
    "FrontTireSetsUsed", "RearTireSetsUsed", "TireSetsUsed", "PlayerTireCompound",
    "DCLapStatus", "DCDriversSoFar", "EnterExitReset", "TrackWetness",
]  # fmt: skip
_FLOAT_NAMED = [
    "LapDist", "LapDistPct", "Speed", "RPM", "Throttle", "Brake", "Clutch", "SteeringWheelAngle",
    "LatAccel", "LongAccel", "VertAccel", "YawRate", "PitchRate", "RollRate", "Yaw", "Pitch",
    "Roll", "VelocityX", "VelocityY", "VelocityZ", "FuelLevel", "FuelLevelPct", "FuelUsePerHour",
    "FuelPress", "WaterTemp", "WaterLevel", "OilTemp", "OilPress", "OilLevel", "Voltage",
    "ManifoldPress", "Alt", "TrackTemp", "TrackTempCrew", "AirTemp", "AirDensity", "AirPressure",
    "WindVel", "WindDir", "RelativeHumidity", "FogLevel", "SessionTimeOfDay", "LapBestLapTime",
    "LapLastLapTime", "LapCurrentLapTime", "LapDeltaToBestLap", "LapDeltaToOptimalLap",
    "LapDeltaToSessionBestLap", "LapDeltaToSessionOptimalLap", "LapDeltaToSessionLastlLap",
    "ShiftIndicatorPct", "ShiftPowerPct", "ShiftGrindRPM", "SteeringWheelTorque",
    "SteeringWheelPctTorque", "SteeringWheelPctDamper", "SteeringWheelPeakForceNm",
    "BrakeRaw", "ThrottleRaw", "HandbrakeRaw", "dcBrakeBias", "dcTractionControl", "dcABS",
    "dpFuelFill", "dpFuelAddKg", "dpWindshieldTearoff", "PlayerCarTowTime", "PitRepairLeft",
    "PitOptRepairLeft", "CarLeftRight",
]  # fmt: skip
_CORNERS = ("LF", "RF", "LR", "RR")
_CORNER_FLOATS = [
    "tempCL", "tempCM", "tempCR", "wearL", "wearM", "wearR", "pressure", "coldPressure",
    "rideHeight", "shockDefl", "shockVel", "speed", "brakeLinePress", "tempL", "tempM", "tempR",
    "coldTempCL", "coldTempCM", "coldTempCR", "camber", "toe", "springDefl", "loadN",
    "slipRatio", "slipAngle", "carcassTemp", "rimTemp", "padTemp", "discTemp", "brakeForce",
]  # fmt: skip
_ARRAYS = [("LFshockDefl_ST", FLOAT, 3), ("RFshockDefl_ST", FLOAT, 3)]
COUNTS = {FLOAT: 190, INT: 53, BOOL: 24, DOUBLE: 5, BITFIELD: 3}
_NUMPY_TYPE = {BOOL: "u1", INT: "<i4", BITFIELD: "<u4", FLOAT: "<f4", DOUBLE: "<f8"}


def _float_names() -> list[str]:
    corner = [f"{c}{p}" for p in _CORNER_FLOATS for c in _CORNERS]
    return (_FLOAT_NAMED + corner)[: COUNTS[FLOAT]]


def session_variables() -> list[Var]:
    """The variable headers in record order: the time base first, then every type interleaved."""
    by_type = {
        DOUBLE: _DOUBLES,
        BITFIELD: _BITFIELDS,
        BOOL: _BOOLS,
        INT: _INTS,
        FLOAT: _float_names(),
    }
    for kind, names in by_type.items():
        assert len(names) == COUNTS[kind] == len(set(names)), kind
    scalars = [Var(name, kind) for kind, names in by_type.items() for name in names]
    first, rest = scalars[0], scalars[1:]
    # A fixed shuffle mixes one-byte Bools between the four-byte values, as real files do.
    order = np.random.default_rng(20240601).permutation(len(rest))
    variables = [first] + [rest[i] for i in order]
    variables += [Var(name, kind, count=count, unit="m") for name, kind, count in _ARRAYS]
    return variables


def record_dtype(variables: list[Var]) -> np.dtype:
    """A numpy structured dtype of one record, with every variable at its packed offset."""
    names, formats, offsets, position = [], [], [], 0
    for var in variables:
        names.append(var.name)
        base = _NUMPY_TYPE[var.type]
        formats.append(base if var.count == 1 else (base, var.count))
        offsets.append(position)
        position += WIDTH[var.type] * var.count
    return np.dtype({"names": names, "formats": formats, "offsets": offsets, "itemsize": position})


def _lap_inputs(n: int) -> dict[str, np.ndarray]:
    """Lap, LapDistPct, OnPitRoad and the session clock: what the lap table is built from."""
    i = np.arange(n, dtype=np.int64)
    per_lap = LAP_SECONDS * TICK_RATE
    pit = (i < PIT_SECONDS[0] * TICK_RATE) | (i >= n - PIT_SECONDS[1] * TICK_RATE)
    return {
        "SessionTime": START_TIME + i / TICK_RATE,
        "SessionTick": 7_200 + i,
        "Lap": 1 + i // per_lap,
        "LapDistPct": (i % per_lap) / per_lap,
        "OnPitRoad": pit.astype(np.uint8),
    }


def _signal(t: np.ndarray, k: int, rng: np.random.Generator) -> np.ndarray:
    """A smooth signal with some noise, different for each k."""
    period = 5.0 + 7.0 * (k % 11)
    phase = rng.uniform(0, 2 * np.pi)
    scale = 10.0 ** (k % 4)
    return scale * np.sin(2 * np.pi * t / period + phase) + rng.normal(0, scale / 100, t.size)


def data_region(variables: list[Var], n: int) -> bytes:
    """The n records of the session as raw bytes."""
    records = np.zeros(n, dtype=record_dtype(variables))
    t = np.arange(n) / TICK_RATE
    rng = np.random.default_rng(7)
    known = _lap_inputs(n)
    for k, var in enumerate(variables):
        field = records[var.name]
        if var.name in known:
            field[...] = known[var.name]
        elif var.count > 1:
            field[...] = _signal(t, k, rng)[:, None].astype(np.float32)
        elif var.type in (FLOAT, DOUBLE):
            field[...] = _signal(t, k, rng)
        elif var.type == BOOL:
            field[...] = np.sin(2 * np.pi * t / (3.0 + k)) > 0.3
        else:  # Int and BitField: small counters and flag words
            field[...] = (np.arange(n) // (60 * (1 + k % 17))) % (2 + 3 * k)
    records["LapDist"] = records["LapDistPct"] * 4320.0
    # The car goes round a closed track once a lap, so a track model can be built from it.
    shape = road_course()
    x, y = shape.at(records["LapDistPct"].astype(np.float64) * shape.length)
    records["Lat"], records["Lon"] = shape.to_latlon(x, y)
    records["Speed"] = np.where(records["OnPitRoad"] != 0, 16.6, 40.0 + 30.0 * np.sin(t / 9.0))
    return records.tobytes()


def session_info(laps: int) -> str:
    """A short session info text in the simulator's YAML layout."""
    return (
        "---\nWeekendInfo:\n TrackName: veldstrand gp\n TrackDisplayName: Veldstrand Ring\n"
        " TrackCity: Zeltweg Nord\n TrackCountry: Austria\n TrackLength: 4.32 km\n"
        " SeriesID: 260\n SeasonID: 4821\n SessionID: 219934512\n SubSessionID: 70315588\n"
        "SessionInfo:\n Sessions:\n - SessionNum: 0\n   SessionType: Practice\n"
        f"   ResultsLapsComplete: {laps}\n"
        "DriverInfo:\n DriverCarIdx: 0\n Drivers:\n - CarIdx: 0\n   UserName: Bench Driver\n"
        "...\n"
    )


def build_session(n: int) -> bytes:
    """The whole file of an n-record session."""
    variables = session_variables()
    region = data_region(variables, n)
    laps = -(-n // (LAP_SECONDS * TICK_RATE))
    return build_ibt(
        variables,
        session_info=session_info(laps),
        data=region,
        record_count=n,
        buf_len=record_dtype(variables).itemsize,
        tick_rate=TICK_RATE,
        lap_count=laps,
        session_start_date=SESSION_START_DATE,
        start_time=START_TIME,
        end_time=START_TIME + (n - 1) / TICK_RATE,
    )


def session_path(n: int = HOUR_RECORDS) -> Path:
    """Where the n-record session is cached."""
    return DATA_DIR / f"session_{n}_v{GENERATOR_VERSION}.ibt"


def ensure_session(n: int = HOUR_RECORDS) -> Path:
    """The path of the n-record session, generated first if it is not cached yet."""
    path = session_path(n)
    if not path.exists():
        path.parent.mkdir(parents=True, exist_ok=True)
        partial = path.with_suffix(f".tmp{os.getpid()}")
        partial.write_bytes(build_session(n))
        partial.replace(path)  # a half-written file is never taken for a finished one
    return path


def open_session_from_arguments(description: str) -> tuple[Any, argparse.Namespace]:
    """The ``--session PATH`` (default: the hour, generated when missing) and ``--rounds N``
    of a benchmark script, the session opened with corvex, and the parsed arguments."""
    import corvex

    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--session", type=Path, help="IBT file (default: the bench session)")
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    if args.session is None:
        args.session = ensure_session()
    log = corvex.open(str(args.session))
    print(f"{args.session}: {log.record_count} records, {log.laps.num_rows} laps")
    return log, args


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--records", type=int, default=HOUR_RECORDS)
    args = parser.parse_args()
    path = ensure_session(args.records)
    print(f"{path} ({path.stat().st_size:,} bytes)")


if __name__ == "__main__":
    main()
