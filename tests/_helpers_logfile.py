"""An independent reading of IBT bytes with `struct`, for the LogFile and command line tests.

It knows only the file layout (main header, disk sub-header, variable headers, records), so
values the tests compare against never come from the code under test.
"""

from __future__ import annotations

from pathlib import Path

from _helpers_channels import RawIbt as ChannelsRawIbt
from _helpers_channels import RawVar

REAL_DATA_DIR = Path(__file__).resolve().parents[2] / "shared" / "data" / "real"


class RawIbt(ChannelsRawIbt):
    """The struct reading of the channel tests, addressed by variable name."""

    def var(self, name: str) -> RawVar:
        return self.find(name)

    def scalar_names(self) -> list[str]:
        return list(dict.fromkeys(var.name for var in self.scalars()))

    def values(self, var: str | RawVar) -> list:
        """The first element of ``var`` (a name or a header) in every record, by its type."""
        return super().values(self.find(var) if isinstance(var, str) else var)

    def lap_runs(self) -> list[tuple[int, int, int]]:
        """(lap number, first record, one past the last record) for each run of equal "Lap"."""
        laps = self.values("Lap")
        runs = []
        start = 0
        for i in range(1, len(laps) + 1):
            if i == len(laps) or laps[i] != laps[start]:
                runs.append((laps[start], start, i))
                start = i
        return runs


def lap_time_text(millis: int) -> str:
    """m:ss.mmm of a duration in milliseconds."""
    return f"{millis // 60000}:{millis % 60000 // 1000:02d}.{millis % 1000:03d}"
