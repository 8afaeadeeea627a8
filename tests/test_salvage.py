"""Recordings that were cut or never closed: corvex.open(salvage=True) and --salvage."""

from __future__ import annotations

import warnings

import pytest
from _helpers import RawIbt

import corvex
from corvex.cli import main
from corvex.testing import DOUBLE, FLOAT, INT, Var, build_ibt_layout, layout

pytest.importorskip("corvex._corvex_rs")

RECORDS = 5


def recording(**options: object) -> tuple[bytes, object]:
    variables = [
        Var("SessionTime", DOUBLE),
        Var("Lap", INT),
        Var("Speed", FLOAT),
        Var("T", FLOAT, count=3),
    ]
    columns = {
        "SessionTime": [r / 60 for r in range(RECORDS)],
        "Lap": [r // 2 for r in range(RECORDS)],
        "Speed": [10.0 + r for r in range(RECORDS)],
        "T": [(r, r + 0.5, r + 0.75) for r in range(RECORDS)],
    }
    return build_ibt_layout(variables, columns, session_info="---\n", **options)


FULL, LAYOUT = recording()
CUTS = sorted(
    {
        LAYOUT.buf_offset + k * LAYOUT.buf_len + d
        for k in range(RECORDS)
        for d in (-1, 0, 1)
        if LAYOUT.buf_offset <= LAYOUT.buf_offset + k * LAYOUT.buf_len + d < len(FULL)
    }
)


def open_quietly(source: object, **kwargs: object) -> tuple[corvex.LogFile, list[str]]:
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        log = corvex.open(source, **kwargs)  # type: ignore[arg-type]
    return log, [str(w.message) for w in caught if issubclass(w.category, corvex.CorvexWarning)]


@pytest.mark.parametrize("cut", CUTS)
def test_cut_recording_salvages_exactly_the_whole_records(cut):
    data = FULL[:cut]
    whole = (cut - LAYOUT.buf_offset) // LAYOUT.buf_len
    dropped = (cut - LAYOUT.buf_offset) % LAYOUT.buf_len
    raw = RawIbt(FULL)
    with pytest.raises(RuntimeError) as plain:
        corvex.open(data)
    assert f"File too small for {RECORDS} records" in str(plain.value)
    notes = getattr(plain.value, "__notes__", [])
    if whole == 0:
        assert notes == []
        with pytest.raises(RuntimeError, match="File too small"):
            corvex.open(data, salvage=True)
        return
    assert notes and f"holds {whole} whole record" in notes[0] and "salvage=True" in notes[0]
    log, said = open_quietly(data, salvage=True)
    assert log.record_count == whole == log.metadata["record_count"]
    assert log["Speed"].column(1).to_pylist() == raw.values(raw.find("Speed"))[:whole]
    assert log.timecodes.to_pylist() == raw.timecodes()[:whole]
    assert log.arrays["T"].column(1).to_pylist() == [[r, r + 0.5, r + 0.75] for r in range(whole)]
    assert len(said) == 1
    assert f"salvaged {whole} whole record" in said[0] and f"counts {RECORDS} records" in said[0]
    assert (f"{dropped} byte{'s' * (dropped != 1)} of a half record" in said[0]) == (dropped > 0)


@pytest.mark.parametrize("extra", [0, 1, -1])
def test_unclosed_recording_reads_empty_with_a_warning_and_salvages(tmp_path, extra):
    data, _ = recording(session_record_count=0)
    if extra > 0:
        data += b"\x01" * extra
    elif extra < 0:
        data = data[:extra]
    whole = RECORDS if extra >= 0 else RECORDS - 1
    path = tmp_path / "open.ibt"
    path.write_bytes(data)
    for source in (path, data):
        log, said = open_quietly(source)
        assert log.record_count == 0
        assert len(said) == 1 and f"{whole} whole records follow" in said[0]
        assert "salvage=True" in said[0]
        log, said = open_quietly(source, salvage=True)
        assert log.record_count == whole
        assert log.laps.column("num").to_pylist() == sorted({r // 2 for r in range(whole)})
        assert len(said) == 1 and "counts 0 records" in said[0]


@pytest.mark.parametrize("record, d", [(2, -1), (1, 0), (200, 1), (389, -1), (389, 1)])
def test_cut_real_sample_salvages_the_records_before_the_cut(real_file, record, d):
    data = real_file.read_bytes()
    raw = RawIbt(data)
    cut = raw.buf_offset + record * raw.buf_len + d
    whole = (cut - raw.buf_offset) // raw.buf_len
    log, said = open_quietly(data[:cut], salvage=True)
    assert log.record_count == whole and len(said) == 1
    for name in ("Speed", "Throttle", "Lap"):
        assert log[name].column(1).to_pylist() == raw.values(raw.find(name))[:whole]
    want = raw.find("SteeringWheelTorque_ST")
    got = log.arrays["SteeringWheelTorque_ST"].column(1).combine_chunks().values
    width = 4 * want.count
    expected = b"".join(raw.raw(want, r, width) for r in range(whole))
    assert got.buffers()[1].to_pybytes()[: len(expected)] == expected


def test_a_whole_file_salvages_nothing_and_warns_nothing():
    log, said = open_quietly(FULL, salvage=True)
    assert log.record_count == RECORDS and said == []


def test_salvage_keeps_a_shorter_count_and_refuses_bad_headers():
    # A header that counts fewer records than follow is not salvaged: the count stands.
    data = bytearray(FULL)
    layout.patch_field(data, "session_record_count", 2)
    log, said = open_quietly(bytes(data), salvage=True)
    assert log.record_count == 2 and said == []
    # A data offset past the end leaves nothing to salvage.
    layout.patch_field(data, "session_record_count", RECORDS)
    layout.patch_field(data, "buf_offset", len(FULL) + 10)
    with pytest.raises(RuntimeError, match="File too small"):
        corvex.open(bytes(data), salvage=True)


def test_cli_salvage_prints_one_warning_line(tmp_path, capsys):
    path = tmp_path / "cut.ibt"
    path.write_bytes(FULL[: LAYOUT.buf_offset + 3 * LAYOUT.buf_len + 1])
    assert main(["laps", str(path)]) == 1
    err = capsys.readouterr().err
    assert err.startswith("corvex: error:") and "--salvage reads them" in err
    assert "salvage=True" not in err  # the command line names its own option, not Python's
    assert main(["laps", str(path), "--salvage"]) == 0
    out, err = capsys.readouterr()
    assert err.count("\n") == 1 and err.startswith("corvex: warning:")
    assert "salvaged 3 whole records" in err and "1 byte of a half record" in err
    assert out.split()[:2] == ["lap", "session"]
