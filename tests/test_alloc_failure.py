"""Every allocation of a call may fail: the call must end in MemoryError, never crash.

An allocator shim (alloc_shim.c, loaded with LD_PRELOAD) fails the n-th allocation after it is
armed. A child process warms up, counts the allocations of one call (in a fork, noting the
library each comes from), then for each chosen n forks: the fork arms the shim for n, makes the
call and reports how it ended. CPython allocates through malloc too (PYTHONMALLOC=malloc), so
the Python objects of the call fail as well.

One failure cannot be turned into MemoryError: see ARROW_NOEXCEPT.
"""

from __future__ import annotations

import inspect
import json
import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from corvex.testing import layout, sample_session

SHIM_SOURCE = Path(__file__).with_name("alloc_shim.c")

pytestmark = pytest.mark.skipif(
    not sys.platform.startswith("linux") or shutil.which("cc") is None,
    reason="needs Linux and a C compiler for the allocator shim",
)

# By default each test fails about SWEEP_POINTS allocations spread over the call, plus those
# around the steps from one library to another (corvex, pyarrow, Arrow, the interpreter);
# `make test-alloc` sets CORVEX_ALLOC_SWEEP=full and fails every allocation in turn.
FULL_SWEEP = os.environ.get("CORVEX_ALLOC_SWEEP") == "full"
SWEEP_POINTS = 120

CHILD = """
    import ctypes, json, os, sys, tempfile
    from corvex._corvex_rs import ibt
    import corvex.base

    shim = ctypes.CDLL(None)
    shim.alloc_shim_disarm.restype = ctypes.c_long
    disarm, failed, arm = shim.alloc_shim_disarm, shim.alloc_shim_failed, shim.alloc_shim_arm
    report_to = shim.alloc_shim_report_to
    path, kind, full = sys.argv[1], sys.argv[2], sys.argv[3] == "full"
    source = path if kind == "path" else open(path, "rb").read()
    ibt(source)
    ibt(source)
    # The counted call, made in a fork like the others, with the stack of every allocation
    # written to a file.
    with tempfile.TemporaryFile() as trace:
        pid = os.fork()
        if pid == 0:
            report_to(trace.fileno(), 1)
            arm(ctypes.c_long(1 << 62))
            ibt(source)
            disarm()
            os._exit(0)
        _, status = os.waitpid(pid, 0)
        assert status == 0, status
        trace.seek(0)
        stacks = trace.read().decode("utf-8", "replace").split("\\n#")
    total = len(stacks)
    chosen = select(total, [library_of(stack) for stack in stacks], full)
    outcomes, sites = {}, {}
    for n in chosen:
        read_end, write_end = os.pipe()
        pid = os.fork()
        if pid == 0:
            os.close(read_end)
            report_to(write_end, 0)
            arm(ctypes.c_long(n))
            try:
                ibt(source)
                code = 10
            except MemoryError:
                code = 11
            except BaseException:
                code = 12
            disarm()
            os._exit(code + 10 * failed())
        os.close(write_end)
        with os.fdopen(read_end, "rb") as pipe:
            site = pipe.read().decode("utf-8", "replace")
        _, status = os.waitpid(pid, 0)
        if os.WIFSIGNALED(status):
            outcome = "signal %d" % os.WTERMSIG(status)
            if os.WTERMSIG(status) == 6 and any(k in site for k in ARROW_NOEXCEPT):
                outcome = "abort in Arrow's noexcept allocation"
            sites.setdefault(outcome, site)
        else:
            code = os.WEXITSTATUS(status)
            fired = code >= 20
            outcome = {0: "ok", 1: "MemoryError", 2: "other exception"}.get(code % 10, str(code))
            outcome += " (failed)" if fired else ""
        outcomes.setdefault(outcome, []).append(n)
    print(json.dumps({"total": total, "tested": len(chosen), "outcomes": outcomes, "sites": sites}))
"""

# Frames of the Arrow library that allocate inside a noexcept function: arrow::ChunkResolver's
# constructors (arrow/chunk_resolver.h) build a std::vector of chunk offsets, and every
# ChunkedArray, so every pyarrow Table, makes one. A std::bad_alloc there reaches the noexcept
# boundary and the C++ runtime calls std::terminate: nothing the caller of pyarrow can catch.
ARROW_NOEXCEPT = ("ChunkResolverC",)

# The allocator's own frames and the runtimes'; the first frame past these names the library
# that asked for the memory.
ALLOCATORS = ("alloc_shim", "libc.so", "libstdc++", "libgcc_s", "libasan", "libubsan")


