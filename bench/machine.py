"""The heading of a saved benchmark run: when, on what, with what (``make bench`` prints it).

One ``key: value`` a line, read by the documentation's performance page.
"""

from __future__ import annotations

import datetime
import os
import platform
from pathlib import Path


def _cpu() -> str:
    try:
        lines = Path("/proc/cpuinfo").read_text().splitlines()
    except OSError:
        return platform.processor() or "unknown processor"
    return next((x.split(":", 1)[1].strip() for x in lines if x.startswith("model name")), "?")


def _virtual() -> str:
    """' (a virtual machine)' when the processor says it runs under a hypervisor."""
    try:
        flags = Path("/proc/cpuinfo").read_text()
    except OSError:
        return ""
    return ", a virtual machine" if " hypervisor" in flags else ""


def main() -> None:
    import numpy
    import pyarrow

    now = datetime.datetime.now(datetime.UTC)
    print(f"date: {now:%Y-%m-%d %H:%M} UTC")
    print(f"machine: {platform.system()} {platform.release()} {platform.machine()}{_virtual()}")
    print(f"cpu: {_cpu()}")
    cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    print(f"cores: {cores}")
    print(f"load: {os.getloadavg()[0]:.2f}")
    print(
        f"software: Python {platform.python_version()}, pyarrow {pyarrow.__version__}, "
        f"numpy {numpy.__version__}"
    )


if __name__ == "__main__":
    main()
