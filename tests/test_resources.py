"""What a call may take: memory bounded by a budget set before the columns are allocated,
interrupts that reach the caller, and exact bytes read where they lie."""

from __future__ import annotations

import json
import os
import re
import resource
import signal
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pyarrow as pa
import pytest
from corvex._corvex_rs import ibt

from corvex.testing import DOUBLE, FLOAT, INT, Var, build_ibt, layout, sample_session

NEED = re.compile(
    r"reading it would need (\d+) bytes for its columns; the limit is (\d+) bytes \((.*)\)$"
)
NOT_A_SOURCE = "Expected str, bytes, PathLike, or file-like object"


def amplifying(size: int) -> bytes:
    """About `size` bytes: as many Double variables at offset 0 as the headers hold, records of
    8 bytes from offset 0 over the whole file, so every variable is a column of size/8 rows."""
    count = size // layout.VAR_HEADER_SIZE
    variables = [Var("SessionTime", DOUBLE, offset=0)]
    variables += [Var(f"D{i}", DOUBLE, offset=0) for i in range(count - 1)]
    data = bytearray(build_ibt(variables, data=bytes(8), buf_len=8))
    layout.patch_field(data, "buf_offset", 0)
    layout.patch_field(data, "session_record_count", len(data) // 8)
    return bytes(data)


def default_limit() -> int:
    """The memory the process may have, found here from the system: physical memory, or the
    address-space or data-size limit when one is set and smaller."""
    limit = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    for kind in (resource.RLIMIT_AS, resource.RLIMIT_DATA):
        soft = resource.getrlimit(kind)[0]
        if soft != resource.RLIM_INFINITY:
            limit = min(limit, soft)
    return limit


def needed(source: object, monkeypatch: pytest.MonkeyPatch) -> int:
    """The bytes the budget counts for `source`, read from the refusal under a budget of 1."""
    monkeypatch.setenv("CORVEX_MAX_RESULT_BYTES", "1")
    with pytest.raises(MemoryError) as refused:
        ibt(source)
    monkeypatch.delenv("CORVEX_MAX_RESULT_BYTES")
    match = NEED.search(str(refused.value))
    assert match, refused.value
    assert (int(match[2]), match[3]) == (1, "CORVEX_MAX_RESULT_BYTES")
    return int(match[1])


# The peak resident size of the process, from the kernel's high-water mark of its memory map;
# getrusage's ru_maxrss would do but for starting from the parent's size at fork.
PEAK_KIB = """
def peak_kib():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))
"""

needs_proc = pytest.mark.skipif(not Path("/proc/self/status").exists(), reason="needs /proc")


def run_child(code: str, *args: str, env: dict[str, str] | None = None) -> dict:
    """Runs `code` (which may call peak_kib()) in a fresh interpreter and returns the JSON it
    prints last."""
    done = subprocess.run(
        [sys.executable, "-c", PEAK_KIB + textwrap.dedent(code), *args],
        capture_output=True,
        text=True,
        timeout=120,
        env={**os.environ, **(env or {})},
    )
    assert done.returncode == 0, done.stderr[-3000:]
    return json.loads(done.stdout.strip().splitlines()[-1])


# -- the memory budget -------------------------------------------------------------------------

REFUSAL = """
    import json, resource, sys, time
    from corvex._corvex_rs import ibt
    if len(sys.argv) > 2:  # a data-size limit, as a smaller machine would have
        resource.setrlimit(resource.RLIMIT_DATA, (int(sys.argv[2]), resource.RLIM_INFINITY))
    before = peak_kib()
    start = time.perf_counter()
    try:
        ibt(sys.argv[1])
        outcome = "LogFile"
    except MemoryError as error:
        outcome = str(error)
    seconds = time.perf_counter() - start
    grown = peak_kib() - before
    print(json.dumps({"outcome": outcome, "seconds": seconds, "grown_kib": grown}))
"""


@needs_proc
@pytest.mark.parametrize(
    "size, budget",
    [
        pytest.param(2_000_000, None, id="2MB-default-budget"),
        pytest.param(432_000, 1_000_000_000, id="432KB-1GB-budget"),
    ],
)
def test_amplifying_file_is_refused_before_its_columns_exist(tmp_path, size, budget):
    if budget is None and "libasan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("AddressSanitizer's shadow memory does not fit under a data-size limit")
    path = tmp_path / "amplifying.ibt"
    path.write_bytes(amplifying(size))
    fields = layout.read_fields(path.read_bytes())
    rows, columns = fields["session_record_count"], fields["num_vars"]
    # Time column plus one Double column per variable: the least the result could take.
    least = 8 * rows * (columns + 1)
    env = {} if budget is None else {"CORVEX_MAX_RESULT_BYTES": str(budget)}
    args = [str(path)]
    if budget is None and "libasan" in os.environ.get("LD_PRELOAD", ""):
        # AddressSanitizer cannot map its memory under a data-size limit: the machine's own
        # memory must be what the columns exceed.
        limit = default_limit()
        if least <= limit:
            pytest.skip("the columns fit this machine and AddressSanitizer rules out a limit")
    elif budget is None:
        # A machine with more memory than the columns would read them; a data-size limit of
        # 16 GiB keeps the default budget below them wherever this runs.
        args.append(str(16 << 30))
        limit = min(default_limit(), 16 << 30)
        assert least > limit
    else:
        limit = budget
    report = run_child(REFUSAL, *args, env=env)
    match = re.match(re.escape(f"{path}: ") + NEED.pattern, report["outcome"])
    assert match, report["outcome"]
    assert int(match[1]) >= least
    assert int(match[2]) == limit
    assert report["grown_kib"] < 100 * 1024, report


def four_hour_file(path: Path) -> int:
    """A four-hour recording's headers (the benchmark's layout: 275 channels in records of
    1,072 bytes, 864,000 records) over a sparse data region; returns the least its columns
    take, counted from the layout: 8 bytes of time plus each scalar's width, per record."""
    sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "bench"))
    try:
        from make_session import build_session
    finally:
        sys.path.pop(0)
    head = bytearray(build_session(64))
    records = 864_000
    layout.patch_field(head, "session_record_count", records)
    fields = layout.read_fields(head)
    with open(path, "wb") as out:
        out.write(head)
        out.truncate(fields["buf_offset"] + fields["buf_len"] * records)
    widths = {1: 1, 2: 4, 3: 4, 4: 4, 5: 8, 0: 1}
    scalars = [v for v in layout.read_var_headers(head) if v.count == 1]
    return records * (8 + sum(widths[v.type] for v in scalars))


