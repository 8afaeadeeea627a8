"""Array variables (count > 1): LogFile.arrays and LogFile.high_rate against a struct reading."""

from __future__ import annotations

import io
import math
import struct

import pyarrow as pa
import pytest
from _helpers import ARROW_TYPE, BOOL, STRUCT_CODE, WIDTH, RawIbt, seconds_to_ms

import corvex
from corvex.testing import BITFIELD, CHAR, DOUBLE, FLOAT, INT, Bits, Var, build_ibt

pytest.importorskip("corvex._corvex_rs")


def element_values(kind: int, record: int, count: int) -> tuple:
    """Values that differ in every element and record; floats include a NaN payload."""
    if kind in (CHAR,):
        return tuple((record * 7 + j * 13) % 256 for j in range(count))
    if kind == BOOL:
        return tuple((record + j) % 3 for j in range(count))  # 2 is true as well
    if kind == INT:
        return tuple((-1) ** j * (record * 1000 + j) for j in range(count))
    if kind == BITFIELD:
        return tuple((0xF0000000 | record << 8 | j) for j in range(count))
    if kind == FLOAT and record == 3:
        return tuple(Bits(0x7FC00001 + j) for j in range(count))
    return tuple(record + j / 8 for j in range(count))


def array_file(kind: int, count: int, records: int) -> bytes:
    """SessionTime, a scalar, the array under test, and a second array after it."""
    variables = [
        Var("SessionTime", DOUBLE),
        Var("Speed", FLOAT, unit="m/s"),
        Var("Arr", kind, count=count, desc="the array", unit="u"),
        Var("Pair", INT, count=2),
    ]
    columns = {
        "SessionTime": [r / 60 for r in range(records)],
        "Speed": [float(r) for r in range(records)],
        "Arr": [element_values(kind, r, count) for r in range(records)],
        "Pair": [(r, -r) for r in range(records)],
    }
    return build_ibt(variables, columns, tick_rate=60)


def raw_elements(raw: RawIbt, name: str) -> list[list]:
    """Every record's elements of array variable `name`, read with struct."""
    var = raw.find(name)
    code = "<" + str(var.count) + STRUCT_CODE[var.type]
    out = []
    for r in range(raw.record_count):
        values = struct.unpack(code, raw.raw(var, r, var.count * WIDTH[var.type]))
        out.append([v != 0 for v in values] if var.type == BOOL else list(values))
    return out


def raw_bytes(raw: RawIbt, name: str) -> bytes:
    var = raw.find(name)
    width = var.count * WIDTH[var.type]
    return b"".join(raw.raw(var, r, width) for r in range(raw.record_count))


def check_arrays(log: corvex.LogFile, raw: RawIbt) -> None:
    arrays = log.arrays
    expected = [v for v in raw.vars if v.count > 1]
    assert list(arrays) == [v.name for v in expected]
    times = raw.timecodes()
    time_buffers = set()
    for var in expected:
        table = arrays[var.name]
        field = table.schema.field(1)
        item = pa.field("item", ARROW_TYPE[var.type], nullable=False)
        assert field.type == pa.list_(item, var.count)
        assert field.metadata[b"units"] == var.unit.encode()
        assert field.metadata[b"desc"] == var.desc.encode()
        assert table.column(0).to_pylist() == times
        time_buffers.add(table.column(0).chunks[0].buffers()[1].address)
        column = table.column(1).combine_chunks()
        if var.type == BOOL:
            assert column.to_pylist() == raw_elements(raw, var.name)
        else:
            # Bit for bit, NaN payloads included: the child's values against the record bytes.
            child = column.values
            width = WIDTH[var.type]
            got = child.buffers()[1].to_pybytes()[: len(child) * width]
            assert got == raw_bytes(raw, var.name)
    assert len(time_buffers) <= 1  # one time column shared by every array table
    assert log.arrays is arrays  # read once, then kept


@pytest.mark.parametrize("kind", [CHAR, BOOL, INT, BITFIELD, FLOAT, DOUBLE])
@pytest.mark.parametrize("count, records", [(2, 1), (3, 130), (9, 129)])
def test_arrays_match_a_struct_reading(tmp_path, kind, count, records):
    data = array_file(kind, count, records)
    path = tmp_path / "a.ibt"
    path.write_bytes(data)
    raw = RawIbt(data)
    for source in (path, data, io.BytesIO(data)):
        check_arrays(corvex.open(source), raw)
    check_arrays(corvex.open(bytearray(data), arrays=True), raw)


