"""The lock that keeps two exports out of one directory."""

from __future__ import annotations

import fcntl
from pathlib import Path
from typing import Any

from corvex.dataset.schema import LOCK_FILE


class ExportLock:
    def __init__(self, handle: Any) -> None:
        self.handle = handle

    def close(self) -> None:
        self.handle.close()


def lock_directory(out: Path) -> ExportLock:
    """Hold a lock on ``out`` so that two exports never write into one directory at once."""
    handle = open(out / LOCK_FILE, "a")  # noqa: SIM115 - held until close()
    try:
        fcntl.flock(handle.fileno(), fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError:
        handle.close()
        raise BlockingIOError(f"{out}: another export is writing into this directory") from None
    return ExportLock(handle)
