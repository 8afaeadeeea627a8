"""Result assembly: the channels dictionary, progress reports, the pyarrow hand-off and LogFile."""

from __future__ import annotations

import struct
import sys
import types
from typing import Any

import pyarrow as pa
import pytest
from _helpers import BOOL, CHAR, DOUBLE, FLOAT, INT, LAP_SCHEMA, RawIbt, is_one_batch, parse

import corvex.base
from corvex import _corvex_rs
from corvex.testing import Var, build_ibt


class Boom(Exception):
    """Raised by test doubles; identity is checked, not the type alone."""


class Recorder:
    """Stands in for a callable and records every call."""

    def __init__(self, result: Any = None, raise_on: int | None = None) -> None:
        self.calls: list[tuple[tuple, dict]] = []
        self.result = result
        self.raise_on = raise_on
        self.raised: Boom | None = None

    def __call__(self, *args: Any, **kwargs: Any) -> Any:
        self.calls.append((args, kwargs))
        if self.raise_on is not None and len(self.calls) == self.raise_on:
            self.raised = Boom(f"call {len(self.calls)}")
            raise self.raised
        return self.result

    @property
    def args(self) -> list[tuple]:
        return [args for args, _ in self.calls]


def three_channel_file() -> bytes:
    """SessionTime, Lap and Speed as scalars, one array variable, two laps."""
    variables = [
        Var("SessionTime", DOUBLE, unit="s"),
        Var("CarIdxLap", INT, count=4),
        Var("Lap", INT),
        Var("Speed", FLOAT, unit="m/s"),
    ]
    columns = {
        "SessionTime": [0.0, 0.1, 0.2, 0.3],
        "Lap": [1, 1, 2, 2],
        "Speed": [10.0, 20.0, 30.0, 40.0],
        "CarIdxLap": [[1, 2, 3, 4]] * 4,
    }
    return build_ibt(variables, columns)


@pytest.fixture
def log_file(monkeypatch: pytest.MonkeyPatch) -> Recorder:
    """corvex.base.LogFile replaced by a recorder that returns a sentinel."""
    recorder = Recorder(result=object())
    monkeypatch.setattr(corvex.base, "LogFile", recorder)
    return recorder


# ---------------------------------------------------------------------------------------------
# progress(done, total)


def test_progress_counts_every_channel_in_order(log_file: Recorder) -> None:
    progress = Recorder()
    result = _corvex_rs.ibt(three_channel_file(), progress)
    assert result is log_file.result
    assert progress.calls == [((1, 3), {}), ((2, 3), {}), ((3, 3), {})]
    assert all(type(value) is int for args in progress.args for value in args)
    channels = log_file.calls[0][0][0]
    assert list(channels) == ["SessionTime", "Lap", "Speed"]


@pytest.mark.parametrize("how", ["positional", "keyword"])
def test_progress_by_keyword_or_position(log_file: Recorder, how: str) -> None:
    progress = Recorder()
    data = three_channel_file()
    if how == "positional":
        _corvex_rs.ibt(data, progress)
    else:
        _corvex_rs.ibt(source=data, progress=progress)
    assert progress.args == [(1, 3), (2, 3), (3, 3)]


@pytest.mark.parametrize(
    "call",
    [
        pytest.param(lambda data: _corvex_rs.ibt(data), id="omitted"),
        pytest.param(lambda data: _corvex_rs.ibt(data, None), id="none-positional"),
        pytest.param(lambda data: _corvex_rs.ibt(data, progress=None), id="none-keyword"),
    ],
)
def test_progress_none_is_no_callback(log_file: Recorder, call) -> None:
    assert call(three_channel_file()) is log_file.result
    ((args, kwargs),) = log_file.calls
    assert kwargs == {} and list(args[0]) == ["SessionTime", "Lap", "Speed"]


