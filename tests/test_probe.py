"""The headers-only reading (probe), the kinds and facts the reader's exceptions carry, how
often a path is opened, and the file identity that guards the lazy arrays.

Expected values come from a struct reading of the written bytes (RawIbt), from the operating
system (os.stat, strace) or from the patched bytes themselves, never from the code under test.
"""

from __future__ import annotations

import hashlib
import io
import os
import shutil
import socket
import struct
import subprocess
import sys
import textwrap
from pathlib import Path

import pyarrow as pa
import pytest
from _helpers import RawIbt

import corvex
from corvex.dataset import session_key
from corvex.testing import DOUBLE, FLOAT, INT, Var, build_ibt, layout, write_sample

ext = pytest.importorskip("corvex._corvex_rs")

TYPE_NAMES = {0: "Char", 1: "Bool", 2: "Int", 3: "BitField", 4: "Float", 5: "Double"}
ARROW_TYPES = {
    0: pa.uint8(),
    1: pa.bool_(),
    2: pa.int32(),
    3: pa.uint32(),
    4: pa.float32(),
    5: pa.float64(),
}


def fixed_fields(data: bytes) -> dict[str, int | float]:
    """The fixed header fields, unpacked here with struct at their documented offsets."""
    out: dict[str, int | float] = {}
    out["version"], _, out["tick_rate"] = struct.unpack_from("<iii", data, 0)
    out["session_info_len"], out["session_info_offset"] = struct.unpack_from("<ii", data, 16)
    out["num_vars"], out["var_header_offset"] = struct.unpack_from("<ii", data, 24)
    out["num_buf"], out["buf_len"] = struct.unpack_from("<ii", data, 32)
    out["buf_offset"] = struct.unpack_from("<i", data, 52)[0]
    out["session_start_date"], out["start_time"], out["end_time"] = struct.unpack_from(
        "<qdd", data, 112
    )
    out["lap_count"], out["session_record_count"] = struct.unpack_from("<ii", data, 136)
    return out


@pytest.fixture(scope="module")
def sample(tmp_path_factory) -> Path:
    return write_sample(tmp_path_factory.mktemp("probe") / "sample.ibt")


@pytest.mark.parametrize("kind", ["path", "bytes", "file"])
@pytest.mark.parametrize("which", ["sample", "real_file"])
def test_probe_reads_the_headers_as_stored(request, which, kind):
    path = request.getfixturevalue(which)
    data = path.read_bytes()
    raw = RawIbt(data)
    source = {"path": str(path), "bytes": data, "file": io.BytesIO(data)}[kind]
    found = ext.probe(source)
    assert found["header"] == fixed_fields(data)
    assert [
        (v["name"], v["type"], v["arrow_type"], v["offset"], v["count"], v["unit"], v["desc"])
        for v in found["variables"]
    ] == [
        (v.name, TYPE_NAMES[v.type], ARROW_TYPES[v.type], v.offset, v.count, v.unit, v.desc)
        for v in raw.vars
    ]
    var_end = raw.var_header_offset + raw.num_vars * layout.VAR_HEADER_SIZE
    region = data[raw.session_info_offset : raw.session_info_offset + raw.session_info_len]
    assert found["raw"] == {
        "headers": data[:144],
        "variable_headers": data[raw.var_header_offset : var_end],
        "session_info": region,
    }
    assert found["session_info_bytes"] == region[region.index(b"---") :].rstrip(b"\0")
    assert found["file_size"] == len(data)
    assert found["whole_records"] == (len(data) - raw.buf_offset) // raw.buf_len
    assert found["live_buffers"] is None and found["salvage"] is None
    stat = os.stat(path)
    identity = (stat.st_dev, stat.st_ino, stat.st_size, stat.st_mtime_ns)
    assert found["identity"] == (identity if kind == "path" else None)
    # The schema is that of the channels a reading gives, before any record is read.
    log = ext.ibt(data)
    assert found["channels"] == pa.schema([t.schema.field(1) for t in log.channels.values()])
    for field in found["channels"]:
        assert field.metadata == log.channels[field.name].schema.field(1).metadata


def test_the_channel_schema_follows_duplicate_names_as_the_reading_does():
    variables = [Var("SessionTime", DOUBLE), Var("X", FLOAT), Var("Y", INT), Var("X", INT)]
    data = build_ibt(variables, {0: [0.0], 1: [1.0], 2: [2], 3: [3]})
    found = ext.probe(data)
    log = ext.ibt(data)
    assert found["channels"].names == list(log.channels) == ["SessionTime", "X", "Y"]
    assert found["channels"].field("X").type == log.channels["X"].schema.field(1).type


# -- the kinds and facts of failures --------------------------------------------------------


