"""What the documentation build makes itself: figures, the performance page, the offline check.

- The figures of the pages are drawn from the sample session by the command line
  (``corvex plot``, ``compare``, ``map``) into ``docs/figures/`` on every build, so a picture
  always shows what the code draws; the README shows the same files.
- ``performance.md`` includes ``_generated/bench.md``, written here from ``docs/bench/latest.txt``,
  the output that ``make bench`` saves with the machine and the date it ran on.
- When the site is written, every page is checked for anything it would load from another
  host (a script, a style sheet, a font, an image): the site must work offline.
"""

from __future__ import annotations

import re
import tempfile
from pathlib import Path
from typing import Any

DOCS = Path(__file__).resolve().parents[1]

# name -> the command line that draws it, on the sample session at {sample}
FIGURES = {
    "compare.png": "compare {sample}:3 {sample}:2",
    "plot.png": "plot {sample} --channels Speed,Throttle,Brake,Gear --lap 2 --vs-lap 3",
    "map.png": "map {sample}:2",
    "map-delta.png": "map {sample}:3 {sample}:2 --color delta",
}


def draw_figures(folder: Path) -> None:
    """Draw every figure of :data:`FIGURES` into ``folder``."""
    import contextlib
    import io
    import shlex

    from corvex.cli import main
    from corvex.testing import write_sample

    folder.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory() as work:
        sample = write_sample(Path(work) / "session.ibt")
        for name, command in FIGURES.items():
            args = shlex.split(command.format(sample=sample)) + ["-o", str(folder / name)]
            said = io.StringIO()
            with contextlib.redirect_stdout(said), contextlib.redirect_stderr(said):
                status = main(args)
            if status != 0:
                raise RuntimeError(f"corvex {command} failed: {said.getvalue()}")


def bench_page(text: str) -> str:
    """The Markdown of the performance figures from the text ``make bench`` saved."""
    head, _, body = text.partition("\n\n")
    facts = {"date": "?", "machine": "?", "cpu": "?", "cores": "?", "load": "?", "software": "?"}
    facts |= dict(line.split(": ", 1) for line in head.splitlines() if ": " in line)
    lines = [
        f"Measured on {facts['date']}, on {facts['machine']} ({facts['cpu']}, {facts['cores']}",
        f"cores; load average {facts['load']} before the run), with {facts['software']}.",
        "",
        "```text",
        body.strip("\n"),
        "```",
        "",
    ]
    return "\n".join(lines)


_EXTERNAL = re.compile(
    r"""<(?:script|link|img|iframe|source|embed)\b[^>]*?\b(?:src|href)=["'](?:https?:)?//""",
    re.IGNORECASE,
)
_CSS_EXTERNAL = re.compile(r"""(?:@import|url\()\s*["']?(?:https?:)?//""", re.IGNORECASE)


def external_loads(outdir: Path) -> list[str]:
    """Pages and style sheets of the built site that load something from another host."""
    found = []
    for path in sorted(outdir.rglob("*")):
        if path.suffix == ".html" and _EXTERNAL.search(path.read_text(encoding="utf-8")):
            found.append(str(path.relative_to(outdir)))
        elif path.suffix == ".css" and _CSS_EXTERNAL.search(path.read_text(encoding="utf-8")):
            found.append(str(path.relative_to(outdir)))
    return found


def _generate(app: Any) -> None:
    draw_figures(DOCS / "figures")
    generated = DOCS / "_generated"
    generated.mkdir(exist_ok=True)
    latest = DOCS / "bench" / "latest.txt"
    page = bench_page(latest.read_text(encoding="utf-8"))
    target = generated / "bench.md"
    if not target.exists() or target.read_text(encoding="utf-8") != page:
        target.write_text(page, encoding="utf-8")


def _check_offline(app: Any, exception: BaseException | None) -> None:
    if exception is None and app.builder.format == "html":
        found = external_loads(Path(app.outdir))
        if found:
            raise RuntimeError(f"these files load from another host: {', '.join(found)}")


def setup(app: Any) -> dict[str, Any]:
    app.connect("builder-inited", _generate)
    app.connect("build-finished", _check_offline)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
