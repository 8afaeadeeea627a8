"""Fixtures shared by the reader tests."""

from __future__ import annotations

from collections.abc import Callable
from pathlib import Path

import pytest
from _helpers import real_sample

from corvex.testing import tracks as T


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


# The viewer's laps: 1 and 2 alike, 3 brakes 10 m earlier into the third turn, 4 is 3 km/h
# slower through the sixth.
VIEW_PLANS = [
    T.LapPlan(),
    T.LapPlan(),
    T.LapPlan(brake_earlier={2: 10.0}),
    T.LapPlan(slower={5: 0.83}),
]


@pytest.fixture(scope="session")
def road_drive() -> T.Drive:
    """Four laps of the road course, driven as VIEW_PLANS says."""
    return T.drive(T.road_course(), VIEW_PLANS)


@pytest.fixture(scope="session")
def view_folder(tmp_path_factory, road_drive) -> Path:
    """A folder for the viewer: road.ibt (road_drive), road-cut.ibt (it cut short),
    sub/oval.ibt (another track) and notes.txt (no recording)."""
    root = tmp_path_factory.mktemp("view")
    data = T.session_file(road_drive)
    (root / "road.ibt").write_bytes(data)
    (root / "road-cut.ibt").write_bytes(data[: len(data) // 3])
    (root / "sub").mkdir()
    (root / "sub" / "oval.ibt").write_bytes(T.session_file(T.drive(T.oval(), [T.LapPlan()] * 2)))
    (root / "notes.txt").write_text("not a recording")
    return root
