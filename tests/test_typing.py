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


@pytest.mark.parametrize(
    "extra, error",
    [
        ("", None),
        ('found: int = _corvex_rs.probe("x")["file_size"] + "1"\n', "operator"),
        ('bad: str = _corvex_rs.read("x")[1]["whole_records"]\n', "assignment"),
    ],
)
def test_a_typed_use_of_the_api_passes_mypy_strict(tmp_path, extra, error):
    pytest.importorskip("mypy")
    source = tmp_path / "use_api.py"
    source.write_text(USE.read_text() + extra)
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary",
         "--cache-dir", str(tmp_path.parent / "mypy-cache"), str(source)],
        capture_output=True, text=True, timeout=300,
    )  # fmt: skip
    if error is None:
        assert done.returncode == 0, done.stdout + done.stderr
    else:
        assert done.returncode == 1 and f"[{error}]" in done.stdout, done.stdout + done.stderr
