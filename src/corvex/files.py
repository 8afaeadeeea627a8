"""Files put in place whole: written under a unique temporary name beside the target and renamed
into place when complete, so that a failure (a full disk, a kill, an error) leaves the previous
file as it was and no half-written file under the target's name.

Every file corvex writes goes through here: the single-table exports, the MoTeC ``.ld``/``.ldx``
pair and the dataset's tables.
"""

from __future__ import annotations

import os
import secrets
import stat
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager, suppress
from pathlib import Path

__all__ = [
    "TEMP_SUFFIX",
    "check_replaceable",
    "replace_together",
    "temporary_beside",
    "write_whole",
]

# Temporary files end in this; a writer's own temporaries left by a kill carry it too, so that
# they can be told from the user's files.
TEMP_SUFFIX = ".corvex-tmp"


def check_replaceable(target: Path) -> None:
    """Refuse a target that is a directory or a read-only file: whoever made a file read-only
    meant it to stay, and a rename would replace it without asking."""
    try:
        info = os.stat(target)
    except FileNotFoundError:
        return
    if stat.S_ISDIR(info.st_mode):
        raise IsADirectoryError(f"{target} is a directory; give the name of a file to write")
    if not info.st_mode & 0o222:
        raise PermissionError(f"{target} is read-only; make it writable or remove it first")


def temporary_beside(target: Path) -> Path:
    """A new empty file with a unique hidden name in the target's directory (created with the
    permissions a new file gets, so that the renamed file has them too)."""
    while True:
        tmp = target.with_name(f".{target.name}.{secrets.token_hex(6)}{TEMP_SUFFIX}")
        try:
            flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_BINARY", 0)
            fd = os.open(tmp, flags, 0o666)
        except FileExistsError:
            continue
        os.close(fd)
        return tmp


@contextmanager
def _temporaries(targets: Sequence[Path]) -> Iterator[list[Path]]:
    temps: list[Path] = []
    try:
        for target in targets:
            temps.append(temporary_beside(target))
        yield temps
    finally:
        for tmp in temps:
            with suppress(OSError):
                tmp.unlink(missing_ok=True)


def write_whole(target: str | os.PathLike[str], write: Callable[[Path], object]) -> Path:
    """Write ``target`` with ``write(tmp)`` under a temporary name and rename it into place.

    A failure anywhere (``write`` raising, a full disk, an interrupt) removes the temporary
    file and leaves whatever was at ``target`` untouched. Returns ``target`` as a ``Path``.
    """
    path = Path(target)
    check_replaceable(path)
    with _temporaries([path]) as (tmp,):
        write(tmp)
        os.replace(tmp, path)
    return path


def replace_together(targets: Sequence[Path], write: Callable[[list[Path]], object]) -> list[Path]:
    """Write several files that belong together (an ``.ld`` and its ``.ldx``) and put them in
    place in the order given, all or none.

    ``write(temps)`` writes each file under its temporary name. When a rename fails after
    earlier ones succeeded, the earlier targets get their previous content back (kept through
    a hard link until the last rename is done), so a failure never leaves files of two writes
    side by side.
    """
    paths = [Path(t) for t in targets]
    for path in paths:
        check_replaceable(path)
    with _temporaries(paths) as temps:
        write(temps)
        done: list[tuple[Path, Path | None]] = []  # (target, its previous content or None)
        try:
            for tmp, path in zip(temps, paths):
                backup = _keep_previous(path)
                done.append((path, backup))
                os.replace(tmp, path)
        except BaseException:
            for path, backup in reversed(done):
                with suppress(OSError):
                    if backup is not None:
                        os.replace(backup, path)
                    else:
                        path.unlink(missing_ok=True)
            raise
        finally:
            for _, backup in done:
                if backup is not None:
                    with suppress(OSError):
                        backup.unlink(missing_ok=True)
    return paths


def _keep_previous(path: Path) -> Path | None:
    """A hard link to the file at ``path`` under a temporary name, or None when there is none."""
    if not path.exists():
        return None
    backup = temporary_beside(path)
    backup.unlink()
    os.link(path, backup)
    return backup
