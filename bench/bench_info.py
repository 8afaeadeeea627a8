"""Time ``corvex info`` on a 4 MB recording, end to end: the process's start included.

    python bench/bench_info.py [--rounds 15]

The recording is the real one beside the project (../shared/data/real/), its records repeated
to 4 MB, or, without it, the bundled sample session cut to 4 MB; written to bench/data/. Each
round runs ``corvex info FILE`` in a new process, as a user does, and waits for it. Printed: the
median and the best of the rounds against the target of 0.25 s, with the median CPU time
(user and system) beside it, which other work on the machine disturbs less; for scale the same
for a bare interpreter and for ``import pyarrow, numpy`` alone; and whether the command
imported pandas (it must not: nothing it prints needs it). Figures are printed, never
asserted.
"""

from __future__ import annotations

import argparse
import os
import resource
import statistics
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from make_session import DATA_DIR  # noqa: E402

from corvex.testing import keep_records, layout, repeat_records, sample_session  # noqa: E402

TARGET_S = 0.25
SIZE = 4_000_000
REAL = Path(__file__).resolve().parents[2] / "shared" / "data" / "real"


def ensure_file() -> tuple[Path, str]:
    """The 4 MB recording, written first when it is not there yet, and what it is."""
    real = sorted(REAL.glob("*.ibt")) if REAL.is_dir() else []
    if real:
        data = real[0].read_bytes()
        times = max(1, -(-SIZE // len(data)) + 1)
        path = DATA_DIR / f"info_{real[0].stem}_x{times}.ibt"
        what = f"{real[0].name} repeated {times} times"
        make = lambda: repeat_records(data, times)  # noqa: E731
    else:
        path = DATA_DIR / "info_sample_4mb.ibt"
        what = "the sample session cut to 4 MB"

        def make() -> bytes:
            data = sample_session()
            count = layout.read_fields(data)["session_record_count"]
            return keep_records(data, min(count, SIZE * count // len(data)))

    if not path.exists():
        path.parent.mkdir(parents=True, exist_ok=True)
        partial = path.with_suffix(f".tmp{os.getpid()}")
        partial.write_bytes(make())
        partial.replace(path)  # a half-written file is never taken for a finished one
    return path, what


def wall(argv: list[str], rounds: int) -> tuple[list[float], list[float]]:
    """Wall-clock and CPU seconds (user and system, of the child) of each round."""
    subprocess.run(argv, stdout=subprocess.DEVNULL, check=True)  # warm the file cache
    seconds, cpu = [], []
    for _ in range(rounds):
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        start = time.perf_counter()
        subprocess.run(argv, stdout=subprocess.DEVNULL, check=True)
        seconds.append(time.perf_counter() - start)
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        cpu.append(after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime)
    return seconds, cpu


def line(label: str, times: tuple[list[float], list[float]], target: float | None = None) -> str:
    seconds, cpu = times
    median, best = statistics.median(seconds), min(seconds)
    text = (
        f"  {label:<24} wall median {median:6.3f} s, best {best:6.3f} s;"
        f" CPU median {statistics.median(cpu):6.3f} s"
    )
    if target is not None:
        text += f"; target {target:.2f} s: {'met' if median <= target else 'NOT met'}"
    return text


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=15)
    args = parser.parse_args()
    path, what = ensure_file()
    size = path.stat().st_size / 1e6
    print(f"corvex info on {path.name} ({size:.1f} MB, {what}), {args.rounds} rounds")
    info = [sys.executable, "-m", "corvex", "info", str(path)]
    print(line("corvex info", wall(info, args.rounds), TARGET_S))
    print(line("python -c pass", wall([sys.executable, "-c", "pass"], args.rounds)))
    imports = [sys.executable, "-c", "import pyarrow, numpy"]
    print(line("import pyarrow, numpy", wall(imports, args.rounds)))
    probe = (
        "import sys\nfrom corvex.cli import main\n"
        f"main(['info', {str(path)!r}])\n"
        "print('pandas' in sys.modules, file=sys.stderr)"
    )
    done = subprocess.run(
        [sys.executable, "-c", probe], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True
    )
    print(f"  pandas imported by corvex info: {done.stderr.strip().splitlines()[-1]}")


if __name__ == "__main__":
    main()
