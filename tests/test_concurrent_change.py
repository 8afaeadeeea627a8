"""A file cut by another process while it is read gives an error or a whole result, never a crash.

A child interpreter reads a large file again and again; for each call this process cuts the file
at a random moment of the pass and to a random length, then puts it back. The child must live
through every round, and each call must end in a LogFile or in the path's OSError.
"""

from __future__ import annotations

import json
import os
import random
import shutil
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest

from corvex.testing import layout, repeat_records, sample_session

ROUNDS = 24

CHILD = textwrap.dedent("""
    import faulthandler, json, sys
    faulthandler.enable()
    from corvex._corvex_rs import ibt

    path = sys.argv[1]
    for line in sys.stdin:
        print("start", flush=True)
        try:
            log = ibt(path)
            outcome = {"result": "LogFile", "records": log.record_count}
        except BaseException as error:
            outcome = {"result": type(error).__name__, "message": str(error)}
        print(json.dumps(outcome), flush=True)
    """)


@pytest.fixture(scope="module")
def big_file(tmp_path_factory: pytest.TempPathFactory) -> Path:
    path = tmp_path_factory.mktemp("race") / "pristine.ibt"
    path.write_bytes(repeat_records(sample_session(), 4))
    return path


def test_cutting_the_file_during_the_pass_never_kills_the_reader(big_file: Path) -> None:
    data_start = layout.read_field(big_file.read_bytes()[:144], "buf_offset")
    size = big_file.stat().st_size
    path = big_file.with_name("race.ibt")
    shutil.copyfile(big_file, path)
    rng = random.Random(20261208)
    child = subprocess.Popen(
        [sys.executable, "-c", CHILD, str(path)],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    assert child.stdin is not None and child.stdout is not None
    outcomes = []

    def call() -> None:
        child.stdin.write("go\n")
        child.stdin.flush()
        assert child.stdout.readline().strip() == "start"

    # Uncut calls tell how long a pass takes here: the first one also imports pyarrow, so the
    # quickest of the later ones is the pass.
    passes = []
    for _ in range(4):
        started = time.perf_counter()
        call()
        uncut = json.loads(child.stdout.readline())
        assert uncut["result"] == "LogFile", uncut
        passes.append(time.perf_counter() - started)
    pass_seconds = min(passes[1:])

    def caught(found: list[dict[str, object]]) -> bool:
        return any("I/O error" in str(o.get("message", "")) for o in found)

    # At least ROUNDS cuts, and more (up to three times as many) until one lands mid-pass: on a
    # busy machine a pass can take longer or shorter than the one measured.
    while len(outcomes) < ROUNDS or (not caught(outcomes) and len(outcomes) < 3 * ROUNDS):
        shutil.copyfile(big_file, path)
        child.stdin.write("go\n")
        child.stdin.flush()
        if child.stdout.readline().strip() != "start":
            break
        time.sleep(rng.uniform(0.0, pass_seconds))
        os.truncate(path, rng.choice([0, data_start, (data_start + size) // 2]))
        line = child.stdout.readline()
        if not line:
            break
        outcomes.append(json.loads(line))
    child.stdin.close()
    stderr = child.stderr.read() if child.stderr else ""
    assert child.wait(timeout=60) == 0, f"the reader died ({child.returncode}): {stderr[-800:]}"
    assert len(outcomes) >= ROUNDS
    for outcome in outcomes:
        assert outcome["result"] in ("LogFile", "OSError"), outcome
        if outcome["result"] == "OSError":
            assert outcome["message"].startswith(f"{path}: "), outcome
    assert caught(outcomes), f"no call was caught mid-pass: {outcomes}"
