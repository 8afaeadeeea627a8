"""Files put in place whole (written under a temporary name, then renamed), and the lock that
keeps two exports out of one directory."""

from __future__ import annotations

import fcntl
import os
from collections.abc import Callable
from pathlib import Path
from typing import Any

import pyarrow as pa
import pyarrow.parquet as pq

from corvex.dataset.schema import LOCK_FILE


def atomic_write(target: Path, write: Callable[[Path], None]) -> None:
    """Write a file with ``write(tmp)`` under a hidden temporary name, then rename it."""
    tmp = target.with_name(f".{target.name}.tmp-{os.getpid()}")
    try:
        write(tmp)
        os.replace(tmp, target)
    except BaseException:
        tmp.unlink(missing_ok=True)
        raise


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


def read_table(path: Path) -> pa.Table | None:
    if not path.is_file():
        return None
    return pq.read_table(path)