def good() -> bytes:
    return build_ibt(
        [Var("SessionTime", DOUBLE), Var("Speed", FLOAT)],
        {"SessionTime": [0.0, 0.5, 1.0], "Speed": [1.0, 2.0, 3.0]},
    )


def patched(**fields: int) -> bytes:
    data = bytearray(good())
    for name, value in fields.items():
        layout.patch_field(data, name, value)
    return bytes(data)


def live_snapshot() -> tuple[bytes, list[tuple[int, int]]]:
    """Three sound record buffers and, where a recording has its record count, garbage."""
    data = bytearray(good())
    start, stride = layout.read_field(data, "buf_offset"), layout.read_field(data, "buf_len")
    table = [(700 + i, start + i * stride) for i in range(3)]
    layout.patch_field(data, "num_buf", 3)
    for i, (tick, offset) in enumerate(table):
        layout.patch_buffer_descriptor(data, i, tick, offset)
    layout.patch_field(data, "session_record_count", 0x5A5A5A5A)
    return bytes(data), table


def sources(tmp_path: Path) -> dict[str, tuple[object, str, dict[str, object]]]:
    """name -> (source, kind, facts)."""
    data = good()
    raw = RawIbt(data)
    snapshot, table = live_snapshot()
    sock = tmp_path / "s.sock"
    server = socket.socket(socket.AF_UNIX)
    server.bind(str(sock))
    server.close()
    files = {
        "empty": (b"", "not_ibt", {"file_size": 0}),
        "text": (b"not telemetry\n" * 20, "not_ibt", {"file_size": 280}),
        "cut in the disk sub-header": (data[:130], "truncated", {"whole_records": None}),
        "cut in the variable headers": (data[:200], "truncated", {"whole_records": None}),
        "cut in the session info": (
            patched(session_info_len=len(data)),
            "truncated",
            {"whole_records": None},
        ),
        "cut in the records": (data[:-5], "truncated", {"whole_records": raw.record_count - 1}),
        "negative buf_len": (patched(buf_len=-1), "invalid_header", {"file_size": len(data)}),
        "live snapshot": (snapshot, "live_snapshot", {"buffers": table}),
    }
    out: dict[str, tuple[object, str, dict[str, object]]] = {
        "missing": (tmp_path / "missing.ibt", "io", {"file_type": None}),
        "directory": (tmp_path, "not_a_file", {"file_type": "directory"}),
        "socket": (sock, "not_a_file", {"file_type": "socket"}),
        "device": (Path(os.devnull), "not_a_file", {"file_type": "character device"}),
    }
    for name, (content, kind, facts) in files.items():
        path = tmp_path / f"{name}.ibt"
        path.write_bytes(content)
        out[name] = (path, kind, facts)
        out[f"{name}, bytes"] = (content, kind, facts)
    return out


CASES = [
    "missing", "directory", "socket", "device", "empty", "text", "cut in the disk sub-header",
    "cut in the variable headers", "cut in the session info", "cut in the records",
    "negative buf_len", "live snapshot", "empty, bytes", "cut in the records, bytes",
    "live snapshot, bytes",
]  # fmt: skip


@pytest.mark.parametrize("name", CASES)
def test_failures_carry_their_kind_and_facts_and_keep_their_message(tmp_path, name):
    source, kind, facts = sources(tmp_path)[name]
    with pytest.raises((OSError, RuntimeError)) as plain:
        ext.ibt(source)
    expected_type = RuntimeError if isinstance(source, bytes) else OSError
    assert type(plain.value) is expected_type
    for call in (ext.probe, corvex.open):
        with pytest.raises(expected_type) as info:
            call(source)
        assert type(info.value) is expected_type
        assert info.value.args == plain.value.args
    for exc in (plain.value, info.value):
        assert exc.kind == kind
        for attribute, value in facts.items():
            assert getattr(exc, attribute) == value, attribute


def test_a_recording_that_opens_with_a_sound_table_of_buffers_is_a_live_snapshot():
    data = bytearray(good())
    start, stride = layout.read_field(data, "buf_offset"), layout.read_field(data, "buf_len")
    layout.patch_field(data, "num_buf", 2)
    layout.patch_buffer_descriptor(data, 0, 5, start)
    layout.patch_buffer_descriptor(data, 1, 9, start + stride)
    layout.patch_field(data, "session_record_count", 0)
    assert ext.probe(bytes(data))["live_buffers"] == [(5, start), (9, start + stride)]
    with pytest.warns(corvex.CorvexWarning, match=r"live telemetry snapshot \(two rotating"):
        corvex.open(bytes(data))
    layout.patch_field(data, "num_buf", 1)  # one buffer: a recording, never closed
    assert ext.probe(bytes(data))["live_buffers"] is None


# -- session keys ---------------------------------------------------------------------------


