"""Fixtures shared by the reader tests."""

from __future__ import annotations

from collections.abc import Callable
from pathlib import Path

import pytest

REAL_DATA_DIR = Path(__file__).resolve().parents[2] / "shared" / "data" / "real"


@pytest.fixture(scope="session")
def real_file() -> Path:
    """A real recording kept beside the project, or a skip when this checkout has none."""
    files = sorted(REAL_DATA_DIR.glob("*.ibt"))
    if not files:
        pytest.skip(f"no real IBT file in {REAL_DATA_DIR}")
    return files[0]


@pytest.fixture
def write_file(tmp_path: Path) -> Callable[[bytes, str], Path]:
    """Write bytes to a file under tmp_path and return its path."""

    def write(data: bytes, name: str = "session.ibt") -> Path:
        path = tmp_path / name
        path.write_bytes(data)
        return path

    return write
