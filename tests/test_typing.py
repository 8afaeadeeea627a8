"""The extension's stub against the extension, and the typed public API under mypy --strict."""

from __future__ import annotations

import inspect
import subprocess
import sys
from pathlib import Path

import pytest

ext = pytest.importorskip("corvex._corvex_rs")

USE = Path(__file__).with_name("typing") / "use_api.py"
STUB = Path(__file__).parents[1] / "src" / "corvex" / "_corvex_rs.pyi"


def test_the_stub_declares_every_function_of_the_extension():
    text = STUB.read_text()
    for name in ext.__all__:
        assert f"\ndef {name}(" in text, name
        # The stub's parameters are the extension's (its text signature), in order.
        params = list(inspect.signature(getattr(ext, name)).parameters)
        declared = text.split(f"\ndef {name}(", 1)[1].split(")", 1)[0]
        assert [p.split(":")[0].strip() for p in declared.split(",") if ":" in p] == params


# Misuses the stub must catch: (line, mypy error code).
MISUSES = [
    ('size: int = _corvex_rs.probe("x")["file_size"] + "1"', "operator"),
    ('count: str = _corvex_rs.read("x")[1]["whole_records"]', "assignment"),
    ('_corvex_rs.read_arrays("x", salvage=True, identity=(1, 2))', "arg-type"),
]


def test_a_typed_use_of_the_api_passes_mypy_strict_and_misuses_do_not(tmp_path):
    pytest.importorskip("mypy")
    misuse = tmp_path / "misuse.py"
    misuse.write_text(
        "from corvex import _corvex_rs\n\n" + "".join(f"{line}\n" for line, _ in MISUSES)
    )
    # Run from the project, so that its mypy cache (the one `make lint` keeps) is reused.
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--show-error-codes",
         str(USE), str(misuse)],
        capture_output=True, text=True, timeout=300, cwd=STUB.parents[2],
    )  # fmt: skip
    errors = [line for line in done.stdout.splitlines() if ": error: " in line]
    assert not [e for e in errors if "use_api.py" in e], done.stdout + done.stderr
    found = {(int(e.split(":")[1]), e.rsplit("[", 1)[-1].rstrip("]")) for e in errors}
    assert found == {(i + 3, code) for i, (_, code) in enumerate(MISUSES)}, done.stdout