def test_the_session_key_covers_the_stored_headers_and_session_info(sample, tmp_path):
    data = sample.read_bytes()
    raw = RawIbt(data)
    digest = hashlib.blake2b(digest_size=10)
    digest.update(len(data).to_bytes(8, "little"))
    digest.update(data[:144])
    var_end = raw.var_header_offset + raw.num_vars * layout.VAR_HEADER_SIZE
    digest.update(data[raw.var_header_offset : var_end])
    digest.update(data[raw.session_info_offset : raw.session_info_offset + raw.session_info_len])
    assert session_key(sample) == digest.hexdigest()
    # A file the reader refuses: its size and first bytes.
    bad = tmp_path / "bad.ibt"
    bad.write_bytes(b"x" * 100_000)
    digest = hashlib.blake2b(digest_size=10)
    digest.update((100_000).to_bytes(8, "little"))
    digest.update(b"x" * (144 + (64 << 10)))
    assert session_key(bad) == digest.hexdigest()
    with pytest.raises(OSError):
        session_key(tmp_path)


# -- opening a path once, and never something that is not a file ----------------------------


def traced_opens(script: str, paths: dict[str, Path]) -> dict[str, list[str]]:
    """Run ``script`` in a child Python under strace; per path, the open calls that named it."""
    strace = shutil.which("strace")
    if strace is None or subprocess.run([strace, "-o", os.devnull, "true"]).returncode != 0:
        pytest.skip("strace is not installed or may not trace here")
    env = dict(os.environ)
    preload = env.pop("LD_PRELOAD", None)  # a sanitizer runtime is for the traced Python only
    log = Path(paths["log"])
    command = [strace, "-f", "-qq", "-e", "trace=open,openat,openat2", "-o", str(log)]
    if preload:
        command += ["-E", f"LD_PRELOAD={preload}"]
    done = subprocess.run(
        [*command, sys.executable, "-c", script],
        env=env,
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert done.returncode == 0, done.stderr
    lines = log.read_text().splitlines()
    return {name: [ln for ln in lines if f'"{path}"' in ln] for name, path in paths.items()}


def test_open_opens_a_path_once_and_never_opens_what_is_not_a_file(sample, tmp_path):
    path = tmp_path / "one.ibt"
    shutil.copy(sample, path)
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    sock = tmp_path / "s.sock"
    server = socket.socket(socket.AF_UNIX)
    server.bind(str(sock))
    server.close()
    paths = {"file": path, "fifo": fifo, "directory": tmp_path / "dir", "socket": sock}
    paths["directory"].mkdir()
    script = textwrap.dedent(
        f"""
        import sys
        import corvex
        log = corvex.open({str(path)!r})
        assert log.channels and log.session_info
        print("opened", flush=True)
        for other in {[str(paths[k]) for k in ("fifo", "directory", "socket")]!r}:
            try:
                corvex.open(other)
            except OSError as exc:
                assert exc.kind == "not_a_file", exc
            else:
                sys.exit(other + " was read")
        assert log.arrays is not None
        """
    )
    opens = traced_opens(script, {**paths, "log": tmp_path / "strace.log"})
    # Once by corvex.open (channels, laps, metadata, session info bytes), once more by the
    # arrays read on first access.
    assert len(opens["file"]) == 2, opens["file"]
    for name in ("fifo", "directory", "socket"):
        assert opens[name] == [], name


@pytest.mark.parametrize("argv", [["info"], ["info", "--json"]])
def test_info_opens_its_file_once(sample, tmp_path, argv):
    """corvex info takes the laps, the left-out variables and whether the file is a live
    snapshot from one reading."""
    path = tmp_path / "one.ibt"
    shutil.copy(sample, path)
    script = f"import sys\nfrom corvex.cli import main\nsys.exit(main({[*argv, str(path)]!r}))"
    opens = traced_opens(script, {"file": path, "log": tmp_path / "strace.log"})
    assert len(opens["file"]) == 1, opens["file"]


@pytest.mark.parametrize("change", ["replaced", "touched"])
def test_lazy_arrays_refuse_a_file_that_changed_since_it_was_opened(sample, tmp_path, change):
    path = tmp_path / "a.ibt"
    shutil.copy(sample, path)
    log = corvex.open(path)
    if change == "replaced":
        fresh = tmp_path / "b.ibt"
        shutil.copy(sample, fresh)
        os.replace(fresh, path)  # the same bytes, another file
    else:
        info = os.stat(path)
        os.utime(path, ns=(info.st_atime_ns, info.st_mtime_ns + 1_000_000_000))
    with pytest.raises(RuntimeError, match="changed since it was read") as caught:
        _ = log.arrays
    assert caught.value.kind == "changed"
    assert corvex.open(path).arrays.keys() == corvex.open(sample).arrays.keys()
