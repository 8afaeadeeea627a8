"""Every allocation of a call may fail: the call must end in MemoryError, never crash.

An allocator shim (alloc_shim.c, loaded with LD_PRELOAD) fails the n-th allocation after it is
armed. A child process warms up, counts the allocations of one call, then for every n forks:
the fork arms the shim for n, makes the call and reports how it ended. CPython allocates
through malloc too (PYTHONMALLOC=malloc), so the Python objects of the call fail as well.
"""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from corvex import layout
from corvex.writer import sample_session

SHIM_SOURCE = Path(__file__).with_name("alloc_shim.c")

pytestmark = pytest.mark.skipif(
    not sys.platform.startswith("linux") or shutil.which("cc") is None,
    reason="needs Linux and a C compiler for the allocator shim",
)

CHILD = """
    import ctypes, json, os, sys
    from corvex._corvex_rs import ibt
    import corvex.base

    shim = ctypes.CDLL(None)
    shim.alloc_shim_disarm.restype = ctypes.c_long
    source = sys.argv[1] if sys.argv[2] == "path" else open(sys.argv[1], "rb").read()
    ibt(source)
    ibt(source)
    shim.alloc_shim_arm(ctypes.c_long(1 << 62))
    ibt(source)
    total = shim.alloc_shim_disarm()
    outcomes = {}
    for n in range(1, total + 2):
        pid = os.fork()
        if pid == 0:
            shim.alloc_shim_arm(ctypes.c_long(n))
            try:
                ibt(source)
                code = 10
            except MemoryError:
                code = 11
            except BaseException:
                code = 12
            fired = shim.alloc_shim_failed()
            shim.alloc_shim_disarm()
            os._exit(code + 10 * fired)
        _, status = os.waitpid(pid, 0)
        if os.WIFSIGNALED(status):
            outcome = "signal %d" % os.WTERMSIG(status)
        else:
            code = os.WEXITSTATUS(status)
            fired = code >= 20
            outcome = {0: "ok", 1: "MemoryError", 2: "other exception"}.get(code % 10, str(code))
            outcome += " (failed)" if fired else ""
        outcomes.setdefault(outcome, []).append(n)
    print(json.dumps({"total": total, "outcomes": outcomes}))
"""


@pytest.fixture(scope="module")
def shim(tmp_path_factory) -> Path:
    out = tmp_path_factory.mktemp("shim") / "alloc_shim.so"
    subprocess.run(
        ["cc", "-shared", "-fPIC", "-O1", "-o", str(out), str(SHIM_SOURCE), "-ldl"], check=True
    )
    return out


def inject(shim: Path, path: Path, kind: str) -> dict:
    env = {**os.environ, "LD_PRELOAD": str(shim), "PYTHONMALLOC": "malloc"}
    env["CORVEX_MAX_THREADS"] = "1"  # one thread: the n-th allocation is the same every run
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(CHILD), str(path), kind],
        capture_output=True,
        text=True,
        timeout=1800,
        env=env,
    )
    assert done.returncode == 0, done.stderr[-3000:]
    return json.loads(done.stdout.strip().splitlines()[-1])


def check(report: dict) -> None:
    outcomes = report["outcomes"]
    # Every failure delivered ends the call in MemoryError; past the last allocation it succeeds.
    assert set(outcomes) <= {"MemoryError (failed)", "ok"}, {
        k: v[:10] for k, v in outcomes.items() if k not in ("MemoryError (failed)",)
    }
    assert report["total"] + 1 in outcomes["ok"]
    assert len(outcomes["MemoryError (failed)"]) >= report["total"] * 9 // 10


# Still failing: a few hundred of the ~1,600 allocations of a call abort the process (SIGABRT,
# std::terminate on a std::bad_alloc) and a few end in MemoryError without the shim having
# failed anything. The crashes that were found and fixed: a bad_alloc escaping the Arrow
# stream callbacks and a worker thread, and one escaping pyarrow's stream import with the
# interpreter lock released (a segfault). strict: the mark must go when the test passes.
REMAINING = pytest.mark.xfail(strict=True, reason="aborts left on some allocations; see above")


@REMAINING
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


@REMAINING
def test_every_allocation_of_a_call_on_the_real_recording(shim, real_file):
    check(inject(shim, real_file, "bytes"))