def library_of(stack: str) -> str:
    for frame in stack.splitlines()[1:]:
        module = frame.split("(", 1)[0].rsplit("/", 1)[-1]
        if not any(name in module for name in ALLOCATORS):
            return module
    return "?"


def select(total: int, libraries: list[str], full: bool) -> list[int]:
    """Every allocation when full, else about SWEEP_POINTS evenly spaced ones, the first and last
    ones and, for each pair of libraries, around the first two places where the call moves from
    one to the other; and n = total + 1, past the end of the call."""
    step = 1 if full else max(1, total // SWEEP_POINTS)
    chosen = set(range(1, total + 2, step)) | set(range(1, 4)) | set(range(total - 2, total + 2))
    seen: dict[tuple[str, str], int] = {}
    for n in range(2, len(libraries) + 1):
        step_pair = (libraries[n - 2], libraries[n - 1])
        if step_pair[0] != step_pair[1] and seen.get(step_pair, 0) < 2:
            seen[step_pair] = seen.get(step_pair, 0) + 1
            chosen |= {n - 1, n, n + 1}
    return sorted(k for k in chosen if 1 <= k <= total + 1)


@pytest.fixture(scope="module")
def shim(tmp_path_factory) -> Path:
    out = tmp_path_factory.mktemp("shim") / "alloc_shim.so"
    subprocess.run(
        ["cc", "-shared", "-fPIC", "-O1", "-o", str(out), str(SHIM_SOURCE), "-ldl"], check=True
    )
    return out


def inject(shim: Path, path: Path, kind: str) -> dict:
    # The shim comes first, so that its malloc is the one called; under the sanitizer build the
    # sanitizer runtimes follow it and serve what it passes on.
    preload = " ".join([str(shim), *os.environ.get("LD_PRELOAD", "").split()])
    env = {**os.environ, "LD_PRELOAD": preload, "PYTHONMALLOC": "malloc"}
    if "libasan" in preload:
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"
    env["CORVEX_MAX_THREADS"] = "1"  # one thread: the n-th allocation is the same every run
    helpers = "\n\n".join(inspect.getsource(f) for f in (library_of, select))
    constants = (
        f"ARROW_NOEXCEPT = {ARROW_NOEXCEPT!r}\nALLOCATORS = {ALLOCATORS!r}\n"
        f"SWEEP_POINTS = {SWEEP_POINTS}\n"
    )
    code = constants + helpers + textwrap.dedent(CHILD)
    done = subprocess.run(
        [sys.executable, "-c", code, str(path), kind, "full" if FULL_SWEEP else "thin"],
        capture_output=True,
        text=True,
        timeout=1800,
        env=env,
    )
    assert done.returncode == 0, done.stderr[-3000:]
    return json.loads(done.stdout.strip().splitlines()[-1])


def check(report: dict) -> None:
    outcomes = report["outcomes"]
    # Every failure delivered ends the call in MemoryError, except one inside Arrow's noexcept
    # constructors (see ARROW_NOEXCEPT); past the last allocation the call succeeds.
    allowed = {"MemoryError (failed)", "abort in Arrow's noexcept allocation", "ok"}
    assert set(outcomes) <= allowed, (
        {k: v[:10] for k, v in outcomes.items() if k not in allowed},
        report["sites"],
    )
    # The call succeeds once n is past its allocations (the count may differ by a few from the
    # counted call's: CPython's free lists are not the same in every fork).
    assert report["total"] + 1 in outcomes["ok"]
    assert max(outcomes["MemoryError (failed)"]) < min(outcomes["ok"])
    assert len(outcomes["MemoryError (failed)"]) >= report["tested"] * 9 // 10


@pytest.mark.parametrize("kind", ["bytes", "path"])
def test_every_allocation_of_a_call_on_a_writer_file(shim, tmp_path, kind):
    path = tmp_path / "sample.ibt"
    data = sample_session()
    # The first records of the sample: every kind of channel, laps, a session info.
    fields = layout.read_fields(data)
    cut = bytearray(data[: fields["buf_offset"] + fields["buf_len"] * 200])
    layout.patch_field(cut, "session_record_count", 200)
    path.write_bytes(bytes(cut))
    check(inject(shim, path, kind))


def test_every_allocation_of_a_call_on_the_real_recording(shim, real_file):
    check(inject(shim, real_file, "bytes"))