def test_progress_raising_stops_the_call(
    log_file: Recorder, monkeypatch: pytest.MonkeyPatch
) -> None:
    from_batches = count_from_batches(monkeypatch)
    progress = Recorder(raise_on=2)
    with pytest.raises(Boom) as excinfo:
        _corvex_rs.ibt(three_channel_file(), progress)
    assert excinfo.value is progress.raised
    assert progress.args == [(1, 3), (2, 3)]
    assert len(from_batches) == 2, "no channel is converted after the failing report"
    assert log_file.calls == []


@pytest.mark.parametrize("progress", [5, "x", lambda: None], ids=["int", "str", "wrong-arity"])
def test_uncallable_progress_raises_type_error(
    log_file: Recorder, monkeypatch: pytest.MonkeyPatch, progress: Any
) -> None:
    from_batches = count_from_batches(monkeypatch)
    with pytest.raises(TypeError):
        _corvex_rs.ibt(three_channel_file(), progress)
    assert len(from_batches) == 1, "the error comes when the first channel is reported"
    assert log_file.calls == []


@pytest.mark.parametrize(
    "data, message",
    [
        pytest.param(
            b"", "Invalid header: File too small for header: 0 bytes (need 112)", id="empty"
        ),
        pytest.param(
            build_ibt([Var("Time", DOUBLE)], {"Time": [0.0]}),
            "Invalid header: Missing SessionTime variable",
            id="no-session-time",
        ),
    ],
)
def test_progress_is_not_checked_before_channels(
    log_file: Recorder, data: bytes, message: str
) -> None:
    # A non-callable progress only fails once a channel is reported; earlier errors win.
    with pytest.raises(RuntimeError) as excinfo:
        _corvex_rs.ibt(data, 5)
    assert str(excinfo.value) == message


def empty_channel_set_file(session_time_count: int) -> bytes:
    """Every variable, SessionTime included, has a count other than 1; Lap (count 0) has laps."""
    variables = [
        Var("Block", DOUBLE, offset=0, count=2),
        Var("SessionTime", DOUBLE, offset=0, count=session_time_count),
        Var("Lap", INT, offset=16, count=0),
        Var("LapBlock", INT, offset=16, count=2),
        Var("Speed", FLOAT, offset=24, count=3),
    ]
    records = [(0.0, 3), (0.5, 3), (1.0, 4), (1.5, 4)]
    region = b"".join(
        struct.pack("<2d2i3f", seconds, 0.0, lap, 0, 1.0, 2.0, 3.0) for seconds, lap in records
    )
    return build_ibt(variables, data=region, buf_len=36)


@pytest.mark.parametrize("session_time_count", [0, 2])
@pytest.mark.parametrize("progress", [None, 5, Recorder()], ids=["none", "uncallable", "callable"])
def test_empty_channel_set(log_file: Recorder, session_time_count: int, progress: Any) -> None:
    data = empty_channel_set_file(session_time_count)
    assert all(var.count != 1 for var in RawIbt(data).vars)
    assert _corvex_rs.ibt(data, progress) is log_file.result
    if isinstance(progress, Recorder):
        assert progress.calls == []
    (channels, laps, metadata, source), kwargs = log_file.calls[0]
    assert channels == {} and type(channels) is dict
    # The time base still comes from SessionTime whatever its count.
    assert laps.to_pylist() == [
        {"num": 3, "start_time": 0, "end_time": 1000, "lap_type": "full", "session": 0},
        {"num": 4, "start_time": 1000, "end_time": 1500, "lap_type": "full", "session": 0},
    ]


# ---------------------------------------------------------------------------------------------
# The LogFile call