def test_four_hour_recording_is_inside_the_default_budget(tmp_path, monkeypatch):
    # The decision is checked without allocating the gigabyte: the need the budget counts for
    # the file is read from its refusal under a budget of 1 and compared with the default limit.
    path = tmp_path / "four-hours.ibt"
    least = four_hour_file(path)
    need = needed(str(path), monkeypatch)
    assert least <= need < least * 1.2
    assert need < 2 << 30  # a four-hour recording fits a machine of 2 GiB
    assert need <= default_limit()


def lap_every_record(rows: int) -> bytes:
    variables = [Var("SessionTime", DOUBLE), Var("Lap", INT), Var("OnPitRoad", INT)]
    columns = {
        "SessionTime": [i / 60 for i in range(rows)],
        "Lap": list(range(rows)),
        "OnPitRoad": [i % 2 for i in range(rows)],
    }
    return build_ibt(variables, columns)


def result_bytes(log) -> int:
    """The bytes of every buffer of a result: the shared time column once, every channel's
    values, the lap table."""
    size = log.timecodes.nbytes
    size += sum(table.column(1).nbytes for table in log.channels.values())
    return size + log.laps.nbytes


@pytest.mark.parametrize(
    "make",
    [
        pytest.param(lambda: lap_every_record(20_000), id="lap-row-per-record"),
        pytest.param(lambda: amplifying(20_000), id="amplifying-20KB"),
        pytest.param(sample_session, id="sample-session"),
    ],
)
def test_budget_counts_everything_the_result_holds(make, monkeypatch):
    data = make()
    log = ibt(data)
    if "Lap" in log.channels and make is not sample_session:
        assert log.laps.num_rows == log.record_count  # the amplification is there
    assert needed(data, monkeypatch) >= result_bytes(log)


def test_budget_counts_the_real_recording(real_file, monkeypatch):
    assert needed(str(real_file), monkeypatch) >= result_bytes(ibt(str(real_file)))


# -- interrupts --------------------------------------------------------------------------------


def raising_sequence(error: BaseException, where: str) -> object:
    """A sequence whose length, items, iterator or iteration raise `error`."""

    class Source:
        def __len__(self) -> int:
            if where == "len":
                raise error
            return 4

        def __getitem__(self, index: int) -> int:
            if where == "getitem":
                raise error
            if index >= 4:
                raise IndexError(index)
            return 0

    if where == "iter":
        Source.__iter__ = lambda self: (_ for _ in ()).throw(error)  # type: ignore[attr-defined]
    if where == "next":

        def iterate(self):
            yield 0
            raise error

        Source.__iter__ = iterate  # type: ignore[attr-defined]
    return Source()


@pytest.mark.parametrize("where", ["len", "getitem", "iter", "next"])
@pytest.mark.parametrize(
    "error, passes",
    [
        (KeyboardInterrupt(), True),
        (SystemExit(3), True),
        (MemoryError("from the sequence"), True),
        (ValueError("ordinary"), False),
        (LookupError("ordinary"), False),
    ],
)
def test_sequence_source_failures(error, passes, where):
    source = raising_sequence(error, where)
    if passes:
        with pytest.raises(type(error)) as raised:
            ibt(source)
        assert raised.value is error
    elif where == "len":
        # A failing length is only a hint: the four items are read, and are not a file.
        with pytest.raises(RuntimeError, match="^Invalid header"):
            ibt(source)
    else:
        with pytest.raises(TypeError, match=f"^{NOT_A_SOURCE}$"):
            ibt(source)