def test_arrays_of_the_real_sample(real_file):
    raw = RawIbt(real_file.read_bytes())
    log = corvex.open(real_file)
    check_arrays(log, raw)
    assert list(log.arrays) == ["SteeringWheelTorque_ST"]


def test_high_rate_of_the_real_sample(real_file):
    raw = RawIbt(real_file.read_bytes())
    log = corvex.open(real_file)
    table = log.high_rate("SteeringWheelTorque_ST")
    samples = raw_elements(raw, "SteeringWheelTorque_ST")
    count = len(samples[0])
    assert table.column(1).to_pylist() == [v for record in samples for v in record]
    # The last sample of a tick is the scalar variable of the record.
    scalar = raw.values(raw.find("SteeringWheelTorque"))
    assert [record[-1] for record in samples] == scalar
    step = 1000 / (raw.tick_rate * count)
    times = [t + round((j - (count - 1)) * step) for t in raw.timecodes() for j in range(count)]
    assert table.column(0).to_pylist() == times
    assert table.schema.field(1).metadata[b"units"] == b"N*m"


def test_high_rate_refuses_arrays_without_the_suffix_and_unknown_names():
    data = array_file(FLOAT, 4, 3)
    log = corvex.open(data)
    with pytest.raises(ValueError, match="_ST"):
        log.high_rate("Arr")
    with pytest.raises(KeyError, match="this recording has none"):
        log.high_rate("Speed_ST")
    with pytest.raises(KeyError, match="'Speed' is a channel .*, not an array variable"):
        log.high_rate("Speed")


def test_lap_slices_the_arrays():
    records = 40
    variables = [Var("SessionTime", DOUBLE), Var("Lap", INT), Var("V_ST", FLOAT, count=3)]
    columns = {
        "SessionTime": [r / 60 for r in range(records)],
        "Lap": [r // 10 for r in range(records)],
        "V_ST": [(r, r + 0.25, r + 0.5) for r in range(records)],
    }
    log = corvex.open(build_ibt(variables, columns))
    lap = log.lap(2)
    assert lap.arrays["V_ST"].column(1).to_pylist() == [
        [r, r + 0.25, r + 0.5] for r in range(20, 30)
    ]
    assert lap.high_rate("V_ST").num_rows == 30


def test_arrays_of_a_mutable_source_need_asking(tmp_path):
    data = array_file(INT, 3, 5)
    log = corvex.open(bytearray(data))
    with pytest.raises(ValueError, match="arrays=True"):
        _ = log.arrays
    path = tmp_path / "a.ibt"
    path.write_bytes(data)
    log = corvex.open(path)
    # Replaced by another recording before the arrays were asked for: refused, not mixed.
    other = array_file(INT, 3, 6)
    path.write_bytes(other)
    with pytest.raises(RuntimeError, match="changed"):
        _ = log.arrays


def test_file_without_arrays_has_none():
    log = corvex.open(build_ibt([Var("SessionTime", DOUBLE)], {"SessionTime": [0.0, 1.0]}))
    assert log.arrays == {}


def test_array_sample_times_are_rounded_not_truncated():
    # 7 samples per tick at 60 Hz: steps of 2.38 ms, which rounding keeps strictly increasing.
    count = 7
    variables = [Var("SessionTime", DOUBLE), Var("X_ST", FLOAT, count=count)]
    log = corvex.open(build_ibt(variables, {"SessionTime": [1.0, 1 + 1 / 60]}, tick_rate=60))
    times = log.high_rate("X_ST").column(0).to_pylist()
    expected = [
        seconds_to_ms(t) + math.floor((j - (count - 1)) * 1000 / 420 + 0.5)
        for t in (1.0, 1 + 1 / 60)
        for j in range(count)
    ]
    assert times == expected
    assert all(a < b for a, b in zip(times, times[1:]))


def test_arrays_keep_to_the_memory_limit(monkeypatch):
    records, count = 64, 1000
    variables = [Var("SessionTime", DOUBLE), Var("Wide", FLOAT, count=count)]
    data = build_ibt(variables, {"SessionTime": [r / 60 for r in range(records)]})
    # Room for the channels and the lap table, not for 64 x 1000 floats of the array.
    monkeypatch.setenv("CORVEX_MAX_RESULT_BYTES", str(records * count * 4 // 2))
    log = corvex.open(data)
    assert log.record_count == records
    with pytest.raises(MemoryError, match="arrays would need"):
        _ = log.arrays