def test_log_file_gets_four_positional_arguments(log_file: Recorder) -> None:
    data = three_channel_file()
    assert _corvex_rs.ibt(data) is log_file.result
    assert len(log_file.calls) == 1
    args, kwargs = log_file.calls[0]
    assert kwargs == {}
    channels, laps, metadata, source = args
    assert type(channels) is dict and type(metadata) is dict
    assert source == "<bytes>" and type(source) is str
    assert isinstance(laps, pa.Table) and laps.schema.equals(LAP_SCHEMA, check_metadata=True)
    assert laps.num_rows == 2
    for name, table in channels.items():
        assert type(name) is str and isinstance(table, pa.Table)
        assert is_one_batch(table) and table.num_rows == 4


def test_log_file_gets_the_path_text(log_file: Recorder, tmp_path) -> None:
    path = tmp_path / "run.ibt"
    path.write_bytes(three_channel_file())
    _corvex_rs.ibt(str(path))
    assert log_file.calls[0][0][3] == str(path)


@pytest.mark.parametrize(
    "variables, columns",
    [
        pytest.param(
            [Var("SessionTime", DOUBLE), Var("Speed", FLOAT)],
            {"SessionTime": [0.0, 0.1], "Speed": [1.0, 2.0]},
            id="no-lap-variable",
        ),
        pytest.param(
            [Var("SessionTime", DOUBLE), Var("Lap", INT)],
            {"SessionTime": [], "Lap": []},
            id="zero-records",
        ),
    ],
)
def test_lap_argument_is_a_table_without_rows(
    log_file: Recorder, variables: list[Var], columns: dict
) -> None:
    _corvex_rs.ibt(build_ibt(variables, columns))
    laps = log_file.calls[0][0][1]
    assert isinstance(laps, pa.Table)
    assert laps.schema.equals(LAP_SCHEMA, check_metadata=True) and laps.num_rows == 0


def test_log_file_exception_passes_through(monkeypatch: pytest.MonkeyPatch) -> None:
    recorder = Recorder(raise_on=1)
    monkeypatch.setattr(corvex.base, "LogFile", recorder)
    with pytest.raises(Boom) as excinfo:
        _corvex_rs.ibt(three_channel_file())
    assert excinfo.value is recorder.raised