def sparse_file(path: Path, size: int) -> int:
    """A file of `size` bytes, nearly all of it a hole, read as records of 4 KiB (SessionTime,
    Speed, Lap at the start of each): a long record pass with small columns. Returns the
    record count."""
    buf_len = 4096
    variables = [Var("SessionTime", DOUBLE), Var("Speed", FLOAT), Var("Lap", INT)]
    head = bytearray(build_ibt(variables, data=bytes(buf_len), buf_len=buf_len))
    buf_offset = layout.read_fields(head)["buf_offset"]
    records = (size - buf_offset) // buf_len
    layout.patch_field(head, "session_record_count", records)
    with open(path, "wb") as out:
        out.write(head)
        out.truncate(buf_offset + buf_len * records)
    return records


SIGINT_CHILD = """
    import json, sys, time
    from corvex._corvex_rs import ibt
    ibt(sys.argv[2])  # imports and pools, so that the interrupted call is the pass itself
    print("ready", flush=True)
    start = time.monotonic()
    try:
        ibt(sys.argv[1])
        outcome, at = "finished", time.monotonic()
    except KeyboardInterrupt:
        outcome, at = "KeyboardInterrupt", time.monotonic()
    print(json.dumps({"outcome": outcome, "at": at, "start": start}), flush=True)
"""


def test_sigint_ends_a_long_call_promptly(tmp_path):
    path = tmp_path / "sparse.ibt"
    sparse_file(path, 10 << 30)
    small = tmp_path / "small.ibt"
    small.write_bytes(build_ibt([Var("SessionTime", DOUBLE)], {"SessionTime": [0.0]}))
    child = subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(SIGINT_CHILD), str(path), str(small)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    assert child.stdout is not None
    assert child.stdout.readline().strip() == "ready"
    time.sleep(1.0)
    sent = time.monotonic()  # CLOCK_MONOTONIC: the same clock in both processes
    child.send_signal(signal.SIGINT)
    out, err = child.communicate(timeout=60)
    assert child.returncode == 0, err
    report = json.loads(out.strip().splitlines()[-1])
    assert report["outcome"] == "KeyboardInterrupt", report
    # How soon is a matter for the benchmark (bench/bench.py prints the latency); here the
    # interrupt must end the call, in the pass, as a KeyboardInterrupt.
    assert report["at"] >= sent


# -- exact bytes in place ----------------------------------------------------------------------

PEAK_CHILD = """
    import json, os, resource, sys
    from corvex._corvex_rs import ibt
    ibt(open(sys.argv[2], "rb").read())  # imports and pools
    with open(sys.argv[1], "rb") as file:  # read into the object itself: no second copy
        if sys.argv[3] == "bytes":
            source = file.read()
        else:
            source = bytearray(os.fstat(file.fileno()).st_size)
            file.readinto(source)
    before = peak_kib()
    log = ibt(source)
    grown = peak_kib() - before
    print(json.dumps({"grown_kib": grown, "rows": log.channels["SessionTime"].num_rows}))
"""


@pytest.fixture(scope="module")
def region_200mb(tmp_path_factory) -> tuple[Path, Path, int]:
    """A 200 MB file of records of 1,000 bytes with two small channels (4 MB of columns)."""
    root = tmp_path_factory.mktemp("peak")
    records = 200_000
    variables = [Var("SessionTime", DOUBLE), Var("Speed", FLOAT)]
    path = root / "big.ibt"
    path.write_bytes(build_ibt(variables, data=bytes(1000 * records), buf_len=1000))
    small = root / "small.ibt"
    small.write_bytes(build_ibt(variables, {"SessionTime": [0.0], "Speed": [1.0]}))
    return path, small, records


@needs_proc
@pytest.mark.parametrize("kind", ["bytes", "bytearray"])
def test_exact_bytes_are_read_where_they_lie(region_200mb, kind):
    path, small, records = region_200mb
    report = run_child(PEAK_CHILD, str(path), str(small), kind)
    assert report["rows"] == records
    region_kib = 1000 * records // 1024
    if kind == "bytes":
        assert report["grown_kib"] < region_kib // 4, report
    else:  # the copy that protects a mutable buffer, which the measure must see
        assert report["grown_kib"] > region_kib * 3 // 4, report


def test_bytearray_changed_during_the_call_does_not_change_the_result():
    data = sample_session()
    expected = ibt(data)
    source = bytearray(data)

    def progress(done: int, total: int) -> None:
        source[:] = bytes(len(source))  # the source rewritten once the channels are being built
        source.extend(b"\xff" * 100)

    log = ibt(source, progress)
    assert source[:4] == bytes(4)
    assert log.channels.keys() == expected.channels.keys()
    for name, table in expected.channels.items():
        assert log.channels[name].equals(table), name
    assert log.laps.equals(expected.laps)
    assert isinstance(log.laps, pa.Table)
