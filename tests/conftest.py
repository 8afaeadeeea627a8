"""Fixtures shared by the reader tests."""

from __future__ import annotations

from collections.abc import Callable
from pathlib import Path

import pytest
from _helpers import real_sample


@pytest.fixture(scope="session")
def real_file() -> Path:
    """A real recording kept beside the project, or a skip when this checkout has none."""
    return real_sample()


@pytest.fixture
def write_file(tmp_path: Path) -> Callable[[bytes, str], Path]:
    """Write bytes to a file under tmp_path and return its path."""

    def write(data: bytes, name: str = "session.ibt") -> Path:
        path = tmp_path / name
        path.write_bytes(data)
        return path

    return write
