"""Every example of the documentation, the README and the docstrings runs in the test suite.

Sybil collects them: ```python blocks (run as code, or as doctests when they start with
``>>>``, their printed output checked), ```console blocks (each ``$ command`` line run, its
output compared with the lines below it) and the ``>>>`` examples of docstrings. ``...`` in
an expected output stands for text that varies (a temporary path, a time), as in doctest.

Each document runs in a fresh temporary directory holding ``session.ibt``, the sample session
``corvex demo`` writes, so the examples read the file they name. An example that needs an
optional package is preceded by ``<!-- skip: next if(missing("polars")) -->``.
"""

from __future__ import annotations

import contextlib
import doctest
import functools
import importlib.util
import io
import os
import shlex
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path
from typing import Any

from sybil import Example, Sybil
from sybil.parsers.markdown import CodeBlockParser, PythonCodeBlockParser, SkipParser
from sybil.parsers.rest import DocTestParser

_FLAGS = doctest.ELLIPSIS


@functools.cache
def _sample() -> bytes:
    from corvex.testing import sample_session

    return sample_session()


def _missing(*modules: str) -> str | None:
    """The reason to skip an example that needs ``modules``, or None when all are there."""
    absent = [name for name in modules if importlib.util.find_spec(name) is None]
    return f"needs {', '.join(absent)}" if absent else None


def _enter(namespace: dict[str, Any]) -> None:
    folder = Path(tempfile.mkdtemp(prefix="corvex-docs-"))
    (folder / "session.ibt").write_bytes(_sample())
    namespace["_docs_return_to"] = os.getcwd()
    namespace["_docs_folder"] = folder
    namespace["missing"] = _missing
    os.chdir(folder)


def _leave(namespace: dict[str, Any]) -> None:
    os.chdir(namespace.pop("_docs_return_to"))
    shutil.rmtree(namespace.pop("_docs_folder"), ignore_errors=True)


def _run(command: str) -> str:
    """What ``command`` prints, standard output and error as one text, as a terminal shows it."""
    words = shlex.split(command)
    if words[:1] != ["corvex"] or any(w in ("|", ">", "&&", ";") for w in words):
        # Anything else runs in the shell, with this environment's programs first on PATH.
        env = dict(
            os.environ, PATH=f"{Path(sys.executable).parent}{os.pathsep}{os.environ['PATH']}"
        )
        done = subprocess.run(
            command,
            shell=True,
            capture_output=False,
            stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT,
            text=True,
            env=env,
            check=False,
            timeout=300,
        )
        return done.stdout
    from corvex.cli import main

    out = io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(out):
        try:
            main(words[1:])
        except SystemExit:  # argparse's usage errors and --help
            pass
    return out.getvalue()


def _check_console(example: Example) -> str | None:
    """Run each ``$ command`` of a console block and compare what it prints with the block."""
    commands: list[tuple[str, list[str]]] = []
    for line in str(example.parsed).splitlines():
        if line.startswith("$ "):
            commands.append((line[2:], []))
        elif commands:
            commands[-1][1].append(line)
        elif line.strip():
            return f"a console block starts with '$ command', not {line!r}"
    checker = doctest.OutputChecker()
    for command, lines in commands:
        want = "\n".join(lines).rstrip() + "\n"
        got = "\n".join(line.rstrip() for line in _run(command).splitlines()).rstrip() + "\n"
        if want.strip() == "" and got.strip() == "":
            continue
        if not checker.check_output(want, got, _FLAGS):
            return f"$ {command}\n" + checker.output_difference(
                doctest.Example(command, want), got, _FLAGS
            )
    return None


_markdown = Sybil(
    parsers=[
        PythonCodeBlockParser(doctest_optionflags=_FLAGS),
        CodeBlockParser("console", _check_console),
        SkipParser(),
    ],
    patterns=["README.md", "docs/*.md"],
    setup=_enter,
    teardown=_leave,
    name="docs",
)

_docstrings = Sybil(
    parsers=[DocTestParser(optionflags=_FLAGS)],
    patterns=["src/corvex/*.py", "src/corvex/**/*.py"],
    # The Dask module imports dask: without it, there is nothing of it to run.
    excludes=["src/corvex/dask.py", "src/corvex/dataset/dask.py"]
    if _missing("dask", "distributed")
    else [],
    setup=_enter,
    teardown=_leave,
    name="docstrings",
)

pytest_collect_file = (_markdown + _docstrings).pytest()
