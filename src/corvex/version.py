"""The installed version of corvex, as the package metadata says it."""

from __future__ import annotations

__all__ = ["version"]


def version() -> str:
    """``corvex.__version__``: the installed distribution's version, or "0.0.0+unknown" for a
    source tree that was never installed."""
    from importlib import metadata

    try:
        return metadata.version("corvex")
    except metadata.PackageNotFoundError:
        return "0.0.0+unknown"