def test_missing_log_file_attribute(monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.delattr(corvex.base, "LogFile")
    with pytest.raises(AttributeError):
        _corvex_rs.ibt(three_channel_file())


def test_corvex_base_not_importable(monkeypatch: pytest.MonkeyPatch) -> None:
    # None in sys.modules makes every import of the module raise ModuleNotFoundError.
    monkeypatch.setitem(sys.modules, "corvex.base", None)
    progress = Recorder()
    with pytest.raises(ModuleNotFoundError):
        _corvex_rs.ibt(three_channel_file(), progress)
    assert progress.args == [(1, 3), (2, 3), (3, 3)], "all channels come before the import"


def test_real_log_file_holds_the_arguments() -> None:
    data = three_channel_file()
    expected = parse(data)
    result = _corvex_rs.ibt(data)
    assert isinstance(result, corvex.base.LogFile)
    assert list(result.channels) == list(expected.channels)
    for name, table in expected.channels.items():
        assert result.channels[name].equals(table, check_metadata=True)
    assert result.laps.equals(expected.laps, check_metadata=True)
    assert result.metadata == expected.metadata
    assert result.source == "<bytes>"


def test_progress_may_call_ibt_again(log_file: Recorder) -> None:
    inner_results: list[Any] = []
    other = build_ibt(
        [Var("SessionTime", DOUBLE), Var("Gear", INT)], {"SessionTime": [0.0], "Gear": [3]}
    )

    def progress(done: int, total: int) -> None:
        if done == 1:
            inner_results.append(_corvex_rs.ibt(other))

    assert _corvex_rs.ibt(three_channel_file(), progress) is log_file.result
    assert inner_results == [log_file.result]
    outer_channels = log_file.calls[1][0][0]
    inner_channels = log_file.calls[0][0][0]
    assert list(inner_channels) == ["SessionTime", "Gear"]
    assert list(outer_channels) == ["SessionTime", "Lap", "Speed"]


# ---------------------------------------------------------------------------------------------
# The pyarrow hand-off, observed through a stand-in pyarrow module


def fake_pyarrow(monkeypatch: pytest.MonkeyPatch, **attributes: Any) -> types.ModuleType:
    """A module placed as `pyarrow` in sys.modules that forwards to the real one."""
    module = types.ModuleType("pyarrow")
    module.Table = attributes.get("Table", pa.Table)
    module.RecordBatchReader = attributes.get("RecordBatchReader", pa.RecordBatchReader)
    monkeypatch.setitem(sys.modules, "pyarrow", module)
    return module


def count_from_batches(monkeypatch: pytest.MonkeyPatch) -> list[list]:
    """Route Table.from_batches through a recorder; returns the list of its argument lists."""
    seen: list[list] = []

    class Table:
        @staticmethod
        def from_batches(batches, *args, **kwargs):
            assert not args and not kwargs
            seen.append(list(batches))
            return pa.Table.from_batches(batches)

    fake_pyarrow(monkeypatch, Table=Table)
    return seen


def test_every_table_goes_through_one_batch_lists(
    log_file: Recorder, monkeypatch: pytest.MonkeyPatch
) -> None:
    seen = count_from_batches(monkeypatch)
    imports: list[Any] = []

    class RecordBatchReader:
        @staticmethod
        def _import_from_c(address, *args, **kwargs):
            assert not args and not kwargs
            imports.append(address)
            return pa.RecordBatchReader._import_from_c(address)

    sys.modules["pyarrow"].RecordBatchReader = RecordBatchReader
    _corvex_rs.ibt(three_channel_file())
    assert len(seen) == 4, "three channels and the lap table"
    assert all(len(batches) == 1 and isinstance(batches[0], pa.RecordBatch) for batches in seen)
    # The channels of a small file travel as one group: one import for them, one for the laps.
    assert len(imports) == 2 and all(type(address) is int and address for address in imports)
    names = [batches[0].schema.field(1).name for batches in seen[:3]]
    assert names == ["SessionTime", "Lap", "Speed"]
    assert seen[3][0].schema.equals(LAP_SCHEMA, check_metadata=True)


def test_from_batches_exception_passes_through(
    log_file: Recorder, monkeypatch: pytest.MonkeyPatch
) -> None:
    error = Boom("from_batches")

    class Table:
        @staticmethod
        def from_batches(batches):
            raise error

    fake_pyarrow(monkeypatch, Table=Table)
    progress = Recorder()
    with pytest.raises(Boom) as excinfo:
        _corvex_rs.ibt(three_channel_file(), progress)
    assert excinfo.value is error
    assert progress.calls == [] and log_file.calls == []


def test_stream_import_failure_becomes_runtime_error(
    log_file: Recorder, monkeypatch: pytest.MonkeyPatch
) -> None:
    class RecordBatchReader:
        @staticmethod
        def _import_from_c(address):
            raise ValueError("no stream today")

    fake_pyarrow(monkeypatch, RecordBatchReader=RecordBatchReader)
    with pytest.raises(RuntimeError) as excinfo:
        _corvex_rs.ibt(three_channel_file())
    assert str(excinfo.value) == "ValueError: no stream today"
    assert log_file.calls == []


def test_pyarrow_not_importable(log_file: Recorder, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setitem(sys.modules, "pyarrow", None)
    progress = Recorder()
    with pytest.raises(ModuleNotFoundError):
        _corvex_rs.ibt(three_channel_file(), progress)
    assert progress.calls == []


def test_time_base_is_checked_before_pyarrow_import(monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setitem(sys.modules, "pyarrow", None)
    data = build_ibt([Var("SessionTime", FLOAT), Var("Gear", CHAR), Var("Pit", BOOL)])
    with pytest.raises(
        RuntimeError, match=r"^Invalid header: SessionTime should be double, got Float$"
    ):
        _corvex_rs.ibt(data)
